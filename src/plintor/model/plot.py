"""Figure of a tracking result: activations with the decoded beats, and the tempo path.

Needs matplotlib (the optional extra ``plot``), imported only when a figure is drawn.
"""

from os import PathLike

import numpy as np
from numpy.typing import NDArray

from plintor.model.tracking import Beats

__all__ = ["plot_beats"]


def plot_beats(
    path: str | PathLike[str], activations: NDArray[np.float64], beats: Beats, fps: float
) -> None:
    """Save a figure of activations, decoded beats and tempo over time.

    Parameters
    ----------
    path : str or path-like
        Image file to write; the format follows its suffix (e.g. ``.png``).
    activations : ndarray, shape (T,) or (T, 2)
        Beat (and downbeat) activations.
    beats : Beats
        Tracking result for those activations.
    fps : float
        Frame rate of the activations.

    Raises
    ------
    ImportError
        If matplotlib is not installed.
    """
    try:
        from matplotlib.figure import Figure
    except ImportError as err:
        raise ImportError("plotting needs matplotlib: pip install 'plintor[plot]'") from err
    act = activations.reshape(len(activations), -1)
    time = np.arange(len(act)) / fps
    fig = Figure(figsize=(12, 6), layout="constrained")
    top, bottom = fig.subplots(2, 1, sharex=True)
    for column, label in zip(act.T, ("beat", "downbeat"), strict=False):
        top.plot(time, column, linewidth=0.8, label=f"{label} activation")
    downbeat = (
        beats.numbers == 1 if beats.numbers is not None else np.zeros(beats.times.size, bool)
    )
    lines = {"zorder": 0, "alpha": 0.5}
    top.vlines(beats.times[~downbeat], 0, 1, colors="tab:red", label="beat", **lines)
    top.vlines(beats.times[downbeat], 0, 1, colors="black", linewidth=2, label="downbeat", **lines)
    top.set(ylabel="activation", ylim=(0, 1.05), title="Decoded beats")
    top.legend(loc="upper right", fontsize="small")
    bottom.plot(time, beats.bpm, color="tab:green")
    bottom.set(xlabel="time (s)", ylabel="tempo (BPM)", title="Tempo path")
    fig.savefig(path)
