"""Hidden Markov models over the contiguous tempo-lane grid.

The compiled decoders live in :mod:`plintor.model._kernels`.  The host layer (grids, observation
model, trackers) is re-exported here lazily, so importing this package loads neither NumPy nor
the extension.
"""

import importlib
from typing import Any

_EXPORTS = {
    "GridConfig": "grid",
    "TempoGrid": "grid",
    "ObservationModel": "observation",
    "BeatTracker": "tracking",
    "DownbeatTracker": "tracking",
    "BeatStream": "tracking",
    "Beats": "tracking",
}

__all__ = sorted(_EXPORTS)


def __getattr__(name: str) -> Any:
    if name not in _EXPORTS:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    return getattr(importlib.import_module(f"{__name__}.{_EXPORTS[name]}"), name)


def __dir__() -> list[str]:
    return sorted([*globals(), *_EXPORTS])
