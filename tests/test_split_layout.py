"""_split_layout against a whole-array NumPy transcription of the same steps."""

import warnings

import numpy as np
import pytest
from graphs import numpy_split_layout
from hypothesis import given, settings
from hypothesis import strategies as st

from plintor.model._kernels import _split_layout

KEYS = [
    "bnd_state",
    "pred_list",
    "bnd_src",
    "bnd_orig",
    "bnd_ptr",
    "bnd_weight",
    "bnd_dcol",
    "run_lo",
    "run_hi",
    "run_col",
]


def outcome(func, *args):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        try:
            return func(*args)
        except (IndexError, ValueError, OverflowError) as exc:
            return exc


def assert_same_outcome(pred, ptr, weight, columns, identity):
    expected = outcome(numpy_split_layout, pred, ptr, weight, columns, identity)
    actual = outcome(_split_layout, pred, ptr, weight, columns, identity)
    if isinstance(expected, Exception):
        assert type(actual) is type(expected), (actual, expected)
        assert str(actual) == str(expected)
        return
    assert isinstance(actual, dict), actual
    assert list(actual) == KEYS
    for key in KEYS:
        got, want = actual[key], expected[key]
        assert got.dtype == want.dtype, key
        assert got.ndim == 1 and got.flags.c_contiguous, key
        assert got.tobytes() == want.tobytes(), (key, got, want)


TWO_LANES = {
    "ptr": [0, 2, 3, 4, 6, 7, 8],
    "pred": [2, 5, 0, 1, 2, 5, 3, 4],
    "weight": [-0.25, -1.5, 0, 0, -1.5, -0.25, 0, 0],
    "columns": [0, 0, 0, 1, 1, 1],
}


class TestWorkedExamples:
    def test_two_lanes(self):
        g = TWO_LANES
        layout = _split_layout(g["pred"], g["ptr"], g["weight"], g["columns"], 0.0)
        expected = {
            "bnd_state": [0, 3],
            "pred_list": [2, 5],
            "bnd_src": [0, 1, 0, 1],
            "bnd_orig": [2, 5, 2, 5],
            "bnd_ptr": [0, 2, 4],
            "bnd_weight": [-0.25, -1.5, -1.5, -0.25],
            "bnd_dcol": [0, 1],
            "run_lo": [1, 3],
            "run_hi": [3, 6],
            "run_col": [0, 1],
        }
        assert {key: value.tolist() for key, value in layout.items()} == expected

    @pytest.mark.parametrize(
        ("columns", "run_lo", "run_hi", "run_col"),
        [([0, 0, 0, 0], [1], [4], [0]), ([0, 1, 1, 2], [1, 1, 3], [1, 3, 4], [0, 1, 2])],
    )
    def test_single_lane(self, columns, run_lo, run_hi, run_col):
        layout = _split_layout([3, 0, 1, 2], [0, 1, 2, 3, 4], [0.0] * 4, columns, 0.0)
        assert layout["bnd_state"].tolist() == [0]
        assert layout["bnd_ptr"].tolist() == [0, 1]
        assert layout["run_lo"].tolist() == run_lo
        assert layout["run_hi"].tolist() == run_hi
        assert layout["run_col"].tolist() == run_col

    def test_identity_is_compared_exactly(self):
        weights = [0.0, -0.0, 1e-30, 0.0]
        layout = _split_layout([3, 0, 1, 2], [0, 1, 2, 3, 4], weights, [0] * 4, 0.0)
        assert layout["bnd_state"].tolist() == [0, 2]
        nan_layout = _split_layout([3, 0, 1, 2], [0, 1, 2, 3, 4], [0.0] * 4, [0] * 4, float("nan"))
        assert nan_layout["bnd_state"].tolist() == [0, 1, 2, 3]

    def test_middle_state_without_predecessors(self):
        layout = _split_layout([3, 0, 2], [0, 1, 2, 2, 3], [0.0] * 3, [0] * 4, 0.0)
        assert layout["bnd_state"].tolist() == [0, 2]
        assert layout["bnd_ptr"].tolist() == [0, 1, 1]

    @pytest.mark.parametrize(
        ("pred", "ptr", "columns"),
        [([3, 0, 1], [0, 1, 2, 3, 3], [0] * 4), ([0], [0, 1], [])],
        ids=["last state without predecessors", "empty columns"],
    )
    def test_index_errors(self, pred, ptr, columns):
        with pytest.raises(IndexError):
            _split_layout(pred, ptr, [0.0] * len(pred), columns, 0.0)

    def test_weights_round_to_float32(self):
        layout = _split_layout([0], [0, 1], [0.1], [0], 0.0)
        assert layout["bnd_weight"].tolist() == [np.float32(0.1)]
        layout = _split_layout([0], [0, 1], [1e300], [0], 0.0)
        assert layout["bnd_weight"].tolist() == [np.inf]

    def test_result_shares_no_memory_with_arguments(self):
        g = {key: np.asarray(value) for key, value in TWO_LANES.items()}
        layout = _split_layout(g["pred"], g["ptr"], g["weight"], g["columns"], 0.0)
        for value in layout.values():
            for arg in g.values():
                assert not np.shares_memory(value, arg)

    def test_graph_is_read_before_columns_are_converted(self):
        # Converting columns may run Python code: here it rewrites the offsets and
        # predecessors, which the split has read by then.
        def graph():
            return np.array(TWO_LANES["pred"], np.int64), np.array(TWO_LANES["ptr"], np.int64)

        class Columns:
            def __init__(self, pred, ptr):
                self.pred, self.ptr = pred, ptr

            def __array__(self, dtype=None, copy=None):
                self.pred[:] = 1
                self.ptr[1:] = np.arange(1, len(self.ptr))
                return np.array(TWO_LANES["columns"], dtype=dtype)

        weight = np.array(TWO_LANES["weight"])
        expected = numpy_split_layout(*graph(), weight, TWO_LANES["columns"], 0.0)
        pred, ptr = graph()
        layout = _split_layout(pred, ptr, weight, Columns(pred, ptr), 0.0)
        assert pred.tolist() == [1] * len(pred)  # the conversion did run
        for key in KEYS:
            assert layout[key].tolist() == expected[key].tolist(), key

    @pytest.mark.parametrize("ptr", [np.int64(3), np.zeros((2, 2), np.int64)])
    def test_ptr_must_be_one_dimensional(self, ptr):
        with pytest.raises(ValueError, match="argument 'ptr' must be one-dimensional"):
            _split_layout([0], ptr, [0.0], [0], 0.0)


