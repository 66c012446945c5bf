"""Beat and downbeat tracking: activations in, beat times out, through the compiled decoders.

Offline, the Viterbi path is decoded on each candidate meter's grid and the most probable kept
(the first of equals).  With `correct`, every run of frames the path spends in beat states is one
beat, placed at the frame of highest activation within the run; without, the path's own beat
boundaries are the beats.  A `threshold` restricts decoding to the frames from the first to the
last activation that reaches it.

Online, the forward decoder filters chunks as they arrive and a frame is a beat when its filtered
state is a beat state at least one fastest beat after the last beat reported.  For several
meters the online tracker decodes one grid holding every meter as a disjoint block, so the
filtered belief itself weighs the meters.

Each tracker builds its grids and their observation columns once and keeps them.  Before
building a grid or decoding a sequence it works out the memory that takes and refuses more than
its `max_memory` (see :mod:`plintor.model.sizing`).
"""

import importlib
from dataclasses import dataclass, field
from types import ModuleType
from typing import NamedTuple

import numpy as np
from numpy.typing import ArrayLike, NDArray

from plintor.model import placement
from plintor.model.grid import GridConfig, TempoGrid, stack_grids
from plintor.model.observation import ObservationModel, as_activations
from plintor.model.sizing import DEFAULT_MAX_MEMORY, check_grid_size, grids_size

__all__ = [
    "DOWNBEAT_GRID",
    "BeatStream",
    "BeatTracker",
    "Beats",
    "DownbeatTracker",
    "load_kernels",
]

