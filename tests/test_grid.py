import math

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from plintor.model.grid import MIN_TRANSITION_PROBABILITY, GridConfig, TempoGrid, stack_grids


def entry_edges(grid: TempoGrid, state: int) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    lo, hi = int(grid.ptr[state]), int(grid.ptr[state + 1])
    return grid.pred[lo:hi], grid.prob[lo:hi], grid.log_prob[lo:hi]


def outgoing_entry_mass(grid: TempoGrid) -> np.ndarray:
    """Total probability leaving each lane's last state (entry edges only)."""
    is_entry_edge = np.repeat(grid.state_phase == 0, np.diff(grid.ptr.astype(np.int64)))
    mass = np.bincount(
        grid.pred[is_entry_edge], weights=grid.prob[is_entry_edge], minlength=grid.num_states
    )
    return mass[grid.lane_last]


class TestBeatGridDefaults:
    grid = GridConfig().build()

    def test_sizes(self):
        assert self.grid.num_lanes == 82
        assert self.grid.num_states == 5617
        np.testing.assert_array_equal(self.grid.lane_interval, np.arange(28, 110))
        assert self.grid.ptr.size == self.grid.num_states + 1
        assert self.grid.ptr[0] == 0 and self.grid.ptr[-1] == self.grid.pred.size

    def test_kernel_arrays_have_exact_dtypes_and_are_contiguous_writable(self):
        expected = {
            "pred": np.uint32,
            "ptr": np.uint32,
            "log_prob": np.float32,
            "prob": np.float32,
            "log_initial": np.float32,
            "initial": np.float32,
        }
        for name, dtype in expected.items():
            array = getattr(self.grid, name)
            assert array.dtype == dtype, name
            assert array.flags.c_contiguous and array.flags.writeable, name

    def test_lanes_are_contiguous_fastest_first(self):
        g = self.grid
        np.testing.assert_array_equal(g.lane_first[1:], g.lane_last[:-1] + 1)
        assert g.lane_first[0] == 0 and g.lane_last[-1] == g.num_states - 1
        np.testing.assert_array_equal(g.state_phase[g.lane_first], 0)
        np.testing.assert_array_equal(g.state_phase[g.lane_last], g.lane_interval - 1)
        assert (g.state_bpm[g.lane_first] <= 215).all() and (g.state_bpm >= 55).all()

    def test_phase_advances_deterministically_inside_lanes(self):
        g = self.grid
        counts = np.diff(g.ptr.astype(np.int64))
        inside = np.flatnonzero(g.state_phase > 0)
        assert (counts[inside] == 1).all()
        np.testing.assert_array_equal(g.pred[g.ptr[inside]], inside - 1)
        assert (g.log_prob[g.ptr[inside]] == 0.0).all()
        assert (g.prob[g.ptr[inside]] == 1.0).all()

    def test_lane_starts_are_entered_from_lane_ends_only(self):
        g = self.grid
        for state in g.lane_first[[0, 40, -1]]:
            pred, prob, log_prob = entry_edges(g, state)
            assert np.isin(pred, g.lane_last).all()
            assert (np.diff(pred.astype(np.int64)) > 0).all()  # one edge per source lane
            np.testing.assert_allclose(log_prob, np.log(prob.astype(np.float64)), atol=1e-6)
        assert len(entry_edges(g, 0)[0]) > 1  # state 0 is not a plain phase advance

    def test_tempo_changes_are_normalised_per_source_lane(self):
        np.testing.assert_allclose(outgoing_entry_mass(self.grid), 1.0, atol=1e-6)


def test_tempo_change_weights_follow_the_relative_interval_change():
    # Intervals 2 and 3 frames: at 60 fps that is 1800 and 1200 BPM.
    grid = GridConfig(fps=60, min_bpm=1200, max_bpm=1800, transition_lambda=1.0).build()
    np.testing.assert_array_equal(grid.lane_interval, [2, 3])
    from_fast = np.array([1.0, math.exp(-0.5)]) / (1 + math.exp(-0.5))
    from_slow = np.array([math.exp(-1 / 3), 1.0]) / (1 + math.exp(-1 / 3))
    # The first state of each lane, one edge from each lane's last state (states 1 and 4).
    for lane, state in enumerate(grid.lane_first):
        pred, prob, _ = entry_edges(grid, state)
        np.testing.assert_array_equal(pred, [1, 4])
        np.testing.assert_allclose(prob, [from_fast[lane], from_slow[lane]], rtol=1e-6)


