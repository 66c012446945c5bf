"""decode: the offline Viterbi decoder, against a plain reference."""

import inspect
import re
import threading

import numpy as np
import pytest
from graphs import reference_decode, same
from hypothesis import given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

from plintor.model import _kernels
from plintor.model._kernels import decode

F32 = np.float32
INF = np.inf
NAN = np.nan
ARRAY_NAMES = ("pred", "ptr", "log_prob", "log_dens", "columns", "log_initial")
split = _kernels._split_layout


def f4(*values):
    return np.array(values, F32)


def u4(*values):
    return np.array(values, np.uint32)


def example(**changes):
    """Two lanes of three states; states 0 and 3 are the boundary states."""
    args = {
        "pred": u4(2, 5, 0, 1, 2, 5, 3, 4),
        "ptr": u4(0, 2, 3, 4, 6, 7, 8),
        "log_prob": f4(-0.25, -1.5, 0, 0, -1.5, -0.25, 0, 0),
        "log_dens": f4([-1, -2], [-0.5, -3], [-2, -0.25], [-1, -0.5]),
        "columns": u4(0, 0, 0, 1, 1, 1),
        "log_initial": f4(0, -1, -1, -1, -1, -1),
    }
    return args | changes


@st.composite
def tempo_grids(draw, max_length=6):
    """Lanes of contiguous states; each lane's first state is entered from
    lane ends over random edges (repeats, -inf and, at times, NaN and +inf)."""
    rare = draw(st.sampled_from([[], [], [NAN, INF]]))
    score = st.floats(-8, 0, width=32) | st.sampled_from([0, -0.25, -0.5, -1, -1, -INF, *rare])
    lengths = draw(st.lists(st.integers(1, max_length), min_size=1, max_size=4))
    ends = list(np.cumsum(lengths) - 1)
    n, num_cols = sum(lengths), draw(st.integers(1, 16))
    junk = draw(st.integers(0, 2))  # edges outside ptr[0]..ptr[N] belong to no state
    pred, log_prob, ptr = [0] * junk, [0.0] * junk, [junk]
    for s in range(n):
        if s == 0 or s - 1 in ends:
            sources = draw(st.lists(st.sampled_from(ends), min_size=int(s == n - 1), max_size=4))
            weights = [draw(score) for _ in sources]
        else:
            sources, weights = [s - 1], [draw(st.sampled_from([0.0, 0.0, -0.0, -0.5]))]
        pred += sources
        log_prob += weights
        ptr.append(len(pred))
    num_frames = draw(st.sampled_from(range(13)))
    return {
        "pred": np.array(pred + [n - 1] * junk, np.uint32),
        "ptr": np.array(ptr, np.uint32),
        "log_prob": np.array(log_prob + [0.0] * junk, F32),
        "log_dens": draw(hnp.arrays(F32, (num_frames, num_cols), elements=score)),
        "columns": draw(hnp.arrays(np.uint32, n, elements=st.integers(0, num_cols - 1))),
        "log_initial": draw(hnp.arrays(F32, n, elements=score)),
        "renorm_period": draw(st.sampled_from([0, -1, 1, 2, 3, 5, 1024])),
    }


@settings(max_examples=200, deadline=None)
@given(tempo_grids())
def test_matches_reference_bit_for_bit(args):
    before = {name: args[name].copy() for name in ARRAY_NAMES}
    with np.errstate(all="ignore"):
        want_path, want_lp = reference_decode(**args)
    path, lp = decode(**args)
    assert path.dtype == np.int64 and path.tolist() == want_path.tolist()
    assert type(lp) is float and same(lp, want_lp)
    for name in ARRAY_NAMES:  # the caller's arrays are never written
        np.testing.assert_array_equal(args[name], before[name])


@settings(max_examples=60, deadline=None)
@given(tempo_grids(max_length=45))
def test_layout_computed_in_place_decodes_as_the_returned_one(args):
    # While _split_layout is the module's own, decode computes its layout in place.
    in_place = decode(**args)
    _kernels._split_layout = lambda *a: split(*a)
    try:
        returned = decode(**args)
    finally:
        _kernels._split_layout = split
    assert in_place[0].tolist() == returned[0].tolist()
    assert same(in_place[1], returned[1])


@pytest.mark.parametrize("renorm_period", [1024, 2, 1, 0])
def test_worked_example(renorm_period):
    path, lp = decode(*example().values(), renorm_period)
    assert path.dtype == np.int64 and path.tolist() == [1, 2, 3, 4]
    assert type(lp) is float and lp == -3.75


NO_FRAMES = np.zeros((0, 2), F32)


