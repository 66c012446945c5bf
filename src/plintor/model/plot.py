"""Figure of a tracking result: activations with the decoded beats, and the tempo path.

Needs matplotlib (the optional extra ``plot``), imported only when a figure is drawn.  The top
panel shows a stretch of time (the whole sequence up to a minute, else its first 30 seconds,
unless a range is asked for); the tempo panel below always covers the whole sequence and shades
the stretch shown above.
"""

import math
from os import PathLike
from typing import Any

import numpy as np
from numpy.typing import ArrayLike, NDArray

from plintor.model.tracking import Beats

__all__ = ["plot_beats", "shown_range"]

#: Sequences up to this long (in seconds) are shown whole; longer ones by their first stretch.
_WHOLE_UP_TO = 60.0
_FIRST_STRETCH = 30.0

#: Beat numbers are written above the beat lines while at most this many beats are shown.
_MAX_NUMBERED = 120


def shown_range(
    duration: float, time_range: tuple[float, float] | None = None
) -> tuple[float, float]:
    """Stretch of time the activation panel shows.

    Parameters
    ----------
    duration : float
        Length of the sequence in seconds.
    time_range : tuple of float or None
        Start and end in seconds, as asked for; None for the default.

    Returns
    -------
    tuple of float
        `time_range` if given; else the whole sequence up to a minute, and the first 30
        seconds of a longer one.
    """
    if time_range is not None:
        return time_range
    return (0.0, duration if duration <= _WHOLE_UP_TO else _FIRST_STRETCH)


def plot_beats(
    path: str | PathLike[str],
    activations: NDArray[np.float64],
    beats: Beats,
    fps: float,
    *,
    title: str = "",
    time_range: tuple[float, float] | None = None,
    reference: ArrayLike | None = None,
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
    title : str
        First part of the figure's title (e.g. the file and the mode); the meter and the
        tempo are added.
    time_range : tuple of float or None
        Start and end in seconds of the activation panel (see :func:`shown_range`).
    reference : array_like of float or None
        Reference beat times to mark beside the decoded ones.

    Raises
    ------
    ImportError
        If matplotlib is not installed.
    """
    try:
        from matplotlib.figure import Figure
    except ImportError as err:
        raise ImportError("plotting needs matplotlib: pip install 'plintor[plot]'") from err
    act = activations[:, np.newaxis] if activations.ndim == 1 else activations
    duration = len(act) / fps
    start, end = shown_range(duration, time_range)
    fig = Figure(figsize=(12, 6), layout="constrained")
    top, bottom = fig.subplots(2, 1, height_ratios=(2, 1))
    _draw_activations(top, act, fps, (start, end))
    _draw_beats(top, beats, (start, end), reference)
    _draw_tempo(bottom, beats, fps, duration, (start, end))
    fig.suptitle(_title(title, beats, (start, end), duration))
    fig.savefig(path)


def _draw_activations(
    ax: Any, act: NDArray[np.float64], fps: float, shown: tuple[float, float]
) -> None:
    first, last = max(0, math.floor(shown[0] * fps)), math.ceil(shown[1] * fps) + 1
    time = np.arange(first, min(last, len(act))) / fps
    part = act[first:last]
    for column, label in zip(part.T, ("beat", "downbeat"), strict=False):
        ax.plot(time, column, linewidth=0.8, label=f"{label} activation")
    peak = float(part.max()) if part.size else 0.0
    ax.set(
        ylabel="activation",
        ylim=(0, max(peak, 0.05) * 1.12),
        xlim=(shown[0], max(shown[1], shown[0] + 1.0)),
    )


def _draw_beats(
    ax: Any, beats: Beats, shown: tuple[float, float], reference: ArrayLike | None
) -> None:
    visible = (beats.times >= shown[0]) & (beats.times <= shown[1])
    times = beats.times[visible]
    numbers = beats.numbers[visible] if beats.numbers is not None else None
    downbeat = numbers == 1 if numbers is not None else np.zeros(times.size, dtype=bool)
    low, high = ax.get_ylim()
    lines = {"zorder": 0, "alpha": 0.5}
    if (~downbeat).any():
        ax.vlines(times[~downbeat], low, high, colors="tab:red", label="beat", **lines)
    if downbeat.any():
        ax.vlines(
            times[downbeat], low, high, colors="black", linewidth=2, label="downbeat", **lines
        )
    if numbers is not None and times.size <= _MAX_NUMBERED:
        for time, number in zip(times.tolist(), numbers.tolist(), strict=True):
            ax.text(time, high, f" {number}", va="top", fontsize="x-small")
    if reference is not None:
        ref = np.asarray(reference, dtype=np.float64)
        ref = ref[(ref >= shown[0]) & (ref <= shown[1])]
        ax.plot(
            ref,
            np.full(ref.size, low),
            "^",
            color="tab:green",
            clip_on=False,
            zorder=3,
            label="reference beat",
        )
    if beats.times.size == 0:
        ax.text(0.5, 0.5, "no beats", transform=ax.transAxes, ha="center", fontsize="x-large")
    _legend(ax)


def _draw_tempo(
    ax: Any, beats: Beats, fps: float, duration: float, shown: tuple[float, float]
) -> None:
    ax.plot(np.arange(beats.bpm.size) / fps, beats.bpm, color="tab:green", linewidth=0.8)
    if not math.isnan(beats.tempo):
        ax.axhline(beats.tempo, color="gray", linestyle="--", linewidth=0.8)
    if not np.isfinite(beats.bpm).any():
        ax.set_yticks([])  # nothing was decoded: no tempo scale to read
    whole = (0.0, max(duration, shown[1]))
    if shown != whole:
        ax.axvspan(*shown, color="tab:blue", alpha=0.1, label="shown above")
        _legend(ax)
    ax.set(xlabel="time (s)", ylabel="tempo (BPM)", xlim=(whole[0], max(whole[1], 1.0)))


def _legend(ax: Any) -> None:
    """A legend beside the panel, where it hides no beat."""
    ax.legend(loc="upper left", bbox_to_anchor=(1.0, 1.0), fontsize="small")


def _title(prefix: str, beats: Beats, shown: tuple[float, float], duration: float) -> str:
    parts = [prefix] if prefix else []
    if beats.beats_per_bar is not None:
        parts.append(f"{beats.beats_per_bar} beats per bar")
    parts.append("no beats" if math.isnan(beats.tempo) else f"{beats.tempo:.0f} BPM")
    if shown != (0.0, duration):
        parts.append(f"activations {shown[0]:g} to {shown[1]:g} s of {duration:.0f} s")
    return " · ".join(parts)
