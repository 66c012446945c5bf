"""Beat and downbeat tracking: activations in, beat times out, through the compiled decoders.

Offline, the Viterbi path is decoded once per candidate meter and the most probable kept; every
contiguous stretch of frames the path spends in beat states is one beat, placed at the frame of
highest activation within the stretch.  Online, the forward decoder filters chunks as they arrive
and a beat is reported when the filtered state enters the beat states.  For several meters the
online tracker decodes one grid holding every meter as a disjoint block, so the filtered belief
itself weighs the meters.
"""

import importlib
from dataclasses import dataclass, field
from operator import itemgetter
from types import ModuleType

import numpy as np
from numpy.typing import ArrayLike, NDArray

from plintor.model.grid import GridConfig, TempoGrid
from plintor.model.observation import ObservationModel, as_activations

__all__ = ["BeatStream", "BeatTracker", "Beats", "load_kernels"]


def load_kernels() -> ModuleType:
    """Import the compiled decoders.

    Returns
    -------
    module
        :mod:`plintor.model._kernels`.

    Raises
    ------
    ImportError
        If the extension is not built (a source checkout that was never installed).
    """
    message = "plintor.model._kernels is not built: install plintor with pip to compile it"
    try:
        kernels = importlib.import_module("plintor.model._kernels")
    except ImportError as err:
        raise ImportError(message) from err
    if not hasattr(kernels, "decode"):  # the C++ source directory seen as a namespace package
        raise ImportError(message)
    return kernels


@dataclass(frozen=True, slots=True, eq=False)
class Beats:
    """Tracked beats.

    Attributes
    ----------
    times : ndarray of float64, shape (B,)
        Beat times in seconds, ascending.
    numbers : ndarray of int64, shape (B,), or None
        Beat of the bar (1-based) of each beat; None when only beats are tracked.
    bpm : ndarray of float64, shape (T,)
        Tempo of the decoded state at every frame (NaN where nothing was decoded).
    """

    times: NDArray[np.float64]
    numbers: NDArray[np.int64] | None
    bpm: NDArray[np.float64]


@dataclass(frozen=True, slots=True)
class BeatTracker:
    """Beat tracker, or downbeat tracker when `beats_per_bar` is given.

    Parameters
    ----------
    grid : GridConfig
        Frame rate, tempo range and tempo-change model.
    observation_lambda : float
        The beat states are the first ``1 / observation_lambda`` of each lane.
    beats_per_bar : tuple of int
        Candidate meters for downbeat tracking (activations of shape (T, 2)); empty for beats
        only (activations of shape (T,), or (T, 2) whose columns are summed).
    """

    grid: GridConfig = field(default_factory=GridConfig)
    observation_lambda: float = 16.0
    beats_per_bar: tuple[int, ...] = ()

    def __post_init__(self) -> None:
        if any(m < 1 for m in self.beats_per_bar):
            raise ValueError(f"beats_per_bar must be positive, got {self.beats_per_bar}")
        ObservationModel(self.observation_lambda)  # validates observation_lambda

    @property
    def observation(self) -> ObservationModel:
        """Observation model for this tracker's activations."""
        return ObservationModel(self.observation_lambda, downbeats=bool(self.beats_per_bar))

    @property
    def meters(self) -> tuple[int, ...]:
        """Beats per bar of every grid to decode (``(1,)`` when tracking beats only)."""
        return self.beats_per_bar or (1,)

    def track(self, activations: ArrayLike) -> Beats:
        """Track beats offline with the Viterbi decoder.

        Parameters
        ----------
        activations : array_like, shape (T,) or (T, 2)
            Beat (and downbeat) activations in [0, 1] at ``grid.fps`` frames per second.

        Returns
        -------
        Beats
            Empty when the activations are empty or all zero.
        """
        observation = self.observation
        act = as_activations(activations, downbeats=observation.downbeats)
        if not act.any():
            return self._no_beats(len(act))
        log_dens = observation.log_densities(act)
        decodings = [self._viterbi(self.grid.build(m), log_dens) for m in self.meters]
        _, grid, path = max(decodings, key=itemgetter(0))
        in_beat = observation.beat_states(grid)[path]
        frames = _stretch_peaks(in_beat, act.sum(axis=1))
        return _beats(grid, path, frames, numbered=observation.downbeats)

    def track_online(self, activations: ArrayLike) -> Beats:
        """Track beats causally over a whole sequence (what :class:`BeatStream` reports).

        Parameters
        ----------
        activations : array_like, shape (T,) or (T, 2)

        Returns
        -------
        Beats
            Empty when the activations are empty or all zero.
        """
        act = as_activations(activations, downbeats=self.observation.downbeats)
        if not act.any():
            return self._no_beats(len(act))
        return self.stream().process(act)

    def stream(self) -> "BeatStream":
        """Start a causal tracker that takes activations chunk by chunk.

        Returns
        -------
        BeatStream
        """
        return BeatStream(self)

    def _viterbi(
        self, grid: TempoGrid, log_dens: NDArray[np.float32]
    ) -> tuple[float, TempoGrid, NDArray[np.int64]]:
        columns = self.observation.columns(grid)
        path, log_probability = load_kernels().decode(
            grid.pred, grid.ptr, grid.log_prob, log_dens, columns, grid.log_initial
        )
        return log_probability, grid, path

    def _no_beats(self, num_frames: int) -> Beats:
        numbers = np.empty(0, dtype=np.int64) if self.beats_per_bar else None
        return Beats(np.empty(0), numbers, np.full(num_frames, np.nan))


