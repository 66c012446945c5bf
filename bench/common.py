"""Shared pieces of the benchmark suite: grids, timers and the compiled reference loops."""

import ctypes
import importlib.util
import pathlib
import subprocess
import time
from collections.abc import Callable
from dataclasses import dataclass

import numpy as np

from plintor.model.grid import GridConfig
from plintor.model.observation import ObservationModel

HERE = pathlib.Path(__file__).resolve().parent


def _tests_module(name: str):
    """A helper module of the test suite, imported by path."""
    spec = importlib.util.spec_from_file_location(name, HERE.parent / "tests" / f"{name}.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


# The split as whole-array NumPy steps, the reference the tests check it against.
numpy_split_layout = _tests_module("graphs").numpy_split_layout
# The extension's optimisation and floating-point flags (CMakeLists.txt).
CXXFLAGS = ["-O3", "-ffp-contract=off", "-fno-fast-math", "-fno-math-errno", "-std=c++20"]


@dataclass(frozen=True)
class Grid:
    """A tempo-lane grid as the kernels take it, with two observation columns."""

    name: str
    pred: np.ndarray
    ptr: np.ndarray
    log_prob: np.ndarray
    prob: np.ndarray
    columns: np.ndarray
    log_initial: np.ndarray
    initial: np.ndarray

    @property
    def num_states(self) -> int:
        return len(self.columns)

    @property
    def num_edges(self) -> int:
        return len(self.pred)


def make_grid(name: str, config: GridConfig, beats_per_bar: int) -> Grid:
    """The grid with the beat tracker's two observation columns (beat, no beat)."""
    grid = config.build(beats_per_bar)
    columns = ObservationModel().columns(grid)
    return Grid(
        name, grid.pred, grid.ptr, grid.log_prob, grid.prob, columns,
        grid.log_initial, grid.initial,
    )  # fmt: skip


def standard_grids() -> list[Grid]:
    """The beat grid (82 lanes at 100 fps), the 4/4 bar grid, and a beat grid at 420 fps."""
    return [
        make_grid("beat", GridConfig(), 1),
        make_grid("bar", GridConfig(), 4),
        make_grid("large", GridConfig(fps=420.0), 1),
    ]


def log_densities(num_frames: int, seed: int = 2024) -> np.ndarray:
    rng = np.random.default_rng(seed)
    return np.log(rng.uniform(0.01, 1.0, (num_frames, 2))).astype(np.float32)


def densities(num_frames: int, seed: int = 0) -> np.ndarray:
    beat = np.random.default_rng(seed).random(num_frames, dtype=np.float32)
    return np.ascontiguousarray(np.stack([beat, (1 - beat) / 15], axis=1))


def best_of(func: Callable[[], object], repeat: int) -> float:
    """Seconds of the fastest of `repeat` calls: the least disturbed by other load."""
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        func()
        best = min(best, time.perf_counter() - start)
    return best


def best_per_call(func: Callable[[], object], repeat: int = 7, min_seconds: float = 0.05) -> float:
    """Seconds per call for quick calls: the best of `repeat` rounds of at least `min_seconds`.

    Each result is dropped before the next call, as timeit does, so calls reuse the
    memory that earlier ones freed instead of faulting in fresh pages."""

    def calls_in_turn(calls: int) -> None:
        for _ in range(calls):
            func()

    def rounds(calls: int, count: int) -> float:
        return best_of(lambda: calls_in_turn(calls), count)

    calls = 1
    while rounds(calls, 1) < min_seconds:
        calls *= 2
    return rounds(calls, repeat) / calls


def build_library(workdir: pathlib.Path) -> ctypes.CDLL:
    """csr_viterbi.cpp, literal_frames.cpp and probes.cpp in one shared library, with the
    extension's flags."""
    library = workdir / "bench_reference.so"
    sources = [HERE / "csr_viterbi.cpp", HERE / "literal_frames.cpp", HERE / "probes.cpp"]
    command = ["g++", *CXXFLAGS, "-shared", "-fPIC", *map(str, sources), "-o", str(library)]
    subprocess.run(command, check=True)
    return ctypes.CDLL(str(library))
