"""The size guard: what a grid and its decode will take, worked out before anything is built.

A frame rate typed by mistake (an audio sample rate such as 44,100 for a network's 100 frames
per second) makes a grid of a billion states.  Counting states, edges and the decode's
back-pointers takes a few array operations on the tempo intervals, so a tracker can refuse such a
configuration at once, with the figures, instead of exhausting the machine's memory.
"""

import operator
from collections.abc import Sequence
from dataclasses import dataclass
from functools import reduce

import numpy as np
from numpy.typing import NDArray

from plintor.model.grid import MIN_TRANSITION_PROBABILITY, GridConfig

__all__ = [
    "DEFAULT_MAX_MEMORY",
    "GridSize",
    "GridTooLarge",
    "check_grid_size",
    "grid_size",
    "grids_size",
]

#: The memory a tracker may plan to use unless told otherwise: 4 GiB, which fits a laptop.
DEFAULT_MAX_MEMORY = 4 * 2**30

#: Bytes per state and per edge: the grid's arrays, the temporaries of building them, and a
#: decoder's layout and score buffers (measured peaks stay below two thirds of this).
_BYTES_PER_ELEMENT = 64

#: Bytes per frame besides the back-pointers: activations, densities, path and beat marks.
_BYTES_PER_FRAME = 64

#: Bytes per back-pointer: the decode keeps one per frame and lane (the lane's first state).
_BACKPOINTER_BYTES = 4

#: Frame rates from here on are far more likely audio sample rates than activation frame rates.
_SAMPLE_RATES_FROM = 1000.0


class GridTooLarge(ValueError):
    """A tracker configuration whose grid or decode would need more memory than allowed."""


@dataclass(frozen=True, slots=True)
class GridSize:
    """Size of a grid and of an offline decode over it.

    Attributes
    ----------
    fps : float
        Frame rate of the grid.
    states, edges, lanes : int
        Number of states, transition edges and tempo lanes (summed over meter blocks).
    frames : int
        Frames the offline decode keeps back-pointers for (0 for streaming).
    """

    fps: float
    states: int
    edges: int
    lanes: int
    frames: int

    @property
    def backpointer_bytes(self) -> int:
        """Memory of the decode's back-pointer table."""
        return self.frames * self.lanes * _BACKPOINTER_BYTES

    @property
    def bytes(self) -> int:
        """Estimated peak memory of building the grid and decoding `frames` frames."""
        grid = _BYTES_PER_ELEMENT * (self.states + self.edges)
        return grid + self.backpointer_bytes + _BYTES_PER_FRAME * self.frames

    def __add__(self, other: "GridSize") -> "GridSize":
        """Size of two grids held at once, each decoded over the longer of the two sequences."""
        return GridSize(
            self.fps,
            self.states + other.states,
            self.edges + other.edges,
            self.lanes + other.lanes,
            max(self.frames, other.frames),
        )


def grid_size(
    config: GridConfig, beats_per_bar: int | Sequence[int] = 1, num_frames: int = 0
) -> GridSize:
    """Count what ``config.build(beats_per_bar)`` and a decode of `num_frames` frames hold.

    Parameters
    ----------
    config : GridConfig
    beats_per_bar : int or sequence of int
        As for :meth:`GridConfig.build`.
    num_frames : int
        Length of the sequence to decode offline; 0 for the grid alone (or streaming).

    Returns
    -------
    GridSize
        States, edges and lanes exactly as the grid will have them.
    """
    intervals = config.intervals()
    bars = int(np.sum(np.atleast_1d(beats_per_bar)))
    states = int(intervals.sum()) * bars
    lanes = intervals.size * bars
    entries = int(_entry_counts(intervals, config.transition_lambda).sum()) * bars
    return GridSize(float(config.fps), states, states - lanes + entries, lanes, int(num_frames))


def grids_size(
    configs: Sequence[GridConfig], meters: Sequence[int], num_frames: int = 0
) -> GridSize:
    """Size of the grids of ``meters[i]`` on ``configs[i]``, held side by side, as a tracker does.

    Parameters
    ----------
    configs : sequence of GridConfig
    meters : sequence of int
        Beats per bar of each grid, parallel to `configs`.
    num_frames : int
        Length of the sequence each grid decodes offline; 0 for the grids alone.

    Returns
    -------
    GridSize
    """
    sizes = (grid_size(c, m, num_frames) for c, m in zip(configs, meters, strict=True))
    return reduce(operator.add, sizes)


def check_grid_size(size: GridSize, max_memory: float = DEFAULT_MAX_MEMORY) -> None:
    """Refuse a grid and decode that would need more than `max_memory` bytes.

    Parameters
    ----------
    size : GridSize
    max_memory : float
        Limit in bytes.

    Raises
    ------
    GridTooLarge
        With the figures and, for a frame rate of 1,000 or more, a hint that it looks like an
        audio sample rate.
    """
    if size.bytes <= max_memory:
        return
    frames = (
        f", and {_gib(size.backpointer_bytes)} of back-pointers for {size.frames:,} frames"
        if size.frames
        else ""
    )
    message = (
        f"the tempo grid is too large: {size.states:,} states and {size.edges:,} edges"
        f"{frames} need about {_gib(size.bytes)}, above the limit of {_gib(max_memory)} "
        "(raise max_memory, or --max-memory on the command line)"
    )
    if size.fps >= _SAMPLE_RATES_FROM:
        message += (
            f"; fps={size.fps:,.0f} looks like an audio sample rate: give the frame rate of the "
            "activations (100 for most beat networks)"
        )
    raise GridTooLarge(message)


def _entry_counts(intervals: NDArray[np.int64], transition_lambda: float) -> NDArray[np.int64]:
    """Number of tempi each lane's first state is entered from.

    A tempo change from interval ``a`` to ``b`` is kept when ``exp(-lambda * |b / a - 1|)``
    exceeds `MIN_TRANSITION_PROBABILITY`, which holds for ``a`` in an open range around ``b``.
    Its ends are found by bisection, then settled with that same test, so the counts equal
    those of :func:`plintor.model.grid.tempo_transitions` without forming its K x K matrix.
    """
    if transition_lambda == 0:
        return np.full(intervals.size, intervals.size, dtype=np.int64)
    reach = -np.log(MIN_TRANSITION_PROBABILITY) / transition_lambda
    target = intervals.astype(np.float64)
    lowest = np.searchsorted(intervals, target / (1 + reach))
    highest = (
        np.searchsorted(intervals, target / (1 - reach), side="right")
        if reach < 1
        else np.full(intervals.size, intervals.size)
    )

    def kept(source: NDArray[np.intp]) -> NDArray[np.bool_]:
        inside = (source >= 0) & (source < intervals.size)
        ratio = target / intervals[np.clip(source, 0, intervals.size - 1)]
        weight = np.exp(-transition_lambda * np.abs(ratio - 1.0))
        return inside & (weight > MIN_TRANSITION_PROBABILITY)

    lowest = np.where(kept(lowest - 1), lowest - 1, np.where(kept(lowest), lowest, lowest + 1))
    highest = np.where(
        kept(highest), highest + 1, np.where(kept(highest - 1), highest, highest - 1)
    )
    return (highest - lowest).astype(np.int64)


def _gib(num_bytes: float) -> str:
    return (
        f"{num_bytes / 2**30:,.1f} GiB" if num_bytes >= 2**30 else f"{num_bytes / 2**20:,.0f} MiB"
    )