class TestBinding:
    @pytest.mark.parametrize(
        ("args", "kwargs", "message"),
        [
            ((1, 2, 3, 4), {}, "_split_layout() takes exactly 5 positional arguments (4 given)"),
            ((1,) * 6, {}, "_split_layout() takes exactly 5 positional arguments (6 given)"),
            (
                (1, 2),
                {"weight": 3, "identity": 0.0},
                "_split_layout() takes exactly 5 positional arguments (3 given)",
            ),
            ((), {"ptr": 1}, "_split_layout() takes exactly 5 positional arguments (0 given)"),
            ((1,) * 5, {"x": 1}, "_split_layout() got an unexpected keyword argument 'x'"),
            (
                (1, 2, 3, 4),
                {"pred": 1},
                "_split_layout() got multiple values for keyword argument 'pred'",
            ),
            (
                (1, 2, 3, 4, 5, 6),
                {"pred": 1},
                "_split_layout() takes exactly 5 positional arguments (6 given)",
            ),
        ],
    )
    def test_argument_messages(self, args, kwargs, message):
        with pytest.raises(TypeError) as info:
            _split_layout(*args, **kwargs)
        assert str(info.value) == message

    def test_identity_conversion(self):
        class Index:
            def __index__(self):
                return 1

        layout = _split_layout([0, 0], [0, 1, 2], [1.0, 1.0], [0, 0], Index())
        assert layout["bnd_state"].tolist() == [0]
        with pytest.raises(TypeError, match="must be real number, not str"):
            _split_layout([0], [0, 1], [0.0], [0], "zero")


ints = st.integers(-3, 9)
weights = st.sampled_from([0.0, -0.0, 1.0, -1.5, 0.1, float("nan"), 1e40])
int_dtypes = st.sampled_from([np.int8, np.uint8, np.int32, np.uint32, np.int64, np.float64])
# Offsets stay small: a negative offset wrapped to a huge unsigned one would make the
# transcription build an index range of billions of edges.
offset_dtypes = st.sampled_from([np.int8, np.int32, np.int64, np.float64])
real_dtypes = st.sampled_from([np.float32, np.float64, np.float16])


@st.composite
def array_likes(draw, elements, dtypes):
    values = draw(st.lists(elements, max_size=12))
    kind = draw(st.sampled_from(["list", "array", "readonly", "strided"]))
    if kind == "list":
        return values
    dtype = draw(dtypes)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        array = np.array(values, dtype=np.float64).astype(dtype)
    if kind == "readonly":
        array.flags.writeable = False
    elif kind == "strided":
        array = np.repeat(array, 2)[::2]
    return array


@st.composite
def graphs(draw):
    """Small graphs that mostly follow the tempo-lane shape, sometimes far from it."""
    num_states = draw(st.integers(0, 8))
    if draw(st.booleans()):
        ptr = list(range(num_states + 1))
        pred = [s - 1 for s in range(num_states)]
        weight = [draw(st.sampled_from([0.0, 0.0, -0.5])) for _ in range(num_states)]
        columns = draw(st.lists(st.integers(0, 2), min_size=num_states, max_size=num_states))
        return pred, ptr, weight, columns
    return (
        draw(array_likes(ints, int_dtypes)),
        draw(array_likes(ints, offset_dtypes)),
        draw(array_likes(weights, real_dtypes)),
        draw(array_likes(st.integers(0, 3), int_dtypes)),
    )


