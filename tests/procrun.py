"""``python procrun.py [--parts N] ARGS...``: the command with ARGS in a fresh interpreter, as a
user runs it, for the tests of runs on several threads and of signals. ``--parts N`` cuts
archives in parts of N bytes, so that small test archives are cut in many places."""

from __future__ import annotations

import sys


def main(args: list[str]) -> None:
    from larkspine import _run, cli

    while args and args[0] == "--parts":
        args.pop(0)
        _run.PART_BYTES = int(args.pop(0))
    cli.main(args)


if __name__ == "__main__":
    main(sys.argv[1:])
