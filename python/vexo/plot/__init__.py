"""Quick-look pictures of a sounding: a spectrum against height, the phases of the antennas
with and without the antenna correction, the echo over time, and the sky map of where the
echoes come from.

    import vexo, vexo.plot
    fig = vexo.plot.spectrum("day342.dft")                 # first record, strongest frequency
    fig = vexo.plot.phases("day342.dft", record=3)
    fig = vexo.plot.echo(["day342.dft", "day343.dft"], frequency=3200)
    fig = vexo.plot.skymap("day342.dft", layout="layout.toml", window=300)
    fig.savefig("echo.png")

Each function draws on a matplotlib Figure of its own (no screen, no pyplot state) and
returns it. The figure carries what it shows: `fig.vexo_data`, an xarray.DataArray of the
values drawn, with coordinates and units, and `fig.vexo_choices`, one phrase for each choice
made for the caller ("3200 kHz (the strongest frequency)"). A choice the data cannot meet
raises ChoiceError, whose message names what the data has.
"""


from vexo.plot._choices import ChoiceError
from vexo.plot.echo import echo
from vexo.plot.phases import phases
from vexo.plot.skymap import skymap
from vexo.plot.spectrum import spectrum

__all__ = ["ChoiceError", "echo", "phases", "skymap", "spectrum"]
