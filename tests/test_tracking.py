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
from plintor.model.tracking import Beats, BeatTracker

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
        act, frames = clean_activations(1000, 80, 40)
        act[frames + 1] = act[frames] + 0.01  # peaks one frame late, still in the beat stretch
        beats = BeatTracker().track(act[:, 0])
        np.testing.assert_array_equal(frames_of(beats), frames + 1)

    @pytest.mark.parametrize("meter", [3, 4])
    def test_downbeats_and_meter(self, meter):
        act, frames = clean_activations(1000, 50, 30, beats_per_bar=meter)
        beats = BeatTracker(NARROW, beats_per_bar=(3, 4)).track(act)
        np.testing.assert_array_equal(frames_of(beats), frames)
        np.testing.assert_array_equal(beats.numbers, np.arange(frames.size) % meter + 1)

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
        # The filter reports a beat on entering the beat states, a frame or two before the peak.
        assert f_measure(online.times, offline.times, window=0.03) == 1.0
        assert (np.diff(online.times) > period / 200).all()  # at most one beat per beat

    def test_downbeats_on_clean_input(self):
        act, frames = clean_activations(1000, 50, 30, beats_per_bar=3)
        online = BeatTracker(NARROW, beats_per_bar=(3, 4)).track_online(act)
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
        tracker = BeatTracker(NARROW, beats_per_bar=(3,))
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
    @pytest.mark.parametrize("beats_per_bar", [(), (3, 4)])
    def test_empty_or_silent_input_gives_no_beats(self, num_frames, beats_per_bar):
        tracker = BeatTracker(NARROW, beats_per_bar=beats_per_bar)
        act = np.zeros((num_frames, 2))
        for beats in (tracker.track(act), tracker.track_online(act)):
            assert beats.times.shape == (0,) and beats.times.dtype == np.float64
            assert beats.numbers is None if not beats_per_bar else beats.numbers.shape == (0,)
            assert beats.bpm.shape == (num_frames,)

    def test_empty_chunk_in_a_stream(self):
        act, _ = clean_activations(300, 50, 30)
        tracker = BeatTracker(NARROW)
        stream = tracker.stream()
        assert stream.process(np.empty(0)).times.size == 0
        np.testing.assert_array_equal(
            stream.process(act).times, tracker.stream().process(act).times
        )


def test_invalid_meter_is_refused():
    with pytest.raises(ValueError):
        BeatTracker(beats_per_bar=(0,))


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
