"""ForwardDecoder: the class, construction, reset and step."""

import copy
import inspect
import pickle
import threading
from types import MappingProxyType

import numpy as np
import pytest
from graphs import Watched, bits, reference_forward
from hypothesis import example, given, settings
from hypothesis import strategies as st
from hypothesis.extra.numpy import arrays

from plintor.model import _kernels
from plintor.model._kernels import ForwardDecoder

U32, F32 = np.uint32, np.float32
REFUSED = "no default __reduce__ due to non-trivial __cinit__"
CLASS_DOC = (
    "Streaming forward (filtering) decode over the contiguous tempo-lane grid.\n\n"
    "    The HMM forward algorithm (Rabiner 1989) for the Krebs/B\u00f6ck/Widmer state\n"
    "    space. Like :func:`decode` it exploits lane contiguity: an interior state's\n"
    "    only predecessor is ``s-1`` at probability 1, so its update is a stride-1\n"
    "    shift times the observation density; only the few boundary states sum over\n"
    "    predecessors.\n\n"
    "    Linear domain, normalised every frame \u2014 the forward recursion needs a proper\n"
    "    distribution and the normalisation also guards float32 underflow. The belief\n"
    "    persists across :meth:`step` calls, so logits can be pushed in arbitrary\n"
    "    chunks (streaming). :meth:`step` returns the per-frame argmax state, from\n"
    "    which the caller reads beats causally.\n    "
)

# Two lanes of three states; states 0 and 3 are the boundary states.
EXAMPLE = (
    np.array([2, 5, 0, 1, 2, 5, 3, 4], U32),
    np.array([0, 2, 3, 4, 6, 7, 8], U32),
    np.array([0.75, 0.25, 1, 1, 0.25, 0.75, 1, 1], F32),
    np.array([0, 0, 0, 1, 1, 1], U32),
    np.array([0.5, 0, 0, 0.5, 0, 0], F32),
)


def dens(*rows):
    return np.array(rows, F32).reshape(len(rows), -1)


def lane_grid(lengths, entry):
    """A tempo-lane grid: lane i is a run of lengths[i] states advancing with
    probability 1, entered at its first state from the last state of every lane j
    with probability entry[j][i]."""
    starts = np.cumsum([0, *lengths[:-1]])
    lasts = starts + np.array(lengths) - 1
    rows = []
    for i, length in enumerate(lengths):
        rows.append([(lasts[j], entry[j][i]) for j in range(len(lengths))])
        rows += [[(starts[i] + k - 1, 1.0)] for k in range(1, length)]
    ptr = np.cumsum([0] + [len(r) for r in rows]).astype(U32)
    pred = np.array([q for r in rows for q, _ in r], U32)
    prob = np.array([p for r in rows for _, p in r], F32)
    return pred, ptr, prob


def beat_grid():
    """82 lanes (intervals 28..109 frames), 5,617 states, two columns."""
    lengths = list(range(28, 110))
    ratio = np.array(lengths)[None, :] / np.array(lengths)[:, None]
    entry = np.exp(-100 * np.abs(ratio - 1))
    entry /= entry.sum(axis=1, keepdims=True)
    pred, ptr, prob = lane_grid(lengths, entry)
    phase = np.concatenate([np.arange(n) for n in lengths])
    width = np.concatenate([np.full(n, n / 16) for n in lengths])
    columns = (phase >= width).astype(U32)
    return pred, ptr, prob, columns, np.full(len(columns), 1 / len(columns), F32)


def float32_choices(values):
    """One of `values`, rounded to float32 first: NumPy 1 refuses array elements
    that float32 cannot hold exactly."""
    return st.sampled_from(F32(values).tolist())


# --- The class -----------------------------------------------------------------


def test_class_object():
    assert ForwardDecoder.__module__ == "plintor.model._kernels"
    assert ForwardDecoder.__qualname__ == "ForwardDecoder"
    assert ForwardDecoder.__doc__ == CLASS_DOC
    own = [k for k in vars(ForwardDecoder) if k not in ("__new__", "__doc__")]
    assert own == ["reset", "step", "__reduce__", "__setstate__"]
    decoder = ForwardDecoder(*EXAMPLE)
    for attr in ("__dict__", "__weakref__"):
        assert not hasattr(decoder, attr)
    with pytest.raises(AttributeError):
        decoder.x = 1


