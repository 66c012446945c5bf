import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

from plintor.model.placement import (
    OnlineBeats,
    kept_frames,
    number_changes,
    position_minima,
    run_peaks,
)


def runs(flags):
    """(start, stop) of each run of True, by walking the flags."""
    found, start = [], None
    for t, flag in enumerate([*flags, False]):
        if flag and start is None:
            start = t
        elif not flag and start is not None:
            found.append((start, t))
            start = None
    return found


flags = hnp.arrays(np.bool_, st.integers(0, 60))


@settings(max_examples=100, deadline=None)
@given(in_beat=flags, data=st.data())
def test_run_peaks_take_the_first_maximum_of_each_run(in_beat, data):
    values = st.sampled_from([0.0, 0.25, 0.5, 1.0])  # few values: many ties
    strength = data.draw(hnp.arrays(np.float32, in_beat.size, elements=values))
    expected = [lo + int(np.argmax(strength[lo:hi])) for lo, hi in runs(in_beat)]
    np.testing.assert_array_equal(run_peaks(in_beat, strength), expected)


@settings(max_examples=100, deadline=None)
@given(data=st.data())
def test_position_minima_wrap_around_and_keep_beat_states(data):
    size = data.draw(st.integers(0, 40))
    position = data.draw(hnp.arrays(np.float64, size, elements=st.sampled_from([0.0, 0.1, 0.5])))
    in_beat = data.draw(hnp.arrays(np.bool_, size))
    expected = [
        t
        for t in range(size)
        if in_beat[t] and position[t] < position[t - 1] and position[t] < position[(t + 1) % size]
    ]
    np.testing.assert_array_equal(position_minima(position, in_beat), expected)


def test_number_changes_mark_each_new_beat_of_the_bar():
    numbers = np.array([2, 2, 3, 3, 3, 1, 1, 2, 3])
    np.testing.assert_array_equal(number_changes(numbers), [2, 5, 7, 8])
    assert number_changes(np.empty(0, dtype=np.int64)).size == 0


class TestKeptFrames:
    act = np.array([[0.1], [0.5], [0.2], [0.6], [0.1]], dtype=np.float32)

    @pytest.mark.parametrize(
        ("threshold", "expected"),
        [(0, slice(0, 5)), (0.5, slice(1, 4)), (0.6, slice(3, 4)), (0.7, slice(0, 0))],
    )
    def test_from_first_to_last_frame_at_or_above(self, threshold, expected):
        assert kept_frames(self.act, threshold) == expected

    def test_any_column_counts(self):
        act = np.array([[0.0, 0.0], [0.0, 0.3], [0.3, 0.0], [0.0, 0.0]], dtype=np.float32)
        assert kept_frames(act, 0.3) == slice(1, 3)

    def test_compared_in_float32(self):
        # float32(0.7) is below 0.7: a float64 comparison would drop the frame.
        act = np.array([[0.1], [0.7]], dtype=np.float32)
        assert float(act[1, 0]) < 0.7 and kept_frames(act, 0.7) == slice(1, 2)


class TestOnlineBeats:
    def test_one_fastest_beat_apart_and_none_in_the_first(self):
        beats = OnlineBeats(fps=100.0, max_bpm=200.0)  # at least 30 frames apart
        in_beat = np.zeros(200, dtype=bool)
        in_beat[[5, 29, 30, 31, 45, 59, 60, 95, 120, 160]] = True
        np.testing.assert_array_equal(beats.advance(in_beat), [30, 60, 95, 160])

    @settings(max_examples=30, deadline=None)
    @given(in_beat=hnp.arrays(np.bool_, 300), cuts=st.lists(st.integers(0, 300), max_size=5))
    def test_chunking_changes_nothing(self, in_beat, cuts):
        whole = OnlineBeats(50.0, 215.0).advance(in_beat)
        beats, start, found = OnlineBeats(50.0, 215.0), 0, []
        for chunk in np.split(in_beat, sorted(cuts)):
            found.extend(beats.advance(chunk) + start)
            start += chunk.size
        np.testing.assert_array_equal(found, whole)
        beats.reset()
        np.testing.assert_array_equal(beats.advance(in_beat), whole)
