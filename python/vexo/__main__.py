"""python -m vexo COMMAND ...: the package's commands."""

from __future__ import annotations

import sys
from typing import Optional, Sequence

COMMANDS = {"plot": "quick-look pictures (as vexo-plot)",
            "convert": "archives to Parquet or NetCDF (as vexo-convert)",
            "info": "what DFT files hold, one screen each (as vexo-info)"}
USAGE = "usage: python -m vexo COMMAND [ARGUMENTS]\ncommands:\n" + "".join(
    f"  {name:8} {what}\n" for name, what in COMMANDS.items())


def main(argv: Optional[Sequence[str]] = None) -> int:
    args = list(sys.argv[1:] if argv is None else argv)
    if not args or args[0] in ("-h", "--help"):
        print(USAGE, end="", file=sys.stdout if args else sys.stderr)
        return 0 if args else 2
    command, rest = args[0], args[1:]
    if command == "plot":
        from vexo._commands.plot import main as plot

        return plot(rest, prog="python -m vexo plot")
    if command == "convert":
        from vexo._commands.convert import main as convert

        return convert(rest, prog="python -m vexo convert")
    if command == "info":
        from vexo._commands.info import main as info

        return info(rest, prog="python -m vexo info")
    print(f"python -m vexo: {command}: unknown command\n{USAGE}", end="", file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main())
