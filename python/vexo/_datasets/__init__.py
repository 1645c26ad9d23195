"""The xarray dataset of a file: loaded (vexo.read) and lazy (engine="vexo")."""
