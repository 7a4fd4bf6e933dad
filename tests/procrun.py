"""``python procrun.py [--parts N] [--fail-on TEXT] ARGS...``: the command with ARGS, telling
on standard error (a first line ``workers: PID...``) which worker processes it started, for
the tests of runs on worker processes. ``--parts N`` cuts archives in parts of N bytes (so
small test archives are cut in many places); ``--fail-on TEXT`` makes a worker fail on a
batch holding a page that contains TEXT."""

from __future__ import annotations

import os
import sys
from typing import Any


def main(args: list[str]) -> None:
    from larkspine import _processes, _readers, cli

    parent = os.getpid()
    while args and args[0] in ("--parts", "--fail-on"):
        option, value = args.pop(0), args.pop(0)
        if option == "--parts":
            _readers.PART_BYTES = _processes.PART_BYTES = int(value)
        else:
            marker = value.encode()
            real_table = _processes.batch_table

            def failing(schema: Any, docs: Any, *rest: Any, **named: Any) -> Any:
                if os.getpid() != parent and any(marker in d.body for d in docs):
                    raise RuntimeError("a page that fails its worker")
                return real_table(schema, docs, *rest, **named)

            _processes.batch_table = failing  # type: ignore[assignment]
    real_start = cli.start_workers

    def start(*given: Any, **named: Any) -> Any:
        workers = real_start(*given, **named)
        pids = "" if workers is None else " ".join(map(str, workers.pids))
        print(f"workers: {pids}", file=sys.stderr, flush=True)
        return workers

    cli.start_workers = start  # type: ignore[assignment]
    cli.main(args)


if __name__ == "__main__":
    main(sys.argv[1:])