@settings(max_examples=400, deadline=None)
@given(graphs(), st.sampled_from([0.0, -0.0, 1.0, float("nan")]))
def test_matches_numpy_transcription(graph, identity):
    assert_same_outcome(*graph, identity)


@settings(max_examples=100, deadline=None)
@given(st.data())
def test_valid_graphs_give_a_consistent_layout(data):
    lanes = data.draw(st.lists(st.integers(1, 6), min_size=1, max_size=5))
    ends = np.cumsum(lanes)
    starts = ends - lanes
    preds, weights = [], []
    for start in range(int(ends[-1])):
        if start in starts:
            sources = data.draw(st.lists(st.sampled_from(list(ends - 1)), min_size=1, max_size=3))
            preds.append(sources)
            weights.append([-0.5] * len(sources))
        else:
            preds.append([start - 1])
            weights.append([0.0])
    ptr = np.concatenate(([0], np.cumsum([len(p) for p in preds])))
    pred = np.concatenate(preds)
    columns = data.draw(st.lists(st.integers(0, 3), min_size=len(preds), max_size=len(preds)))
    layout = _split_layout(pred, ptr, np.concatenate(weights), columns, 0.0)
    assert layout["bnd_state"].tolist() == starts.tolist()
    assert layout["bnd_ptr"][-1] == len(layout["bnd_src"])
    assert (layout["pred_list"][layout["bnd_src"]] == layout["bnd_orig"]).all()
    covered = np.zeros(len(preds), dtype=int)
    for lo, hi, col in zip(layout["run_lo"], layout["run_hi"], layout["run_col"], strict=True):
        covered[lo:hi] += 1
        assert (np.asarray(columns)[lo:hi] == col).all()
    assert covered[0] == 0 and (covered[1:] == 1).all()


@st.composite
def long_graphs(draw):
    """Tempo-lane graphs with lanes long enough for the split's block test, some
    interior states turned into boundaries by a changed predecessor or weight, held
    in the array types the split reads in place and in others."""
    lengths = draw(st.lists(st.integers(1, 45), min_size=1, max_size=5))
    starts = np.cumsum([0, *lengths[:-1]])
    ends = starts + np.array(lengths) - 1
    num_states = int(sum(lengths))
    pred, ptr = [], [0]
    for s in range(num_states):
        if s in starts:
            pred += draw(st.lists(st.sampled_from(ends.tolist()), max_size=4))
        else:
            pred.append(s - 1)
        ptr.append(len(pred))
    identity = draw(st.sampled_from([0.0, -0.0, 1.0, 0.1, float("inf")]))
    pred = np.array(pred, np.int64)
    weight = np.full(len(pred), identity)
    for edge in draw(st.lists(st.integers(0, max(len(pred) - 1, 0)), max_size=3)):
        if len(pred):
            pred[edge] = (pred[edge] + 1) % num_states
    for edge in draw(st.lists(st.integers(0, max(len(pred) - 1, 0)), max_size=3)):
        if len(pred):
            weight[edge] = -0.5
    # Offsets may count from the end of pred, as negative indices.
    ptr = np.array(ptr, np.int64) - draw(st.sampled_from([0, 0, len(pred)]))
    run_lengths = draw(st.lists(st.integers(1, 30), min_size=1, max_size=8))
    columns = np.repeat(np.arange(len(run_lengths)) % 3, run_lengths)
    columns = np.resize(columns, num_states)
    ptr_type = draw(st.sampled_from([np.int64, np.int32] + [np.uint32] * bool(ptr.min() >= 0)))
    return (
        pred.astype(draw(st.sampled_from([np.uint32, np.int64, np.int32]))),
        ptr.astype(ptr_type),
        weight.astype(draw(st.sampled_from([np.float32, np.float64]))),
        columns.astype(draw(st.sampled_from([np.uint32, np.int64]))),
        identity,
    )


@settings(max_examples=300, deadline=None)
@given(long_graphs())
def test_long_graphs_match_numpy_transcription(case):
    assert_same_outcome(*case)


@pytest.mark.parametrize("sparse", [False, True])
def test_predecessors_that_fill_no_consecutive_slots(sparse):
    # Boundary states whose predecessors are not a run of slots of pred_list, and
    # predecessors far larger than their number.
    base = 2**31 if sparse else 0
    pred = np.array([base + 9, base + 3, base + 5, base + 3, 7, base + 9, 1], np.int64)
    ptr = np.array([0, 3, 3, 5, 7], np.int64)
    assert_same_outcome(pred, ptr, np.zeros(7), [0, 1, 1, 2], 0.0)
    # Five predecessors of one state, more than are marked at once.
    pred = np.array([1, 4, base + 9, 2, base + 5, 0, 3, base + 9, 2], np.int64)
    ptr = np.array([0, 5, 5, 7, 9], np.int64)
    assert_same_outcome(pred, ptr, np.zeros(9), [0, 1, 1, 2], 0.0)
