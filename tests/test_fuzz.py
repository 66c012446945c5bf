"""Bad input at every entry point.

Whatever the arguments, a call either succeeds or raises one of the documented
errors; it never changes the caller's arrays or keeps one of their buffers, and
a ForwardDecoder that refused a call goes on exactly as if the call had never
been made.  Under the sanitizer build (make test-asan) every example is also a
memory check.  The number of examples comes from the Hypothesis profile
(tests/conftest.py); `make fuzz` runs many more.
"""

import numpy as np
import pytest
from bad_inputs import (
    F32,
    Exporter,
    anything,
    damaged,
    draw_layout_edit,
    outcome,
    snapshot,
    unaligned,
)
from graphs import chunk, decode_args, decoder_args
from hypothesis import given, note
from hypothesis import strategies as st

from plintor.model import _kernels
from plintor.model._kernels import ForwardDecoder, _split_layout, decode

# Lanes longer than a vector of every instruction set, so that the vector
# paths of the frame loops run too.
lane_lengths = st.lists(st.integers(1, 40), min_size=1, max_size=4)


def extent(value):
    """The first extent of an accepted array argument, whatever exports it."""
    return memoryview(value).shape[0]


def assert_untouched(args, before):
    for name, value in args.items():
        assert snapshot(value) == before[name], f"{name} was changed"
        if isinstance(value, Exporter):
            assert value.exports == 0, f"a buffer of {name} was not released"


def call_checked(call, args):
    """Calls with keyword arguments and checks what every call must satisfy."""
    before = {name: snapshot(value) for name, value in args.items()}
    result = outcome(call, **args)
    note(f"outcome: {result!r}")
    assert_untouched(args, before)
    return result


@st.composite
def damage_some(draw, args, names):
    """`args` with one or two of `names` damaged."""
    chosen = draw(st.lists(st.sampled_from(names), min_size=1, max_size=2, unique=True))
    return {**args, **{name: draw(damaged(args[name])) for name in chosen}}


# --- _split_layout -------------------------------------------------------------------


identities = st.one_of(
    st.floats(),
    st.integers(-(2**70), 2**70),
    st.sampled_from([None, "0", [0.0], object()]),
)


@given(st.fixed_dictionaries({k: anything() for k in ["pred", "ptr", "weight", "columns"]}))
def test_split_layout_takes_anything(args):
    result = call_checked(_split_layout, {**args, "identity": 0.0})
    assert isinstance(result, dict | Exception)


@given(lane_lengths, st.data())
def test_split_layout_with_damaged_graphs(lengths, data):
    valid = decode_args(lengths)
    args = {
        "pred": valid["pred"],
        "ptr": valid["ptr"],
        "weight": valid["log_prob"],
        "columns": valid["columns"],
    }
    args = data.draw(damage_some(args, list(args)))
    args["identity"] = data.draw(identities)
    result = call_checked(_split_layout, args)
    if isinstance(result, dict):
        assert all(value.ndim == 1 for value in result.values())


# --- decode --------------------------------------------------------------------------

renorm_periods = st.one_of(
    st.integers(-3, 5),
    st.integers(-(2**65), 2**65),
    st.floats(allow_nan=False, allow_infinity=False, min_value=-1e12, max_value=1e12),
    st.sampled_from(["8", None, 2.5j, object()]),
)


def check_decoded(result, args):
    """What a successful decode guarantees, whatever its input was."""
    path, log_probability = result
    assert isinstance(log_probability, float)
    assert path.dtype == np.int64 and path.shape == (extent(args["log_dens"]),)
    assert ((path >= 0) & (path < extent(args["ptr"]) - 1)).all()


@given(lane_lengths, st.integers(0, 4), st.integers(1, 3), st.data())
def test_decode_with_damaged_arguments(lengths, num_frames, num_cols, data):
    valid = decode_args(lengths, num_frames, num_cols)
    args = data.draw(damage_some(valid, list(valid)))
    if data.draw(st.booleans()):
        args["renorm_period"] = data.draw(renorm_periods)
    result = call_checked(decode, args)
    if not isinstance(result, Exception):
        check_decoded(result, args)


