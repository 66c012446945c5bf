"""plintor: fast, bit-exact decoding kernels for beat and downbeat tracking."""

from importlib.metadata import PackageNotFoundError, version

try:
    __version__ = version("plintor")
except PackageNotFoundError:  # a source checkout that was never installed
    __version__ = "0+unknown"
