"""Shared pieces of the benchmarks: the standard grids and a timer."""

import time
from collections.abc import Callable

import numpy as np


def beat_grid(min_interval: int = 28, max_interval: int = 109, transition_lambda: float = 100.0):
    """The beat tempo-lane grid at 100 fps and 55..215 BPM: 82 lanes, 5,617 states.

    Returns ``pred, ptr, log_prob, prob, columns``: lanes of every interval from the
    fastest to the slowest, each a contiguous run of phase states; the first state
    of a lane is entered from the last state of every lane with a tempo-change
    probability, and the first sixteenth of each lane scores the beat column.
    """
    intervals = np.arange(min_interval, max_interval + 1)
    ends = np.cumsum(intervals)
    starts = ends - intervals
    num_states = int(ends[-1])
    ratio = intervals[np.newaxis, :] / intervals[:, np.newaxis]  # [from, to]
    change = np.exp(-transition_lambda * np.abs(ratio - 1))
    change[change <= 2.220446e-16] = 0
    change /= change.sum(axis=1, keepdims=True)
    counts = np.ones(num_states, dtype=np.int64)
    sources_per_lane = (change > 0).sum(axis=0)
    counts[starts] = sources_per_lane
    ptr = np.concatenate(([0], np.cumsum(counts)))
    pred = np.empty(ptr[-1], dtype=np.int64)
    prob = np.ones(ptr[-1], dtype=np.float64)
    interior = np.ones(num_states, dtype=bool)
    interior[starts] = False
    pred[ptr[:-1][interior]] = np.nonzero(interior)[0] - 1
    for lane, start in enumerate(starts):
        sources = np.nonzero(change[:, lane])[0]
        pred[ptr[start] : ptr[start + 1]] = ends[sources] - 1
        prob[ptr[start] : ptr[start + 1]] = change[sources, lane]
    position = np.arange(num_states) - np.repeat(starts, intervals)
    columns = (position >= np.repeat(np.maximum(intervals // 16, 1), intervals)).astype(np.uint32)
    with np.errstate(divide="ignore"):
        log_prob = np.log(prob)
    return (
        pred.astype(np.uint32),
        ptr.astype(np.uint32),
        log_prob.astype(np.float32),
        prob.astype(np.float32),
        columns,
    )


def best_time(func: Callable[[], object], repeat: int = 7, min_seconds: float = 0.05) -> float:
    """Seconds per call: the best of `repeat` rounds, each at least `min_seconds` long."""
    calls = 1
    while True:
        start = time.perf_counter()
        for _ in range(calls):
            func()
        if time.perf_counter() - start >= min_seconds:
            break
        calls *= 2
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        for _ in range(calls):
            func()
        best = min(best, (time.perf_counter() - start) / calls)
    return best
