from types import ModuleType

import pytest
import reference_kernels


@pytest.fixture(scope="session")
def reference() -> ModuleType:
    """NumPy decoders with the compiled module's interface and argument checks."""
    return reference_kernels


@pytest.fixture(scope="session")
def compiled() -> ModuleType:
    """The compiled decoders; skips the test until the extension is built."""
    kernels = pytest.importorskip("plintor.model._kernels")
    if not hasattr(kernels, "decode"):  # the C++ source directory, not a built module
        pytest.skip("plintor.model._kernels is not built")
    return kernels
