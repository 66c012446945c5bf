"""What only the sanitizer build can check (``make test-asan``).

The rest of the suite runs under AddressSanitizer and UndefinedBehaviorSanitizer
unchanged; these tests make sure that the instrumentation is really there and
look for leaks, which the suite itself runs with LeakSanitizer switched off.
"""

import ctypes
import os
import subprocess
import sys
from pathlib import Path

import pytest
from graphs import supported_isas

import plintor.model._kernels as kernels

CASES = Path(__file__).resolve().parent.parent / "tools" / "memcheck_cases.py"

pytestmark = pytest.mark.skipif(
    os.environ.get("PLINTOR_SANITIZER") != "asan", reason="needs the ASan build (make test-asan)"
)


def run_python(args, isa=None, **asan_options):
    options = os.environ.get("ASAN_OPTIONS", "")
    options += "".join(f":{key}={value}" for key, value in asan_options.items())
    forced = {"PLINTOR_KERNEL_ISA": isa} if isa else {}
    return subprocess.run(
        [sys.executable, *args],
        env={**os.environ, "ASAN_OPTIONS": options, **forced},
        capture_output=True,
        text=True,
        timeout=600,
        check=False,
    )


def test_the_kernels_are_instrumented_and_the_runtime_loaded():
    assert hasattr(ctypes.CDLL(None), "__asan_init")
    assert b"libasan.so" in Path(kernels.__file__).read_bytes()


def test_a_heap_overflow_ends_the_process():
    code = (
        "import ctypes\n"
        "libc = ctypes.CDLL(None)\n"
        "libc.malloc.restype = ctypes.c_void_p\n"
        "block = libc.malloc(16)\n"
        "ctypes.memset(block, 0, 17)\n"
        "print('survived')\n"
    )
    result = run_python(["-c", code])
    assert result.returncode != 0
    assert "survived" not in result.stdout
    assert "heap-buffer-overflow" in result.stderr


@pytest.mark.parametrize("isa", supported_isas())
def test_no_leak_passes_through_the_kernels(isa):
    # The slow unwinder sees through the interpreter's frames, which have no
    # frame pointers, so that an allocation made below our code shows it.
    # The interpreter's leaks at exit are its own, and not looked at.
    result = run_python(
        [str(CASES), "--leak-check"],
        isa,
        detect_leaks=1,
        leak_check_at_exit=0,
        fast_unwind_on_malloc=0,
        malloc_context_size=30,
    )
    assert result.returncode == 0, result.stdout + result.stderr
    assert ", 0 from the kernels" in result.stdout
