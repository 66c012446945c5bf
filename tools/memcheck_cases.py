"""Every entry point of plintor.model._kernels on its success and failure paths.

Run by valgrind memcheck (``make valgrind``) and, under the ASan build, by the
leak check of tests/test_sanitizer.py.  Each case states its outcome, so that
a changed behaviour fails here too and not only a memory error.

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

import numpy as np

from plintor.model import _kernels as kernels

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


def all_cases():
    return split_layout_cases()


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
