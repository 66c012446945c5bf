"""Figures of every tracking mode, rendered to PNG and read back."""

import numpy as np
import pytest
from signals import clean_activations

from plintor.model.example import synthetic_piece
from plintor.model.grid import GridConfig
from plintor.model.plot import plot_beats
from plintor.model.tracking import BeatTracker, DownbeatTracker

matplotlib = pytest.importorskip("matplotlib")
from matplotlib.figure import Figure  # noqa: E402
from matplotlib.image import imread  # noqa: E402


@pytest.fixture
def drawn(monkeypatch):
    """The figures plot_beats saves, kept for inspection."""
    figures = []
    save = Figure.savefig

    def keep(self, *args, **kwargs):
        figures.append(self)
        return save(self, *args, **kwargs)

    monkeypatch.setattr(Figure, "savefig", keep)
    return figures


def short_piece():
    return synthetic_piece(duration=12.0, seed=2)


MODES = {
    "offline": lambda act: BeatTracker().track(act[:, 0] * 0.4),
    "online": lambda act: BeatTracker().track_online(act[:, 0] * 0.4),
    "bars": lambda act: DownbeatTracker((3, 4), threshold=0).track(act),
    "empty": lambda act: BeatTracker().track(np.zeros(len(act))),
}


@pytest.mark.parametrize("mode", MODES)
def test_every_mode_renders_a_readable_figure(tmp_path, drawn, mode):
    piece = short_piece()
    act = piece.activations[:, 0] * 0.4 if mode in ("offline", "online") else piece.activations
    if mode == "empty":
        act = np.zeros(len(act))
    beats = MODES[mode](piece.activations)
    path = tmp_path / f"{mode}.png"
    plot_beats(path, act, beats, 100.0, title=f"piece · {mode}", reference=piece.beat_times)
    image = imread(path)[..., :3]
    assert image.shape[:2] == (600, 1200)
    assert (image < 0.9).any(axis=2).mean() > 0.01  # far from blank
    assert len(np.unique(image.reshape(-1, 3), axis=0)) > 50

    top = drawn[-1].axes[0]
    labels = top.get_legend_handles_labels()[1]
    texts = [t.get_text().strip() for t in top.texts]
    title = drawn[-1].get_suptitle()
    assert title.startswith(f"piece · {mode} · ")
    assert "reference beat" in labels
    assert ("downbeat" in labels) == (mode == "bars")
    if mode == "empty":
        assert "no beats" in texts and title.endswith("no beats")
        return
    assert (f"· {beats.beats_per_bar} beats per bar ·" in title) == (mode == "bars")
    assert title.endswith(" BPM")
    if mode == "bars":
        assert texts == [str(n) for n in beats.numbers]  # a number on every beat
    else:  # y-limits follow the data: peaks of 0.4 fill the panel
        assert 0.4 < top.get_ylim()[1] < 0.5


def test_long_sequence_shows_a_stretch_and_the_whole_tempo(tmp_path, drawn):
    act, _ = clean_activations(60_000, 50, 30)  # ten minutes at 120 BPM
    beats = BeatTracker(GridConfig(min_bpm=100, max_bpm=140)).track(act[:, 0])
    plot_beats(tmp_path / "long.png", act[:, 0], beats, 100.0)
    top, bottom = drawn[-1].axes[:2]
    assert top.get_xlim() == (0.0, 30.0) and bottom.get_xlim() == (0.0, 600.0)
    assert "activations 0 to 30 s of 600 s" in drawn[-1].get_suptitle()
    plot_beats(tmp_path / "range.png", act[:, 0], beats, 100.0, time_range=(100.0, 110.0))
    assert drawn[-1].axes[0].get_xlim() == (100.0, 110.0)
