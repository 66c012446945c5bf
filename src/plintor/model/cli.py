"""Command line: track beats (and downbeats) in activation files, or run the built-in example.

Beats are printed one per line as ``TIME`` or, with ``--bars``, ``TIME<TAB>BEAT_NUMBER``.
"""

import argparse
import sys
import time
from collections.abc import Sequence
from pathlib import Path

import numpy as np
from numpy.typing import NDArray

from plintor.model.example import f_measure, synthetic_piece
from plintor.model.grid import GridConfig
from plintor.model.observation import ObservationModel
from plintor.model.plot import plot_beats
from plintor.model.tracking import Beats, BeatTracker, DownbeatTracker

__all__ = ["load_activations", "main"]

PROG = "plintor-beats"


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command line.

    Parameters
    ----------
    argv : sequence of str or None
        Arguments without the program name; None for ``sys.argv[1:]``.

    Returns
    -------
    int
        Exit status: 0 on success, 1 on an error (reported on stderr).
    """
    args = _parser().parse_args(argv)
    try:
        tracker = _tracker(args)
        if args.input is None:
            _run_example(tracker, args)
        else:
            _track_file(tracker, args)
    except (ImportError, OSError, ValueError) as err:
        print(f"{PROG}: error: {err}", file=sys.stderr)
        return 1
    return 0


def load_activations(path: str | Path) -> NDArray[np.float64]:
    """Read activations from a ``.npy`` file or a whitespace-separated text file.

    Parameters
    ----------
    path : str or Path
        One activation per line (beats), or two per line (beats and downbeats).

    Returns
    -------
    ndarray of float64, shape (T,) or (T, k)
    """
    path = Path(path)
    if path.suffix == ".npy":
        return np.asarray(np.load(path, allow_pickle=False), dtype=np.float64)
    return np.loadtxt(path, dtype=np.float64, ndmin=2)


def _parser() -> argparse.ArgumentParser:
    defaults = GridConfig()
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Track beats and downbeats in network activations. Without an input file, "
        "run the built-in example on a synthetic piece.",
    )
    parser.add_argument(
        "input", nargs="?", help="activations: .npy or text, shape (T,) or (T, 2) (beat, downbeat)"
    )
    parser.add_argument("--fps", type=float, default=defaults.fps, help="frame rate (%(default)s)")
    parser.add_argument(
        "--min-bpm", type=float, default=defaults.min_bpm, help="slowest tempo (%(default)s)"
    )
    parser.add_argument(
        "--max-bpm", type=float, default=defaults.max_bpm, help="fastest tempo (%(default)s)"
    )
    parser.add_argument(
        "--num-tempi", type=int, help="number of log-spaced tempo lanes (default: every interval)"
    )
    parser.add_argument(
        "--transition-lambda",
        type=float,
        default=defaults.transition_lambda,
        help="tempo-change stiffness (%(default)s)",
    )
    parser.add_argument(
        "--observation-lambda",
        type=float,
        default=ObservationModel().observation_lambda,
        help="the first 1/lambda of each beat is scored as beat (%(default)s)",
    )
    parser.add_argument("--online", action="store_true", help="causal (streaming) decoding")
    parser.add_argument(
        "--bars",
        type=int,
        action="append",
        metavar="N",
        help="track downbeats with N beats per bar; repeat for several candidate meters",
    )
    parser.add_argument("--plot", metavar="FILE.png", help="save a figure (needs matplotlib)")
    return parser


def _tracker(args: argparse.Namespace) -> BeatTracker | DownbeatTracker:
    grid = GridConfig(
        fps=args.fps,
        min_bpm=args.min_bpm,
        max_bpm=args.max_bpm,
        num_tempi=args.num_tempi,
        transition_lambda=args.transition_lambda,
    )
    if args.bars:
        return DownbeatTracker(tuple(args.bars), grid, args.observation_lambda)
    return BeatTracker(grid, args.observation_lambda)


def _print_beats(beats: Beats) -> None:
    if beats.numbers is None:
        lines = [f"{t:.3f}" for t in beats.times]
    else:
        lines = [f"{t:.3f}\t{n}" for t, n in zip(beats.times, beats.numbers, strict=True)]
    if lines:
        print("\n".join(lines))


def _track_file(tracker: BeatTracker | DownbeatTracker, args: argparse.Namespace) -> None:
    activations = load_activations(args.input)
    beats = tracker.track_online(activations) if args.online else tracker.track(activations)
    _print_beats(beats)
    if args.plot is not None:
        plot_beats(args.plot, activations, beats, tracker.grid.fps)


def _run_example(tracker: BeatTracker | DownbeatTracker, args: argparse.Namespace) -> None:
    piece = synthetic_piece(fps=tracker.grid.fps)
    results = {}
    for mode, track in (("offline", tracker.track), ("online", tracker.track_online)):
        start = time.perf_counter()
        results[mode] = (track(piece.activations), time.perf_counter() - start)
    shown = results["online" if args.online else "offline"][0]
    print("# built-in example: 30 s synthetic 4/4 piece, 100 -> 130 BPM, seed 0")
    _print_beats(shown)
    true_downbeats = piece.beat_times[piece.beat_numbers == 1]
    for mode, (beats, seconds) in results.items():
        summary = f"# {mode}: F-measure {f_measure(beats.times, piece.beat_times):.3f}"
        if beats.numbers is not None:
            downbeats = beats.times[beats.numbers == 1]
            summary += f", downbeat F-measure {f_measure(downbeats, true_downbeats):.3f}"
        print(
            f"{summary} ({beats.times.size} beats, {piece.beat_times.size} true), "
            f"decode time {seconds:.3f} s"
        )
    if args.plot is not None:
        plot_beats(args.plot, piece.activations, shown, tracker.grid.fps)
