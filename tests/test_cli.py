import re
import subprocess
import sys

import numpy as np
import pytest
from signals import clean_activations

from plintor.model import cli
from plintor.model.example import f_measure, synthetic_piece

BEAT_LINE = re.compile(r"^\d+\.\d{3}$")
BAR_LINE = re.compile(r"^\d+\.\d{3}\t[1-4]$")


@pytest.fixture
def beat_file(tmp_path):
    act, frames = clean_activations(800, 50, 30)
    path = tmp_path / "act.npy"
    np.save(path, act[:, 0])
    return path, frames


def run(capsys, *argv):
    status = cli.main([str(arg) for arg in argv])
    out, err = capsys.readouterr()
    return status, out.splitlines(), err


def summary(lines, mode):
    line = next(line for line in lines if line.startswith(f"# {mode}:"))
    return float(re.search(r"F-measure (\d\.\d+)", line).group(1))


class TestInProcess:
    def test_npy_beats_one_per_line(self, capsys, beat_file):
        path, frames = beat_file
        status, lines, _ = run(capsys, path)
        assert status == 0 and all(BEAT_LINE.match(line) for line in lines)
        np.testing.assert_allclose([float(line) for line in lines], frames / 100)

    def test_text_file_with_downbeats(self, capsys, tmp_path):
        act, frames = clean_activations(800, 50, 30, beats_per_bar=4)
        path = tmp_path / "act.txt"
        np.savetxt(path, act)
        status, lines, _ = run(capsys, path, "--bars", 3, "--bars", 4, "--min-bpm", 100)
        assert status == 0 and all(BAR_LINE.match(line) for line in lines)
        numbers = [int(line.split("\t")[1]) for line in lines]
        assert numbers == (np.arange(frames.size) % 4 + 1).tolist()

    def test_online_and_grid_options(self, capsys, tmp_path):
        act, frames = clean_activations(600, 25, 10)  # 120 BPM at 50 fps
        path = tmp_path / "act.npy"
        np.save(path, act)
        status, lines, _ = run(capsys, path, "--fps", 50, "--online", "--num-tempi", 40)
        assert status == 0
        times = np.array([float(line) for line in lines])
        assert f_measure(times, frames / 50, window=0.05) > 0.9

    def test_builtin_example(self, capsys):
        status, lines, _ = run(capsys)
        assert status == 0
        assert summary(lines, "offline") > 0.95 and summary(lines, "online") > 0.9
        beats = [line for line in lines if not line.startswith("#")]
        assert len(beats) > 50 and all(BEAT_LINE.match(line) for line in beats)

    def test_plot(self, capsys, beat_file, tmp_path):
        pytest.importorskip("matplotlib")
        figure = tmp_path / "beats.png"
        status, _, _ = run(capsys, beat_file[0], "--plot", figure)
        assert status == 0
        assert figure.read_bytes().startswith(b"\x89PNG")

    def test_plot_without_matplotlib(self, capsys, beat_file, tmp_path, monkeypatch):
        monkeypatch.setitem(sys.modules, "matplotlib", None)
        monkeypatch.setitem(sys.modules, "matplotlib.figure", None)
        status, _, err = run(capsys, beat_file[0], "--plot", tmp_path / "beats.png")
        assert status == 1 and "pip install 'plintor[plot]'" in err

    @pytest.mark.parametrize(
        "content",
        [None, np.zeros((10, 3)), np.array([0.1, np.nan])],
        ids=["missing", "shape", "nan"],
    )
    def test_bad_input_is_reported(self, capsys, tmp_path, content):
        path = tmp_path / "act.npy"
        if content is not None:
            np.save(path, content)
        status, lines, err = run(capsys, path)
        assert status == 1 and not lines and err.startswith("plintor-beats: error:")


class TestExample:
    def test_piece_is_deterministic_and_changes_tempo(self):
        piece = synthetic_piece(seed=3)
        np.testing.assert_array_equal(piece.activations, synthetic_piece(seed=3).activations)
        assert piece.activations.shape == (3000, 2)
        assert ((0 <= piece.activations) & (piece.activations <= 1)).all()
        gaps = np.diff(piece.beat_times)
        assert np.median(gaps[:20]) == pytest.approx(0.6, abs=0.02)
        assert np.median(gaps[-20:]) == pytest.approx(60 / 130, abs=0.02)
        downbeat_peak = piece.activations[np.rint(piece.beat_times * 100).astype(int), 1]
        np.testing.assert_array_equal(downbeat_peak > 0.2, piece.beat_numbers == 1)

    @pytest.mark.parametrize(
        ("detections", "expected"),
        [
            ([1.0, 2.0, 3.0], 1.0),
            ([1.06, 1.94, 3.069], 1.0),
            ([1.08, 2.0, 3.0], 2 * 2 / 6),
            ([1.0, 1.01, 2.0, 3.0], 2 * 3 / 7),  # a true beat is matched once
            ([], 0.0),
        ],
    )
    def test_f_measure(self, detections, expected):
        assert f_measure(detections, [1.0, 2.0, 3.0]) == pytest.approx(expected)

    def test_f_measure_of_nothing_against_nothing(self):
        assert f_measure([], []) == 1.0
        assert f_measure([1.0], []) == 0.0


class TestEndToEnd:
    """The real command, in a subprocess, on the compiled decoders."""

    def test_npy_file(self, beat_file):
        path, frames = beat_file
        out = subprocess.run(
            [sys.executable, "-m", "plintor.model", str(path)],
            check=True,
            capture_output=True,
            text=True,
        ).stdout
        np.testing.assert_allclose([float(line) for line in out.splitlines()], frames / 100)

    def test_builtin_example(self):
        out = subprocess.run(
            [sys.executable, "-m", "plintor.model"], check=True, capture_output=True, text=True
        ).stdout
        assert summary(out.splitlines(), "offline") > 0.95
