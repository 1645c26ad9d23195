"""File names as they can be printed, drawn and stored."""

from __future__ import annotations

import os
from typing import Any


def shown_name(name: Any) -> str:
    """A file name as text that any output takes: bytes that are not UTF-8 and control
    characters as \\xHH."""
    if isinstance(name, (bytes, os.PathLike)):
        name = os.fsdecode(name)
    text = str(name).encode("utf-8", "surrogateescape").decode("utf-8", "backslashreplace")
    return "".join(c if c.isprintable() else f"\\x{ord(c):02x}" for c in text)