@pytest.mark.parametrize("transition_lambda", [100.0, 1000.0])
def test_negligible_tempo_changes_are_dropped_before_normalising(transition_lambda):
    grid = GridConfig(transition_lambda=transition_lambda).build()
    for lane in (0, 40, 81):
        pred, prob, _ = entry_edges(grid, int(grid.lane_first[lane]))
        source = grid.lane_interval[grid.state_lane[pred]]
        to_from = grid.lane_interval[lane] / np.arange(28, 110)
        weight = np.exp(-transition_lambda * np.abs(to_from - 1))
        np.testing.assert_array_equal(
            source, np.arange(28, 110)[weight > MIN_TRANSITION_PROBABILITY]
        )
        assert (prob > 0).all()
    np.testing.assert_allclose(outgoing_entry_mass(grid), 1.0, atol=1e-6)


def test_log_spaced_tempi():
    assert GridConfig(num_tempi=1).intervals().tolist() == [28]
    intervals = GridConfig(num_tempi=10).intervals()
    assert intervals.size == 10 and intervals[0] == 28 and intervals[-1] == 109
    ratios = intervals[1:] / intervals[:-1]
    np.testing.assert_allclose(ratios, (109 / 28) ** (1 / 9), rtol=0.03)


def test_log_spaced_tempi_are_respaced_until_as_many_are_distinct():
    # 60 log-spaced values round to 56 distinct intervals; 64 of them give 60.
    intervals = GridConfig(num_tempi=60).intervals()
    assert intervals.size == 60 and (np.diff(intervals) > 0).all()
    assert intervals[0] == 28 and intervals[-1] == 109


@pytest.mark.parametrize("num_tempi", [82, 83, 500])
def test_as_many_tempi_as_intervals_or_more_give_every_interval(num_tempi):
    np.testing.assert_array_equal(GridConfig(num_tempi=num_tempi).intervals(), np.arange(28, 110))


@settings(max_examples=60, deadline=None)
@given(fps=st.floats(20, 200), min_bpm=st.floats(30, 120), span=st.floats(1, 4), data=st.data())
def test_log_spaced_tempi_are_as_many_as_asked(fps, min_bpm, span, data):
    config = GridConfig(fps, min_bpm, min(min_bpm * span, 60 * fps))
    every = config.intervals()
    num_tempi = data.draw(st.integers(1, every.size))
    intervals = GridConfig(fps, config.min_bpm, config.max_bpm, num_tempi).intervals()
    assert intervals.size >= num_tempi and (np.diff(intervals) > 0).all()
    assert np.isin(intervals, every).all()
    if num_tempi > 1:
        assert intervals[0] == every[0] and intervals[-1] == every[-1]


@pytest.mark.parametrize(
    "kwargs",
    [
        {"fps": 0},
        {"min_bpm": 0},
        {"min_bpm": 200, "max_bpm": 100},
        {"max_bpm": 20_000},
        {"num_tempi": 0},
        {"transition_lambda": -1},
    ],
)
def test_invalid_configuration_is_refused(kwargs):
    with pytest.raises(ValueError):
        GridConfig(**kwargs)


@pytest.mark.parametrize("beats_per_bar", [0, (), (3, 0)])
def test_invalid_meter_is_refused(beats_per_bar):
    with pytest.raises(ValueError):
        GridConfig().build(beats_per_bar)


