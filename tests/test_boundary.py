"""No C++ exception crosses into the interpreter.

Every call into the module passes through one function, guarded(), which turns
std::bad_alloc into MemoryError and any other exception into RuntimeError naming
the entry point.  No input of the module makes its C++ throw anything but
bad_alloc, so guarded() is checked on its own: a small program, built here against
the interpreter, throws through it.
"""

import shutil
import subprocess
import sysconfig
from pathlib import Path

import pytest

HERE = Path(__file__).resolve().parent


@pytest.fixture(scope="module")
def program(tmp_path_factory):
    if shutil.which("g++") is None:
        pytest.skip("needs g++")
    binary = tmp_path_factory.mktemp("boundary") / "boundary_check"
    libdir = sysconfig.get_config_var("LIBDIR")
    command = [
        "g++", "-std=c++20", "-O1", "-Wall", "-Werror", f"-I{sysconfig.get_paths()['include']}",
        f"-I{HERE.parent / 'third_party' / 'pythoncapi_compat'}",
        str(HERE / "cpp" / "boundary_check.cpp"), "-o", str(binary), f"-L{libdir}",
        f"-Wl,-rpath,{libdir}", f"-lpython{sysconfig.get_config_var('VERSION')}",
    ]  # fmt: skip
    subprocess.run(command, check=True)
    return binary


def test_exceptions_become_python_errors(program):
    run = subprocess.run([str(program)], capture_output=True, text=True, check=True)
    assert run.stdout.splitlines() == [
        "NULL MemoryError: ",
        "-1 RuntimeError: entry(): internal error: x",
        "NULL RuntimeError: entry(): internal error",
    ]
