"""Where the echoes come from: the antennas' layout, the direction fit, the echoes of a file and
their drift."""
