"""_split_layout beside the same steps written as whole-array NumPy code."""

import sys
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
from common import beat_grid, best_time

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


def main() -> None:
    pred, ptr, log_prob, _, columns = beat_grid()
    args = (pred, ptr, log_prob, columns, 0.0)
    compiled = best_time(lambda: _split_layout(*args))
    reference = best_time(lambda: numpy_split_layout(*args))
    print(f"_split_layout on the beat grid ({len(ptr) - 1} states, {len(pred)} edges)")
    print(f"  compiled        {compiled * 1e6:9.1f} us")
    print(f"  NumPy steps     {reference * 1e6:9.1f} us")
    print(f"  speed-up        {reference / compiled:9.1f} x")


if __name__ == "__main__":
    main()
