"""Parity with the reference DBN beat and downbeat trackers, over every case in data/.

Each case holds synthetic activations and what the reference computed from them; README.md
beside the cases describes the arrays and the tolerances used here.  Beats must agree to the
frame, paths and meters exactly, log-probabilities within 1e-5 relative (we accumulate in
float32), and online states wherever the reference's choice is not a near-tie.
"""

import json
from pathlib import Path

import numpy as np
import pytest

from plintor.compat.madmom import DBNBeatTrackingProcessor, DBNDownBeatTrackingProcessor
from plintor.model.grid import GridConfig, TempoGrid
from plintor.model.observation import ObservationModel
from plintor.model.placement import kept_frames
from plintor.model.tracking import BeatTracker, DownbeatTracker, load_kernels

DATA = Path(__file__).parent / "data" / "dbn-reference"
INDEX = json.loads((DATA / "index.json").read_text())
BEAT_CASES = [name for name, case in INDEX.items() if case["kind"] == "beat"]
DOWN_CASES = [name for name, case in INDEX.items() if case["kind"] == "down"]
LOG_PROB_RTOL = 1e-5
# Relative gap between the two largest forward values below which the reference's argmax is
# a near-tie for a float32 filter.
NEAR_TIE = 1e-4


def load(name: str) -> tuple[dict, dict[str, np.ndarray]]:
    with np.load(DATA / INDEX[name]["file"], allow_pickle=False) as arrays:
        return INDEX[name]["params"], dict(arrays)


def per_meter(params: dict, key: str, num_meters: int) -> list:
    value = params[key]
    return value if isinstance(value, list) else [value] * num_meters


def grid_configs(params: dict, num_meters: int) -> tuple[GridConfig, ...]:
    keys = ("min_bpm", "max_bpm", "num_tempi", "transition_lambda")
    columns = [per_meter(params, key, num_meters) for key in keys]
    return tuple(GridConfig(params["fps"], *values) for values in zip(*columns, strict=True))


def beat_tracker(params: dict) -> BeatTracker:
    (grid,) = grid_configs(params, 1)
    return BeatTracker(grid, params["observation_lambda"], params["threshold"], params["correct"])


def downbeat_tracker(params: dict) -> DownbeatTracker:
    meters = tuple(params["beats_per_bar"])
    grids = grid_configs(params, len(meters))
    return DownbeatTracker(
        meters, grids, params["observation_lambda"], params["threshold"], params["correct"]
    )


def frames(times: np.ndarray, fps: float) -> np.ndarray:
    return np.rint(np.asarray(times) * fps).astype(np.int64)


def assert_relative(actual: float, expected: float) -> None:
    assert abs(actual - expected) <= LOG_PROB_RTOL * abs(expected), (actual, expected)


def decode(grid: TempoGrid, observation: ObservationModel, act: np.ndarray):
    return load_kernels().decode(
        grid.pred,
        grid.ptr,
        grid.log_prob,
        observation.log_densities(act),
        observation.columns(grid),
        grid.log_initial,
    )


def forward_values(grid: TempoGrid, observation: ObservationModel, act: np.ndarray) -> np.ndarray:
    """Normalised forward variables of every frame, in float64: the filter written plainly."""
    target = np.repeat(np.arange(grid.num_states), np.diff(grid.ptr.astype(np.int64)))
    prob = grid.prob.astype(np.float64)
    dens = observation.densities(act).astype(np.float64)[:, observation.columns(grid)]
    belief = np.full(grid.num_states, 1.0 / grid.num_states)
    values = np.empty((len(act), grid.num_states))
    for t in range(len(act)):
        belief = np.bincount(target, belief[grid.pred] * prob, grid.num_states) * dens[t]
        belief /= belief.sum()
        values[t] = belief
    return values


class TestState:
    @pytest.mark.parametrize("name", BEAT_CASES + DOWN_CASES)
    def test_intervals_and_state_counts(self, name):
        params, ref = load(name)
        meters = params.get("beats_per_bar", [1])
        intervals = np.atleast_2d(ref["intervals"])
        num_states = np.atleast_1d(ref["num_states"])
        for i, config in enumerate(grid_configs(params, len(meters))):
            np.testing.assert_array_equal(config.intervals(), intervals[i])
            assert config.build(meters[i]).num_states == num_states[i]

    @pytest.mark.parametrize("name", BEAT_CASES + DOWN_CASES)
    def test_thresholded_segment_and_viterbi_path(self, name):
        params, ref = load(name)
        downbeats = "beats_per_bar" in params
        tracker = downbeat_tracker(params) if downbeats else beat_tracker(params)
        act = ref["activations"].reshape(len(ref["activations"]), -1)
        kept = kept_frames(act, params["threshold"])
        assert (kept.start, kept.stop - kept.start) == (ref["first"], ref["path"].size)
        best = int(ref["best_meter"]) if downbeats else 0
        grid = tracker.grids[best].build(tracker.meters[best])
        path, log_prob = decode(grid, tracker.observation, act[kept])
        np.testing.assert_array_equal(path, ref["path"])
        assert_relative(
            log_prob, float(ref["meter_log_probs"][best] if downbeats else ref["log_prob"])
        )


