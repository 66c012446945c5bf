"""``python -m plintor.model``: the command line; without arguments, its built-in example."""

import sys

from plintor.model.cli import main

raise SystemExit(main(sys.argv[1:] or ["--demo"]))
