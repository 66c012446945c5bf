import subprocess
import sys

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from signals import clean_activations

from plintor.model import tracking
from plintor.model.evaluation import f_measure
from plintor.model.example import synthetic_piece
from plintor.model.grid import GridConfig
from plintor.model.tracking import Beats, BeatTracker, DownbeatTracker

NARROW = GridConfig(min_bpm=100, max_bpm=140)


def frames_of(beats: Beats, fps: float = 100.0) -> np.ndarray:
    return np.rint(beats.times * fps).astype(np.int64)


class TestOffline:
    @pytest.mark.parametrize(
        ("period", "first"), [(28, 10), (37, 12), (50, 30), (80, 5), (109, 60)]
    )
    def test_clean_beats_at_exact_frames(self, period, first):
        act, frames = clean_activations(1200, period, first)
        beats = BeatTracker().track(act[:, 0])
        assert beats.times.dtype == np.float64 and beats.numbers is None
        np.testing.assert_array_equal(frames_of(beats), frames)
        np.testing.assert_allclose(beats.bpm[100 : frames[-2]], 6000 / period, rtol=0.03)

    def test_beat_goes_to_the_activation_peak_within_the_stretch(self):
        act, frames = clean_activations(990, 80, 40)  # ends before the next beat's states
        act[frames + 1] = act[frames] + 0.01  # peaks one frame late, still in the beat stretch
        beats = BeatTracker().track(act[:, 0])
        np.testing.assert_array_equal(frames_of(beats), frames + 1)

    @pytest.mark.parametrize("meter", [3, 4])
    def test_downbeats_and_meter(self, meter):
        act, frames = clean_activations(1000, 50, 30, beats_per_bar=meter)
        beats = DownbeatTracker((3, 4), NARROW).track(act)
        np.testing.assert_array_equal(frames_of(beats), frames)
        np.testing.assert_array_equal(beats.numbers, np.arange(frames.size) % meter + 1)
        assert (beats.meter, beats.beats_per_bar) == ((3, 4).index(meter), meter)

    def test_builtin_example_scores_well(self):
        piece = synthetic_piece()
        beats = BeatTracker().track(piece.activations)
        assert f_measure(beats.times, piece.beat_times) > 0.95


class TestOnline:
    @pytest.mark.parametrize(("period", "first"), [(37, 12), (50, 30), (100, 50)])
    def test_agrees_with_offline_on_clean_input(self, period, first):
        act, _ = clean_activations(1200, period, first)
        tracker = BeatTracker()
        offline, online = tracker.track(act), tracker.track_online(act)
        # Nothing is reported within the first beat at the fastest tempo; after that the filter
        # reports a beat on reaching the beat states, a frame or two before the peak.
        settled = offline.times[offline.times >= 60 / tracker.grid.max_bpm]
        assert f_measure(online.times, settled, window=0.03) == 1.0
        assert (np.diff(online.times) > period / 200).all()  # at most one beat per beat

    def test_downbeats_on_clean_input(self):
        act, frames = clean_activations(1000, 50, 30, beats_per_bar=3)
        online = DownbeatTracker((3, 4), NARROW).track_online(act)
        late = online.times > 3.0  # once the meter is settled
        true_numbers = np.arange(frames.size) % 3 + 1
        nearest = np.abs(online.times[late, None] - frames[None, :] / 100).argmin(axis=1)
        np.testing.assert_array_equal(online.numbers[late], true_numbers[nearest])

    def test_builtin_example_scores_well(self):
        piece = synthetic_piece()
        beats = BeatTracker().track_online(piece.activations)
        assert f_measure(beats.times, piece.beat_times) > 0.9

    @settings(max_examples=5, deadline=None)
    @given(cuts=st.lists(st.integers(0, 600), max_size=6))
    def test_chunking_changes_nothing(self, cuts):
        act, _ = clean_activations(600, 47, 20, beats_per_bar=3)
        tracker = DownbeatTracker((3,), NARROW)
        whole = tracker.stream().process(act)
        stream = tracker.stream()
        parts = [stream.process(chunk) for chunk in np.split(act, sorted(cuts))]
        np.testing.assert_array_equal(np.concatenate([p.times for p in parts]), whole.times)
        np.testing.assert_array_equal(np.concatenate([p.numbers for p in parts]), whole.numbers)
        np.testing.assert_array_equal(np.concatenate([p.bpm for p in parts]), whole.bpm)

    def test_reset_starts_over(self):
        act, _ = clean_activations(400, 50, 30)
        stream = BeatTracker(NARROW).stream()
        first = stream.process(act)
        stream.reset()
        np.testing.assert_array_equal(stream.process(act).times, first.times)


