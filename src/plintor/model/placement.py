"""Where beats go: the rules that turn a decoded state path into beat frames.

Offline, the Viterbi path either marks one beat per run of beat states, placed at the run's
activation peak (`run_peaks`), or is read as it stands: a beat wherever the position within the
beat falls to a minimum (`position_minima`) or the beat of the bar changes (`number_changes`).
Online, the filtered state is read frame by frame (`OnlineBeats`).
"""

import numpy as np
from numpy.typing import NDArray

__all__ = ["OnlineBeats", "kept_frames", "number_changes", "position_minima", "run_peaks"]


def kept_frames(activations: NDArray[np.float32], threshold: float) -> slice:
    """Frames from the first to the last where some activation reaches `threshold`.

    Parameters
    ----------
    activations : ndarray of float32, shape (T, C)
    threshold : float
        Compared in float32; 0 keeps every frame.

    Returns
    -------
    slice
        Empty when no frame reaches the threshold.
    """
    if threshold == 0:
        return slice(0, len(activations))
    above = np.flatnonzero((activations >= np.float32(threshold)).any(axis=1))
    if not above.size:
        return slice(0, 0)
    return slice(int(above[0]), int(above[-1]) + 1)


def run_peaks(in_beat: NDArray[np.bool_], strength: NDArray[np.float32]) -> NDArray[np.int64]:
    """Frame of largest `strength` (earliest on ties) in each run of True in `in_beat`.

    Parameters
    ----------
    in_beat : ndarray of bool, shape (T,)
    strength : ndarray, shape (T,)

    Returns
    -------
    ndarray of int64
        One frame per run, ascending.
    """
    frames = np.flatnonzero(in_beat)
    starts = in_beat & ~np.concatenate(([False], in_beat[:-1]))
    run = np.cumsum(starts)[frames]
    order: NDArray[np.intp] = np.lexsort((-strength[frames], run))
    first: NDArray[np.bool_] = np.diff(run[order], prepend=0) != 0
    return frames[order[first]]


def position_minima(
    position: NDArray[np.float64], in_beat: NDArray[np.bool_]
) -> NDArray[np.int64]:
    """Beat states at which `position` is a strict local minimum.

    The sequence wraps around: the first and the last frame count as neighbours.

    Parameters
    ----------
    position : ndarray of float64, shape (T,)
        Position within the beat of each frame's state.
    in_beat : ndarray of bool, shape (T,)

    Returns
    -------
    ndarray of int64
    """
    minimum = (position < np.roll(position, 1)) & (position < np.roll(position, -1))
    return np.flatnonzero(minimum & in_beat)


def number_changes(numbers: NDArray[np.int64]) -> NDArray[np.int64]:
    """Frames whose beat of the bar differs from the frame before.

    Parameters
    ----------
    numbers : ndarray of int64, shape (T,)

    Returns
    -------
    ndarray of int64
    """
    return np.flatnonzero(np.diff(numbers)) + 1


class OnlineBeats:
    """Causal beat reporting from filtered states, one frame at a time.

    A frame is a beat when its filtered state is a beat state and its time lies at least one
    beat at the fastest tempo after the last beat reported.  The last beat starts at time 0, so
    nothing is reported during the first such beat.

    Parameters
    ----------
    fps : float
        Frame rate.
    max_bpm : float
        Fastest tempo: its beat period is the smallest gap between two beats.
    """

    def __init__(self, fps: float, max_bpm: float) -> None:
        self._fps = fps
        self._min_gap = 60.0 / max_bpm
        self.reset()

    def reset(self) -> None:
        """Back to frame 0, with no beat reported."""
        self._frame = 0
        self._last_beat = 0.0

    def advance(self, in_beat: NDArray[np.bool_]) -> NDArray[np.int64]:
        """Take the next frames' beat-state flags and return the beats among them.

        Parameters
        ----------
        in_beat : ndarray of bool, shape (T,)
            Whether each frame's filtered state is a beat state.

        Returns
        -------
        ndarray of int64
            The beats, as frame indices within this chunk.
        """
        beats = []
        for frame in np.flatnonzero(in_beat).tolist():
            time = (self._frame + frame) / self._fps
            if time - self._last_beat >= self._min_gap:
                beats.append(frame)
                self._last_beat = time
        self._frame += in_beat.size
        return np.asarray(beats, dtype=np.int64)
