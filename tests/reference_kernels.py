"""NumPy stand-ins for the compiled decoders, with the same arguments and semantics.

They also enforce the compiled module's argument contract (exact dtypes, C-contiguous,
writable, at most 16 columns, a valid interior/boundary layout), so the host arrays are checked
on every call.  Vectorised over edges with a loop over frames: fine for test-sized inputs.
"""

import numpy as np
from numpy.typing import NDArray

MAX_COLUMNS = 16


def _check_array(name: str, array: np.ndarray, dtype: type, ndim: int) -> None:
    assert isinstance(array, np.ndarray), f"{name} is {type(array).__name__}, not ndarray"
    assert array.dtype == dtype, f"{name} has dtype {array.dtype}, not {np.dtype(dtype)}"
    assert array.ndim == ndim, f"{name} has {array.ndim} dimensions, not {ndim}"
    assert array.flags.c_contiguous, f"{name} is not C-contiguous"
    assert array.flags.writeable, f"{name} is not writable"


def _check_graph(pred, ptr, weight, columns, per_state, identity: float) -> None:
    for name, array, dtype in [
        ("pred", pred, np.uint32),
        ("ptr", ptr, np.uint32),
        ("weight", weight, np.float32),
        ("columns", columns, np.uint32),
        ("initial", per_state, np.float32),
    ]:
        _check_array(name, array, dtype, 1)
    num_states = ptr.size - 1
    counts = np.diff(ptr.astype(np.int64))
    assert ptr[0] == 0 and ptr[-1] == pred.size == weight.size
    assert columns.size == per_state.size == num_states
    assert (counts >= 1).all(), "a state has no predecessor"
    assert (pred < num_states).all()
    first = ptr[:-1].astype(np.int64)
    interior = (counts == 1) & (pred[first] == np.arange(num_states) - 1)
    interior &= weight[first] == identity
    assert not interior[0], "state 0 must not be interior"


def _edge_targets(ptr: NDArray[np.uint32]) -> NDArray[np.int64]:
    return np.repeat(np.arange(ptr.size - 1), np.diff(ptr.astype(np.int64)))


def decode(pred, ptr, log_prob, log_dens, columns, log_initial, renorm_period=1024):
    """Viterbi path and its log-probability (float32 arithmetic, first edge wins ties)."""
    _check_graph(pred, ptr, log_prob, columns, log_initial, 0.0)
    _check_array("log_dens", log_dens, np.float32, 2)
    assert log_dens.shape[1] <= MAX_COLUMNS
    starts = ptr[:-1].astype(np.int64)
    edge_index = np.arange(pred.size)
    target = _edge_targets(ptr)
    score = log_initial.copy()
    back = np.empty((len(log_dens), score.size), dtype=np.uint32)
    offset = 0.0
    for t, row in enumerate(log_dens):
        candidate = score[pred] + log_prob
        best = np.maximum.reduceat(candidate, starts)
        winner = np.where(candidate == best[target], edge_index, pred.size)
        back[t] = pred[np.minimum.reduceat(winner, starts)]
        score = best + row[columns]
        if renorm_period > 0 and (t + 1) % renorm_period == 0:
            offset += float(score.max())
            score -= score.max()
    state = int(np.argmax(score))
    log_probability = offset + float(score[state])
    path = np.empty(len(log_dens), dtype=np.int64)
    for t in range(len(log_dens) - 1, -1, -1):
        path[t] = state
        state = int(back[t, state])
    return path, log_probability


class ForwardDecoder:
    """Filtered argmax state per frame, belief kept across :meth:`step` calls."""

    def __init__(self, pred, ptr, prob, columns, initial):
        _check_graph(pred, ptr, prob, columns, initial, 1.0)
        self._pred, self._prob, self._columns = pred.copy(), prob.copy(), columns.copy()
        self._starts = ptr[:-1].astype(np.int64)
        self._initial = initial.copy()
        self._belief = initial.copy()

    def reset(self):
        self._belief = self._initial.copy()

    def step(self, dens):
        _check_array("dens", dens, np.float32, 2)
        assert dens.shape[1] <= MAX_COLUMNS
        out = np.zeros(len(dens), dtype=np.uint32)
        for t, row in enumerate(dens):
            flow = np.add.reduceat(self._belief[self._pred] * self._prob, self._starts)
            mass = flow * row[self._columns]
            total = mass.sum(dtype=np.float32)
            if total > 0:
                mass /= total
                out[t] = np.argmax(mass)
            self._belief = mass
        return out