def test_methods():
    reset, step = ForwardDecoder.reset, ForwardDecoder.step
    assert reset.__qualname__ == "ForwardDecoder.reset"
    assert step.__qualname__ == "ForwardDecoder.step"
    assert reset.__module__ == step.__module__ == "plintor.model._kernels"
    assert reset.__doc__ == "Restore the belief to the initial distribution."
    assert step.__doc__ == (
        "Advance over a chunk of linear densities ``(T, C)``; return the\n"
        "        per-frame argmax state ``(T,)``. Updates the persistent belief."
    )
    assert str(inspect.signature(step)) == "(self, dens)"
    assert str(inspect.signature(reset)) == "(self)"
    assert reset.__defaults__ is None and step.__defaults__ is None


def test_subclass_init_runs_after_construction():
    class Sub(ForwardDecoder):
        def __init__(self, *args):
            self.first = self.step(dens([1, 0.5]))

    sub = Sub(*EXAMPLE)
    assert sub.first.tolist() == [1]
    assert sub.step(dens([0.5, 1])).tolist() == [2]


# --- Construction and binding --------------------------------------------------


@pytest.mark.parametrize(
    ("args", "kwargs", "message"),
    [
        (EXAMPLE[:4], {}, "__cinit__() takes exactly 5 positional arguments (4 given)"),
        ((*EXAMPLE, EXAMPLE[4]), {}, "__cinit__() takes exactly 5 positional arguments (6 given)"),
        (EXAMPLE, {"weight": 1}, "__cinit__() got an unexpected keyword argument 'weight'"),
        (EXAMPLE[:2], {}, "__cinit__() takes exactly 5 positional arguments (2 given)"),
        (
            (*EXAMPLE[:4], None),
            {},
            "ForwardDecoder() argument 'initial' must be an array, not None",
        ),
    ],
)
def test_construction_refuses_bad_arguments(args, kwargs, message):
    with pytest.raises(TypeError) as err:
        ForwardDecoder(*args, **kwargs)
    assert str(err.value) == message


def test_construction_by_keyword_and_refusals():
    names = ("pred", "ptr", "prob", "columns", "initial")
    ForwardDecoder(**dict(zip(names, EXAMPLE, strict=True)))
    with pytest.raises(ValueError, match="'initial' must have one entry per state"):
        ForwardDecoder(*EXAMPLE[:4], np.zeros(5, F32))
    with pytest.raises(ValueError, match="Buffer dtype mismatch"):
        ForwardDecoder(*EXAMPLE[:4], EXAMPLE[4].astype(np.float64))
    bad_ptr = EXAMPLE[1].copy()
    bad_ptr[2] = 9
    with pytest.raises(ValueError, match="ptr"):
        ForwardDecoder(EXAMPLE[0], bad_ptr, *EXAMPLE[2:])


def test_pickling_and_copying_are_refused():
    decoder = ForwardDecoder(*EXAMPLE)
    for attempt in (pickle.dumps, copy.copy, copy.deepcopy, lambda d: d.__setstate__(None)):
        with pytest.raises(TypeError) as err:
            attempt(decoder)
        assert str(err.value) == REFUSED
    with pytest.raises(
        TypeError, match=r"__setstate__\(\) takes exactly 1 positional argument \("
    ):
        decoder.__setstate__()
    with pytest.raises(TypeError, match=r"__reduce__\(\) takes exactly 0 positional arguments"):
        decoder.__reduce__(1)


def test_fresh_belief_is_a_private_copy_of_initial():
    initial = np.array([3.0, 0.25, 1e-30, 0, 7, 0.5], F32)  # does not sum to 1
    watched = Watched(*EXAMPLE[:4], initial)
    initial[:] = -1
    assert bits(watched.belief) == bits(watched.initial) == bits([3.0, 0.25, 1e-30, 0, 7, 0.5])
    assert watched.belief is not watched.initial and len(watched.pl) == 2