class BeatStream:
    """Causal beat tracking over chunks of activations, as they arrive.

    The forward decoder's belief and the frame count persist across :meth:`process` calls, so
    how a sequence is cut into chunks changes nothing in the beats reported.

    Parameters
    ----------
    tracker : BeatTracker
        Supplies the grid and the observation model.
    """

    def __init__(self, tracker: BeatTracker) -> None:
        self._observation = tracker.observation
        self._grid = tracker.grid.build(tracker.meters)
        self._beat_states = self._observation.beat_states(self._grid)
        grid, columns = self._grid, self._observation.columns(self._grid)
        self._decoder = load_kernels().ForwardDecoder(
            grid.pred, grid.ptr, grid.prob, columns, grid.initial
        )
        self._frame = 0
        self._in_beat = True
        self._last_beat = -np.inf

    def process(self, activations: ArrayLike) -> Beats:
        """Advance over one chunk and report the beats it contains.

        Parameters
        ----------
        activations : array_like, shape (T,) or (T, 2)
            The next T frames of activations.

        Returns
        -------
        Beats
            Beats entered during this chunk, with times counted from the first chunk; `bpm`
            covers the chunk's frames.
        """
        states = self._decoder.step(self._observation.densities(activations)).astype(np.int64)
        in_beat = self._beat_states[states]
        was_in_beat = np.concatenate(([self._in_beat], in_beat))
        entered = np.flatnonzero(in_beat & ~was_in_beat[:-1])
        half_beat = self._grid.lane_interval[self._grid.state_lane[states[entered]]] / 2
        frames = self._space_out(entered, half_beat)
        beats = _beats(self._grid, states, frames, self._observation.downbeats, self._frame)
        self._frame += states.size
        self._in_beat = bool(was_in_beat[-1])
        return beats

    def _space_out(
        self, entered: NDArray[np.int64], min_gap: NDArray[np.float64]
    ) -> NDArray[np.int64]:
        """Keep the entries at least `min_gap` frames after the last beat reported.

        The filtered argmax may revise its phase backwards and re-enter the beat states of the
        beat it has just reported; the gap keeps that to one beat per beat.
        """
        kept = []
        for frame, gap in zip((entered + self._frame).tolist(), min_gap.tolist(), strict=True):
            if frame - self._last_beat >= gap:
                kept.append(frame - self._frame)
                self._last_beat = frame
        return np.asarray(kept, dtype=np.int64)

    def reset(self) -> None:
        """Forget everything seen: back to the initial belief and frame 0."""
        self._decoder.reset()
        self._frame = 0
        self._in_beat = True
        self._last_beat = -np.inf


def _beats(
    grid: TempoGrid,
    states: NDArray[np.int64],
    frames: NDArray[np.int64],
    numbered: bool,
    first_frame: int = 0,
) -> Beats:
    """Beats at `frames` of a state sequence that starts at frame `first_frame`."""
    numbers = grid.state_beat[states[frames]] + 1 if numbered else None
    return Beats((frames + first_frame) / grid.fps, numbers, grid.state_bpm[states])


def _stretch_peaks(in_beat: NDArray[np.bool_], strength: NDArray[np.float64]) -> NDArray[np.int64]:
    """Frame of largest `strength` (earliest on ties) in each run of True in `in_beat`."""
    frames = np.flatnonzero(in_beat)
    starts = in_beat & ~np.concatenate(([False], in_beat[:-1]))
    stretch = np.cumsum(starts)[frames]
    order: NDArray[np.intp] = np.lexsort((-strength[frames], stretch))
    first: NDArray[np.bool_] = np.diff(stretch[order], prepend=0) != 0
    return frames[order[first]]
