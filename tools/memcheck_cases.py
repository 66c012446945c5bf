"""Every entry point of plintor.model._kernels on its success and failure paths.

Run by valgrind memcheck (``make valgrind``) and, under the ASan build, by the
leak check of tests/test_sanitizer.py, once for each build of the frame loops
(PLINTOR_KERNEL_ISA); a forced build the processor cannot run is skipped.  Each
case states its outcome, so that a changed behaviour fails here too and not only
a memory error.

    python tools/memcheck_cases.py [--repeat N] [--leak-check]

``--leak-check`` needs the ASan runtime (LD_PRELOAD) with ``detect_leaks=1``
and ``fast_unwind_on_malloc=0``: after the cases it runs LeakSanitizer in
process and fails on every leak whose allocation stack passes through the
kernels' code.  Leaks of the interpreter and of NumPy are counted, not
failed: LSan suppressions cannot make that distinction, since a suppression
matches any frame of a stack and every stack of ours has interpreter frames
beneath it.
"""

import argparse
import ctypes
import os
import re
import sys
import tempfile
import threading
import types

import numpy as np

TESTS = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "tests")
sys.path.insert(0, TESTS)

try:
    from plintor.model import _kernels as kernels
except ImportError as error:  # a forced build that this processor, or valgrind, cannot run
    if "PLINTOR_KERNEL_ISA" not in str(error) or "cannot run" not in str(error):
        raise
    print(f"skipped: {error}")
    sys.exit(0)

from calls import CASES as CATALOGUE  # noqa: E402  (needs the tests on the path)
from graphs import lane_graph  # noqa: E402

OURS = re.compile(r"plintor/model/_?kernels|plintor::")


def case(name, expected, func, *args, **kwargs):
    """A call and its expected outcome: None, or the exception type it raises."""
    return name, expected, lambda: func(*args, **kwargs)


def split_layout_cases():
    lanes = {
        "pred": np.array([2, 5, 0, 1, 2, 5, 3, 4], np.uint32),
        "ptr": np.array([0, 2, 3, 4, 6, 7, 8], np.uint32),
        "weight": np.log(np.array([0.75, 0.25, 1, 1, 0.25, 0.75, 1, 1], np.float32)),
        "columns": np.array([0, 0, 0, 1, 1, 1], np.uint32),
    }
    wide = {
        key: value.astype(np.float64 if key == "weight" else np.int64)
        for key, value in lanes.items()
    }
    strided = {key: np.repeat(value, 2)[::2] for key, value in lanes.items()}
    far = np.array([0, 10**6, 10**9, 2**32 - 1], np.int64)
    split = kernels._split_layout
    return [
        case("in place", None, split, *lanes.values(), 0.0),
        case("converted", None, split, *wide.values(), 0.0),
        case("strided", None, split, *strided.values(), 0.0),
        case("lists", None, split, [3, 0, 1, 2], [0, 1, 2, 3, 4], [0.0] * 4, [0, 1, 1, 2], 0.0),
        case("nan identity", None, split, *lanes.values(), float("nan")),
        case("far predecessors", None, split, far, np.arange(5), np.zeros(4), np.zeros(4), 0.0),
        case("negative offsets", None, split, [0, 1], [-2, -1, 0], [0.0, 0.0], [0, 0], 0.0),
        case(
            "last state empty",
            IndexError,
            split,
            [3, 0, 1],
            [0, 1, 2, 3, 3],
            [0.0] * 3,
            [0] * 4,
            0.0,
        ),
        case("empty columns", IndexError, split, [0], [0, 1], [0.0], [], 0.0),
        case("offset past pred", IndexError, split, [0], [0, 5], [0.0], [0], 0.0),
        case("2-d ptr", ValueError, split, [0], np.zeros((2, 2)), [0.0], [0], 0.0),
        case("text weights", ValueError, split, [0], [0, 1], ["x"], [0], 0.0),
        case("bad identity", TypeError, split, [0], [0, 1], [0.0], [0], "x"),
        case("too few arguments", TypeError, split, [0], [0, 1]),
        case("unknown keyword", TypeError, split, [0], [0, 1], [0.0], [0], 0.0, x=1),
        case("twice by keyword", TypeError, split, [0], [0, 1], [0.0], [0], pred=1),
    ]


