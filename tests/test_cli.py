"""The command line as users meet it: the installed ``plintor-beats``, in a subprocess."""

import re
import subprocess
import sys
from importlib.metadata import version
from pathlib import Path

import numpy as np
import pytest
from signals import clean_activations

import plintor
from plintor.model import cli
from plintor.model.arguments import build_parser, make_tracker
from plintor.model.evaluation import f_measure
from plintor.model.example import synthetic_piece
from plintor.model.grid import GridConfig
from plintor.model.tracking import BeatTracker, DownbeatTracker

SCRIPT = Path(sys.executable).with_name("plintor-beats")
BEAT_LINE = re.compile(r"^\d+\.\d{3}$")
BAR_LINE = re.compile(r"^\d+\.\d{3}\t[1-4]$")
ERROR = "plintor-beats: error: "


def plintor_beats(*argv, stdin=None, cwd=None):
    """Run the installed command; stdin is text or bytes."""
    done = subprocess.run(
        [str(SCRIPT), *map(str, argv)],
        input=stdin.encode() if isinstance(stdin, str) else stdin,
        capture_output=True,
        cwd=cwd,
        timeout=120,
    )
    return done.returncode, done.stdout.decode(), done.stderr.decode()


def times_of(out):
    return np.array([float(line.split("\t")[0]) for line in out.splitlines()])


@pytest.fixture(scope="module")
def beats():
    """Beat activations of one column at 100 fps, and their beat times."""
    act, frames = clean_activations(800, 50, 30)
    return act[:, 0], frames / 100


def npy_bytes(values):
    from io import BytesIO

    stream = BytesIO()
    np.save(stream, values)
    return stream.getvalue()


@pytest.mark.parametrize(
    ("name", "write", "fps"),
    [
        ("act.npy", lambda p, a: np.save(p, a), 100),
        ("act.npz", lambda p, a: np.savez(p, activations=a, fps=50.0), 50),
        ("act.txt", lambda p, a: np.savetxt(p, a), 100),
        ("act.csv", lambda p, a: np.savetxt(p, np.c_[a, np.zeros_like(a)], delimiter=","), 100),
        ("act.npy", lambda p, a: np.savetxt(p, a), 100),  # text under the wrong name
    ],
    ids=["npy", "npz-with-fps", "text", "csv", "text-named-npy"],
)
def test_input_forms(tmp_path, beats, name, write, fps):
    act, times = beats
    write(tmp_path / name, act)
    status, out, err = plintor_beats(tmp_path / name)
    assert status == 0 and all(BEAT_LINE.match(line) for line in out.splitlines())
    np.testing.assert_allclose(times_of(out), times * 100 / fps)
    summed = name.endswith(".csv")
    assert err == (cli._SUMMED_NOTE + "\n" if summed else "")


@pytest.mark.parametrize("as_npy", [False, True], ids=["text", "npy"])
def test_standard_input(beats, as_npy):
    act, times = beats
    data = npy_bytes(act) if as_npy else "\n".join(map(str, act))
    status, out, err = plintor_beats("-", stdin=data)
    assert (status, err) == (0, "")
    np.testing.assert_allclose(times_of(out), times)


@pytest.mark.parametrize(
    ("content", "status", "words"),
    [
        (None, 1, "act.npy: no such file"),
        (
            b"\x89garbage\xe1",
            1,
            "act.npy: not a .npy, .npz or text file (byte 0x89 at offset 0 is not text)",
        ),
        (np.array([0.1, -0.2]), 1, "act.npy: -0.2 at frame 1; expected activations within [0, 1]"),
        (np.array([0.5, 1.5]), 1, "act.npy: 1.5 at frame 1; expected activations within [0, 1]"),
        (np.array([0.1, np.nan]), 1, "act.npy: nan at frame 1; activations must be finite"),
        (
            np.zeros((10, 3)),
            1,
            "act.npy: array of shape (10, 3), expected one activation per frame, shape (T,), or "
            "beat and downbeat activations, shape (T, 2)",
        ),
        (
            np.c_[np.arange(300) / 100, np.full(300, 0.3)],
            1,
            "act.npy: 1.01 at frame 101, column 1; expected activations within [0, 1] (the first "
            "column rises steadily: is it a time column? give activations only)",
        ),
    ],
    ids=["missing", "binary", "negative", "above-one", "nan", "shape", "time-value"],
)
def test_bad_files(tmp_path, content, status, words):
    path = tmp_path / "act.npy"
    if isinstance(content, bytes):
        path.write_bytes(content)
    elif content is not None:
        np.save(path, content)
    code, out, err = plintor_beats("act.npy", cwd=tmp_path)
    assert (code, out, err) == (status, "", f"{ERROR}{words}\n")


