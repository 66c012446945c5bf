"""Scores of tracked beats against reference beats, through mir_eval.

Needs mir_eval (the optional extra ``eval``), imported only when something is scored.  Scores
cover the whole sequence: no leading seconds are trimmed.  Where mir_eval cannot compute a score
(an empty side, a single beat for the continuity scores) it is 0, and mir_eval's warnings about
it are kept from the user.
"""

import importlib
import warnings
from dataclasses import dataclass
from types import ModuleType

import numpy as np
from numpy.typing import ArrayLike

__all__ = ["BeatScores", "evaluate_beats", "f_measure"]


@dataclass(frozen=True, slots=True)
class BeatScores:
    """The usual beat-tracking scores, each in [0, 1].

    Attributes
    ----------
    f_measure : float
        F-measure with a tolerance of 70 ms either side.
    cemgil : float
        Cemgil's accuracy (Gaussian error window, 40 ms deviation).
    cmlt, amlt : float
        Continuity at the correct metrical level, and at any allowed level, over the whole
        sequence.
    """

    f_measure: float
    cemgil: float
    cmlt: float
    amlt: float

    def __str__(self) -> str:
        return (
            f"F-measure {self.f_measure:.3f}, Cemgil {self.cemgil:.3f}, "
            f"CMLt {self.cmlt:.3f}, AMLt {self.amlt:.3f}"
        )


def evaluate_beats(reference: ArrayLike, estimated: ArrayLike) -> BeatScores:
    """Score estimated beat times against reference beat times.

    Parameters
    ----------
    reference, estimated : array_like of float, shape (B,)
        Beat times in seconds, ascending.

    Returns
    -------
    BeatScores

    Raises
    ------
    ImportError
        If mir_eval is not installed.
    """
    beat = _mir_eval_beat()
    ref, est = _times(reference), _times(estimated)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        cemgil, _ = beat.cemgil(ref, est)
        _, cmlt, _, amlt = beat.continuity(ref, est)
        return BeatScores(float(beat.f_measure(ref, est)), float(cemgil), float(cmlt), float(amlt))


def f_measure(reference: ArrayLike, estimated: ArrayLike, window: float = 0.07) -> float:
    """F-measure alone (as for downbeats).

    Parameters
    ----------
    reference, estimated : array_like of float, shape (B,)
    window : float
        Tolerance in seconds either side.

    Returns
    -------
    float
    """
    beat = _mir_eval_beat()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return float(beat.f_measure(_times(reference), _times(estimated), window))


def _times(times: ArrayLike) -> np.ndarray:
    return np.asarray(times, dtype=np.float64).reshape(-1)


def _mir_eval_beat() -> ModuleType:
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            return importlib.import_module("mir_eval.beat")
    except ImportError as err:
        raise ImportError("scoring needs mir_eval: pip install 'plintor[eval]'") from err
