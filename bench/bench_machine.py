"""What the machine itself gives: memory bandwidth, against which decode's back-pointer
writes are shown, and whether large allocations get transparent huge pages."""

import ctypes
from pathlib import Path

import numpy as np
from common import best_of

NUM_FLOATS = 64 * 2**20 // 4  # 64 MiB, far beyond the caches


def run(grids, lib: ctypes.CDLL, repeat: int) -> dict:
    copy = lib.stream_copy
    copy.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_int64]
    src = np.ones(NUM_FLOATS, np.float32)
    dst = np.zeros(NUM_FLOATS, np.float32)
    seconds = best_of(lambda: copy(src.ctypes.data, dst.ctypes.data, NUM_FLOATS), repeat)
    bandwidth = 2 * src.nbytes / seconds / 1e9
    thp = Path("/sys/kernel/mm/transparent_hugepage/enabled")
    huge_pages = thp.read_text().strip() if thp.exists() else "unknown"
    print(f"memory bandwidth (64 MiB copy, read + write): {bandwidth:.1f} GB/s")
    print(f"transparent huge pages: {huge_pages}")
    return {"bandwidth_gb_s": bandwidth, "transparent_huge_pages": huge_pages}