@pytest.mark.parametrize(
    ("changes", "path", "lp"),
    [
        # No frame: the best initial score, the first among equals.
        ({"log_dens": NO_FRAMES, "log_initial": f4(-3, -0.5, -0.5, -2, -9, -1)}, [], -0.5),
        ({"log_dens": NO_FRAMES}, [], 0.0),
        ({"log_dens": f4([-1, -2])}, [1], -1.0),
        ({"log_dens": np.full((3, 2), -INF, F32)}, [0, 0, 0], -INF),
        ({"log_dens": f4([-1, -2], [-1, NAN])}, [0, 0], NAN),
        ({"log_initial": np.zeros(6, F32), "log_dens": np.zeros((1, 2), F32)}, [1], 0.0),
        # A NaN edge never wins: state 0 is reached from 5 instead.
        ({"log_prob": f4(NAN, -9, 0, 0, -1.5, -0.25, 0, 0)}, [1, 2, 3, 4], -3.75),
    ],
)
def test_edge_cases(changes, path, lp):
    got_path, got_lp = decode(**example(**changes))
    assert got_path.dtype == np.int64 and got_path.tolist() == path
    assert type(got_lp) is float and same(got_lp, lp)


@pytest.mark.parametrize(("order", "winner"), [([2, 5], 2), ([5, 2], 5)])
def test_tied_edges_keep_the_earliest(order, winner):
    # States 2 and 5 score alike before frame 1; both edges into 0 weigh -1.
    args = example(
        pred=u4(*order, 0, 1, 2, 5, 3, 4),
        log_prob=f4(-1, -1, 0, 0, -1.5, -0.25, 0, 0),
        log_initial=f4(-9, 0, -9, -9, 0, -9),
        log_dens=f4([0, 0], [5, -9]),
    )
    assert decode(**args)[0].tolist() == [winner, 0]


@pytest.mark.parametrize("num_cols", [16, 17])
def test_column_limit_comes_before_the_layout(monkeypatch, num_cols):
    calls = []
    monkeypatch.setattr(_kernels, "_split_layout", lambda *a: calls.append(a) or split(*a))
    args = example(log_dens=np.zeros((2, num_cols), F32))
    if num_cols == 16:
        decode(**args)
    else:
        args["log_initial"] = np.zeros(2, F32)  # also wrong, but reported later
        with pytest.raises(ValueError, match=r"^compiled decoder supports at most 16 observation"):
            decode(**args)
    assert len(calls) == (num_cols == 16)


def test_split_layout_is_looked_up_at_each_call(monkeypatch):
    seen = []

    def steeper(pred, ptr, log_prob, columns, identity):
        seen.append((type(pred), type(identity), identity))
        layout = split(pred, ptr, log_prob, columns, identity)
        return layout | {"bnd_weight": layout["bnd_weight"] - 10}

    monkeypatch.setattr(_kernels, "_split_layout", steeper)
    assert decode(**example())[1] == -13.75  # the path takes one boundary edge
    assert seen == [(memoryview, float, 0.0)]
    monkeypatch.undo()
    assert decode(**example())[1] == -3.75


class NumpyWith:
    """The module's np, with some of its functions replaced."""

    def __init__(self, **replacements):
        self.replacements = replacements

    def __getattr__(self, name):
        return self.replacements.get(name) or getattr(np, name)


def test_np_is_looked_up_at_each_call(monkeypatch):
    made = []

    def recorder(name):
        def make(*args, **kw):
            made.append((name, np.asarray(args[0]).tolist(), *args[1:], kw))
            return getattr(np, name)(*args, **kw)

        return make

    makers = {name: recorder(name) for name in ("empty", "zeros", "array")}
    monkeypatch.setattr(_kernels, "np", NumpyWith(**makers))
    assert decode(**example())[1] == -3.75
    assert made == [
        ("empty", 2, F32, {}),
        ("zeros", 6, np.uint8, {}),
        ("zeros", 6, np.uint32, {}),
        ("array", [0, -1, -1, -1, -1, -1], {"dtype": F32, "copy": True}),
        ("empty", 6, F32, {}),
        ("empty", [4, 2], np.uint32, {}),
        ("empty", 4, np.int64, {}),
    ]


@pytest.mark.parametrize("name", ["empty", "zeros"])
def test_makers_rebound_inside_numpy_are_called(monkeypatch, name):
    # The arrays are made without a Python call only while NumPy still binds
    # its own makers and types; a replaced one must be called.
    seen = []
    original = getattr(np, name)
    monkeypatch.setattr(np, name, lambda *args: seen.append(args) or original(*args))
    assert decode(**example())[1] == -3.75
    assert seen


def test_types_rebound_inside_numpy_are_passed_on(monkeypatch):
    monkeypatch.setattr(np, "int64", np.int32)
    expected = "Buffer dtype mismatch, expected 'int64_t' but got 'int'"
    with pytest.raises(ValueError, match=f"^{re.escape(expected)}$"):
        decode(**example())
    monkeypatch.undo()
    assert decode(**example())[1] == -3.75


