"""plintor: fast, bit-exact decoding kernels for beat and downbeat tracking."""

from typing import Any


def __getattr__(name: str) -> Any:
    # The version is read from the package metadata on first use, so that importing plintor
    # stays cheap.
    if name != "__version__":
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    from importlib.metadata import PackageNotFoundError, version

    try:
        return version("plintor")
    except PackageNotFoundError:  # a source checkout that was never installed
        return "0+unknown"