@given(lane_lengths, st.sampled_from([decode, ForwardDecoder]), st.data())
def test_malformed_layouts(lengths, entry, data):
    args = decode_args(lengths) if entry is decode else decoder_args(lengths)
    with pytest.MonkeyPatch.context() as patch:
        real = _kernels._split_layout
        edit = draw_layout_edit(data)
        patch.setattr(_kernels, "_split_layout", lambda *a: edit(real(*a)))
        result = call_checked(entry, args)
    if isinstance(result, ForwardDecoder):
        states = outcome(result.step, chunk(3, num_cols=16))
        if not isinstance(states, Exception):
            assert (states < extent(args["ptr"]) - 1).all()
    elif not isinstance(result, Exception):
        check_decoded(result, args)


# --- ForwardDecoder --------------------------------------------------------------------


@given(lane_lengths, st.data())
def test_construction_with_damaged_arguments(lengths, data):
    valid = decoder_args(lengths)
    args = data.draw(damage_some(valid, list(valid)))
    decoder = call_checked(ForwardDecoder, args)
    if isinstance(decoder, ForwardDecoder):
        states = outcome(decoder.step, chunk(3, num_cols=16))
        if not isinstance(states, Exception):
            assert states.dtype == np.uint32 and states.shape == (3,)
            assert (states < extent(args["ptr"]) - 1).all()


DENSITIES = [0.0, 0.5, 1.0, 2.0, np.nan, np.inf, -1.0, 1e-45, 3e38]


@st.composite
def chunks(draw):
    """A chunk of densities that step accepts, or one of many it must refuse."""
    num_frames = draw(st.integers(0, 4))
    num_cols = draw(st.integers(2, 16))
    values = draw(st.lists(st.sampled_from(DENSITIES), min_size=num_frames * num_cols))
    valid = np.array(values[: num_frames * num_cols], F32).reshape(num_frames, num_cols)
    how = draw(st.sampled_from(["valid", "valid", "damaged", "columns", "anything"]))
    if how == "damaged":
        return draw(damaged(valid))
    if how == "columns":  # too few for the decoder's columns, or too many for any
        return np.ones((num_frames, draw(st.sampled_from([0, 1, 17, 40]))), F32)
    if how == "anything":
        return draw(anything())
    return valid


CALLS = {
    "step": lambda d, x: d.step(x),
    "keyword": lambda d, x: d.step(dens=x),
    "reset": lambda d, x: d.reset(),
    "no argument": lambda d, x: d.step(),
    "two arguments": lambda d, x: d.step(x, x),
    "twice": lambda d, x: d.step(x, dens=x),
    "reset(1)": lambda d, x: d.reset(1),
    "reset(x=1)": lambda d, x: d.reset(x=1),
    "another self": lambda d, x: ForwardDecoder.step(object(), x),
}
FORMS = ["step", "step", "step", *CALLS]


def call_forms(draw):
    """A call of step or reset, right or wrong in its form."""
    dens = draw(chunks())
    form = draw(st.sampled_from(FORMS))
    return form, dens, lambda decoder: CALLS[form](decoder, dens)


@given(lane_lengths, st.data())
def test_step_and_reset_interleaved_with_refused_calls(lengths, data):
    args = decoder_args(lengths)
    decoder, calls, outputs = ForwardDecoder(**args), [], []
    for _ in range(data.draw(st.integers(1, 8))):
        form, dens, call = call_forms(data.draw)
        before = snapshot(dens)
        result = outcome(call, decoder)
        note(f"{form}: {result!r}")
        assert snapshot(dens) == before
        if not isinstance(result, Exception):
            calls.append(call)
            outputs.append(None if result is None else result.tolist())
    probe = chunk(4)
    fresh = ForwardDecoder(**args)
    replayed = [call(fresh) for call in calls]
    assert [None if r is None else r.tolist() for r in replayed] == outputs
    assert decoder.step(probe).tolist() == fresh.step(probe).tolist()