def test_gather_buffer_has_one_element_without_predecessors():
    graph = (np.array([0], U32), np.array([0, 0, 1], U32), np.array([1], F32), np.zeros(2, U32))
    watched = Watched(*graph, np.array([0.5, 0.5], F32))
    assert len(watched.pl) == 1
    assert watched.step(dens([1.0], [1.0])).tolist() == [1, 0]


# --- step and reset --------------------------------------------------------------


def test_worked_example_whole_and_in_chunks():
    whole, parts = Watched(*EXAMPLE), Watched(*EXAMPLE)
    assert whole.step(dens([1, 0.5], [0.5, 1])).tolist() == [1, 2]
    assert whole.belief.tolist() == [0, 0, 0.5, 0, 0, 0.5]
    assert whole.step(dens([1, 1])).tolist() == [0]
    assert whole.belief.tolist() == [0.5, 0, 0, 0.5, 0, 0]
    assert parts.step(dens([1, 0.5])).tolist() == [1]
    assert parts.step(dens([0.5, 1], [1, 1])).tolist() == [2, 0]
    assert bits(parts.belief) == bits(whole.belief)


def test_step_binding_and_results():
    decoder = ForwardDecoder(*EXAMPLE)
    assert decoder.step(dens=dens([1, 0.5])).dtype == U32
    for call, message in [
        (lambda: decoder.step(), "step() takes exactly 1 positional argument (0 given)"),
        (lambda: decoder.reset(1), "reset() takes exactly 0 positional arguments (1 given)"),
        (lambda: decoder.reset(x=1), "reset() got an unexpected keyword argument 'x'"),
        (lambda: decoder.step(None), "step() argument 'dens' must be an array, not None"),
    ]:
        with pytest.raises(TypeError) as err:
            call()
        assert str(err.value) == message
    with pytest.raises(ValueError, match="wrong number of dimensions"):
        decoder.step(np.ones(2, F32))
    for method, args in [(ForwardDecoder.step, (dens([1, 1]),)), (ForwardDecoder.reset, ())]:
        with pytest.raises(TypeError, match="requires a 'plintor"):
            method(object(), *args)


@pytest.mark.parametrize(
    ("chunk", "error"),
    [
        (np.ones((2, 17), F32), "forward decoder supports at most 16 observation columns"),
        (np.ones((2, 1), F32), "reads observation column 1, but 'dens' has only 1 columns"),
        (np.ones((2, 2), F32)[:, ::-1], "contiguous"),
    ],
)
def test_refused_chunks_leave_the_belief_unchanged(chunk, error):
    watched = Watched(*EXAMPLE)
    watched.step(dens([1, 0.5]))
    before = bits(watched.belief)
    with pytest.raises(ValueError, match=error):
        watched.decoder.step(chunk)
    assert bits(watched.belief) == before
    assert watched.step(np.ones((1, 16), F32)).tolist() == [2]


def test_empty_chunk_returns_no_states_and_changes_nothing():
    watched = Watched(*EXAMPLE)
    out = watched.step(np.ones((0, 2), F32))
    assert out.dtype == U32 and out.shape == (0,)
    assert bits(watched.belief) == bits(EXAMPLE[4])


def test_zero_mass_reports_state_zero_until_reset():
    watched = Watched(*EXAMPLE)
    assert watched.step(dens([0, 0], [1, 1], [1, 0.5])).tolist() == [0, 0, 0]
    assert not watched.belief.any()
    watched.decoder.reset()
    assert bits(watched.belief) == bits(EXAMPLE[4])
    assert watched.step(dens([1, 0.5], [0.5, 1])).tolist() == [1, 2]


def test_reset_restores_fresh_behaviour():
    chunk = dens([1, 0.5], [0.5, 1], [1, 1], [0.25, 1])
    fresh = ForwardDecoder(*EXAMPLE)
    fresh.reset()
    expected = fresh.step(chunk)
    watched = Watched(*EXAMPLE)
    watched.step(chunk[:3])
    watched.decoder.reset()  # writes into the buffer that is the belief now
    assert bits(watched.belief) == bits(EXAMPLE[4])
    assert watched.step(chunk).tolist() == expected.tolist()


