import subprocess
import sys

import pytest


def test_stubs_match_the_extension():
    pytest.importorskip("mypy")
    result = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "plintor.model._kernels"],
        capture_output=True,
        text=True,
    )
    assert result.returncode == 0, result.stdout + result.stderr
