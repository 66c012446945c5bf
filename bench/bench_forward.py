"""Time ForwardDecoder.step per frame on the standard beat grid.

The per-frame sum of all masses is a chain of N dependent float32 additions
that no reordering may shorten, so a plain C++ loop of N such additions,
measured in the same run, is the floor beside which step's time is shown.

Run from the repository root after installing the package:

    python bench/bench_forward.py
"""

import ctypes
import pathlib
import subprocess
import tempfile
import time

import numpy as np

from plintor.model._kernels import ForwardDecoder

FPS = 100
INTERVALS = range(28, 110)  # beat intervals in frames: 82 tempo lanes
TRANSITION_LAMBDA = 100
EPS = 2.220446e-16
CHUNKS = (1, 10, 1_000, 10_000)
FRAMES = 10_000
REPEATS = 3

FLOOR_SOURCE = """
extern "C" float serial_sum(const float *values, long count, long repeats)
{
    float total = 0.0f;
    for (long r = 0; r < repeats; ++r)
        for (long i = 0; i < count; ++i) total += values[i];
    return total;
}
"""


def beat_grid():
    """Lane L holds L contiguous phase states; its first state is entered from
    the last state of every lane, with a probability that falls off with the
    tempo ratio and is normalised per source lane."""
    lengths = np.array(INTERVALS)
    starts = np.concatenate([[0], np.cumsum(lengths)[:-1]])
    lasts = starts + lengths - 1
    entry = np.exp(-TRANSITION_LAMBDA * np.abs(lengths[None, :] / lengths[:, None] - 1))
    entry[entry <= EPS] = 0  # entry[src, dst]
    entry /= entry.sum(axis=1, keepdims=True)
    pred, prob, counts = [], [], []
    for dst, length in enumerate(lengths):
        sources = np.flatnonzero(entry[:, dst])
        pred += [*lasts[sources], *range(starts[dst], starts[dst] + length - 1)]
        prob += [*entry[sources, dst], *[1.0] * (length - 1)]
        counts += [len(sources), *[1] * (length - 1)]
    phase = np.concatenate([np.arange(length) for length in lengths])
    width = np.repeat(lengths / 16, lengths)
    columns = (phase >= width).astype(np.uint32)  # 0: beat, 1: no beat
    num_states = len(columns)
    return (
        np.array(pred, np.uint32),
        np.concatenate([[0], np.cumsum(counts)]).astype(np.uint32),
        np.array(prob, np.float32),
        columns,
        np.full(num_states, 1 / num_states, np.float32),
    )


def densities(frames):
    beat = np.random.default_rng(0).random(frames, dtype=np.float32)
    return np.ascontiguousarray(np.stack([beat, (1 - beat) / 15], axis=1))


def load_floor(workdir):
    source = pathlib.Path(workdir) / "serial_sum.cpp"
    library = source.with_suffix(".so")
    source.write_text(FLOOR_SOURCE)
    subprocess.run(
        ["g++", "-O3", "-ffp-contract=off", "-shared", "-fPIC", source, "-o", library],
        check=True,
    )
    serial_sum = ctypes.CDLL(str(library)).serial_sum
    serial_sum.argtypes = [ctypes.c_void_p, ctypes.c_long, ctypes.c_long]
    serial_sum.restype = ctypes.c_float
    return serial_sum


def best_time(run):
    best = float("inf")
    for _ in range(REPEATS):
        start = time.perf_counter()
        run()
        best = min(best, time.perf_counter() - start)
    return best


def step_seconds_per_frame(grid, dens, chunk):
    pieces = [dens[i : i + chunk] for i in range(0, len(dens), chunk)]
    decoder = ForwardDecoder(*grid)

    def run():
        for piece in pieces:
            decoder.step(piece)

    return best_time(run) / len(dens)


def floor_seconds_per_frame(serial_sum, num_states, frames):
    values = np.full(num_states, 1 / num_states, np.float32)
    return best_time(lambda: serial_sum(values.ctypes.data, num_states, frames)) / frames


def main():
    grid = beat_grid()
    num_states, num_edges = len(grid[3]), len(grid[0])
    dens = densities(FRAMES)
    print(
        f"beat grid at {FPS} fps: {len(INTERVALS)} lanes, {num_states} states, "
        f"{num_edges} edges, 2 observation columns; {FRAMES} frames, best of {REPEATS}"
    )
    with tempfile.TemporaryDirectory() as workdir:
        floor = floor_seconds_per_frame(load_floor(workdir), num_states, FRAMES)
    print(f"{'chunk':>6} {'step us/frame':>14} {'floor us/frame':>15} {'ratio':>6}")
    for chunk in CHUNKS:
        step = step_seconds_per_frame(grid, dens, chunk)
        print(f"{chunk:>6} {step * 1e6:>14.2f} {floor * 1e6:>15.2f} {step / floor:>6.2f}")


if __name__ == "__main__":
    main()
