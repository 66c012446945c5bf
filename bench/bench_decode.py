"""decode: time per frame, peak extra memory and page faults, beside the literal frame
loops and a generic CSR Viterbi.

Every row is shown against the literal loops (literal_frames.cpp, see literal.py) on the
same grid and frames: the plain transcription of the same recursion over the same
split.  The other baseline, csr_viterbi.cpp, reduces every state over all of its predecessors and
stores a back-pointer for every state in every frame, in a table it allocates afresh on
each call as a real call does; it is built with the extension's flags.  Peak extra
memory is what tracemalloc sees, which covers every NumPy allocation.  Separate calls on
separate threads show how decode scales with threads.
"""

import ctypes
import resource
import threading
import tracemalloc
from functools import partial

import numpy as np
from common import Grid, best_of, log_densities
from literal import literal_decode

from plintor.model._kernels import decode

FRAME_COUNTS = (10_000, 30_000)
THREAD_CALLS = 4


def csr_baseline(lib: ctypes.CDLL):
    function = lib.csr_viterbi
    array = np.ctypeslib.ndpointer
    u4, f4, i8 = np.uint32, np.float32, np.int64
    function.argtypes = [array(u4), array(u4), array(f4), array(u4), ctypes.c_int32, array(f4)]
    function.argtypes += [ctypes.c_int32, ctypes.c_int32, ctypes.c_int32]
    function.argtypes += [array(f4), array(f4), array(u4), array(i8)]
    function.restype = ctypes.c_double

    def csr_viterbi(pred, ptr, log_prob, log_dens, columns, log_initial):
        num_frames, num_states = len(log_dens), len(log_initial)
        prev, cur = log_initial.copy(), np.empty(num_states, f4)
        bt, path = np.empty((num_frames, num_states), u4), np.empty(num_frames, i8)
        log_probability = function(
            pred, ptr, log_prob, columns, num_states, log_dens, num_frames,
            log_dens.shape[1], 1024, prev, cur, bt, path,
        )  # fmt: skip
        return path, log_probability

    return csr_viterbi


def decode_args(grid: Grid, num_frames: int) -> tuple:
    return (grid.pred, grid.ptr, grid.log_prob, log_densities(num_frames), grid.columns,
            grid.log_initial)  # fmt: skip


def peak_and_faults(run, args) -> tuple[int, int]:
    """Peak extra bytes NumPy allocates in one call, and the minor page faults it takes."""
    tracemalloc.start()
    before = resource.getrusage(resource.RUSAGE_SELF).ru_minflt
    run(*args)
    faults = resource.getrusage(resource.RUSAGE_SELF).ru_minflt - before
    peak = tracemalloc.get_traced_memory()[1]
    tracemalloc.stop()
    return peak, faults


def in_turn(calls: list, repeat: int) -> list[float]:
    """The best seconds of each call, the calls taking turns so that each sees the same
    share of whatever else the machine is running."""
    best = [float("inf")] * len(calls)
    for _ in range(repeat):
        for i, call in enumerate(calls):
            best[i] = min(best[i], best_of(call, 1))
    return best


def measure(name: str, run, args, repeat: int, seconds: float | None = None) -> dict:
    num_frames = len(args[3])
    if seconds is None:
        seconds = best_of(lambda: run(*args), repeat)
    peak, faults = peak_and_faults(run, args)
    return {"what": name, "frames": num_frames, "us_per_frame": seconds / num_frames * 1e6,
            "peak_mib": peak / 2**20, "page_faults": faults}  # fmt: skip