U32, F32 = np.uint32, np.float32


def lanes(log_domain):
    """Three tempo lanes of lengths 3, 2 and 4, entered from every lane's last state."""
    return lane_graph([3, 2, 4], log_domain)


def misaligned(array):
    raw = np.zeros(array.nbytes + 1, np.uint8)
    out = raw[1:].view(array.dtype).reshape(array.shape)
    out[...] = array
    return out


def replaced(name, value, call):
    """`call` with the module attribute `name` bound to `value` meanwhile."""

    def run():
        saved = getattr(kernels, name)
        setattr(kernels, name, value)
        try:
            return call()
        finally:
            setattr(kernels, name, saved)

    return run


def edited_layout(**changes):
    real = kernels._split_layout

    def replacement(*args):
        layout = real(*args) | changes
        return {key: value for key, value in layout.items() if value is not None}

    return replacement


# Runs that leave out the boundary states 3 and 5, so that they do not tile
# the states, and an empty first run whose column nothing may read.
GAPPED_RUNS = {
    "run_lo": np.array([1, 1, 4, 6]),
    "run_hi": np.array([1, 3, 5, 9]),
    "run_col": np.array([2**32 - 1, 0, 1, 0], np.uint32),
}


def failing(*args, **kwargs):
    raise MemoryError("failing on purpose")


def numpy_without(name):
    return types.SimpleNamespace(**{**vars(np), name: failing})


def decode_cases():
    pred, ptr, log_prob = lanes(log_domain=True)
    rng = np.random.default_rng(0)
    good = {
        "pred": pred,
        "ptr": ptr,
        "log_prob": log_prob,
        "log_dens": np.log(rng.random((40, 2), dtype=F32) + F32(0.01)),
        "columns": (np.arange(9) % 2).astype(U32),
        "log_initial": np.full(9, -np.log(9), F32),
    }
    odd = good["log_dens"].copy()
    odd[5, 0], odd[7, 1], odd[9] = np.nan, np.inf, -np.inf
    sixteen = np.zeros((3, 16), F32)
    decode = kernels.decode

    def with_(**changes):
        return good | changes

    return [
        case("renormalised every frame", None, decode, **with_(), renorm_period=1),
        case("never renormalised", None, decode, **with_(), renorm_period=0),
        case("no frames", None, decode, **with_(log_dens=np.zeros((0, 2), F32))),
        case("16 columns", None, decode, **with_(log_dens=sixteen)),
        case("NaN and infinities", None, decode, **with_(log_dens=odd)),
        case("unreachable", None, decode, **with_(log_initial=np.full(9, -np.inf, F32))),
        case("1-d densities", ValueError, decode, **with_(log_dens=good["log_dens"][0])),
        case("initial length", ValueError, decode, **with_(log_initial=np.zeros(8, F32))),
        case("offsets", ValueError, decode, **with_(ptr=ptr[::-1].copy())),
        case("misaligned", ValueError, decode, **with_(log_dens=misaligned(good["log_dens"]))),
        case("renorm_period", OverflowError, decode, **with_(), renorm_period=2**40),
        (
            "layout raises",
            MemoryError,
            replaced("_split_layout", failing, lambda: decode(**good)),
        ),
        (
            "layout key",
            KeyError,
            replaced("_split_layout", edited_layout(bnd_orig=None), lambda: decode(**good)),
        ),
        (
            "layout range",
            ValueError,
            replaced(
                "_split_layout",
                edited_layout(bnd_src=np.full(9, 7, U32)),
                lambda: decode(**good),
            ),
        ),
        (
            "np fails",
            MemoryError,
            replaced("np", numpy_without("zeros"), lambda: decode(**good)),
        ),
        (
            "gapped runs",
            None,
            replaced("_split_layout", edited_layout(**GAPPED_RUNS), lambda: decode(**good)),
        ),
    ]