# --- Findings, each pinned down ---------------------------------------------------------


def wrapped(value, how):
    if how == "memoryview":
        return memoryview(value)
    if how == "exporter":
        return Exporter(value)
    raw = bytearray(value.tobytes())  # a buffer NumPy has nothing to do with
    return memoryview(raw).cast("B").cast(value.dtype.char, value.shape)


@pytest.mark.parametrize("how", ["memoryview", "exporter", "bytearray"])
@pytest.mark.parametrize("name", list(decode_args()))
def test_every_buffer_exporter_binds_like_its_array_in_decode(name, how):
    args = decode_args()
    expected = decode(**args)
    path, log_probability = decode(**{**args, name: wrapped(args[name], how)})
    assert path.tolist() == expected[0].tolist() and log_probability == expected[1]


@pytest.mark.parametrize("how", ["memoryview", "exporter", "bytearray"])
@pytest.mark.parametrize("name", [*decoder_args(), "dens"])
def test_every_buffer_exporter_binds_like_its_array_in_the_decoder(name, how):
    args, dens = decoder_args(), chunk(6)
    expected = ForwardDecoder(**args).step(dens).tolist()
    if name == "dens":
        assert ForwardDecoder(**args).step(wrapped(dens, how)).tolist() == expected
    else:
        decoder = ForwardDecoder(**{**args, name: wrapped(args[name], how)})
        assert decoder.step(dens).tolist() == expected


ALIGNMENT = r"^Buffer not aligned to its 4-byte elements\.$"


@pytest.mark.parametrize("name", list(decode_args()))
def test_decode_refuses_misaligned_arrays(name):
    args = decode_args()
    with pytest.raises(ValueError, match=ALIGNMENT):
        decode(**{**args, name: unaligned(args[name])})


@pytest.mark.parametrize("name", [*decoder_args(), "dens"])
def test_the_decoder_refuses_misaligned_arrays(name):
    args, dens = decoder_args(), chunk(2)
    with pytest.raises(ValueError, match=ALIGNMENT):
        if name == "dens":
            ForwardDecoder(**args).step(unaligned(dens))
        else:
            ForwardDecoder(**{**args, name: unaligned(args[name])})


class FailsOnSecondExport(Exporter):
    def __buffer__(self, flags):
        if self.exports or getattr(self, "used", False):
            raise BufferError("exported once only")
        self.used = True
        return super().__buffer__(flags)


def test_a_decoder_whose_construction_failed_refuses_to_run():
    # A subclass's finaliser sees the half-built instance, and may keep it.
    kept = []

    class Keeper(ForwardDecoder):
        def __del__(self):
            kept.append(self)

    args = decoder_args()
    with pytest.raises(BufferError):
        Keeper(**{**args, "initial": FailsOnSecondExport(args["initial"])})
    [half_built] = kept
    for call in (lambda: half_built.step(chunk(2)), half_built.reset):
        with pytest.raises(ValueError, match=r"ForwardDecoder was not fully constructed"):
            call()


def test_changing_the_layout_arrays_after_construction_cannot_reach_past_the_buffers():
    kept = []
    with pytest.MonkeyPatch.context() as patch:
        real = _kernels._split_layout
        patch.setattr(_kernels, "_split_layout", lambda *a: kept.append(real(*a)) or kept[-1])
        args, dens = decoder_args(), chunk(5)
        decoder = ForwardDecoder(**args)
    expected = ForwardDecoder(**args).step(dens).tolist()
    for value in kept[0].values():
        if value.dtype != F32:
            value[:] = np.iinfo(value.dtype).max // 2
    assert decoder.step(dens).tolist() == expected
