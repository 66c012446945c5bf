"""Observation model: network activations as per-frame densities of a few state columns.

Every state is scored by one observation column.  The states whose position within the beat
(phase over beat interval) lies below ``1 / observation_lambda`` are *beat states*; the rest score
the no-beat column.  With beat activations ``a`` the columns are no-beat
``(1 - a) / (observation_lambda - 1)`` and beat ``a``.  With beat and downbeat activations the beat
states of beat 0 of the bar score the downbeat activation instead, and no-beat uses
``1 - beat - downbeat``.

Densities are formed in float32 from float32 activations and are not clipped: an activation of 0
or 1 gives a log-density of minus infinity, and so does a negative no-beat mass (a row whose
activations sum above 1), which makes those states unreachable in that frame.
"""

from dataclasses import dataclass

import numpy as np
from numpy.typing import ArrayLike, NDArray

from plintor.model.grid import TempoGrid

__all__ = ["BEAT", "DOWNBEAT", "NO_BEAT", "ObservationModel", "as_activations"]

#: Column indices of the observation model.
NO_BEAT, BEAT, DOWNBEAT = 0, 1, 2


@dataclass(frozen=True, slots=True)
class ObservationModel:
    """Maps activations to observation densities and states to observation columns.

    Parameters
    ----------
    observation_lambda : float
        The beat states are those in the first ``1 / observation_lambda`` of each beat:
        ``ceil(interval / observation_lambda)`` states of each lane.
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
        width = np.ceil(grid.lane_interval / self.observation_lambda)
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
        column = (self.beat_states(grid) * BEAT).astype(np.uint32)
        if self.downbeats:
            column[(column == BEAT) & (grid.state_beat == 0)] = DOWNBEAT
        return column

    def log_densities(self, activations: ArrayLike) -> NDArray[np.float32]:
        """Per-frame log-densities of the columns, in float32.

        Parameters
        ----------
        activations : array_like, shape (T,) or (T, 2)
            Beat activations, or beat and downbeat activations, in [0, 1].  Without downbeats a
            two-column input is reduced to its sum (any beat).

        Returns
        -------
        ndarray of float32, shape (T, num_columns)
            C-contiguous; minus infinity where a density is zero or negative.
        """
        act = as_activations(activations, downbeats=self.downbeats)
        if not self.downbeats:
            act = act.sum(axis=1, keepdims=True, dtype=np.float32)
        no_beat = np.float32(1.0) - act[:, 0]
        if self.downbeats:
            no_beat -= act[:, 1]
        dens = np.column_stack([no_beat / np.float32(self.observation_lambda - 1.0), act])
        with np.errstate(divide="ignore", invalid="ignore"):
            log_dens = np.log(dens)
        log_dens[np.isnan(log_dens)] = -np.inf
        return np.ascontiguousarray(log_dens)

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


def as_activations(activations: ArrayLike, *, downbeats: bool) -> NDArray[np.float32]:
    """Validate activations and bring them to float32 of shape (T, 1) or (T, 2).

    Parameters
    ----------
    activations : array_like, shape (T,), (T, 1) or (T, 2)
        Beat activations, or beat and downbeat activations.
    downbeats : bool
        Whether a downbeat column is required.

    Returns
    -------
    ndarray of float32, shape (T, 1) or (T, 2)

    Raises
    ------
    ValueError
        On another shape, a missing downbeat column or a non-finite value.
    """
    act = np.asarray(activations)
    if act.dtype.kind != "f":
        act = act.astype(np.float64)
    if act.ndim == 1:
        act = act[:, np.newaxis]
    if act.ndim != 2 or act.shape[1] not in (1, 2):
        raise ValueError(f"activations must have shape (T,) or (T, 2), got {act.shape}")
    if downbeats and act.shape[1] != 2:
        raise ValueError("downbeat tracking needs beat and downbeat activations, shape (T, 2)")
    act = act.astype(np.float32, copy=False)
    if not np.isfinite(act).all():  # after the cast, which turns huge values into infinities
        raise ValueError("activations contain NaN or infinity")
    return act