def forward_cases():
    pred, ptr, prob = lanes(log_domain=False)
    good = {
        "pred": pred,
        "ptr": ptr,
        "prob": prob,
        "columns": (np.arange(9) % 2).astype(U32),
        "initial": np.full(9, 1 / 9, F32),
    }
    rng = np.random.default_rng(1)
    dens = rng.random((40, 2), dtype=F32)
    odd = dens.copy()
    odd[3] = 0
    odd[8, 1], odd[11, 0] = np.nan, np.inf
    Decoder = kernels.ForwardDecoder

    def stepping(*chunks):
        def run():
            decoder = Decoder(**good)
            outputs = [decoder.step(chunk) for chunk in chunks]
            decoder.reset()
            return outputs

        return run

    def refused_step(chunk):
        return lambda: Decoder(**good).step(chunk)

    kept = []

    class Keeper(Decoder):
        def __del__(self):
            kept.append(self)

    def half_built():
        try:
            Keeper(**(good | {"initial": None}))
        except TypeError:
            pass
        return kept.pop().step(dens)

    def with_(**changes):
        return good | changes

    return [
        ("step in chunks", None, stepping(dens[:1], dens[1:17], dens[17:])),
        ("zeros, NaN, infinity", None, stepping(odd, dens)),
        ("empty chunk", None, stepping(dens[:0])),
        ("16 columns", None, stepping(np.ones((3, 16), F32))),
        case("initial length", ValueError, Decoder, **with_(initial=np.ones(10, F32))),
        case("misaligned", ValueError, Decoder, **with_(pred=misaligned(pred))),
        (
            "layout range",
            ValueError,
            replaced(
                "_split_layout",
                edited_layout(bnd_state=np.array([0, 3, 99], U32)),
                lambda: Decoder(**good),
            ),
        ),
        (
            "np fails",
            MemoryError,
            replaced("np", numpy_without("array"), lambda: Decoder(**good)),
        ),
        (
            "gapped runs",
            None,
            replaced("_split_layout", edited_layout(**GAPPED_RUNS), stepping(dens)),
        ),
        ("pickle", TypeError, lambda: Decoder(**good).__reduce__()),
        ("half built", ValueError, half_built),
    ]


def threaded_cases():
    """Decoding on two threads at once, for the lock releases."""

    def run():
        cases = decode_cases()[:1] + forward_cases()[1:2]
        threads = [threading.Thread(target=thunk) for _, _, thunk in cases]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()

    return [("two threads", None, run)]


def catalogue_cases():
    """The catalogue the hygiene test shares, each call once; its thunks insist on their
    own outcome."""
    cases = []
    for name, (patch, build) in CATALOGUE.items():
        thunk, _ = build(lambda value: value)
        cases.append((name, None, replaced(*patch, thunk) if patch else thunk))
    return cases


def all_cases():
    return (
        catalogue_cases()
        + split_layout_cases()
        + decode_cases()
        + forward_cases()
        + threaded_cases()
    )


def run_cases(repeat):
    failures = []
    for name, expected, thunk in all_cases():
        for _ in range(repeat):
            try:
                thunk()
                outcome = None
            except Exception as exc:  # every outcome is compared below
                outcome = exc
            if type(outcome) is not (expected or type(None)):
                failures.append(f"{name}: expected {expected}, got {outcome!r}")
                break
    return failures


def leak_reports(text):
    """The leak records of an LSan report, each as its list of lines."""
    records = []
    for line in text.splitlines():
        if re.match(r"(Direct|Indirect) leak of", line):
            records.append([line])
        elif records and line.startswith("    #"):
            records[-1].append(line)
    return records


def check_leaks():
    """Runs LeakSanitizer now; returns the leak records that involve the kernels."""
    check = ctypes.CDLL(None).__lsan_do_recoverable_leak_check
    with tempfile.TemporaryFile(mode="w+") as report:
        sys.stderr.flush()
        saved = os.dup(2)
        os.dup2(report.fileno(), 2)
        try:
            check()
        finally:
            os.dup2(saved, 2)
            os.close(saved)
        report.seek(0)
        records = leak_reports(report.read())
    ours = [record for record in records if any(OURS.search(line) for line in record)]
    print(f"leak check: {len(records)} leak records, {len(ours)} from the kernels")
    return ours


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=2)
    parser.add_argument("--leak-check", action="store_true")
    options = parser.parse_args()
    failures = run_cases(options.repeat)
    for failure in failures:
        print("FAILED", failure)
    leaks = check_leaks() if options.leak_check else []
    for record in leaks:
        print("\n".join(record))
    print(f"{len(all_cases())} cases, {len(failures)} failed")
    return 1 if failures or leaks else 0


if __name__ == "__main__":
    sys.exit(main())
