"""decode against a generic CSR Viterbi on the standard beat grid.

The grid runs at 100 frames per second with one tempo lane per beat interval
of 28 to 109 frames: 82 lanes, 5,617 states.  Within a lane a state advances
from s-1 to s at log-probability 0; the first state of each lane is entered
from the last state of every lane, with probability proportional to
exp(-100 |L_to / L_from - 1|), normalised per source lane after dropping what
falls to machine epsilon or below.  Column 0 (beat) scores the first L/16
states of a lane, column 1 (no beat) the rest.

The baseline, csr_viterbi.cpp beside this file, is built here with the
extension's optimisation and floating-point flags.  Peak extra memory is what
tracemalloc sees, which covers every NumPy allocation.  Run it from the
worktree root once the package is installed: .venv/bin/python bench/bench_decode.py
"""

import ctypes
import pathlib
import subprocess
import tempfile
import time
import tracemalloc

import numpy as np

from plintor.model._kernels import decode

NUM_FRAMES = 30_000
REPEATS = 3
TEMPO_CHANGE_LAMBDA = 100.0
DROP_AT_OR_BELOW = 2.220446e-16
CXXFLAGS = ["-O3", "-ffp-contract=off", "-fno-fast-math", "-fno-math-errno", "-std=c++20"]


def beat_grid(min_interval=28, max_interval=109):
    """pred, ptr, log_prob and columns of the grid, built without a loop."""
    intervals = np.arange(min_interval, max_interval + 1)
    starts = np.concatenate(([0], np.cumsum(intervals)[:-1]))
    num_states = int(intervals.sum())
    ratio = intervals[None, :] / intervals[:, None]  # [from lane, to lane]
    prob = np.exp(-TEMPO_CHANGE_LAMBDA * np.abs(ratio - 1))
    prob /= prob.sum(axis=1, keepdims=True)
    prob[prob <= DROP_AT_OR_BELOW] = 0
    prob /= prob.sum(axis=1, keepdims=True)

    fan_in = np.count_nonzero(prob, axis=0)
    counts = np.ones(num_states, np.int64)
    counts[starts] = fan_in
    ptr = np.concatenate(([0], np.cumsum(counts)))
    pred = np.repeat(np.arange(num_states) - 1, counts)  # s-1, until overwritten below
    log_prob = np.zeros(ptr[-1])
    # Tempo changes, sorted by target lane and then by source lane, fill the
    # edge rows of the lanes' first states in that order.
    to_lane, from_lane = np.nonzero(prob.T)
    rank = np.arange(len(to_lane)) - np.repeat(np.cumsum(fan_in) - fan_in, fan_in)
    edges = np.repeat(ptr[starts], fan_in) + rank
    pred[edges] = starts[from_lane] + intervals[from_lane] - 1
    log_prob[edges] = np.log(prob[from_lane, to_lane])

    position = np.arange(num_states) - np.repeat(starts, intervals)
    columns = (position >= np.repeat(intervals, intervals) / 16).astype(np.uint32)
    return {
        "pred": pred.astype(np.uint32),
        "ptr": ptr.astype(np.uint32),
        "log_prob": log_prob.astype(np.float32),
        "columns": columns,
    }


def load_baseline(directory):
    source = pathlib.Path(__file__).with_name("csr_viterbi.cpp")
    library = pathlib.Path(directory) / "csr_viterbi.so"
    subprocess.run(["g++", *CXXFLAGS, "-shared", "-fPIC", source, "-o", library], check=True)
    function = ctypes.CDLL(str(library)).csr_viterbi
    array = np.ctypeslib.ndpointer
    u4, f4, i8 = np.uint32, np.float32, np.int64
    function.argtypes = [array(u4), array(u4), array(f4), array(u4), ctypes.c_int32, array(f4)]
    function.argtypes += [ctypes.c_int32, ctypes.c_int32, ctypes.c_int32]
    function.argtypes += [array(f4), array(f4), array(u4), array(i8)]
    function.restype = ctypes.c_double

    def csr_viterbi(pred, ptr, log_prob, log_dens, columns, log_initial, renorm_period=1024):
        num_frames, num_states = len(log_dens), len(log_initial)
        prev, cur = log_initial.copy(), np.empty(num_states, f4)
        bt, path = np.empty((num_frames, num_states), u4), np.empty(num_frames, i8)
        log_probability = function(
            pred, ptr, log_prob, columns, num_states, log_dens, num_frames,
            log_dens.shape[1], renorm_period, prev, cur, bt, path,
        )  # fmt: skip
        return path, log_probability

    return csr_viterbi


def measure(run, args):
    """Best time of REPEATS runs, then the peak of one traced run."""
    times = []
    for _ in range(REPEATS):
        start = time.perf_counter()
        result = run(**args)
        times.append(time.perf_counter() - start)
    tracemalloc.start()
    run(**args)
    peak = tracemalloc.get_traced_memory()[1]
    tracemalloc.stop()
    return min(times), peak, result


def main():
    args = beat_grid()
    num_states = len(args["columns"])
    rng = np.random.default_rng(2024)
    args["log_dens"] = np.log(rng.uniform(0.01, 1.0, (NUM_FRAMES, 2))).astype(np.float32)
    args["log_initial"] = np.full(num_states, -np.log(num_states), np.float32)
    with tempfile.TemporaryDirectory() as directory:
        baseline = load_baseline(directory)
        rows = {"decode": measure(decode, args), "generic CSR Viterbi": measure(baseline, args)}

    (ours, our_peak, (path, lp)), (theirs, their_peak, (base_path, base_lp)) = rows.values()
    print(f"beat grid: {num_states} states, {len(args['pred'])} edges, {NUM_FRAMES} frames")
    print(f"{'':22}{'time per frame':>16}{'peak extra memory':>20}")
    for name, (seconds, peak, _) in rows.items():
        print(f"{name:22}{seconds / NUM_FRAMES * 1e6:>13.2f} us{peak / 2**20:>16.1f} MiB")
    print(f"{'baseline / decode':22}{theirs / ours:>15.1f}x{their_peak / our_peak:>19.1f}x")
    agree = np.array_equal(path, base_path) and lp == base_lp
    print(f"same path and log-probability: {'yes' if agree else 'NO'} ({lp:.6f})")


if __name__ == "__main__":
    main()