# --- A replaced _split_layout -------------------------------------------------------


def replace_layout(monkeypatch, edit):
    original, calls = _kernels._split_layout, []

    def replacement(*args):
        calls.append(args)
        return edit(original(*args))

    monkeypatch.setattr(_kernels, "_split_layout", replacement)
    return calls


def test_construction_calls_the_replacement_and_keeps_its_arrays(monkeypatch):
    kept = []
    calls = replace_layout(monkeypatch, lambda lay: kept.append(lay) or MappingProxyType(lay))
    decoder = ForwardDecoder(*EXAMPLE)
    [args] = calls
    assert [type(a) for a in args] == [memoryview] * 4 + [float] and args[4] == 1.0
    kept[0]["bnd_weight"][:] = [0, 0, 1, 0]  # the decoder reads these very arrays
    assert decoder.step(dens([1, 1], [1, 1], [1, 1])).tolist() == [1, 2, 3]


def test_weights_rewritten_after_construction_count_from_the_next_step(monkeypatch):
    kept = []
    replace_layout(monkeypatch, lambda lay: kept.append(lay) or lay)
    rewritten = Watched(*EXAMPLE)
    chunk = dens([1, 0.5], [0.5, 1], [1, 1], [0.25, 1])
    rewritten.step(chunk)
    kept[0]["bnd_weight"][:] = [0.5, 0.5, 0.125, 0.875]
    replace_layout(monkeypatch, lambda lay: {**lay, "bnd_weight": kept[0]["bnd_weight"]})
    fresh = Watched(*EXAMPLE)
    fresh.step(chunk)
    fresh.belief[:] = rewritten.belief  # the same belief, stepped with the new weights
    assert rewritten.step(chunk).tolist() == fresh.step(chunk).tolist()
    assert bits(rewritten.belief) == bits(fresh.belief)


@pytest.mark.parametrize(
    ("edits", "error"),
    [
        (None, TypeError),  # no mapping at all
        ({"run_col": None}, KeyError),
        ({"bnd_state": np.array([0, 3], np.int64)}, ValueError),
        ({"bnd_state": np.array([1, 3], U32)}, ValueError),
        ({"pred_list": np.array([2, 6], U32)}, ValueError),
        ({"bnd_src": np.array([0, 2, 0, 1], U32)}, ValueError),
        ({"bnd_ptr": np.array([0, 2, 3], np.int64)}, ValueError),
        ({"run_hi": np.array([3, 7], np.int64)}, ValueError),
        ({"run_lo": np.array([0, 3], np.int64)}, ValueError),
        # A third run, empty as int64 but 1..4 once truncated to 32 bits, reading column 99.
        (
            {
                "run_lo": np.array([1, 3, 2**32 + 1], np.int64),
                "run_hi": np.array([3, 6, 5], np.int64),
                "run_col": np.array([0, 1, 99], U32),
            },
            ValueError,
        ),
    ],
)
def test_malformed_layouts_are_refused(monkeypatch, edits, error):
    def edit(layout):
        if edits is not None:
            return {k: v for k, v in {**layout, **edits}.items() if v is not None}

    replace_layout(monkeypatch, edit)
    with pytest.raises(error):
        ForwardDecoder(*EXAMPLE)


@pytest.mark.parametrize("bad", [6, 2**31 - 1, 2**31, 2**32 - 1])
def test_predecessors_must_be_states(bad):
    pred = EXAMPLE[0].copy()
    pred[3] = bad
    with pytest.raises(ValueError, match="every predecessor in 'pred' must be a state below"):
        ForwardDecoder(pred, *EXAMPLE[1:])