@pytest.mark.parametrize("name", BEAT_CASES)
class TestBeats:
    def test_offline(self, name):
        params, ref = load(name)
        beats = beat_tracker(params).track(ref["activations"])
        np.testing.assert_array_equal(
            frames(beats.times, params["fps"]), frames(ref["beats"], params["fps"])
        )
        assert beats.numbers is None and beats.meter is None
        assert_relative(beats.log_probability, float(ref["log_prob"]))
        assert beats.tempo == pytest.approx(60 / np.median(np.diff(ref["beats"])))

    def test_offline_drop_in(self, name):
        params, ref = load(name)
        processor = DBNBeatTrackingProcessor(**params, unknown_option="ignored")
        for times in (
            processor.process(ref["activations"]),
            processor.process_offline(ref["activations"]),
        ):
            assert times.dtype == np.float64
            np.testing.assert_array_equal(
                frames(times, params["fps"]), frames(ref["beats"], params["fps"])
            )

    def test_online_frame_by_frame_and_in_chunks(self, name):
        params, ref = load(name)
        expected = frames(ref["online_beats"], params["fps"])
        act = ref["activations"]
        stream = beat_tracker(params).stream()
        by_frame = [stream.process(act[t : t + 1]).times for t in range(len(act))]
        np.testing.assert_array_equal(frames(np.concatenate(by_frame), params["fps"]), expected)
        for seed in range(3):
            stream.reset()
            cuts = np.sort(np.random.default_rng(seed).integers(0, len(act), 8))
            chunks = [stream.process(chunk).times for chunk in np.split(act, cuts)]
            np.testing.assert_array_equal(frames(np.concatenate(chunks), params["fps"]), expected)

    def test_online_drop_in(self, name):
        params, ref = load(name)
        act = ref["activations"]
        processor = DBNBeatTrackingProcessor(**{**params, "online": True})
        processor.reset()
        times = np.concatenate(
            [processor.process_online(act[t : t + 1], reset=False) for t in range(len(act))]
        )
        np.testing.assert_array_equal(
            frames(times, params["fps"]), frames(ref["online_beats"], params["fps"])
        )
        np.testing.assert_array_equal(processor.process(act), times)  # process resets first

    def test_online_states(self, name):
        params, ref = load(name)
        tracker = beat_tracker(params)
        grid, observation = tracker.grid.build(), tracker.observation
        decoder = load_kernels().ForwardDecoder(
            grid.pred, grid.ptr, grid.prob, observation.columns(grid), grid.initial
        )
        states = decoder.step(observation.densities(ref["activations"]))
        expected, top2 = ref["online_states"], ref["online_top2"]
        clear = top2[:, 0] - top2[:, 1] > NEAR_TIE * top2[:, 0]
        np.testing.assert_array_equal(states[clear], expected[clear])
        # On a near-tie any state within the tolerance of the maximum is right; the values
        # come from the float64 filter, itself checked against the reference's top two.
        differ = np.flatnonzero(~clear & (states != expected))
        if differ.size:
            values = forward_values(grid, observation, ref["activations"][: differ[-1] + 1])
            top = -np.sort(-values, axis=1)[:, :2]
            np.testing.assert_allclose(top, top2[: differ[-1] + 1], rtol=NEAR_TIE)
            chosen = values[differ, states[differ]]
            assert (chosen >= (1 - NEAR_TIE) * values[differ].max(axis=1)).all()


@pytest.mark.parametrize("name", DOWN_CASES)
class TestDownbeats:
    def test_offline(self, name):
        params, ref = load(name)
        tracker = downbeat_tracker(params)
        beats = tracker.track(ref["activations"])
        np.testing.assert_array_equal(
            frames(beats.times, params["fps"]), frames(ref["beats"][:, 0], params["fps"])
        )
        np.testing.assert_array_equal(beats.numbers, ref["beats"][:, 1])
        assert (
            beats.meter == ref["best_meter"] and beats.beats_per_bar == ref["best_beats_per_bar"]
        )
        assert_relative(beats.log_probability, float(ref["meter_log_probs"][ref["best_meter"]]))

    def test_every_meter_log_probability(self, name):
        params, ref = load(name)
        tracker = downbeat_tracker(params)
        act = ref["activations"][ref["first"] : ref["first"] + ref["path"].size]
        for config, meter, expected in zip(
            tracker.grids, tracker.meters, ref["meter_log_probs"], strict=True
        ):
            assert_relative(decode(config.build(meter), tracker.observation, act)[1], expected)

    def test_offline_drop_in(self, name):
        params, ref = load(name)
        processor = DBNDownBeatTrackingProcessor(**params, unknown_option="ignored")
        beats = processor.process(ref["activations"])
        assert beats.dtype == np.float64 and beats.shape == ref["beats"].shape
        np.testing.assert_array_equal(
            frames(beats[:, 0], params["fps"]), frames(ref["beats"][:, 0], params["fps"])
        )
        np.testing.assert_array_equal(beats[:, 1], ref["beats"][:, 1])


def test_every_case_is_tested():
    assert len(BEAT_CASES) + len(DOWN_CASES) == len(INDEX) == 22
