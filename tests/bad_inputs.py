"""Valid example arguments of every entry point, and the hostile variants of them
that the fuzz, hygiene and thread tests feed in."""

import sys
import warnings
from types import MappingProxyType

import numpy as np
import pytest
from hypothesis import strategies as st

from plintor.model import _kernels

U32, F32 = np.uint32, np.float32

# Errors an entry point may raise for bad input; anything else is a fault.
# BufferError is an exporter's own refusal (a read-only bytes object, say).
DOCUMENTED = (TypeError, ValueError, IndexError, KeyError, OverflowError, MemoryError, BufferError)


class Exporter:
    """A buffer exporter written in Python, which counts the buffers it has
    handed out and not yet got back.  Python-level exporters (PEP 688) need
    Python 3.12: before it, a test that makes one is skipped."""

    def __init__(self, array):
        if sys.version_info < (3, 12):
            pytest.skip("buffer exporters written in Python need Python 3.12")
        self.array = array
        self.exports = 0

    def __buffer__(self, flags):
        view = memoryview(self.array)
        self.exports += 1
        return view

    def __release_buffer__(self, view):
        self.exports -= 1
        view.release()


def unaligned(array):
    """A writable copy of `array` whose data starts one byte past an aligned address."""
    raw = np.zeros(array.nbytes + 1, np.uint8)
    out = raw[1:].view(array.dtype).reshape(array.shape)
    out[...] = array
    return out


def snapshot(value):
    """What a call must not change in an argument."""
    if isinstance(value, np.ndarray):
        return (
            value.dtype.str,
            value.shape,
            value.strides,
            value.flags.writeable,
            value.tobytes(),
        )
    if isinstance(value, Exporter):
        return snapshot(value.array)
    if isinstance(value, bytearray | memoryview):
        return bytes(value)
    return None


def outcome(call, *args, **kwargs):
    """The result of the call, or the documented exception it raised."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        try:
            return call(*args, **kwargs)
        except DOCUMENTED as exc:
            return exc


# --- Strategies -----------------------------------------------------------------------

DTYPES = [
    "?", "i1", "u1", "<i2", "<u2", "<i4", "<u4", ">u4", "<i8", "<u8", ">i8", "<f2", "<f4",
    ">f4", "<f8", "<c8", "<c16", "<M8[s]", "<m8[ms]", "<U2", "S3", "O", "V4", "<u4,<f4",
]  # fmt: skip

ELEMENTS = [0, 1, 2, 3, 7, 2**31 - 1, 2**31, 2**32 - 1, -1, -(2**31), 0.5, np.nan, np.inf, -np.inf]


def cast(values, dtype):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        if np.dtype(dtype).kind in "MmUSOV":
            return np.array(values, dtype=np.float64).astype(np.int64).astype(dtype)
        return np.array(values, dtype=np.float64).astype(dtype)


@st.composite
def arrays(draw, max_side=5):
    """An array of any dtype, byte order, number of dimensions and memory layout."""
    ndim = draw(st.integers(0, 3))
    shape = tuple(draw(st.lists(st.integers(0, max_side), min_size=ndim, max_size=ndim)))
    values = draw(st.lists(st.sampled_from(ELEMENTS), min_size=int(np.prod(shape, dtype=int))))
    array = cast(values[: int(np.prod(shape, dtype=int))], draw(st.sampled_from(DTYPES))).reshape(
        shape
    )
    return draw(layouts(array))


@st.composite
def layouts(draw, array):
    """The same values in another memory layout, or behind another exporter."""
    kind = draw(
        st.sampled_from(
            ["plain", "reversed", "strided", "fortran", "readonly", "unaligned", "exporter"]
        )
    )
    if kind == "reversed" and array.ndim:
        return array[::-1]
    if kind == "strided" and array.ndim:
        return np.repeat(array, 2, axis=-1)[..., ::2]
    if kind == "fortran":
        return np.asfortranarray(array)
    if kind == "readonly":
        array = array.copy()
        array.flags.writeable = False
    if kind == "unaligned" and array.dtype.kind != "O":
        return unaligned(array)
    if kind == "exporter" and array.dtype.kind not in "OMm":
        return Exporter(array)
    return array


def anything():
    """Any argument at all: arrays as above, and objects that are not arrays."""
    return st.one_of(
        arrays(),
        st.sampled_from([None, 0, 1.5, "x", b"abcd", object(), [], [[1], [2, 3]]]),
        st.lists(st.sampled_from(ELEMENTS), max_size=6),
        st.builds(bytearray, st.binary(max_size=12)),
    )


@st.composite
def damaged(draw, value):
    """`value`, a valid array argument, damaged in one way."""
    how = draw(
        st.sampled_from(["replace", "retype", "poke", "shorten", "lengthen", "none", "layout"])
    )
    if how == "replace":
        return draw(anything())
    if how == "retype":
        return cast(value.tolist(), draw(st.sampled_from(DTYPES)))
    if how == "none":
        return None
    if how == "layout":
        return draw(layouts(value.copy()))
    if how == "shorten":
        return value[: draw(st.integers(0, max(len(value) - 1, 0)))]
    if how == "lengthen":
        extra = cast(
            draw(st.lists(st.sampled_from(ELEMENTS), min_size=1, max_size=3)), value.dtype
        )
        return np.concatenate([value, np.resize(extra, (len(extra), *value.shape[1:]))])
    poked = value.copy()
    if poked.size:
        flat = poked.reshape(-1)
        for _ in range(draw(st.integers(1, 3))):
            flat[draw(st.integers(0, flat.size - 1))] = cast(
                [draw(st.sampled_from(ELEMENTS))], value.dtype
            )[0]
    return poked


LAYOUT_KEYS = [
    "bnd_state", "pred_list", "bnd_src", "bnd_orig", "bnd_ptr",
    "bnd_weight", "bnd_dcol", "run_lo", "run_hi", "run_col",
]  # fmt: skip


class OddMapping:
    """Item access only, and a lookup failure of its own kind."""

    def __init__(self, items, error):
        self.items, self.error = items, error

    def __getitem__(self, key):
        if key not in self.items:
            raise self.error(key)
        return self.items[key]


def draw_layout_edit(data):
    """A function that turns a real SplitLayout into a malformed one; it draws
    the replacement values from `data` when it is called."""
    keys = data.draw(st.lists(st.sampled_from(LAYOUT_KEYS), max_size=3, unique=True))
    edits = {key: data.draw(st.sampled_from(["drop", "damage", "values"])) for key in keys}
    container = data.draw(st.sampled_from(["dict", "dict", "proxy", "odd", "list", "none"]))

    def edit(layout):
        layout = dict(layout)
        for key, how in edits.items():
            if how == "drop":
                del layout[key]
            elif how == "damage":
                layout[key] = data.draw(damaged(layout[key]), label=key)
            else:  # the right dtype and length, arbitrary small values
                value = layout[key]
                size = value.size
                values = data.draw(st.lists(st.integers(0, 12), min_size=size, max_size=size))
                layout[key] = np.array(values).astype(value.dtype)
        if container == "proxy":
            return MappingProxyType(layout)
        if container == "odd":
            return OddMapping(layout, data.draw(st.sampled_from([KeyError, IndexError])))
        if container == "list":
            return list(layout.values())
        if container == "none":
            return None
        return layout

    return edit


def replace_split_layout(monkeypatch, edit):
    """Makes the module's _split_layout return edit(real layout)."""
    real = _kernels._split_layout
    monkeypatch.setattr(_kernels, "_split_layout", lambda *args: edit(real(*args)))