#: The downbeat tracker's default grid: 60 log-spaced tempi between 55 and 215 BPM.
DOWNBEAT_GRID = GridConfig(num_tempi=60)


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
    log_probability : float
        Log-probability of the Viterbi path (minus infinity when none was found, NaN online).
    meter : int or None
        Index of the chosen meter among the tracker's `beats_per_bar` (online: that of the
        last frame's state); None when only beats are tracked or nothing was decoded.
    beats_per_bar : int or None
        Beats per bar of the chosen meter; None like `meter`.
    """

    times: NDArray[np.float64]
    numbers: NDArray[np.int64] | None
    bpm: NDArray[np.float64]
    log_probability: float = float("nan")
    meter: int | None = None
    beats_per_bar: int | None = None

    @property
    def tempo(self) -> float:
        """Global tempo in BPM: 60 over the median inter-beat interval (NaN below two beats)."""
        if self.times.size < 2:
            return float("nan")
        return float(60.0 / np.median(np.diff(self.times)))


class _Model(NamedTuple):
    """A grid with what decoding on it needs besides the activations."""

    grid: TempoGrid
    columns: NDArray[np.uint32]
    beat_states: NDArray[np.bool_]


class _Tracker:
    """Offline and online tracking over the grids a tracker describes.

    Subclasses are frozen dataclasses with the fields `observation_lambda`, `threshold`,
    `correct`, `max_memory` and `_models` (the grid cache), and define `meters`, `grids` and
    `downbeats`.
    """

    __slots__ = ()
    observation_lambda: float
    threshold: float
    correct: bool
    max_memory: float
    _models: dict[tuple[tuple[GridConfig, ...], tuple[int, ...]], _Model]
    downbeats: bool = False

    @property
    def meters(self) -> tuple[int, ...]:
        """Beats per bar of every grid to decode (``(1,)`` when tracking beats only)."""
        raise NotImplementedError

    @property
    def grids(self) -> tuple[GridConfig, ...]:
        """Tempo range and tempo-change model of each meter, parallel to `meters`."""
        raise NotImplementedError

    @property
    def observation(self) -> ObservationModel:
        """Observation model for this tracker's activations."""
        return ObservationModel(self.observation_lambda, downbeats=self.downbeats)

    def track(self, activations: ArrayLike) -> Beats:
        """Track beats offline with the Viterbi decoder.

        Parameters
        ----------
        activations : array_like, shape (T,) or (T, 2)
            Beat (and downbeat) activations in [0, 1] at the grid's frames per second.

        Returns
        -------
        Beats
            Empty when no frame reaches the threshold, the activations are all zero, or no
            path has a finite log-probability.

        Raises
        ------
        plintor.model.sizing.GridTooLarge
            If the grids and the decode would need more than `max_memory` bytes.
        """
        act = self._activations(activations)
        kept = placement.kept_frames(act, self.threshold)
        if not act[kept].any():
            return self._no_beats(len(act))
        decoded = kept.stop - kept.start
        check_grid_size(grids_size(self.grids, self.meters, decoded), self.max_memory)
        log_dens = self.observation.log_densities(act[kept])
        decodings = [
            self._viterbi(self._model((config,), (meter,)), log_dens)
            for config, meter in zip(self.grids, self.meters, strict=True)
        ]
        scores = np.array([score for _, score in decodings])
        best = int(np.argmax(np.where(np.isnan(scores), -np.inf, scores)))
        if not scores[best] > -np.inf:
            return self._no_beats(len(act))
        model = self._model((self.grids[best],), (self.meters[best],))
        path = decodings[best][0]
        frames = self._place(model, path, act[kept])
        bpm = np.full(len(act), np.nan)
        bpm[kept] = model.grid.state_bpm[path]
        return Beats(
            (frames + kept.start) / model.grid.fps,
            model.grid.state_beat[path[frames]] + 1 if self.downbeats else None,
            bpm,
            float(scores[best]),
            best if self.downbeats else None,
            self.meters[best] if self.downbeats else None,
        )

    def track_online(self, activations: ArrayLike) -> Beats:
        """Track beats causally over a whole sequence (what :class:`BeatStream` reports).

        The threshold does not apply: a causal tracker cannot know the last frame above it.

        Parameters
        ----------
        activations : array_like, shape (T,) or (T, 2)

        Returns
        -------
        Beats
            Empty when the activations are empty or all zero.
        """
        act = self._activations(activations)
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

    def _activations(self, activations: ArrayLike) -> NDArray[np.float32]:
        """Validated float32 activations as this tracker reads them."""
        act = as_activations(activations, downbeats=self.downbeats)
        if not self.downbeats:  # beat tracking hears any beat: the columns' sum
            act = act.sum(axis=1, keepdims=True, dtype=np.float32)
        return act

    def _model(self, configs: tuple[GridConfig, ...], meters: tuple[int, ...]) -> _Model:
        key = (configs, meters)
        if key not in self._models:
            self._models[key] = self._build(configs, meters)
        return self._models[key]

    def _build(self, configs: tuple[GridConfig, ...], meters: tuple[int, ...]) -> _Model:
        """Build the grid of meter block ``meters[i]`` on ``configs[i]``, stacked in order."""
        check_grid_size(grids_size(configs, meters), self.max_memory)
        blocks = [config.build(meter) for config, meter in zip(configs, meters, strict=True)]
        grid = blocks[0] if len(blocks) == 1 else stack_grids(blocks)
        observation = self.observation
        return _Model(grid, observation.columns(grid), observation.beat_states(grid))

    def _place(
        self, model: _Model, path: NDArray[np.int64], act: NDArray[np.float32]
    ) -> NDArray[np.int64]:
        """Beat frames of a Viterbi path over activations `act`."""
        in_beat = model.beat_states[path]
        if self.correct:
            return placement.run_peaks(in_beat, act.max(axis=1))
        grid = model.grid
        if self.downbeats:
            return placement.number_changes(grid.state_beat[path])
        position = grid.state_phase[path] / grid.lane_interval[grid.state_lane[path]]
        return placement.position_minima(position, in_beat)

    @staticmethod
    def _viterbi(model: _Model, log_dens: NDArray[np.float32]) -> tuple[NDArray[np.int64], float]:
        grid = model.grid
        return load_kernels().decode(
            grid.pred, grid.ptr, grid.log_prob, log_dens, model.columns, grid.log_initial
        )

    def _no_beats(self, num_frames: int) -> Beats:
        numbers = np.empty(0, dtype=np.int64) if self.downbeats else None
        return Beats(np.empty(0), numbers, np.full(num_frames, np.nan), -np.inf)


def _validated(tracker: _Tracker) -> None:
    ObservationModel(tracker.observation_lambda)  # validates observation_lambda
    if not tracker.threshold >= 0:
        raise ValueError(f"threshold must be >= 0, got {tracker.threshold}")
    if not tracker.max_memory > 0:
        raise ValueError(f"max_memory must be positive, got {tracker.max_memory}")


@dataclass(frozen=True, slots=True)
class BeatTracker(_Tracker):
    """Beat tracker.

    Parameters
    ----------
    grid : GridConfig
        Frame rate, tempo range and tempo-change model; by default every integer beat interval
        between 55 and 215 BPM.
    observation_lambda : float
        The beat states are the first ``1 / observation_lambda`` of each beat.
    threshold : float
        Offline, decode only the frames from the first to the last activation at or above it
        (0 decodes every frame).
    correct : bool
        Offline, place each beat at the activation peak of its run of beat states; otherwise
        at the path's beat boundaries.
    max_memory : float
        Refuse grids and decodes that would need more bytes (4 GiB by default).
    """

    grid: GridConfig = field(default_factory=GridConfig)
    observation_lambda: float = 16.0
    threshold: float = 0.0
    correct: bool = True
    max_memory: float = DEFAULT_MAX_MEMORY
    _models: dict = field(default_factory=dict, init=False, repr=False, compare=False)

    def __post_init__(self) -> None:
        _validated(self)

    @property
    def meters(self) -> tuple[int, ...]:
        return (1,)

    @property
    def grids(self) -> tuple[GridConfig, ...]:
        return (self.grid,)


