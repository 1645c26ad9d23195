"""What vexo raises and warns."""


class ShapeError(ValueError):
    """The records of a file have more than one shape (N, A), so they are not one dataset."""


class DamagedFileWarning(UserWarning):
    """Reading stopped before the end of the file: the records before the damage are read."""
