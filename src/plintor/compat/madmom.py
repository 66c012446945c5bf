"""madmom's DBN beat and downbeat processors, as plintor trackers.

A project that imports ``DBNBeatTrackingProcessor`` and ``DBNDownBeatTrackingProcessor`` from
here instead of ``madmom.features`` gets the same beats from the same activations and
arguments.  Only the processors' own interface is provided: the arguments, ``process`` and,
for beats, ``process_offline``, ``process_online`` and ``reset``.  Keyword arguments that
belong to madmom's processing framework are accepted and ignored.
"""

from collections.abc import Sequence
from typing import Any

import numpy as np
from numpy.typing import ArrayLike, NDArray

from plintor.model.grid import GridConfig
from plintor.model.tracking import BeatTracker, DownbeatTracker

__all__ = ["DBNBeatTrackingProcessor", "DBNDownBeatTrackingProcessor"]


def _needs_fps(fps: float | None, processor: str) -> float:
    if fps is None:
        raise ValueError(f"{processor} needs fps, the frame rate of the activations")
    return float(fps)


class DBNBeatTrackingProcessor:
    """Beat tracking with a dynamic Bayesian network, as madmom's processor of that name.

    Parameters
    ----------
    min_bpm, max_bpm : float
        Slowest and fastest tempo.
    num_tempi : int or None
        Number of log-spaced tempo intervals; None for every integer interval.
    transition_lambda : float
        Tempo-change stiffness.
    observation_lambda : float
        The beat states are the first ``1 / observation_lambda`` of each beat.
    correct : bool
        Place each beat at the activation peak of its run of beat states.
    threshold : float
        Decode only the frames from the first to the last activation at or above it.
    fps : float
        Frame rate of the activations (required).
    online : bool
        Whether :meth:`process` tracks causally.
    **kwargs
        Ignored.
    """

    def __init__(
        self,
        min_bpm: float = 55.0,
        max_bpm: float = 215.0,
        num_tempi: int | None = None,
        transition_lambda: float = 100,
        observation_lambda: float = 16,
        correct: bool = True,
        threshold: float = 0,
        fps: float | None = None,
        online: bool = False,
        **kwargs: Any,
    ) -> None:
        self.fps = _needs_fps(fps, type(self).__name__)
        self.online = online
        grid = GridConfig(self.fps, min_bpm, max_bpm, num_tempi, transition_lambda)
        self.tracker = BeatTracker(grid, observation_lambda, threshold, correct)
        self._stream = self.tracker.stream()

    def process(self, activations: ArrayLike, **kwargs: Any) -> NDArray[np.float64]:
        """Track beats online or offline, as the processor was made.

        Parameters
        ----------
        activations : array_like, shape (T,)
            Beat activations.
        **kwargs
            ``reset`` for online tracking; the rest is ignored.

        Returns
        -------
        ndarray of float64
            Beat times in seconds.
        """
        if self.online:
            return self.process_online(activations, **kwargs)
        return self.process_offline(activations)

    def process_offline(self, activations: ArrayLike, **kwargs: Any) -> NDArray[np.float64]:
        """Track beats offline (Viterbi decoding).

        Parameters
        ----------
        activations : array_like, shape (T,)
        **kwargs
            Ignored.

        Returns
        -------
        ndarray of float64
            Beat times in seconds.
        """
        return self.tracker.track(activations).times

    def process_online(
        self, activations: ArrayLike, reset: bool = True, **kwargs: Any
    ) -> NDArray[np.float64]:
        """Track beats causally in the next chunk of activations.

        Parameters
        ----------
        activations : array_like, shape (T,)
            The next frames (a scalar is one frame).
        reset : bool
            Start over before this chunk; False continues from the previous call.
        **kwargs
            Ignored.

        Returns
        -------
        ndarray of float64
            Times in seconds of the beats within this chunk, counted from the last reset.
        """
        if reset:
            self.reset()
        return self._stream.process(np.atleast_1d(activations)).times

    def reset(self) -> None:
        """Forget everything seen: the next online chunk starts at time 0."""
        self._stream.reset()


def _per_meter(value: Any, num_meters: int, name: str) -> list[Any]:
    values = list(value) if isinstance(value, Sequence | np.ndarray) else [value]
    if len(values) == 1:
        return values * num_meters
    if len(values) != num_meters:
        raise ValueError(f"{name} needs one value or one per meter ({num_meters}), got {value!r}")
    return values


class DBNDownBeatTrackingProcessor:
    """Downbeat tracking with a dynamic Bayesian network, as madmom's processor of that name.

    Parameters
    ----------
    beats_per_bar : int or sequence of int
        Candidate meters.
    min_bpm, max_bpm, num_tempi, transition_lambda : scalar or sequence
        One value for every meter or one per meter (see :class:`DBNBeatTrackingProcessor`).
    observation_lambda : float
        The beat states are the first ``1 / observation_lambda`` of each beat.
    threshold : float
        Decode only the frames from the first to the last activation at or above it.
    correct : bool
        Place each beat at the activation peak of its run of beat states.
    fps : float
        Frame rate of the activations (required).
    **kwargs
        Ignored.
    """

    def __init__(
        self,
        beats_per_bar: int | Sequence[int],
        min_bpm: float | Sequence[float] = 55.0,
        max_bpm: float | Sequence[float] = 215.0,
        num_tempi: int | Sequence[int | None] | None = 60,
        transition_lambda: float | Sequence[float] = 100,
        observation_lambda: float = 16,
        threshold: float = 0.05,
        correct: bool = True,
        fps: float | None = None,
        **kwargs: Any,
    ) -> None:
        self.fps = _needs_fps(fps, type(self).__name__)
        meters = tuple(int(m) for m in np.atleast_1d(beats_per_bar))
        columns = [
            _per_meter(value, len(meters), name)
            for name, value in [
                ("min_bpm", min_bpm),
                ("max_bpm", max_bpm),
                ("num_tempi", num_tempi),
                ("transition_lambda", transition_lambda),
            ]
        ]
        grids = tuple(
            GridConfig(self.fps, float(lo), float(hi), None if n is None else int(n), float(lam))
            for lo, hi, n, lam in zip(*columns, strict=True)
        )
        self.tracker = DownbeatTracker(meters, grids, observation_lambda, threshold, correct)

    def process(self, activations: ArrayLike, **kwargs: Any) -> NDArray[np.float64]:
        """Track beats and downbeats offline.

        Parameters
        ----------
        activations : array_like, shape (T, 2)
            Beat and downbeat activations.
        **kwargs
            Ignored.

        Returns
        -------
        ndarray of float64, shape (K, 2)
            Beat times in seconds and their beats of the bar (1 for a downbeat).
        """
        beats = self.tracker.track(activations)
        assert beats.numbers is not None  # a downbeat tracker numbers its beats
        return np.column_stack([beats.times, beats.numbers.astype(np.float64)])