class TestNothingToTrack:
    @pytest.mark.parametrize("num_frames", [0, 300])
    @pytest.mark.parametrize(
        "tracker", [BeatTracker(NARROW), DownbeatTracker((3, 4), NARROW, threshold=0)]
    )
    def test_empty_or_silent_input_gives_no_beats(self, num_frames, tracker):
        act = np.zeros((num_frames, 2))
        for beats in (tracker.track(act), tracker.track_online(act)):
            assert beats.times.shape == (0,) and beats.times.dtype == np.float64
            if isinstance(tracker, BeatTracker):
                assert beats.numbers is None
            else:
                assert beats.numbers.shape == (0,)
            assert beats.bpm.shape == (num_frames,)
            assert np.isnan(beats.tempo) and beats.meter is None

    def test_empty_chunk_in_a_stream(self):
        act, _ = clean_activations(300, 50, 30)
        tracker = BeatTracker(NARROW)
        stream = tracker.stream()
        assert stream.process(np.empty(0)).times.size == 0
        np.testing.assert_array_equal(
            stream.process(act).times, tracker.stream().process(act).times
        )


@pytest.mark.parametrize("beats_per_bar", [(), (0,), (3, 0)])
def test_invalid_meter_is_refused(beats_per_bar):
    with pytest.raises(ValueError, match="beats_per_bar must be positive"):
        DownbeatTracker(beats_per_bar)


def absent(name):
    raise ModuleNotFoundError(name)


def source_directory(name):
    return type(sys)(name)  # a C++ source directory imports as an empty namespace package


@pytest.mark.parametrize("import_module", [absent, source_directory])
def test_unbuilt_extension_is_reported_clearly(monkeypatch, import_module):
    monkeypatch.setattr(tracking.importlib, "import_module", import_module)
    with pytest.raises(ImportError, match="not built"):
        BeatTracker().track([0.5, 0.5])
    with pytest.raises(ImportError, match="not built"):
        BeatTracker().stream()


def test_package_import_loads_neither_numpy_nor_the_extension():
    code = (
        "import sys, plintor.model as m; "
        "assert 'numpy' not in sys.modules and 'plintor.model._kernels' not in sys.modules; "
        "m.BeatTracker; assert 'numpy' in sys.modules"
    )
    subprocess.run([sys.executable, "-c", code], check=True)