def test_a_rebound_np_cannot_hand_in_short_buffers(monkeypatch):
    monkeypatch.setattr(_kernels, "np", NumpyWith(empty=lambda shape, dtype: np.empty(1, dtype)))
    with pytest.raises(ValueError, match=r"^np.empty\(\) did not return an array of the"):
        decode(**example())


def test_concurrent_calls_are_independent():
    args = example(log_dens=np.random.default_rng(7).uniform(-3, 0, (20_000, 2)).astype(F32))
    want_path, want_lp = decode(**args)
    results = []
    threads = [threading.Thread(target=lambda: results.append(decode(**args))) for _ in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert len(results) == 4
    for path, lp in results:
        assert path.tolist() == want_path.tolist() and same(lp, want_lp)


def test_function_object():
    assert decode.__doc__ is None and decode.__defaults__ == (1024,)
    assert str(inspect.signature(decode)) == (
        "(pred, ptr, log_prob, log_dens, columns, log_initial, renorm_period=1024)"
    )


def test_renorm_period_is_truncated_toward_zero():
    args = example(log_dens=np.random.default_rng(3).uniform(-3, 0, (50, 2)).astype(F32))
    lps = {period: decode(**args, renorm_period=period)[1] for period in (2.9, 2, 0)}
    assert same(lps[2.9], lps[2]) and not same(lps[2], lps[0])


def test_extent_one_strided_view_binds():
    frames = f4([-1, -2], [0, 0], [0, 0])[::3]
    assert frames.shape == (1, 2) and frames.strides == (24, 4)
    assert decode(**example(log_dens=frames))[0].tolist() == [1]


def one_state_without_edges(*_):
    layout = dict.fromkeys(("pred_list", "bnd_src", "bnd_orig"), u4())
    layout |= {"bnd_state": u4(0), "bnd_ptr": np.zeros(2, np.int64), "bnd_weight": f4()}
    runs = {"run_lo": np.ones(1, np.int64), "run_hi": np.ones(1, np.int64), "run_col": u4(0)}
    return layout | {"bnd_dcol": u4(0)} | runs


@pytest.mark.parametrize(("num_frames", "path", "lp"), [(0, [], -2.0), (3, [0, 0, 0], -INF)])
def test_empty_arrays_bind(monkeypatch, num_frames, path, lp):
    monkeypatch.setattr(_kernels, "_split_layout", one_state_without_edges)
    args = example(pred=u4(), ptr=u4(0, 0), log_prob=f4(), columns=u4(0), log_initial=f4(-2))
    got_path, got_lp = decode(**args | {"log_dens": np.zeros((num_frames, 1), F32)})
    assert got_path.tolist() == path and got_lp == lp


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (lambda a: decode(*a[:5]), "takes at least 6 positional arguments (5 given)"),
        (lambda a: decode(*a, 1, 2), "takes at most 7 positional arguments (8 given)"),
        # Four given; the first missing, log_dens, is the fourth parameter.
        (
            lambda a: decode(*a[:3], columns=a[4]),
            "takes at least 6 positional arguments (3 given)",
        ),
        (lambda a: decode(*a, pred=a[0]), "got multiple values for keyword argument 'pred'"),
        (lambda a: decode(*a, cadence=1), "got an unexpected keyword argument 'cadence'"),
    ],
)
def test_argument_count_errors(call, message):
    with pytest.raises(TypeError, match=re.escape(f"decode() {message}")):
        call(list(example().values()))


def read_only(array):
    array.flags.writeable = False
    return array


MISMATCH = "^Buffer dtype mismatch, expected 'float' but got "
NDIM = r"^Buffer has wrong number of dimensions \(expected 2, got 1\)$"
FAULTS = [
    ({"log_prob": np.zeros(8)}, ValueError, MISMATCH + "'double'$"),
    ({"log_initial": np.zeros(6, np.int32)}, ValueError, MISMATCH + "'int'$"),
    ({"log_dens": f4(1, 2)}, ValueError, NDIM),
    ({"pred": np.arange(8, dtype=">u4")}, ValueError, "^Big-endian buffer not supported on"),
    ({"pred": read_only(u4(2, 5, 0, 1, 2, 5, 3, 4))}, ValueError, "read-only"),
    ({"log_initial": np.zeros(12, F32)[::2]}, ValueError, "^ndarray is not C-contiguous$"),
    ({"renorm_period": 2**31}, OverflowError, "^value too large to convert to int$"),
    ({"renorm_period": -(2**31) - 1}, OverflowError, "^value too large to convert to int$"),
    ({"renorm_period": "8"}, TypeError, "^an integer is required$"),
    *[({name: None}, TypeError, f"'{name}' must be an array, not None") for name in ARRAY_NAMES],
    ({"log_initial": np.zeros(5, F32)}, ValueError, "'log_initial' must have one entry per state"),
    ({"columns": u4(0, 0, 0, 1, 1)}, ValueError, "'columns' must have one entry per state"),
    ({"columns": u4(0, 0, 0, 1, 1, 2)}, ValueError, r"below the number of density columns \(2\)$"),
    ({"pred": u4(2, 6, 0, 1, 2, 5, 3, 4)}, ValueError, "every predecessor in 'pred' must be"),
    ({"ptr": u4(0, 2, 3, 2, 6, 7, 8)}, ValueError, "offsets in 'ptr' must not decrease"),
    ({"ptr": u4(0, 2, 3, 4, 6, 7, 9)}, ValueError, "offsets .* must stay inside 'pred'"),
    ({"log_prob": np.zeros(7, F32)}, ValueError, "'pred' and 'log_prob' must have the same"),
    ({"ptr": u4(0)}, ValueError, "'ptr' must hold at least two offsets"),
    ({"ptr": u4(0, 2, 3, 4, 6, 8, 8)}, IndexError, "out of bounds"),  # the last state has no edge
]


