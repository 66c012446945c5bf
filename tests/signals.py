"""Clean synthetic activations whose beats are known exactly."""

import numpy as np

PEAK = np.array([0.1, 0.4, 0.9, 0.4, 0.1])
#: Activation everywhere else, in both columns: an activation of exactly 0 rules its states out.
FLOOR = 0.01


def clean_activations(
    num_frames: int, period: int, first: int, beats_per_bar: int | None = None
) -> tuple[np.ndarray, np.ndarray]:
    """Beat (column 0) and downbeat (column 1) peaks at a steady period; their centre frames."""
    act = np.full((num_frames, 2), FLOOR)
    frames = np.arange(first, num_frames - 2, period)
    downbeat = np.zeros(frames.size, dtype=np.int64)
    if beats_per_bar is not None:
        downbeat = (np.arange(frames.size) % beats_per_bar == 0).astype(np.int64)
    for offset, height in zip(range(-2, 3), PEAK, strict=True):
        np.add.at(act, (np.clip(frames + offset, 0, num_frames - 1), downbeat), height)
    return act, frames