def threads_throughput(args, num_threads: int) -> float:
    """decode calls per second when `num_threads` threads share THREAD_CALLS calls."""
    per_thread = THREAD_CALLS // num_threads

    def work():
        for _ in range(per_thread):
            decode(*args)

    def run():
        threads = [threading.Thread(target=work) for _ in range(num_threads)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()

    return THREAD_CALLS / best_of(run, 3)


def run(grids: list[Grid], lib: ctypes.CDLL, repeat: int) -> dict:
    # Every grid's calls take turns with every other's, so that the rows compare grids
    # as well as each grid against its literal loops.
    literals = {grid.name: literal_decode(lib, grid) for grid in grids}
    cases = [(grid, num_frames, decode_args(grid, num_frames), literals[grid.name])
             for grid in grids for num_frames in FRAME_COUNTS]  # fmt: skip
    calls = [partial(loop, *args) for _, _, args, literal in cases for loop in (decode, literal)]
    seconds = in_turn(calls, repeat)
    rows = []
    for k, (grid, num_frames, args, literal) in enumerate(cases):
        ours, plain = seconds[2 * k], seconds[2 * k + 1]
        row = measure("decode", decode, args, repeat, ours)
        agree = same(decode(*args), literal(*args))
        rows.append({"grid": grid.name, "states": grid.num_states, "edges": grid.num_edges,
                     "literal_us_per_frame": plain / num_frames * 1e6,
                     "same_as_literal": agree, **row})  # fmt: skip
    beat = grids[0]
    args = decode_args(beat, FRAME_COUNTS[-1])
    baseline = measure("generic CSR Viterbi", csr_baseline(lib), args, repeat)
    ours = next(r for r in rows if r["grid"] == beat.name and r["frames"] == FRAME_COUNTS[-1])
    path, lp = decode(*args)
    base_path, base_lp = csr_baseline(lib)(*args)
    threads = {n: threads_throughput(args, n) for n in (1, 2)}

    print(f"{'grid':6}{'states':>8}{'edges':>8}{'frames':>8}{'us/frame':>10}"
          f"{'ns/(N+E)':>10}{'peak MiB':>10}{'faults':>8}{'literal us':>12}{'vs literal':>12}"
          f"{'same':>6}")  # fmt: skip
    for r in rows:
        per_unit = r["us_per_frame"] * 1e3 / (r["states"] + r["edges"])
        speedup = r["literal_us_per_frame"] / r["us_per_frame"]
        print(f"{r['grid']:6}{r['states']:>8}{r['edges']:>8}{r['frames']:>8}"
              f"{r['us_per_frame']:>10.3f}{per_unit:>10.4f}{r['peak_mib']:>10.1f}"
              f"{r['page_faults']:>8}{r['literal_us_per_frame']:>12.3f}{speedup:>11.2f}x"
              f"{'yes' if r['same_as_literal'] else 'NO':>6}")  # fmt: skip
    print_per_unit_against(rows, beat.name)
    b = baseline
    print(
        f"{'CSR':6}{beat.num_states:>8}{beat.num_edges:>8}{b['frames']:>8}"
        f"{b['us_per_frame']:>10.3f}{'':>10}{b['peak_mib']:>10.1f}{b['page_faults']:>8}"
    )
    speedup = b["us_per_frame"] / ours["us_per_frame"]
    print(
        f"beat grid: CSR baseline / decode = {speedup:.1f}x time, "
        f"{b['peak_mib'] / ours['peak_mib']:.1f}x memory; same path and log-probability: "
        f"{'yes' if np.array_equal(path, base_path) and lp == base_lp else 'NO'}"
    )
    print(f"back-pointer table T*B*4 = {FRAME_COUNTS[-1] * 4 * _num_bnd(beat) / 2**20:.1f} MiB")
    print(
        f"threads: {threads[1]:.1f} decodes/s on 1 thread, {threads[2]:.1f} on 2 "
        f"({threads[2] / threads[1]:.2f}x)"
    )
    return {"decode": rows, "csr_baseline": baseline, "csr_speedup": speedup,
            "decodes_per_second": threads}  # fmt: skip


def print_per_unit_against(rows: list[dict], reference: str) -> None:
    """Each grid's time per state and edge over the reference grid's, frame count by
    frame count."""
    per_unit = {(r["grid"], r["frames"]): r["us_per_frame"] / (r["states"] + r["edges"])
                for r in rows}  # fmt: skip
    for num_frames in FRAME_COUNTS:
        ratios = [f"{grid} {value / per_unit[reference, num_frames]:.2f}x"
                  for (grid, frames), value in per_unit.items()
                  if frames == num_frames and grid != reference]  # fmt: skip
        print(f"per (N+E) over the {reference} grid, {num_frames} frames: {', '.join(ratios)}")


def same(ours, theirs) -> bool:
    """The same path and log-probability."""
    return np.array_equal(ours[0], theirs[0]) and ours[1] == theirs[1]


def _num_bnd(grid: Grid) -> int:
    from plintor.model._kernels import _split_layout

    layout = _split_layout(grid.pred, grid.ptr, grid.log_prob, grid.columns, 0.0)
    return len(layout["bnd_state"])
