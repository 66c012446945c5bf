"""Sizes beyond the kernels' signed 32-bit counts.

States, edges, boundary entries and frames are counted in 32 bits, so an input
with more than 2**31 - 1 of any of them must be refused with a clear error,
and refused before anything reads it.  The oversized arrays here are NumPy
zeros, which cost address space only until a page is touched: resident
memory that stays flat shows that nothing was.  A back-pointer table too big
for memory must raise MemoryError.
"""

import numpy as np
import pytest
from bad_inputs import F32, U32
from graphs import chunk, decode_args, decoder_args

from plintor.model import _kernels
from plintor.model._kernels import ForwardDecoder, decode

TOO_MANY = 2**31 + 2
MOST = 2**31 - 1
UNTOUCHED = 256 * 1024 * 1024  # far below the gibibytes that reading would map


def peak_resident_bytes():
    with open("/proc/self/status") as status:
        line = next(line for line in status if line.startswith("VmHWM:"))
    return int(line.split()[1]) * 1024


def refused_untouched(error, message, call, **args):
    """The call raises, and the peak of resident memory meanwhile shows that it
    read none of the oversized arrays, not even into a copy it freed again."""
    with open("/proc/self/clear_refs", "w") as clear_refs:
        clear_refs.write("5")  # the peak starts again from what is resident now
    before = peak_resident_bytes()
    with pytest.raises(error, match=message):
        call(**args)
    assert peak_resident_bytes() - before < UNTOUCHED


def huge(dtype, *extra_dims, length=TOO_MANY):
    return np.zeros((length, *extra_dims), dtype)


GRAPH_LIMIT = r"the graph has more than 2\*\*31 - 1 states or edges$"


@pytest.mark.parametrize(
    ("entry", "args"), [(decode, decode_args()), (ForwardDecoder, decoder_args())]
)
@pytest.mark.parametrize("name", ["ptr", "pred"])
def test_more_than_int32_states_or_edges_are_refused(entry, args, name):
    refused_untouched(ValueError, GRAPH_LIMIT, entry, **{**args, name: huge(U32)})


def test_more_than_int32_frames_are_refused_by_decode():
    args = decode_args() | {"log_dens": huge(F32, 2)}
    refused_untouched(ValueError, r"'log_dens' has more than 2\*\*31 - 1 frames$", decode, **args)


def test_more_than_int32_frames_are_refused_by_step():
    decoder = ForwardDecoder(**decoder_args())
    before = decoder.step(chunk(3)).tolist()
    decoder.reset()
    refused_untouched(
        ValueError, r"^step\(\): 'dens' has more than 2\*\*31 - 1 frames$", decoder.step,
        dens=huge(F32, 2),
    )  # fmt: skip
    assert decoder.step(chunk(3)).tolist() == before


@pytest.mark.parametrize("entry", [decode, ForwardDecoder])
@pytest.mark.parametrize("key", ["bnd_src", "bnd_ptr", "run_lo"])
def test_an_oversized_layout_is_refused_before_it_is_read(monkeypatch, entry, key):
    real = _kernels._split_layout
    oversized = huge(np.int64 if key in ("bnd_ptr", "run_lo") else U32)
    monkeypatch.setattr(_kernels, "_split_layout", lambda *a: real(*a) | {key: oversized})
    args = decode_args() if entry is decode else decoder_args()
    refused_untouched(
        ValueError, r"^_split_layout\(\) returned an inconsistent layout: ", entry, **args
    )


def self_loops(num_states):
    """Every state its own only predecessor: every state is a boundary state."""
    states = np.arange(num_states, dtype=U32)
    return states, np.arange(num_states + 1, dtype=U32), np.zeros(num_states, F32)


def test_a_back_pointer_table_beyond_memory_raises_memory_error():
    num_states = 2**20  # boundary states: 2**31 - 1 frames of them need 8 PiB
    pred, ptr, log_prob = self_loops(num_states)
    args = {
        "pred": pred,
        "ptr": ptr,
        "log_prob": log_prob,
        "log_dens": huge(F32, 1, length=MOST),
        "columns": np.zeros(num_states, U32),
        "log_initial": np.zeros(num_states, F32),
    }
    refused_untouched(MemoryError, None, decode, **args)
