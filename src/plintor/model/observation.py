"""Observation model: network activations as per-frame densities of a few state columns.

Every state is scored by one observation column.  The first ``1 / observation_lambda`` of each
lane's states (at least one) are *beat states*; the rest score the no-beat column.  With beat
activations ``a`` the columns are no-beat ``(1 - a) / (observation_lambda - 1)`` and beat ``a``.
With beat and downbeat activations the beat states of beat 0 of the bar score the downbeat
activation instead, and no-beat uses ``1 - beat - downbeat``.
"""

from dataclasses import dataclass

import numpy as np
from numpy.typing import ArrayLike, NDArray

from plintor.model.grid import TempoGrid

__all__ = ["BEAT", "DOWNBEAT", "EPSILON", "NO_BEAT", "ObservationModel", "as_activations"]

#: Column indices of the observation model.
NO_BEAT, BEAT, DOWNBEAT = 0, 1, 2

#: Activations are clipped into ``[EPSILON, 1 - EPSILON]`` so that every log-density is finite.
EPSILON = 1e-7


@dataclass(frozen=True, slots=True)
class ObservationModel:
    """Maps activations to observation densities and states to observation columns.

    Parameters
    ----------
    observation_lambda : float
        The beat states are the first ``1 / observation_lambda`` of each lane (at least one).
    downbeats : bool
        Whether activations carry a downbeat column and beat 0 of the bar scores it.
    """

    observation_lambda: float = 16.0
    downbeats: bool = False

    def __post_init__(self) -> None:
        if not self.observation_lambda > 1:
            raise ValueError(f"observation_lambda must exceed 1, got {self.observation_lambda}")

    @property
    def num_columns(self) -> int:
        """Number of observation columns (2, or 3 with downbeats)."""
        return 3 if self.downbeats else 2

    def beat_states(self, grid: TempoGrid) -> NDArray[np.bool_]:
        """Mark the states scored by the beat (or downbeat) column.

        Parameters
        ----------
        grid : TempoGrid

        Returns
        -------
        ndarray of bool, shape (N,)
        """
        width = np.maximum(1, np.floor(grid.lane_interval / self.observation_lambda))
        return grid.state_phase < width[grid.state_lane]

    def columns(self, grid: TempoGrid) -> NDArray[np.uint32]:
        """Observation column of every state, as the kernels take it.

        Parameters
        ----------
        grid : TempoGrid

        Returns
        -------
        ndarray of uint32, shape (N,)
        """
        column = self.beat_states(grid).astype(np.uint32) * BEAT
        if self.downbeats:
            column[(column == BEAT) & (grid.state_beat == 0)] = DOWNBEAT
        return column

    def log_densities(self, activations: ArrayLike) -> NDArray[np.float32]:
        """Per-frame log-densities of the columns.

        Parameters
        ----------
        activations : array_like, shape (T,) or (T, 2)
            Beat activations, or beat and downbeat activations, in [0, 1].  Without downbeats a
            two-column input is reduced to its sum (any beat).

        Returns
        -------
        ndarray of float32, shape (T, num_columns)
            C-contiguous and finite.
        """
        act = as_activations(activations, downbeats=self.downbeats)
        if not self.downbeats:
            act = act.sum(axis=1, keepdims=True)
        beat = np.clip(act, EPSILON, 1.0 - EPSILON)
        no_beat = np.maximum(1.0 - beat.sum(axis=1, keepdims=True), EPSILON)
        dens = np.hstack([no_beat / (self.observation_lambda - 1.0), beat])
        return np.ascontiguousarray(np.log(dens), dtype=np.float32)

    def densities(self, activations: ArrayLike) -> NDArray[np.float32]:
        """Per-frame linear densities (the exponentials of :meth:`log_densities`).

        Parameters
        ----------
        activations : array_like, shape (T,) or (T, 2)

        Returns
        -------
        ndarray of float32, shape (T, num_columns)
        """
        return np.exp(self.log_densities(activations))


def as_activations(activations: ArrayLike, *, downbeats: bool) -> NDArray[np.float64]:
    """Validate activations and bring them to shape (T, 1) or (T, 2).

    Parameters
    ----------
    activations : array_like, shape (T,), (T, 1) or (T, 2)
        Beat activations, or beat and downbeat activations.
    downbeats : bool
        Whether a downbeat column is required.

    Returns
    -------
    ndarray of float64, shape (T, 1) or (T, 2)

    Raises
    ------
    ValueError
        On another shape, a missing downbeat column or a non-finite value.
    """
    act = np.asarray(activations, dtype=np.float64)
    if act.ndim == 1:
        act = act[:, np.newaxis]
    if act.ndim != 2 or act.shape[1] not in (1, 2):
        raise ValueError(f"activations must have shape (T,) or (T, 2), got {act.shape}")
    if downbeats and act.shape[1] != 2:
        raise ValueError("downbeat tracking needs beat and downbeat activations, shape (T, 2)")
    if not np.isfinite(act).all():
        raise ValueError("activations contain NaN or infinity")
    return act
