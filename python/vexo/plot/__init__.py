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
returns it, or, given ax=, into that Axes of the caller's figure and returns its figure. The
figure carries what it shows: `fig.vexo_data`, an xarray.DataArray of the values drawn, with
coordinates and units, and `fig.vexo_choices`, one phrase for each choice made for the caller
("3200 kHz (the strongest frequency)"). A choice the data cannot meet raises ChoiceError,
whose message names what the data has.

Each picture has a data step that gives the same without drawing (matplotlib is not needed):
spectrum_data, phases_data, echo_data and skymap_data return a PictureData, the pair (data,
choices). SIZES gives the size of each picture on a figure of its own, SMALLEST_SIZE and
LARGEST_SIZE the limits of any (width, height in pixels).
"""

from vexo.plot._choices import ChoiceError, PictureData
from vexo.plot._figure import LARGEST_SIZE, SIZES, SMALLEST_SIZE
from vexo.plot.echo import echo, echo_data
from vexo.plot.phases import phases, phases_data
from vexo.plot.skymap import skymap, skymap_data
from vexo.plot.spectrum import spectrum, spectrum_data

__all__ = ["ChoiceError", "LARGEST_SIZE", "PictureData", "SIZES", "SMALLEST_SIZE", "echo",
           "echo_data", "phases", "phases_data", "skymap", "skymap_data", "spectrum",
           "spectrum_data"]
