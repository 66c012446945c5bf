"""Offline beat tracking beside the bare decode it wraps.

BeatTracker.track on five minutes of beat activations at 100 fps against the decode
call alone on the same grid, with the log-densities already formed.  The ratio is
what the host layer costs: validation, densities, beat placement (the grid is built
once, by the warm-up call, and kept).  The target is at most 1.5.

    python bench/bench_tracking.py [--repeat N]
"""

import argparse
import ctypes

import numpy as np
from common import best_of

from plintor.model._kernels import decode
from plintor.model.example import synthetic_piece
from plintor.model.tracking import BeatTracker

SECONDS = 300.0
TARGET = 1.5


def run(grids: list, lib: ctypes.CDLL | None, repeat: int) -> dict:
    act = synthetic_piece(duration=SECONDS).activations.sum(axis=1).astype(np.float32)
    tracker = BeatTracker()
    grid = tracker.grid.build()
    columns = tracker.observation.columns(grid)
    log_dens = tracker.observation.log_densities(act)
    tracker.track(act)  # builds and keeps the grid

    def bare():
        return decode(grid.pred, grid.ptr, grid.log_prob, log_dens, columns, grid.log_initial)

    track_s, decode_s = float("inf"), float("inf")
    for _ in range(repeat):  # in turns, so that both see the same load
        track_s = min(track_s, best_of(lambda: tracker.track(act), 1))
        decode_s = min(decode_s, best_of(bare, 1))
    ratio = track_s / decode_s
    verdict = "ok" if ratio <= TARGET else f"above the target {TARGET}"
    print(f"{'frames':>8}{'track ms':>10}{'decode ms':>11}{'ratio':>7}")
    print(f"{len(act):>8}{track_s * 1e3:>10.1f}{decode_s * 1e3:>11.1f}{ratio:>7.2f}  {verdict}")
    return {"frames": len(act), "track_s": track_s, "decode_s": decode_s, "ratio": ratio}


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--repeat", type=int, default=5, help="runs per timing (best taken)")
    run([], None, parser.parse_args().repeat)
