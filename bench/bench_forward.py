"""ForwardDecoder: step per frame beside the sequential-sum floor, and construction.

Every frame ends with the sum of all N masses, a chain of N dependent float32
additions that no reordering may shorten; probes.cpp's serial_sum, a loop of N such
additions built with the extension's flags, is the floor step is shown against.  Each
row is also shown against the literal frame loops (literal_frames.cpp, see literal.py),
timed per frame over LITERAL_FRAMES frames in one call, and checked to give the same
states.
Construction is compared with the same work written as NumPy steps: the split of
bench_split_layout.py and the decoder's three buffers.
"""

import ctypes

import numpy as np
from common import Grid, best_of, best_per_call, densities, numpy_split_layout
from literal import literal_step

from plintor.model._kernels import ForwardDecoder

NUM_FRAMES = 30_000
CHUNKS = (1, 100, 10_000)
LITERAL_FRAMES = 3_000


def floor_per_frame(lib: ctypes.CDLL, num_states: int, repeat: int) -> float:
    serial_sum = lib.serial_sum
    serial_sum.argtypes = [ctypes.c_void_p, ctypes.c_int64, ctypes.c_int64]
    serial_sum.restype = ctypes.c_float
    values = np.full(num_states, 1 / num_states, np.float32)
    passes = max(1, 20_000_000 // num_states)
    return best_of(lambda: serial_sum(values.ctypes.data, num_states, passes), repeat) / passes


def step_per_frame(grid: Grid, dens: np.ndarray, chunk: int, repeat: int) -> float:
    pieces = [dens[i : i + chunk] for i in range(0, len(dens), chunk)]
    decoder = ForwardDecoder(grid.pred, grid.ptr, grid.prob, grid.columns, grid.initial)

    def run():
        for piece in pieces:
            decoder.step(piece)

    return best_of(run, repeat) / len(dens)


def same_as_literal(grid: Grid, dens: np.ndarray, literal) -> bool:
    """Whether step gives the literal loops' states."""
    decoder = ForwardDecoder(grid.pred, grid.ptr, grid.prob, grid.columns, grid.initial)
    states = np.concatenate([decoder.step(dens[i : i + 100]) for i in range(0, len(dens), 100)])
    return np.array_equal(states, literal(dens)[0])


def numpy_construction(grid: Grid) -> tuple:
    layout = numpy_split_layout(grid.pred, grid.ptr, grid.prob, grid.columns, 1.0)
    pl = np.empty(max(len(layout["pred_list"]), 1), np.float32)
    copies = [np.array(grid.initial, dtype=np.float32, copy=True) for _ in range(2)]
    return layout, pl, copies, np.empty(grid.num_states, np.float32)


def run(grids: list[Grid], lib: ctypes.CDLL, repeat: int) -> dict:
    rows = []
    dens = densities(NUM_FRAMES)
    print(f"{'grid':6}{'frames':>8}{'chunk':>7}{'step us/frame':>15}{'floor us':>10}"
          f"{'ratio':>7}{'literal us':>12}{'vs literal':>12}{'same':>6}")  # fmt: skip
    for grid in grids:
        runs = [(NUM_FRAMES, chunk) for chunk in CHUNKS] + [(NUM_FRAMES // 3, CHUNKS[-1])]
        literal = literal_step(lib, grid)
        some = dens[:LITERAL_FRAMES]
        same = same_as_literal(grid, some, literal)
        # The floor, the literal loops and every step timing take turns, so
        # that each sees the same share of whatever else the machine is running.
        floor, plain, steps = float("inf"), float("inf"), [float("inf")] * len(runs)
        for _ in range(repeat):
            floor = min(floor, floor_per_frame(lib, grid.num_states, 1) * 1e6)
            plain = min(plain, best_of(lambda run=literal, x=some: run(x), 1) / len(some) * 1e6)
            for i, (num_frames, chunk) in enumerate(runs):
                step = step_per_frame(grid, dens[:num_frames], chunk, 1) * 1e6
                steps[i] = min(steps[i], step)
        for (num_frames, chunk), step in zip(runs, steps, strict=True):
            rows.append({"grid": grid.name, "frames": num_frames, "chunk": chunk,
                         "us_per_frame": step, "floor_us": floor, "literal_us": plain,
                         "same_as_literal": same})  # fmt: skip
            print(f"{grid.name:6}{num_frames:>8}{chunk:>7}{step:>15.2f}{floor:>10.2f}"
                  f"{step / floor:>7.2f}{plain:>12.2f}{plain / step:>11.2f}x"
                  f"{'yes' if same else 'NO':>6}")  # fmt: skip
    construction = []
    print(f"{'grid':6}{'ForwardDecoder()':>18}{'NumPy steps':>13}{'speed-up':>10}")
    for grid in grids:
        args = (grid.pred, grid.ptr, grid.prob, grid.columns, grid.initial)
        ours = best_per_call(lambda args=args: ForwardDecoder(*args))
        theirs = best_per_call(lambda grid=grid: numpy_construction(grid))
        construction.append({"grid": grid.name, "us": ours * 1e6, "numpy_us": theirs * 1e6})
        print(f"{grid.name:6}{ours * 1e6:>15.1f} us{theirs * 1e6:>10.1f} us"
              f"{theirs / ours:>9.1f}x")  # fmt: skip
    return {"step": rows, "construction": construction}
