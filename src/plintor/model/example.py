"""A deterministic synthetic piece to demonstrate and check the trackers.

The piece imitates a beat/downbeat network's output: a noisy floor, a peak at every beat (the
downbeat column on beat 1 of each bar, leaking a little into the beat column), weaker off-beat
peaks, a few weak beats, and a tempo change half-way through.
"""

from dataclasses import dataclass

import numpy as np
from numpy.typing import NDArray

__all__ = ["SyntheticPiece", "synthetic_piece"]

#: Peak shape of one onset, in frames around its centre.
_PEAK = np.array([0.15, 0.5, 1.0, 0.5, 0.15])


@dataclass(frozen=True, slots=True, eq=False)
class SyntheticPiece:
    """Activations of a synthetic piece and its true beats.

    Attributes
    ----------
    activations : ndarray of float64, shape (T, 2)
        Beat and downbeat activations in [0, 1].
    beat_times : ndarray of float64, shape (B,)
        True beat times in seconds.
    beat_numbers : ndarray of int64, shape (B,)
        True beat of the bar (1-based) of each beat.
    fps : float
        Frame rate of the activations.
    """

    activations: NDArray[np.float64]
    beat_times: NDArray[np.float64]
    beat_numbers: NDArray[np.int64]
    fps: float


def synthetic_piece(
    seed: int = 0,
    duration: float = 30.0,
    fps: float = 100.0,
    tempi: tuple[float, float] = (100.0, 130.0),
    beats_per_bar: int = 4,
) -> SyntheticPiece:
    """Make a synthetic piece whose tempo changes from ``tempi[0]`` to ``tempi[1]`` half-way.

    Parameters
    ----------
    seed : int
        Seed of the noise; the same seed gives the same piece.
    duration : float
        Length in seconds.
    fps : float
        Frame rate.
    tempi : tuple of float
        Tempo of the first and of the second half, in beats per minute.
    beats_per_bar : int
        Meter.

    Returns
    -------
    SyntheticPiece
    """
    rng = np.random.default_rng(seed)
    first = np.arange(0.4, duration / 2, 60.0 / tempi[0])
    second = np.arange(first[-1] + 60.0 / tempi[1], duration - 0.2, 60.0 / tempi[1])
    times = np.concatenate([first, second])
    numbers = np.arange(times.size) % beats_per_bar + 1
    num_frames = round(duration * fps)
    onsets = np.zeros((num_frames, 2))
    frames = np.rint(times * fps).astype(np.int64) + rng.integers(-1, 2, times.size)
    height = np.where(rng.random(times.size) < 0.1, 0.3, rng.uniform(0.55, 1.0, times.size))
    downbeat = numbers == 1
    np.add.at(onsets, (frames, downbeat.astype(np.int64)), height)
    np.add.at(onsets[:, 0], frames[downbeat], 0.25 * height[downbeat])
    offbeats = np.rint((times[:-1] + np.diff(times) / 2) * fps).astype(np.int64)
    np.add.at(onsets[:, 0], offbeats, rng.uniform(0.0, 0.35, offbeats.size))
    peaks = np.apply_along_axis(np.convolve, 0, onsets, _PEAK, mode="same")
    noise = rng.uniform(0.0, 0.12, (num_frames, 2)) * [1.0, 0.5]
    activations = np.clip(peaks + noise, 0.0, 1.0)
    return SyntheticPiece(activations, frames / fps, numbers, float(fps))
