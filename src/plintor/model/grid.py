"""Contiguous tempo-lane grids: the bar-pointer state space as the arrays the kernels take.

A *lane* is a contiguous run of phase states that covers one beat at one tempo: a lane whose
beat interval is ``k`` frames holds ``k`` states, and the phase advances from state ``s - 1`` to
state ``s`` with probability 1.  Only the first state of a lane is entered from elsewhere: from
the last state of every lane of the previous beat, with a probability that decays with the
relative tempo change.

A beat grid has one beat per bar, so each lane's first state is entered from the last states of
all lanes.  A bar grid with ``m`` beats per bar repeats the beat grid ``m`` times, one block per
beat of the bar; beat ``b`` is entered from beat ``b - 1`` and beat 0 from beat ``m - 1``.  Several
meters can share one grid as disjoint blocks (no edge crosses meters), which lets one decoder weigh
the meters against each other.
"""

import math
from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any, NamedTuple

import numpy as np
from numpy.typing import NDArray

__all__ = [
    "MIN_TRANSITION_PROBABILITY",
    "GridConfig",
    "TempoGrid",
    "stack_grids",
    "tempo_transitions",
]

#: Tempo-change probabilities at or below this (the float64 machine epsilon) are dropped.
MIN_TRANSITION_PROBABILITY = 2.220446049250313e-16


@dataclass(frozen=True, slots=True, eq=False)
class TempoGrid:
    """A tempo-lane state space and its transition model, laid out for the kernels.

    Lanes are ordered by meter, then by beat within the bar, then by tempo (fastest first); the
    states of a lane are contiguous and ordered by phase.

    Attributes
    ----------
    fps : float
        Frame rate the beat intervals are counted in.
    meters : tuple of int
        Beats per bar of each meter block, in block order (``(1,)`` for a beat grid).
    lane_interval : ndarray of int64, shape (L,)
        Beat interval of each lane in frames (also its number of states).
    lane_meter : ndarray of int64, shape (L,)
        Index into `meters` of each lane's block.
    lane_beat : ndarray of int64, shape (L,)
        Beat of the bar (0-based) that each lane covers.
    lane_first, lane_last : ndarray of int64, shape (L,)
        First and last state of each lane.
    state_lane : ndarray of int64, shape (N,)
        Lane of each state.
    state_phase : ndarray of int64, shape (N,)
        Position of each state within its beat, in frames since the beat.
    pred, ptr : ndarray of uint32, shapes (E,) and (N + 1,)
        Predecessor graph in CSR form: the predecessors of state ``s`` are
        ``pred[ptr[s]:ptr[s + 1]]``.
    log_prob, prob : ndarray of float32, shape (E,)
        Log and linear transition probability of each edge, parallel to `pred`.
    log_initial, initial : ndarray of float32, shape (N,)
        Uniform initial distribution, log and linear.
    """

    fps: float
    meters: tuple[int, ...]
    lane_interval: NDArray[np.int64]
    lane_meter: NDArray[np.int64]
    lane_beat: NDArray[np.int64]
    lane_first: NDArray[np.int64]
    lane_last: NDArray[np.int64]
    state_lane: NDArray[np.int64]
    state_phase: NDArray[np.int64]
    pred: NDArray[np.uint32]
    ptr: NDArray[np.uint32]
    log_prob: NDArray[np.float32]
    prob: NDArray[np.float32]
    log_initial: NDArray[np.float32]
    initial: NDArray[np.float32]

    @property
    def num_states(self) -> int:
        """Number of states N."""
        return int(self.state_lane.size)

    @property
    def num_lanes(self) -> int:
        """Number of lanes L (tempi times beats, summed over meters)."""
        return int(self.lane_interval.size)

    @property
    def state_beat(self) -> NDArray[np.int64]:
        """Beat of the bar (0-based) of each state."""
        return self.lane_beat[self.state_lane]

    @property
    def state_bpm(self) -> NDArray[np.float64]:
        """Tempo of each state in beats per minute."""
        return 60.0 * self.fps / self.lane_interval[self.state_lane]


