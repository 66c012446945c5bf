import math

import numpy as np
import pytest

from plintor.model.grid import GridConfig
from plintor.model.observation import BEAT, DOWNBEAT, NO_BEAT, ObservationModel

BEAT_GRID = GridConfig().build()
BAR_GRID = GridConfig(min_bpm=100, max_bpm=140).build(3)


class TestBeatStates:
    @pytest.mark.parametrize(
        ("observation_lambda", "interval", "width"),
        [(16, 28, 2), (16, 33, 3), (16, 109, 7), (4, 30, 8), (4, 32, 8), (100, 28, 1)],
    )
    def test_states_before_one_lambdath_of_the_beat(self, observation_lambda, interval, width):
        beat = ObservationModel(observation_lambda).beat_states(BEAT_GRID)
        lane = interval - 28
        lane_states = beat[BEAT_GRID.lane_first[lane] : BEAT_GRID.lane_last[lane] + 1]
        assert lane_states.tolist() == [True] * width + [False] * (interval - width)

    def test_beat_columns(self):
        columns = ObservationModel().columns(BEAT_GRID)
        assert columns.dtype == np.uint32 and columns.flags.c_contiguous
        assert set(np.unique(columns)) == {NO_BEAT, BEAT}
        np.testing.assert_array_equal(columns[BEAT_GRID.lane_first], BEAT)
        np.testing.assert_array_equal(columns[BEAT_GRID.lane_last], NO_BEAT)

    def test_downbeat_column_scores_beat_states_of_the_first_beat_only(self):
        model = ObservationModel(downbeats=True)
        columns = model.columns(BAR_GRID)
        beat = model.beat_states(BAR_GRID)
        first_beat = BAR_GRID.state_beat == 0
        np.testing.assert_array_equal(columns == DOWNBEAT, beat & first_beat)
        np.testing.assert_array_equal(columns == BEAT, beat & ~first_beat)
        np.testing.assert_array_equal(columns == NO_BEAT, ~beat)


class TestDensities:
    def test_beat_log_densities(self):
        log_dens = ObservationModel(16).log_densities([0.5, 0.2])
        assert log_dens.dtype == np.float32 and log_dens.flags.c_contiguous
        expected = [[math.log(0.5 / 15), math.log(0.5)], [math.log(0.8 / 15), math.log(0.2)]]
        np.testing.assert_allclose(log_dens, expected, rtol=1e-6)

    def test_downbeat_log_densities(self):
        log_dens = ObservationModel(16, downbeats=True).log_densities([[0.3, 0.6]])
        expected = [[math.log(0.1 / 15), math.log(0.3), math.log(0.6)]]
        np.testing.assert_allclose(log_dens, expected, rtol=1e-5)

    def test_beat_model_sums_two_column_activations(self):
        model = ObservationModel()
        np.testing.assert_array_equal(
            model.log_densities([[0.25, 0.5]]), model.log_densities([0.75])
        )

    @pytest.mark.parametrize("downbeats", [False, True])
    def test_formed_in_float32_from_float32_activations(self, downbeats):
        act = np.random.default_rng(3).uniform(0, 0.5, (200, 2)).astype(np.float32)
        one, lam = np.float32(1), np.float32(15)
        if downbeats:
            expected = np.log([(one - act[:, 0] - act[:, 1]) / lam, act[:, 0], act[:, 1]]).T
        else:
            act = act[:, 0]
            expected = np.log([(one - act) / lam, act]).T
        log_dens = ObservationModel(16, downbeats=downbeats).log_densities(act.astype(np.float64))
        np.testing.assert_array_equal(log_dens, expected)

    def test_linear_densities_are_the_exponentials(self):
        model = ObservationModel(downbeats=True)
        act = np.random.default_rng(1).uniform(0, 0.5, (50, 2))
        dens = model.densities(act)
        assert dens.dtype == np.float32 and dens.flags.c_contiguous and dens.flags.writeable
        np.testing.assert_allclose(dens, np.exp(model.log_densities(act)), rtol=1e-6)


class TestNoClipping:
    @pytest.mark.parametrize(
        ("act", "downbeats", "expected"),
        [
            ([0.0, 1.0], False, [[np.log(1 / 15), -np.inf], [-np.inf, 0.0]]),
            ([[0.0, 0.0]], True, [[np.log(1 / 15), -np.inf, -np.inf]]),
            ([[1.0, 0.0]], True, [[-np.inf, 0.0, -np.inf]]),
            # A negative no-beat mass has no log: its states are unreachable, as for zero mass.
            ([[0.7, 0.6]], True, [[-np.inf, np.log(0.7), np.log(0.6)]]),
            ([1.5], False, [[-np.inf, np.log(1.5)]]),
        ],
    )
    def test_zero_and_negative_masses_give_minus_infinity(self, act, downbeats, expected):
        model = ObservationModel(downbeats=downbeats)
        with np.errstate(all="raise"):
            log_dens = model.log_densities(act)
            dens = model.densities(act)
        np.testing.assert_allclose(log_dens, expected, rtol=1e-6)
        np.testing.assert_allclose(dens, np.exp(np.asarray(expected)), rtol=1e-6)


@pytest.mark.parametrize(
    ("act", "downbeats"),
    [
        (np.zeros((4, 3)), False),
        (np.zeros((2, 2, 2)), False),
        (np.zeros(4), True),
        ([0.1, np.nan], False),
        ([[0.1, np.inf]], True),
    ],
)
def test_bad_activations_are_refused(act, downbeats):
    with pytest.raises(ValueError):
        ObservationModel(downbeats=downbeats).log_densities(act)


def test_observation_lambda_must_exceed_one():
    with pytest.raises(ValueError):
        ObservationModel(1.0)
