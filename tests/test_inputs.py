import tempfile
from pathlib import Path

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

from plintor.model.inputs import (
    NOISE,
    InputError,
    read_activations,
    read_beat_times,
)

VALUES = np.array([[0.1, 0.0], [0.9, 0.05], [0.0, 0.7]])


def write(path, content):
    """Write `content`: bytes or str as they are, an array with np.save, a dict with np.savez."""
    if isinstance(content, bytes):
        path.write_bytes(content)
    elif isinstance(content, str):
        path.write_text(content)
    elif isinstance(content, dict):
        with open(path, "wb") as stream:
            np.savez(stream, **content)
    else:
        with open(path, "wb") as stream:
            np.save(stream, content)
    return path


@pytest.mark.parametrize(
    ("name", "content", "fps"),
    [
        ("act.npy", VALUES, None),
        ("act.npz", {"activations": VALUES, "other": np.zeros(2), "fps": np.float64(50)}, 50.0),
        ("act.npz", {"whatever": VALUES}, None),
        ("act.txt", "0.1 0\n0.9\t0.05\n\n# a comment\n0 0.7  # and another\n", None),
        ("act.csv", "0.1,0\n0.9, 0.05\n0,0.7\n", None),
        ("act.npy", "0.1 0\n0.9 0.05\n0 0.7\n", None),  # text under a binary name
        ("act.txt", VALUES, None),  # and a .npy file under a text name
    ],
    ids=["npy", "npz-named", "npz-only-array", "text", "csv", "text-as-npy", "npy-as-txt"],
)
def test_every_form_reads_the_same(tmp_path, name, content, fps):
    activations = read_activations(write(tmp_path / name, content))
    np.testing.assert_array_equal(activations.values, VALUES)
    assert activations.fps == fps


@pytest.mark.parametrize(
    ("content", "shape"),
    [(np.zeros((5, 1)), (5,)), (np.arange(3, dtype=np.uint8) % 2, (3,)), ("", (0,))],
    ids=["column", "integers", "empty-text"],
)
def test_shapes_and_types_are_normalised(tmp_path, content, shape):
    values = read_activations(write(tmp_path / "act", content)).values
    assert values.shape == shape and values.dtype == np.float64


@pytest.mark.parametrize(
    ("content", "words"),
    [
        (None, "act: no such file"),
        (b"\x00\xe1\xff binary", "not a .npy, .npz or text file (byte 0xe1 at offset 1"),
        (np.array([0.1, "a"], dtype=object), "holds Python objects"),
        (np.array(["0.1"]), "holds <U3 values, expected real numbers"),
        (np.zeros(3, dtype=complex), "expected real numbers"),
        (np.zeros((4, 3)), "shape (4, 3), expected one activation per frame"),
        (np.float64(0.5), "shape (), expected"),
        (
            {"a": np.zeros(2), "b": np.zeros(2)},
            "named 'activations' or a single array, found a, b",
        ),
        ({"activations": np.zeros(2), "fps": np.array([1, 2])}, "fps must be one positive number"),
        ("0.1\n0.2 0.3\n", "act, line 2: 2 values, expected 1 as on line 1"),
        ("time,beat\n0.1,0.2\n", "act, line 1: 'time' is not a number"),
        (np.array([0.1, 0.2, np.nan]), "nan at frame 2; activations must be finite"),
        (np.array([[0.1, 0.2], [np.inf, 0]]), "inf at frame 1, column 1; activations must be"),
        (np.array([0.1, -0.5]), "-0.5 at frame 1; expected activations within [0, 1]"),
        (np.array([0.5, 1 + 2 * NOISE]), "at frame 1; expected activations within [0, 1]"),
        (
            np.column_stack([np.arange(200) / 100, np.full(200, 0.2)]),
            "1.01 at frame 101, column 1; expected activations within [0, 1] (the first column "
            "rises steadily: is it a time column?",
        ),
    ],
    ids=[
        "missing",
        "binary",
        "pickled",
        "strings",
        "complex",
        "three-columns",
        "scalar",
        "npz-ambiguous",
        "npz-fps",
        "ragged",
        "header",
        "nan",
        "inf",
        "negative",
        "above-one",
        "time-value",
    ],
)
def test_bad_files_are_refused_in_one_line_naming_the_file(tmp_path, content, words):
    path = tmp_path / "act"
    if content is not None:
        write(path, content)
    with pytest.raises(InputError) as caught:
        read_activations(path)
    message = str(caught.value).replace(str(tmp_path) + "/", "")
    assert message.startswith("act") and words in message and "\n" not in message


def test_a_directory_is_not_a_file(tmp_path):
    with pytest.raises(InputError, match="is a directory, expected a file"):
        read_activations(tmp_path)


@given(
    hnp.arrays(
        np.float64,
        st.tuples(st.integers(0, 20), st.sampled_from([1, 2])),
        elements=st.floats(-NOISE, 1 + NOISE),
    )
)
def test_float_noise_is_clipped_into_the_unit_range(values):
    with tempfile.TemporaryDirectory() as scratch:
        checked = read_activations(write(Path(scratch) / "act.npy", values)).values
    assert ((checked >= 0) & (checked <= 1)).all()
    expected = values[:, 0] if values.shape[1] == 1 else values
    np.testing.assert_allclose(checked, expected, rtol=0, atol=NOISE)


class TestBeatTimes:
    def test_times_and_numbers(self, tmp_path):
        times, numbers = read_beat_times(write(tmp_path / "ref.txt", "0.5\t1\n1.0\t2\n"))
        np.testing.assert_array_equal(times, [0.5, 1.0])
        np.testing.assert_array_equal(numbers, [1, 2])
        times, numbers = read_beat_times(write(tmp_path / "ref.txt", "0.5\n1.0\n"))
        assert numbers is None and times.tolist() == [0.5, 1.0]

    @pytest.mark.parametrize(
        ("content", "words"),
        [
            ("1.0\n0.5\n", "ascending"),
            ("-1\n", "non-negative"),
            ("0.5 1.5\n", "whole numbers from 1"),
            ("0.5 1 2\n", "expected beat times, one per line"),
        ],
    )
    def test_bad_references(self, tmp_path, content, words):
        with pytest.raises(InputError, match=words):
            read_beat_times(write(tmp_path / "ref.txt", content))
