"""References, buffers and memory over many calls, on every success and failure path.

Each case is called CALLS times (10**5; fewer under the sanitizer build, whose
every call is slower and whose allocator keeps freed memory in quarantine).
Afterwards no argument may have gained a reference and the process's resident
memory may not have grown beyond noise; over a further stretch of calls with
tracemalloc on, the traced heap may not grow either.  Finally a single call
with every array argument behind a counting exporter must give back every
buffer it took.  NumPy's resize(refcheck=False) does not notice a buffer
export, so the exporters count them instead.
"""

import gc
import os
import sys
import tracemalloc

import numpy as np
import pytest
from bad_inputs import Exporter
from calls import CASES
from graphs import chunk, decoder_args

from plintor.model import _kernels
from plintor.model._kernels import ForwardDecoder

SANITIZED = bool(os.environ.get("PLINTOR_SANITIZER"))
CALLS = int(os.environ.get("PLINTOR_HYGIENE_CALLS", 2_000 if SANITIZED else 100_000))
TRACED_CALLS = max(CALLS // 20, 1_000)
WARM_UP = 300
TRACED_SLACK = 32 * 1024  # bytes the traced heap may grow over TRACED_CALLS calls
RSS_SLACK = 8 * 1024 * 1024  # 10**5 leaks of even 100 bytes exceed it


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def exported(value):
    return Exporter(value) if isinstance(value, np.ndarray) else value


@pytest.mark.parametrize("name", list(CASES))
def test_many_calls_leave_nothing_behind(monkeypatch, name):
    patch, build = CASES[name]
    if patch:
        monkeypatch.setattr(_kernels, *patch)
    thunk, objects = build(lambda value: value)
    for _ in range(WARM_UP):
        thunk()
    gc.collect()
    references = [sys.getrefcount(obj) for obj in objects]
    resident = resident_bytes()
    for _ in range(CALLS):
        thunk()
    gc.collect()
    resident_growth = resident_bytes() - resident
    assert [sys.getrefcount(obj) for obj in objects] == references
    if not SANITIZED:
        assert resident_growth < RSS_SLACK, f"resident memory grew by {resident_growth} bytes"
    # Tracing slows every allocation down, so it watches fewer calls.  The
    # caches of NumPy and of the interpreter fill up again under tracing,
    # with blocks that then count as traced: they get their own warm-up.
    tracemalloc.start()
    try:
        for _ in range(WARM_UP):
            thunk()
        gc.collect()
        traced = tracemalloc.get_traced_memory()[0]
        for _ in range(TRACED_CALLS):
            thunk()
        gc.collect()
        traced_growth = tracemalloc.get_traced_memory()[0] - traced
    finally:
        tracemalloc.stop()
    assert traced_growth < TRACED_SLACK, f"the traced heap grew by {traced_growth} bytes"


@pytest.mark.parametrize("name", list(CASES))
def test_every_buffer_is_given_back(monkeypatch, name):
    patch, build = CASES[name]
    if patch:
        monkeypatch.setattr(_kernels, *patch)
    thunk, objects = build(exported)
    thunk()
    assert [obj.exports for obj in objects if isinstance(obj, Exporter)] == [
        0 for obj in objects if isinstance(obj, Exporter)
    ]


def test_a_decoder_keeps_none_of_its_callers_buffers():
    args = {name: exported(value) for name, value in decoder_args().items()}
    references = {name: sys.getrefcount(arg) for name, arg in args.items()}
    decoder = ForwardDecoder(**args)
    decoder.step(chunk(2))
    assert {name: arg.exports for name, arg in args.items()} == dict.fromkeys(args, 0)
    assert {name: sys.getrefcount(arg) for name, arg in args.items()} == references