@dataclass(frozen=True, slots=True)
class GridConfig:
    """Tempo range and tempo-change model shared by beat and bar grids.

    Parameters
    ----------
    fps : float
        Frame rate of the observations.
    min_bpm, max_bpm : float
        Slowest and fastest tempo.
    num_tempi : int or None
        With None, one lane per integer beat interval between the fastest and the slowest tempo.
        Otherwise `num_tempi` distinct log-spaced intervals (see :meth:`intervals`); as many
        as there are integer intervals or more means every integer interval.
    transition_lambda : float
        Tempo-change stiffness: moving from interval ``a`` to interval ``b`` at a beat weighs
        ``exp(-transition_lambda * |b / a - 1|)`` before normalisation.
    """

    fps: float = 100.0
    min_bpm: float = 55.0
    max_bpm: float = 215.0
    num_tempi: int | None = None
    transition_lambda: float = 100.0

    def __post_init__(self) -> None:
        if not self.fps > 0:
            raise ValueError(f"fps must be positive, got {self.fps}")
        if not 0 < self.min_bpm <= self.max_bpm:
            raise ValueError(
                f"need 0 < min_bpm <= max_bpm, got min_bpm={self.min_bpm}, max_bpm={self.max_bpm}"
            )
        if round(60.0 * self.fps / self.max_bpm) < 1:
            raise ValueError(f"max_bpm={self.max_bpm} is faster than one beat per frame")
        if self.num_tempi is not None and self.num_tempi < 1:
            raise ValueError(f"num_tempi must be at least 1, got {self.num_tempi}")
        if not self.transition_lambda >= 0:
            raise ValueError(f"transition_lambda must be >= 0, got {self.transition_lambda}")

    def intervals(self) -> NDArray[np.int64]:
        """Beat interval of each tempo lane in frames, ascending (fastest tempo first).

        With `num_tempi` n, n intervals are spaced logarithmically between the exact shortest
        and longest interval and rounded to frames; while rounding has merged some of them into
        fewer than n distinct intervals, the spacing is redone with one interval more.

        Returns
        -------
        ndarray of int64
            Distinct intervals between ``round(60 * fps / max_bpm)`` and
            ``round(60 * fps / min_bpm)``.
        """
        shortest = 60.0 * self.fps / self.max_bpm
        longest = 60.0 * self.fps / self.min_bpm
        every = np.arange(round(shortest), round(longest) + 1, dtype=np.int64)
        if self.num_tempi is None or self.num_tempi >= every.size:
            return every
        # Beyond `dense` points no gap between neighbours reaches one frame, so every integer
        # interval is hit; the bound only matters where both ends sit on a half frame.
        dense = math.ceil(longest * math.log(longest / shortest)) + 2
        for count in range(self.num_tempi, max(dense, self.num_tempi) + 1):
            spaced = np.logspace(np.log2(shortest), np.log2(longest), count, base=2)
            intervals = np.unique(np.rint(spaced).astype(np.int64))
            if intervals.size >= self.num_tempi:
                return intervals
        return every

    def build(self, beats_per_bar: int | Sequence[int] = 1) -> TempoGrid:
        """Build the grid for one meter or, as disjoint blocks, for several.

        Parameters
        ----------
        beats_per_bar : int or sequence of int
            1 for a beat grid; the beats per bar for a bar grid; several values for one block
            per meter.

        Returns
        -------
        TempoGrid
        """
        meters = tuple(int(m) for m in np.atleast_1d(beats_per_bar))
        if not meters or min(meters) < 1:
            raise ValueError(f"beats_per_bar must be positive, got {beats_per_bar!r}")
        return _build_grid(self, meters)


def tempo_transitions(
    intervals: NDArray[np.int64], transition_lambda: float
) -> NDArray[np.float64]:
    """Tempo-change probabilities between lanes at a beat boundary.

    Parameters
    ----------
    intervals : ndarray of int64, shape (K,)
        Beat interval of each tempo in frames.
    transition_lambda : float
        Tempo-change stiffness.

    Returns
    -------
    ndarray of float64, shape (K, K)
        Entry ``[i, j]`` is the probability of moving from tempo ``i`` to tempo ``j``;
        entries at or below `MIN_TRANSITION_PROBABILITY` are exactly 0 and every row sums to 1.
    """
    ratio = intervals[np.newaxis, :] / intervals[:, np.newaxis]
    weight = np.exp(-transition_lambda * np.abs(ratio - 1.0))
    weight[weight <= MIN_TRANSITION_PROBABILITY] = 0.0
    return weight / weight.sum(axis=1, keepdims=True)