@pytest.mark.parametrize(
    ("argv", "words"),
    [
        (["--fps", "0"], "argument --fps: expected a number above 0, got '0'"),
        (["--bars", "3,x"], "expected beats per bar such as 4 or 3,4, got '3,x'"),
        (["--min-bpm", "200", "--max-bpm", "100"], "need 0 < min_bpm <= max_bpm"),
        (["--plot-range", "5:2", "--plot", "x.png"], "expected START:END in seconds"),
        (["--plot-range", "0:5"], "--plot-range needs --plot"),
        (["--colour"], "unrecognized arguments: --colour"),
        (["act.npy"], "several inputs or a directory need -o OUTDIR"),
        (["-"], "- (standard input) must be the only input"),
        (["--demo"], "--demo takes no input files"),
        (["--min-bpm", "60,90"], "--min-bpm takes one value without --bars"),
        (
            ["--bars", "3,4", "--num-tempi", "1,2,3"],
            "--num-tempi takes one value or one per meter",
        ),
        (["--threshold", "-1"], "argument -t/--threshold: expected a number at least 0"),
    ],
)
def test_usage_errors(tmp_path, beats, argv, words):
    np.save(tmp_path / "act.npy", beats[0])
    status, out, err = plintor_beats("act.npy", *argv, cwd=tmp_path)
    assert status == 2 and not out
    assert err.splitlines()[-1].startswith(ERROR) and words in err and "Traceback" not in err


@pytest.mark.parametrize("plot", [False, True])
def test_empty_input_gives_no_beats_quietly(tmp_path, plot):
    (tmp_path / "act.txt").write_text("")
    argv = ["act.txt", "--plot", "act.png"] if plot else ["act.txt"]
    assert plintor_beats(*argv, cwd=tmp_path) == (0, "", "")
    assert not plot or (tmp_path / "act.png").read_bytes().startswith(b"\x89PNG")


def test_directory_batch_on_two_threads(tmp_path):
    inputs = tmp_path / "in"
    inputs.mkdir()
    expected = {}
    for period in (40, 50, 60):
        act, frames = clean_activations(600, period, 20, beats_per_bar=3)
        np.savetxt(inputs / f"p{period}.txt", act)
        expected[f"p{period}"] = frames / 100
    np.save(inputs / "bad.npy", np.array([0.5, -1.0]))
    status, out, err = plintor_beats(inputs, "-o", tmp_path / "out", "-j", 2)
    assert status == 1 and not out
    written = sorted(p.name for p in (tmp_path / "out").iterdir())
    assert written == ["p40.beats.txt", "p50.beats.txt", "p60.beats.txt"]
    for name, times in expected.items():
        text = (tmp_path / "out" / f"{name}.beats.txt").read_text()
        np.testing.assert_allclose(times_of(text), times)
    assert err.count(cli._SUMMED_NOTE) == 1  # two columns, beats only: said once
    assert f"{ERROR}{inputs / 'bad.npy'}: -1 at frame 1; expected activations" in err
    assert err.endswith(f"{ERROR}1 of 4 files failed\n")
    assert "4/4" in err  # the progress bar's last state


def test_name_clash_in_the_output_directory(tmp_path, beats):
    for sub in ("a", "b"):
        (tmp_path / sub).mkdir()
        np.save(tmp_path / sub / "x.npy", beats[0])
    status, _, err = plintor_beats("a", "b", "-o", "out", cwd=tmp_path)
    assert status == 2 and "a/x.npy and b/x.npy would both write out/x.beats.txt" in err


