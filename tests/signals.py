"""Clean synthetic activations whose beats are known exactly."""

import numpy as np

PEAK = np.array([0.1, 0.4, 1.0, 0.4, 0.1])


def clean_activations(
    num_frames: int, period: int, first: int, beats_per_bar: int | None = None
) -> tuple[np.ndarray, np.ndarray]:
    """Beat (column 0) and downbeat (column 1) peaks at a steady period; their centre frames."""
    act = np.zeros((num_frames, 2))
    frames = np.arange(first, num_frames - 2, period)
    downbeat = np.zeros(frames.size, dtype=np.int64)
    if beats_per_bar is not None:
        downbeat = (np.arange(frames.size) % beats_per_bar == 0).astype(np.int64)
    for offset, height in zip(range(-2, 3), PEAK, strict=True):
        np.add.at(act, (np.clip(frames + offset, 0, num_frames - 1), downbeat), height)
    return act, frames