@pytest.mark.parametrize("key", ["bnd_state", "pred_list", "bnd_src"])
@pytest.mark.parametrize("bad", [2**31 - 1, 2**31, 2**32 - 1])
def test_layout_indices_beyond_any_count_are_refused(monkeypatch, key, bad):
    def edit(layout):
        values = layout[key].copy()
        values[-1] = bad
        return {**layout, key: values}

    replace_layout(monkeypatch, edit)
    with pytest.raises(ValueError, match="inconsistent layout"):
        ForwardDecoder(*EXAMPLE)


def test_runs_in_any_order_that_cover_the_states_are_kept(monkeypatch):
    def reverse_runs(layout):
        return {
            **layout,
            **{key: layout[key][::-1].copy() for key in ("run_lo", "run_hi", "run_col")},
        }

    chunk = dens([1, 0.5], [0.5, 1], [1, 1], [0.25, 1])
    expected = ForwardDecoder(*EXAMPLE).step(chunk).tolist()
    replace_layout(monkeypatch, reverse_runs)
    assert ForwardDecoder(*EXAMPLE).step(chunk).tolist() == expected


# --- Properties ------------------------------------------------------------------------


@st.composite
def grids(draw):
    lengths = draw(st.lists(st.integers(1, 6), min_size=1, max_size=4))
    entry = draw(arrays(F32, (len(lengths),) * 2, elements=float32_choices([0, 0.125, 0.3, 1])))
    num_cols = draw(st.integers(1, 3))
    pred, ptr, prob = lane_grid(lengths, entry)
    prob[draw(arrays(bool, len(prob)))] *= F32(0.5)  # some interior states become boundaries
    n = len(ptr) - 1
    columns = draw(arrays(U32, n, elements=st.integers(0, num_cols - 1)))
    initial = draw(arrays(F32, n, elements=float32_choices([0, 1e-3, 0.25, 1])))
    chunk = draw(st.integers(0, 25).flatmap(lambda t: arrays(F32, (t, num_cols), elements=DENS)))
    return (pred, ptr, prob, columns, initial), chunk


# Negative zero, negative densities and infinities exercise the argmax on
# signed zeros and NaN; all arithmetic stays IEEE float32 in both filters.
DENS = st.one_of(st.just(0.0), st.floats(0, 1, width=32), st.sampled_from([-0.0, -0.25, np.inf]))


SUBNORMAL_TOTAL = (  # 1 / total overflows: the normalised masses are NaN and inf
    (*lane_grid([2], [[0]]), np.zeros(2, U32), np.ones(2, F32)),
    np.array([[1e-45]], F32),
)


TINY_MASSES = (  # boundary products and masses far below the smallest normal float32
    (
        *lane_grid([3, 4, 5], np.full((3, 3), 1e-37, F32)),
        np.isin(np.arange(12), [0, 3, 7]).astype(U32),  # lane starts take column 1
        np.linspace(1e-39, 1, 12, dtype=F32),
    ),
    np.tile(np.array([[0.5, 3e-3]], F32), (12, 1)),
)


@settings(max_examples=60, deadline=None)
@given(grids())
@example(SUBNORMAL_TOTAL)
@example(TINY_MASSES)
def test_agrees_with_the_reference_filter(case):
    (*graph, initial), chunk = case
    watched = Watched(*graph, initial)
    out, belief = reference_forward(graph, initial, chunk)
    assert watched.step(chunk).tolist() == out
    assert bits(watched.belief) == bits(belief)


@settings(max_examples=60, deadline=None)
@given(grids(), st.lists(st.integers(0, 25), max_size=6))
def test_chunking_changes_nothing(case, cuts):
    args, chunk = case
    whole, parts = Watched(*args), Watched(*args)
    expected = whole.step(chunk).tolist()
    pieces = np.split(chunk, sorted(c for c in cuts if c <= len(chunk)))
    assert [s for piece in pieces for s in parts.step(piece).tolist()] == expected
    assert bits(parts.belief) == bits(whole.belief)
    assert parts.step(chunk).tolist() == whole.step(chunk).tolist()


class ThroughPython:
    """A decoder built from what the module's _split_layout returns as Python
    objects, rather than from the layout construction computes in place while
    _split_layout is the module's own."""

    def __init__(self, *args):
        original = _kernels._split_layout
        _kernels._split_layout = lambda *a: original(*a)
        try:
            self.watched = Watched(*args)
        finally:
            _kernels._split_layout = original