@dataclass(frozen=True, slots=True)
class DownbeatTracker(_Tracker):
    """Downbeat tracker: beats and their place in the bar, from beat and downbeat activations.

    Parameters
    ----------
    beats_per_bar : tuple of int
        Candidate meters; each is decoded on its own grid and the most probable path wins.
    grid : GridConfig or sequence of GridConfig
        One configuration for every meter, or one per meter (all at the same frame rate); by
        default `DOWNBEAT_GRID`.
    observation_lambda : float
        The beat states are the first ``1 / observation_lambda`` of each beat.
    threshold : float
        Offline, decode only the frames from the first to the last activation (of either
        column) at or above it; 0 decodes every frame.
    correct : bool
        Offline, place each beat at the activation peak of its run of beat states; otherwise
        where the path's beat of the bar changes.
    max_memory : float
        Refuse grids and decodes that would need more bytes (4 GiB by default).
    """

    beats_per_bar: tuple[int, ...] = (3, 4)
    grid: GridConfig | tuple[GridConfig, ...] = DOWNBEAT_GRID
    observation_lambda: float = 16.0
    threshold: float = 0.05
    correct: bool = True
    max_memory: float = DEFAULT_MAX_MEMORY
    _models: dict = field(default_factory=dict, init=False, repr=False, compare=False)
    downbeats = True

    def __post_init__(self) -> None:
        object.__setattr__(self, "beats_per_bar", tuple(int(m) for m in self.beats_per_bar))
        if not self.beats_per_bar or min(self.beats_per_bar) < 1:
            raise ValueError(f"beats_per_bar must be positive, got {self.beats_per_bar}")
        if not isinstance(self.grid, GridConfig):
            object.__setattr__(self, "grid", tuple(self.grid))
            if len(self.grid) != len(self.beats_per_bar):
                raise ValueError(
                    f"need one GridConfig per meter: {len(self.beats_per_bar)} meters, "
                    f"{len(self.grid)} grids"
                )
            if len({config.fps for config in self.grid}) != 1:
                raise ValueError("the grids of all meters must share one fps")
        _validated(self)

    @property
    def meters(self) -> tuple[int, ...]:
        return self.beats_per_bar

    @property
    def grids(self) -> tuple[GridConfig, ...]:
        if isinstance(self.grid, GridConfig):
            return (self.grid,) * len(self.beats_per_bar)
        return self.grid


class BeatStream:
    """Causal beat tracking over chunks of activations, as they arrive.

    The forward decoder's belief and the frame count persist across :meth:`process` calls, so
    how a sequence is cut into chunks changes nothing in the beats reported.

    Parameters
    ----------
    tracker : BeatTracker or DownbeatTracker
        Supplies the grids and the observation model.
    """

    def __init__(self, tracker: "_Tracker") -> None:
        self._tracker = tracker
        self._model = tracker._model(tracker.grids, tracker.meters)
        grid, columns = self._model.grid, self._model.columns
        self._decoder = load_kernels().ForwardDecoder(
            grid.pred, grid.ptr, grid.prob, columns, grid.initial
        )
        self._beats = placement.OnlineBeats(grid.fps, max(c.max_bpm for c in tracker.grids))
        self._frame = 0

    def process(self, activations: ArrayLike) -> Beats:
        """Advance over one chunk and report the beats it contains.

        Parameters
        ----------
        activations : array_like, shape (T,) or (T, 2)
            The next T frames of activations.

        Returns
        -------
        Beats
            Beats found during this chunk, with times counted from the first chunk; `bpm`
            covers the chunk's frames.
        """
        tracker, grid = self._tracker, self._model.grid
        act = tracker._activations(activations)
        dens = tracker.observation.densities(act)
        states = self._decoder.step(dens).astype(np.int64)
        frames = self._beats.advance(self._model.beat_states[states])
        times = (frames + self._frame) / grid.fps
        self._frame += states.size
        if not tracker.downbeats:
            return Beats(times, None, grid.state_bpm[states])
        meter = int(grid.lane_meter[grid.state_lane[states[-1]]]) if states.size else None
        return Beats(
            times,
            grid.state_beat[states[frames]] + 1,
            grid.state_bpm[states],
            meter=meter,
            beats_per_bar=None if meter is None else grid.meters[meter],
        )

    def reset(self) -> None:
        """Forget everything seen: back to the initial belief and frame 0."""
        self._decoder.reset()
        self._beats.reset()
        self._frame = 0
