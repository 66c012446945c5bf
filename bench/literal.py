"""The literal frame loops of literal_frames.cpp, called through ctypes.

Both run over the split layout that _split_layout returns, split once per grid, and
give decode's path and log-probability, or step's argmax states and final belief, bit
for bit.  The kernels are shown against them: what the vector paths and the plan buy
over the plain transcription of the same recursions, built with the same flags.
"""

import ctypes

import numpy as np
from common import Grid

from plintor.model._kernels import _split_layout

F4, U4, U1, I8 = np.float32, np.uint32, np.uint8, np.int64
KEYS = ("bnd_state", "pred_list", "bnd_src", "bnd_orig", "bnd_ptr", "bnd_weight", "bnd_dcol",
        "run_lo", "run_hi", "run_col")  # fmt: skip


class LiteralLayout(ctypes.Structure):
    _fields_ = [(key, ctypes.c_void_p) for key in KEYS] + [
        ("num_bnd", ctypes.c_int32),
        ("num_pred", ctypes.c_int32),
        ("num_runs", ctypes.c_int32),
    ]


class Split:
    """A grid's split layout, kept alive beside the structure that points into it."""

    def __init__(self, layout: dict):
        self.arrays = {key: np.ascontiguousarray(layout[key]) for key in KEYS}
        pointers = [self.arrays[key].ctypes.data for key in KEYS]
        counts = (len(self.arrays["bnd_state"]), len(self.arrays["pred_list"]),
                  len(self.arrays["run_lo"]))  # fmt: skip
        self.struct = LiteralLayout(*pointers, *counts)


_splits: dict[tuple[str, str], Split] = {}


def _split(grid: Grid, domain: str) -> Split:
    """The grid's split for the log or the linear domain, made once."""
    key = (grid.name, domain)
    if key not in _splits:
        weight, identity = (grid.log_prob, 0.0) if domain == "log" else (grid.prob, 1.0)
        _splits[key] = Split(_split_layout(grid.pred, grid.ptr, weight, grid.columns, identity))
    return _splits[key]


def literal_decode(lib: ctypes.CDLL, grid: Grid):
    """A decode(pred, ptr, log_prob, log_dens, columns, log_initial) by the literal loops."""
    function = lib.literal_decode
    function.restype = ctypes.c_double
    split = _split(grid, "log")
    num_bnd, num_pred = len(split.arrays["bnd_state"]), len(split.arrays["pred_list"])

    def decode(pred, ptr, log_prob, log_dens, columns, log_initial):
        num_frames, num_cols = log_dens.shape
        n = len(log_initial)
        prev, cur = log_initial.copy(), np.empty(n, F4)
        pl, is_bnd, bnd_col = np.empty(max(num_pred, 1), F4), np.empty(n, U1), np.empty(n, U4)
        bt, path = np.empty((num_frames, max(num_bnd, 1)), U4), np.empty(num_frames, I8)
        pointers = [a.ctypes.data_as(ctypes.c_void_p) for a in (log_dens, prev, cur, pl, is_bnd,
                                                                 bnd_col, bt, path)]  # fmt: skip
        log_probability = function(
            ctypes.byref(split.struct), ctypes.c_int32(n), pointers[0], ctypes.c_int32(num_frames),
            ctypes.c_int32(num_cols), ctypes.c_int32(1024), *pointers[1:],
        )  # fmt: skip
        return path, log_probability

    return decode


def literal_step(lib: ctypes.CDLL, grid: Grid):
    """A function that steps `dens` from grid.initial by the literal loops and returns
    the argmax states and the final belief."""
    function = lib.literal_step
    function.restype = None
    split = _split(grid, "linear")
    num_pred = len(split.arrays["pred_list"])

    def step(dens):
        num_frames, num_cols = dens.shape
        n = grid.num_states
        belief, scratch = grid.initial.astype(F4), np.empty(n, F4)
        pl, out = np.empty(max(num_pred, 1), F4), np.empty(max(num_frames, 1), U4)
        pointers = [a.ctypes.data_as(ctypes.c_void_p) for a in (belief, scratch, pl, out)]
        function(
            ctypes.byref(split.struct), ctypes.c_int32(n),
            dens.ctypes.data_as(ctypes.c_void_p), ctypes.c_int32(num_frames),
            ctypes.c_int32(num_cols), *pointers,
        )  # fmt: skip
        return out[:num_frames], belief

    return step
