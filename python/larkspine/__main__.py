"""``python -m larkspine``: the ``larkspine`` command."""

from .cli import main

main()