@pytest.mark.parametrize(("changes", "error", "message"), FAULTS)
def test_bad_arguments_raise_and_release_every_buffer(changes, error, message):
    refused(fresh(changes), error, message)


def edit_layout(**changes):
    """_split_layout's result with entries replaced, or removed for None."""

    def replacement(*args):
        layout = split(*args) | changes
        return {key: value for key, value in layout.items() if value is not None}

    return replacement


def raising(*_):
    raise RuntimeError("layout failed")


@pytest.mark.parametrize(
    ("layout", "error", "message"),
    [
        (raising, RuntimeError, "^layout failed$"),
        (lambda *a: None, TypeError, "not subscriptable"),
        (edit_layout(run_col=None), KeyError, "run_col"),
        (edit_layout(bnd_ptr=np.array([0, 2, 4], np.int32)), ValueError, "expected 'int64_t' but"),
    ],
)
def test_layout_errors_propagate(monkeypatch, layout, error, message):
    monkeypatch.setattr(_kernels, "_split_layout", layout)
    refused(fresh({}), error, message)


# Empty in 64 bits, but not once the frame loop narrows the bounds to 32 bits.
NARROWS_TO_A_RUN = {"run_lo": np.array([1, 3, 3]), "run_hi": np.array([3, 6, 2**30 - 2**32])}
NARROWS_TO_A_RUN["run_col"] = u4(0, 1, 9)
INCONSISTENT = r"^_split_layout\(\) returned an inconsistent layout: "


@pytest.mark.parametrize(
    ("changes", "message"),
    [
        ({"bnd_ptr": np.array([0, 4])}, r"len\(bnd_ptr\) != len\(bnd_state\) \+ 1"),
        ({"pred_list": u4(2, 6)}, "a state index is out of range"),
        ({"bnd_state": u4(0, 6)}, "a state index is out of range"),
        ({"bnd_src": u4(0, 2, 0, 1)}, "bnd_src is out of range"),
        ({"bnd_orig": u4(2, 5, 5, 5)}, r"bnd_orig != pred_list\[bnd_src\]"),
        ({"bnd_ptr": np.array([0, 5, 4])}, "bnd_ptr decreases"),
        ({"bnd_state": u4(1, 3)}, "state 0 must be a boundary state"),
        ({"run_hi": np.array([3, 5])}, "a state is in no run and is not a boundary state"),
        ({"run_lo": np.array([0, 3])}, "a run is out of range"),
        (NARROWS_TO_A_RUN, "a run is out of range"),
        ({"run_col": u4(0, 2)}, r"column 2 is not below the number of density columns \(2\)"),
    ],
)
def test_inconsistent_layouts_are_refused(monkeypatch, changes, message):
    monkeypatch.setattr(_kernels, "_split_layout", edit_layout(**changes))
    refused(fresh({}), ValueError, INCONSISTENT + message)


def test_a_successful_call_releases_every_buffer():
    args = fresh({})
    decode(**args)
    assert_released(args)


def refused(args, error, message):
    with pytest.raises(error, match=message):
        decode(**args)
    assert_released(args)


def resizable(value):
    return isinstance(value, np.ndarray) and value.flags.owndata and value.flags.writeable


def fresh(changes):
    """The example with changes; every array that can be is a new one that
    only the result refers to."""
    return {k: v.copy() if resizable(v) else v for k, v in example(**changes).items()}


def assert_released(args):
    """resize() refuses an array that anything else refers to, and a held
    buffer export refers to its array (refcheck=False would not notice)."""
    for name in [name for name in ARRAY_NAMES if resizable(args.get(name))]:
        array = args.pop(name)
        array.resize(array.size + 1)