class TestConventions:
    def test_version(self):
        assert plintor.__version__ == version("plintor")
        assert plintor_beats("--version") == (0, f"plintor-beats {plintor.__version__}\n", "")

    def test_bare_command_prints_usage(self):
        status, out, err = plintor_beats()
        assert status == 2 and not out
        assert err.startswith("usage: plintor-beats") and "--demo runs a built-in example" in err

    def test_help_gives_the_output_format_and_examples(self):
        status, out, _ = plintor_beats("--help")
        assert status == 0 and "TIME<TAB>BEAT_NUMBER" in out and "Exit status" in out
        examples = out.split("examples:\n")[1].splitlines()
        assert len(examples) == 3 and all(e.startswith("  plintor-beats ") for e in examples)

    def test_closed_pipe_exits_quietly(self, tmp_path):
        np.save(tmp_path / "act.npy", synthetic_piece(duration=600).activations[:, 0] * 0.5)
        process = subprocess.Popen(
            [SCRIPT, tmp_path / "act.npy"], stdout=subprocess.PIPE, stderr=subprocess.PIPE
        )
        process.stdout.close()  # as `| head` does once it has its lines
        err = process.stderr.read()
        assert (process.wait(timeout=60), err) == (0, b"")

    def test_madmom_spellings_are_aliases(self, tmp_path):
        act, _ = clean_activations(800, 50, 30, beats_per_bar=3)
        np.save(tmp_path / "act.npy", act)
        ours = plintor_beats(
            *("act.npy", "--min-bpm", 90, "--max-bpm", 160, "--num-tempi", 30),
            *("--transition-lambda", 50, "--observation-lambda", 8, "--bars", 3, "--bars", 4),
            *("--threshold", 0.1, "--no-correct"),
            cwd=tmp_path,
        )
        theirs = plintor_beats(
            *("act.npy", "--min_bpm", 90, "--max_bpm", 160, "--num_tempi", 30),
            *("--transition_lambda", 50, "--observation_lambda", 8, "--beats_per_bar", "3,4"),
            *("-t", 0.1, "--no_correct"),
            cwd=tmp_path,
        )
        assert ours == theirs and ours[0] == 0
        assert all(BAR_LINE.match(line) for line in ours[1].splitlines())

    def test_downbeats_only_to_an_output_file(self, tmp_path):
        act, frames = clean_activations(800, 50, 30, beats_per_bar=4)
        np.save(tmp_path / "act.npy", act)
        assert plintor_beats("act.npy", "--downbeats", "-o", "db.txt", cwd=tmp_path) == (0, "", "")
        text = (tmp_path / "db.txt").read_text()
        assert all(BEAT_LINE.match(line) for line in text.splitlines())
        np.testing.assert_allclose(times_of(text), frames[::4] / 100)

    def test_one_input_into_an_output_directory(self, tmp_path, beats):
        np.save(tmp_path / "act.npy", beats[0])
        (tmp_path / "out").mkdir()
        assert plintor_beats("act.npy", "-o", "out", cwd=tmp_path) == (0, "", "")
        np.testing.assert_allclose(
            times_of((tmp_path / "out/act.beats.txt").read_text()), beats[1]
        )

    def test_online_and_grid_options(self, tmp_path):
        act, frames = clean_activations(600, 25, 10)  # 120 BPM at 50 fps
        np.save(tmp_path / "act.npy", act[:, 0])
        status, out, _ = plintor_beats(
            tmp_path / "act.npy", "--fps", 50, "--online", "--num-tempi", 40
        )
        assert status == 0 and f_measure(frames / 50, times_of(out), window=0.05) > 0.9


