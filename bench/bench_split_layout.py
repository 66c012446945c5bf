"""_split_layout beside the same steps written as whole-array NumPy code."""

import numpy as np
from common import Grid, best_per_call

from plintor.model._kernels import _split_layout


def numpy_split_layout(pred, ptr, weight, columns, identity):
    ptr_np = np.asarray(ptr).astype(np.int64)
    pred_np = np.asarray(pred).astype(np.int64)
    weight_np = np.asarray(weight).astype(np.float64)
    num_states = ptr_np.shape[0] - 1
    counts = np.diff(ptr_np)
    first = ptr_np[:num_states]
    is_det = (
        (counts == 1)
        & (pred_np[first] == np.arange(num_states) - 1)
        & (weight_np[first] == identity)
    )
    bnd = np.nonzero(~is_det)[0]
    glob = np.concatenate([np.arange(ptr_np[s], ptr_np[s + 1]) for s in bnd])
    bnd_orig = pred_np[glob].astype(np.uint32)
    pred_list, bnd_src = np.unique(bnd_orig, return_inverse=True)
    col_np = np.asarray(columns).astype(np.int64)
    change = np.nonzero(np.diff(col_np))[0] + 1
    run_lo = np.concatenate(([0], change)).astype(np.int64)
    run_lo[0] = 1
    return {
        "bnd_state": np.ascontiguousarray(bnd, dtype=np.uint32),
        "pred_list": np.ascontiguousarray(pred_list, dtype=np.uint32),
        "bnd_src": np.ascontiguousarray(bnd_src, dtype=np.uint32),
        "bnd_orig": bnd_orig,
        "bnd_ptr": np.concatenate(([0], np.cumsum(counts[bnd]))).astype(np.int64),
        "bnd_weight": np.ascontiguousarray(weight_np[glob], dtype=np.float32),
        "bnd_dcol": np.ascontiguousarray(col_np[bnd], dtype=np.uint32),
        "run_lo": run_lo,
        "run_hi": np.concatenate((change, [num_states])).astype(np.int64),
        "run_col": np.ascontiguousarray(col_np[np.concatenate(([0], change))], dtype=np.uint32),
    }


def run(grids: list[Grid], lib, repeat: int) -> dict:
    rows = []
    print(f"{'grid':6}{'_split_layout':>15}{'NumPy steps':>13}{'speed-up':>10}")
    for grid in grids:
        args = (grid.pred, grid.ptr, grid.log_prob, grid.columns, 0.0)
        ours = best_per_call(lambda args=args: _split_layout(*args), repeat)
        theirs = best_per_call(lambda args=args: numpy_split_layout(*args), repeat)
        rows.append({"grid": grid.name, "us": ours * 1e6, "numpy_us": theirs * 1e6})
        print(f"{grid.name:6}{ours * 1e6:>12.1f} us{theirs * 1e6:>10.1f} us"
              f"{theirs / ours:>9.1f}x")  # fmt: skip
    return {"split_layout": rows}