class TestBarGrid:
    beat = GridConfig().build()
    bar = GridConfig().build(4)

    def test_repeats_the_beat_grid_once_per_beat(self):
        assert self.bar.num_states == 4 * 5617 and self.bar.num_lanes == 4 * 82
        np.testing.assert_array_equal(self.bar.lane_beat, np.repeat(np.arange(4), 82))
        np.testing.assert_array_equal(self.bar.state_beat, np.repeat(np.arange(4), 5617))
        np.testing.assert_array_equal(self.bar.state_phase, np.tile(self.beat.state_phase, 4))

    @pytest.mark.parametrize("beat", [0, 1, 3])
    def test_each_beat_is_entered_from_the_previous_beat(self, beat):
        previous = (beat - 1) % 4
        for tempo in (0, 50, 81):
            lane = beat * 82 + tempo
            pred, prob, _ = entry_edges(self.bar, int(self.bar.lane_first[lane]))
            source_lane = self.bar.state_lane[pred]
            assert (self.bar.lane_beat[source_lane] == previous).all()
            assert np.isin(pred, self.bar.lane_last).all()
            # Same tempo-change rule as the beat grid.
            beat_pred, beat_prob, _ = entry_edges(self.beat, int(self.beat.lane_first[tempo]))
            np.testing.assert_array_equal(pred - previous * 5617, beat_pred)
            np.testing.assert_array_equal(prob, beat_prob)

    def test_several_meters_are_disjoint_blocks(self):
        grid = GridConfig(min_bpm=100, max_bpm=120).build((3, 4))
        edge_target = np.repeat(np.arange(grid.num_states), np.diff(grid.ptr.astype(np.int64)))
        state_meter = grid.lane_meter[grid.state_lane]
        np.testing.assert_array_equal(state_meter[grid.pred], state_meter[edge_target])
        np.testing.assert_array_equal(np.bincount(grid.lane_meter), [3 * 11, 4 * 11])
        np.testing.assert_allclose(outgoing_entry_mass(grid), 1.0, atol=1e-6)


def test_stacked_grids_are_the_grid_of_several_meters():
    config = GridConfig(min_bpm=100, max_bpm=120)
    stacked, joint = stack_grids([config.build(3), config.build((4, 2))]), config.build((3, 4, 2))
    assert stacked.meters == joint.meters == (3, 4, 2) and stacked.fps == joint.fps
    for name in TempoGrid.__dataclass_fields__:
        if name not in ("fps", "meters"):
            np.testing.assert_array_equal(getattr(stacked, name), getattr(joint, name), name)
            assert getattr(stacked, name).dtype == getattr(joint, name).dtype, name


def test_stacking_keeps_each_grids_own_tempi():
    slow, fast = GridConfig(min_bpm=60, max_bpm=70).build(3), GridConfig(min_bpm=150).build(2)
    grid = stack_grids([slow, fast])
    np.testing.assert_array_equal(
        grid.lane_interval, np.concatenate([slow.lane_interval, fast.lane_interval])
    )
    np.testing.assert_allclose(outgoing_entry_mass(grid), 1.0, atol=1e-6)
    np.testing.assert_allclose(grid.initial.sum(dtype=np.float64), 1.0, rtol=1e-5)


@pytest.mark.parametrize("grids", [[], [GridConfig().build(), GridConfig(fps=50).build()]])
def test_stacking_needs_grids_at_one_frame_rate(grids):
    with pytest.raises(ValueError, match="grid"):
        stack_grids(grids)


@settings(max_examples=40, deadline=None)
@given(
    fps=st.floats(20, 200),
    min_bpm=st.floats(30, 120),
    span=st.floats(1, 3),
    transition_lambda=st.floats(0, 2000),
    meters=st.lists(st.integers(1, 5), min_size=1, max_size=3),
)
def test_any_grid_is_a_valid_kernel_layout(fps, min_bpm, span, transition_lambda, meters):
    config = GridConfig(fps, min_bpm, min(min_bpm * span, 60 * fps), None, transition_lambda)
    grid = config.build(meters)
    counts = np.diff(grid.ptr.astype(np.int64))
    assert (counts >= 1).all()
    assert (grid.pred < grid.num_states).all()
    first_pred = grid.pred[grid.ptr[:-1]].astype(np.int64)
    interior = (counts == 1) & (first_pred == np.arange(grid.num_states) - 1)
    interior &= grid.log_prob[grid.ptr[:-1]] == 0.0
    assert not interior[0]
    assert np.isfinite(grid.log_prob).all() and (grid.log_prob <= 0).all()
    np.testing.assert_allclose(outgoing_entry_mass(grid), 1.0, atol=1e-5)