@pytest.mark.parametrize(
    ("argv", "expected"),
    [
        ([], BeatTracker()),
        (["--downbeats"], DownbeatTracker()),
        (["--bars", "4", "-t", "0"], DownbeatTracker((4,), threshold=0)),
        (
            ["--bars", "3,4", "--min-bpm", "60,90", "--num-tempi", "40", "--no-correct"],
            DownbeatTracker(
                (3, 4),
                (GridConfig(min_bpm=60, num_tempi=40), GridConfig(min_bpm=90, num_tempi=40)),
                correct=False,
            ),
        ),
        (["--fps", "50", "--max-memory", "1"], BeatTracker(GridConfig(50), max_memory=2**30)),
    ],
    ids=["beats", "downbeats", "one-meter", "per-meter", "fps-memory"],
)
def test_options_keep_each_trackers_defaults(argv, expected):
    parser = build_parser()
    assert make_tracker(parser, parser.parse_args(["x", *argv])) == expected


def summary(lines, mode):
    line = next(line for line in lines if line.startswith(f"# {mode}:"))
    return {k: float(v) for k, v in re.findall(r"(F-measure|Cemgil|CMLt|AMLt) (\d\.\d+)", line)}


class TestScores:
    @pytest.mark.parametrize(
        "argv",
        [[sys.executable, "-m", "plintor.model"], [SCRIPT, "--demo"]],
        ids=["module", "demo"],
    )
    def test_builtin_example(self, argv):
        out = subprocess.run(argv, check=True, capture_output=True, text=True).stdout
        lines = out.splitlines()
        offline, online = summary(lines, "offline"), summary(lines, "online")
        assert sorted(offline) == ["AMLt", "CMLt", "Cemgil", "F-measure"]
        assert offline["F-measure"] > 0.95 and online["F-measure"] > 0.9
        beats = [line for line in lines if not line.startswith("#")]
        assert len(beats) > 50 and all(BEAT_LINE.match(line) for line in beats)

    def test_reference_and_figure(self, tmp_path):
        pytest.importorskip("matplotlib")
        act, frames = clean_activations(800, 50, 30, beats_per_bar=4)
        np.save(tmp_path / "act.npy", act)
        np.savetxt(tmp_path / "ref.txt", np.c_[frames / 100, np.arange(frames.size) % 4 + 1])
        status, out, err = plintor_beats(
            *("act.npy", "--bars", 4, "--reference", "ref.txt"),
            *("--plot", "act.png", "--plot-range", "1:5"),
            cwd=tmp_path,
        )
        assert status == 0 and len(out.splitlines()) == frames.size
        assert err == (
            "act.npy: F-measure 1.000, Cemgil 1.000, CMLt 1.000, AMLt 1.000, "
            "downbeat F-measure 1.000\n"
        )
        assert (tmp_path / "act.png").read_bytes().startswith(b"\x89PNG")

    def test_bad_reference_is_named(self, tmp_path, beats):
        np.save(tmp_path / "act.npy", beats[0])
        (tmp_path / "ref.txt").write_text("2.0\n1.0\n")
        status, out, err = plintor_beats("act.npy", "--reference", "ref.txt", cwd=tmp_path)
        assert (status, out) == (1, "")
        assert err == f"{ERROR}ref.txt: beat times must be finite, non-negative and ascending\n"


def test_plot_without_matplotlib(capsys, tmp_path, monkeypatch, beats):
    np.save(tmp_path / "act.npy", beats[0])
    monkeypatch.setitem(sys.modules, "matplotlib", None)
    monkeypatch.setitem(sys.modules, "matplotlib.figure", None)
    status = cli.main([str(tmp_path / "act.npy"), "--plot", str(tmp_path / "beats.png")])
    assert status == 1 and "pip install 'plintor[plot]'" in capsys.readouterr().err


def test_example_piece_is_deterministic_and_changes_tempo():
    piece = synthetic_piece(seed=3)
    np.testing.assert_array_equal(piece.activations, synthetic_piece(seed=3).activations)
    assert piece.activations.shape == (3000, 2)
    assert ((0 <= piece.activations) & (piece.activations <= 1)).all()
    gaps = np.diff(piece.beat_times)
    assert np.median(gaps[:20]) == pytest.approx(0.6, abs=0.02)
    assert np.median(gaps[-20:]) == pytest.approx(60 / 130, abs=0.02)
    downbeat_peak = piece.activations[np.rint(piece.beat_times * 100).astype(int), 1]
    np.testing.assert_array_equal(downbeat_peak > 0.2, piece.beat_numbers == 1)
