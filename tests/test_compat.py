import numpy as np
import pytest
from signals import clean_activations

from plintor.compat.madmom import DBNBeatTrackingProcessor, DBNDownBeatTrackingProcessor
from plintor.model.grid import GridConfig


@pytest.mark.parametrize(
    ("make", "name"),
    [
        (lambda: DBNBeatTrackingProcessor(), "DBNBeatTrackingProcessor"),
        (lambda: DBNDownBeatTrackingProcessor([3, 4]), "DBNDownBeatTrackingProcessor"),
    ],
)
def test_a_frame_rate_is_required(make, name):
    with pytest.raises(ValueError, match=f"^{name} needs fps, the frame rate of the activations$"):
        make()


def test_beat_processor_maps_onto_the_beat_tracker():
    processor = DBNBeatTrackingProcessor(60, 180, 40, 30, 8, False, 0.2, fps=50, verbose=True)
    tracker = processor.tracker
    assert tracker.grid == GridConfig(50.0, 60, 180, 40, 30)
    assert (tracker.observation_lambda, tracker.correct, tracker.threshold) == (8, False, 0.2)


def test_online_chunks_continue_unless_reset():
    act, _ = clean_activations(600, 50, 30)
    processor = DBNBeatTrackingProcessor(fps=100, online=True)
    whole = processor.process(act[:, 0])
    processor.reset()
    parts = [
        processor.process_online(chunk, reset=False) for chunk in np.split(act[:, 0], [7, 300])
    ]
    np.testing.assert_array_equal(np.concatenate(parts), whole)
    np.testing.assert_array_equal(processor.process_online(act[:, 0]), whole)  # resets first
    processor.reset()
    single = [processor.process_online(a, reset=False) for a in act[:, 0]]  # scalars: one frame
    np.testing.assert_array_equal(np.concatenate(single), whole)


def test_downbeat_processor_takes_one_value_or_one_per_meter():
    processor = DBNDownBeatTrackingProcessor(
        [3, 4], min_bpm=[100, 60], max_bpm=140, num_tempi=[None, 20], fps=100
    )
    assert processor.tracker.grids == (
        GridConfig(100.0, 100, 140, None, 100),
        GridConfig(100.0, 60, 140, 20, 100),
    )
    assert DBNDownBeatTrackingProcessor(4, fps=100).tracker.meters == (4,)
    with pytest.raises(ValueError, match="max_bpm needs one value or one per meter"):
        DBNDownBeatTrackingProcessor([3, 4], max_bpm=[200, 210, 215], fps=100)


def test_downbeats_come_as_time_and_number_columns():
    act, frames = clean_activations(1000, 50, 30, beats_per_bar=3)
    beats = DBNDownBeatTrackingProcessor([3, 4], min_bpm=100, max_bpm=140, fps=100).process(act)
    np.testing.assert_array_equal(np.rint(beats[:, 0] * 100), frames)
    np.testing.assert_array_equal(beats[:, 1], np.arange(frames.size) % 3 + 1)
    silent = DBNDownBeatTrackingProcessor([3, 4], fps=100).process(np.zeros((300, 2)))
    assert silent.shape == (0, 2) and silent.dtype == np.float64