@st.composite
def long_grids(draw):
    """Lane grids with lanes long enough for the split's block test, some interior
    states made boundaries by a changed predecessor or probability."""
    lengths = draw(st.lists(st.integers(1, 45), min_size=1, max_size=5))
    entry = draw(arrays(F32, (len(lengths),) * 2, elements=st.sampled_from([0, 0.25, 1])))
    pred, ptr, prob = lane_grid(lengths, entry)
    n = len(ptr) - 1
    for edge in draw(st.lists(st.integers(0, len(pred) - 1), max_size=3)):
        pred[edge] = (pred[edge] + 1) % n
    prob[draw(st.lists(st.integers(0, len(prob) - 1), max_size=3))] = 0.5
    columns = draw(arrays(U32, n, elements=st.integers(0, 1)))
    initial = draw(arrays(F32, n, elements=float32_choices([0, 1e-3, 0.25, 1])))
    chunk = draw(st.integers(0, 12).flatmap(lambda t: arrays(F32, (t, 2), elements=DENS)))
    return (pred, ptr, prob, columns, initial), chunk


@settings(max_examples=80, deadline=None)
@given(long_grids())
def test_layout_computed_in_place_decodes_as_the_returned_one(case):
    args, chunk = case
    in_place, returned = Watched(*args), ThroughPython(*args).watched
    assert in_place.step(chunk).tolist() == returned.step(chunk).tolist()
    assert bits(in_place.belief) == bits(returned.belief)
    in_place.decoder.reset()
    returned.decoder.reset()
    backwards = np.ascontiguousarray(chunk[::-1])
    assert in_place.step(backwards).tolist() == returned.step(backwards).tolist()


def test_beat_grid_decodes_the_same_in_place():
    grid, chunk = beat_grid(), beat_densities(200, 3)
    in_place, returned = Watched(*grid), ThroughPython(*grid).watched
    assert in_place.step(chunk).tolist() == returned.step(chunk).tolist()
    assert bits(in_place.belief) == bits(returned.belief)


# --- Threads -----------------------------------------------------------------------------


def beat_densities(frames, seed):
    act = np.random.default_rng(seed).random(frames, dtype=F32)
    return np.ascontiguousarray(np.stack([act, (1 - act) / 15], axis=1))


def test_separate_decoders_step_in_parallel():
    grid = beat_grid()
    chunks = [beat_densities(300, seed) for seed in range(4)]
    expected = [ForwardDecoder(*grid).step(c).tolist() for c in chunks]
    results = [None] * 4
    barrier = threading.Barrier(4)

    def run(i):
        decoder = ForwardDecoder(*grid)
        barrier.wait()
        results[i] = np.concatenate([decoder.step(p) for p in np.split(chunks[i], [7, 100])])

    threads = [threading.Thread(target=run, args=(i,)) for i in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert [r.tolist() for r in results] == expected


def test_second_caller_is_refused_while_a_step_runs():
    grid, chunk = beat_grid(), beat_densities(1500, 9)
    expected = ForwardDecoder(*grid).step(chunk).tolist()
    for _attempt in range(20):
        decoder, result = ForwardDecoder(*grid), []
        worker = threading.Thread(target=lambda d=decoder, r=result: r.append(d.step(chunk)))
        worker.start()
        refusal = None
        while worker.is_alive() and refusal is None:
            try:
                decoder.reset()  # before the step begins this changes nothing
            except RuntimeError as err:
                refusal = str(err)
        if refusal is not None:
            # The step runs on, and cannot finish while this thread holds the lock.
            with pytest.raises(RuntimeError, match=r"^step\(\): another step\(\) is running"):
                decoder.step(np.ones((0, 2), F32))
        worker.join()
        assert result[0].tolist() == expected  # the refused calls disturbed nothing
        if refusal is not None:
            assert refusal.startswith("reset(): another step() is running")
            return
    pytest.fail("the long step was never observed running")
