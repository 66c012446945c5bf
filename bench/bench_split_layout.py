"""_split_layout beside the same steps written as whole-array NumPy code."""

from common import Grid, best_per_call, numpy_split_layout

from plintor.model._kernels import _split_layout


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