class TestOptions:
    def test_reference_defaults(self):
        beat, down = BeatTracker(), DownbeatTracker()
        assert (beat.grid, beat.observation_lambda, beat.threshold, beat.correct) == (
            GridConfig(),
            16.0,
            0.0,
            True,
        )
        assert down.beats_per_bar == (3, 4) and down.grids == (GridConfig(num_tempi=60),) * 2
        assert (down.observation_lambda, down.threshold, down.correct) == (16.0, 0.05, True)

    def test_threshold_decodes_the_frames_between_the_first_and_last_strong_one(self):
        act, frames = clean_activations(1200, 50, 330)
        act[:300] = act[-300:] = 0.2  # weak bursts outside the music
        whole = BeatTracker(NARROW).track(act[:, 0])
        cropped = BeatTracker(NARROW, threshold=0.5).track(act[:, 0])
        np.testing.assert_array_equal(frames_of(cropped), frames[frames < 900])
        assert frames_of(whole).size > frames_of(cropped).size
        first, last = frames[0], frames[frames < 900][-1]  # the frames of the 0.9 peaks
        decoded = ~np.isnan(cropped.bpm)
        assert not decoded[:first].any() and decoded[first : last + 1].all()
        assert not decoded[last + 1 :].any()
        empty = BeatTracker(NARROW, threshold=0.95).track(act[:, 0])
        assert empty.times.size == 0 and empty.log_probability == -np.inf

    def test_without_correction_beats_start_their_beat_states(self):
        act, frames = clean_activations(990, 80, 40)
        corrected = BeatTracker().track(act[:, 0])
        raw = BeatTracker(correct=False).track(act[:, 0])
        np.testing.assert_array_equal(frames_of(corrected), frames)
        np.testing.assert_array_equal(frames_of(raw), frames - 2)  # 5 beat states around a peak

    def test_without_correction_downbeats_follow_the_beat_of_the_bar(self):
        act, frames = clean_activations(1000, 50, 30, beats_per_bar=3)
        beats = DownbeatTracker((3, 4), NARROW, correct=False).track(act)
        assert (np.abs(frames_of(beats)[1:] - frames[1:]) <= 2).all()
        np.testing.assert_array_equal(beats.numbers[1:], np.arange(1, frames.size) % 3 + 1)

    def test_equal_meters_choose_the_first(self):
        act, _ = clean_activations(600, 50, 30, beats_per_bar=4)
        beats = DownbeatTracker((4, 4, 2), NARROW).track(act)
        assert (beats.meter, beats.beats_per_bar) == (0, 4)

    def test_each_meter_has_its_own_tempo_range(self):
        act, frames = clean_activations(1000, 50, 30, beats_per_bar=3)
        # 120 BPM lies only in the 3/4 range: the 4/4 grid cannot follow it.
        grids = (GridConfig(min_bpm=100, max_bpm=140), GridConfig(min_bpm=60, max_bpm=80))
        beats = DownbeatTracker([3, 4], grids).track(act)
        assert beats.meter == 0 and isinstance(DownbeatTracker([3, 4], list(grids)).grid, tuple)
        np.testing.assert_array_equal(frames_of(beats), frames)

    @pytest.mark.parametrize(
        ("grid", "message"),
        [
            ((GridConfig(),), "one GridConfig per meter"),
            ((GridConfig(), GridConfig(fps=50)), "share one fps"),
        ],
    )
    def test_per_meter_grids_are_checked(self, grid, message):
        with pytest.raises(ValueError, match=message):
            DownbeatTracker((3, 4), grid)

    def test_negative_threshold_is_refused(self):
        with pytest.raises(ValueError, match="threshold"):
            BeatTracker(threshold=-0.1)

    def test_grids_are_built_once_per_tracker(self, monkeypatch):
        built = []
        build = GridConfig.build
        monkeypatch.setattr(
            GridConfig, "build", lambda self, m=1: built.append(m) or build(self, m)
        )
        act, _ = clean_activations(400, 50, 30, beats_per_bar=3)
        beat, down = BeatTracker(NARROW), DownbeatTracker((3, 4), NARROW)
        for _ in range(3):
            beat.track(act), beat.stream().process(act), down.track(act)
        down.stream(), down.stream()
        assert sorted(built) == [1, 3, 3, 4, 4]  # down's stream stacks its own two blocks


def test_global_tempo_is_the_median_beat_interval():
    beats = Beats(np.array([0.0, 0.5, 1.0, 1.6, 2.1]), None, np.empty(0))
    assert beats.tempo == pytest.approx(120.0)
    assert np.isnan(Beats(np.array([1.0]), None, np.empty(0)).tempo)