def stack_grids(grids: Sequence[TempoGrid]) -> TempoGrid:
    """Join grids as disjoint blocks of one grid, with a uniform initial distribution.

    Each grid's meter blocks keep their order and their own tempo lanes, so meters with
    different tempo ranges can share one decoder.

    Parameters
    ----------
    grids : sequence of TempoGrid
        At least one grid, all at the same frame rate.

    Returns
    -------
    TempoGrid
    """
    if not grids:
        raise ValueError("need at least one grid to stack")
    if len({g.fps for g in grids}) != 1:
        raise ValueError(f"grids to stack differ in fps: {[g.fps for g in grids]}")

    def starts(sizes: list[int]) -> NDArray[np.int64]:
        return np.cumsum([0, *sizes[:-1]])

    state_start = starts([g.num_states for g in grids])
    lane_start = starts([g.num_lanes for g in grids])
    meter_start = starts([len(g.meters) for g in grids])
    edge_start = starts([g.pred.size for g in grids])

    def joined(name: str, start: NDArray[np.int64] | None = None) -> NDArray[Any]:
        parts = [getattr(g, name) for g in grids]
        if start is not None:
            parts = [part + offset for part, offset in zip(parts, start, strict=True)]
        return np.concatenate(parts)

    ptr = [grids[0].ptr[:1]] + [g.ptr[1:] + e for g, e in zip(grids, edge_start, strict=True)]
    num_states = sum(g.num_states for g in grids)
    initial = np.full(num_states, 1.0 / num_states)
    return TempoGrid(
        fps=grids[0].fps,
        meters=tuple(m for g in grids for m in g.meters),
        lane_interval=joined("lane_interval"),
        lane_meter=joined("lane_meter", meter_start),
        lane_beat=joined("lane_beat"),
        lane_first=joined("lane_first", state_start),
        lane_last=joined("lane_last", state_start),
        state_lane=joined("state_lane", lane_start),
        state_phase=joined("state_phase"),
        pred=joined("pred", state_start).astype(np.uint32),
        ptr=np.concatenate(ptr).astype(np.uint32),
        log_prob=joined("log_prob"),
        prob=joined("prob"),
        log_initial=np.log(initial).astype(np.float32),
        initial=initial.astype(np.float32),
    )


class _Lanes(NamedTuple):
    tempo: NDArray[np.int64]  # index into the tempo intervals
    meter: NDArray[np.int64]
    beat: NDArray[np.int64]
    interval: NDArray[np.int64]
    first: NDArray[np.int64]
    last: NDArray[np.int64]
    previous_beat: NDArray[np.int64]  # lane of the fastest tempo of the preceding beat


def _lanes(intervals: NDArray[np.int64], meters: tuple[int, ...]) -> _Lanes:
    num_tempi = intervals.size
    size = np.asarray(meters, dtype=np.int64)
    meter = np.repeat(np.arange(size.size, dtype=np.int64), size * num_tempi)
    tempo = np.tile(np.arange(num_tempi, dtype=np.int64), int(size.sum()))
    beat = np.concatenate([np.repeat(np.arange(m, dtype=np.int64), num_tempi) for m in meters])
    interval = intervals[tempo]
    last = np.cumsum(interval) - 1
    meter_start = np.cumsum(size * num_tempi) - size * num_tempi
    previous_beat = meter_start[meter] + (beat - 1) % size[meter] * num_tempi
    return _Lanes(tempo, meter, beat, interval, last - interval + 1, last, previous_beat)


def _edges(
    lanes: _Lanes, change: NDArray[np.float64], is_entry: NDArray[np.bool_]
) -> tuple[NDArray[np.uint32], NDArray[np.uint32], NDArray[np.float64]]:
    """CSR predecessor graph: a phase advance into every state that does not start a lane,
    and an edge from each tempo of the previous beat into every lane's first state."""
    entry_lane, source_tempo = np.nonzero(change.T[lanes.tempo] > 0)
    counts = np.ones(is_entry.size, dtype=np.int64)
    counts[lanes.first] = np.bincount(entry_lane, minlength=lanes.first.size)
    entry_edge = np.repeat(is_entry, counts)
    pred = np.empty(entry_edge.size, dtype=np.uint32)
    pred[~entry_edge] = np.flatnonzero(~is_entry) - 1
    pred[entry_edge] = lanes.last[lanes.previous_beat[entry_lane] + source_tempo]
    prob = np.ones(pred.size)
    prob[entry_edge] = change[source_tempo, lanes.tempo[entry_lane]]
    ptr = np.concatenate([[0], np.cumsum(counts)]).astype(np.uint32)
    return pred, ptr, prob


def _build_grid(config: GridConfig, meters: tuple[int, ...]) -> TempoGrid:
    intervals = config.intervals()
    lanes = _lanes(intervals, meters)
    state_lane = np.repeat(np.arange(lanes.interval.size, dtype=np.int64), lanes.interval)
    state_phase = np.arange(state_lane.size, dtype=np.int64) - lanes.first[state_lane]
    change = tempo_transitions(intervals, config.transition_lambda)
    pred, ptr, prob = _edges(lanes, change, state_phase == 0)
    initial = np.full(state_lane.size, 1.0 / state_lane.size)
    return TempoGrid(
        fps=float(config.fps),
        meters=meters,
        lane_interval=lanes.interval,
        lane_meter=lanes.meter,
        lane_beat=lanes.beat,
        lane_first=lanes.first,
        lane_last=lanes.last,
        state_lane=state_lane,
        state_phase=state_phase,
        pred=pred,
        ptr=ptr,
        log_prob=np.log(prob).astype(np.float32),
        prob=prob.astype(np.float32),
        log_initial=np.log(initial).astype(np.float32),
        initial=initial.astype(np.float32),
    )
