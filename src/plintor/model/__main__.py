"""``python -m plintor.model``: the beat-tracking command line."""

from plintor.model.cli import main

raise SystemExit(main())
