import subprocess
import sys
from pathlib import Path

import pytest

SOURCES = Path(__file__).resolve().parents[1] / "src" / "plintor"


def test_stubs_match_the_extension():
    pytest.importorskip("mypy")
    result = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "plintor.model._kernels"],
        capture_output=True,
        text=True,
    )
    assert result.returncode == 0, result.stdout + result.stderr


def test_package_type_checks():
    pytest.importorskip("mypy")
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--no-incremental", str(SOURCES)],
        capture_output=True,
        text=True,
    )
    assert result.returncode == 0, result.stdout + result.stderr
