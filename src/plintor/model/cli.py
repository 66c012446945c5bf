"""Command line: track beats (and downbeats) in activation files, or in a built-in example.

One input prints its beats (or writes them with ``-o FILE``); several inputs, or a directory,
write one ``NAME.beats.txt`` per input into ``-o OUTDIR``, ``-j N`` at a time, with a progress bar.
Every error is one line on stderr; the exit status is 0 on success, 1 when a file failed and 2
for a usage error.  ``plintor-beats --help`` gives the input and output formats.
"""

import argparse
import os
import sys
import time
import warnings
from collections.abc import Sequence
from concurrent.futures import ThreadPoolExecutor
from contextlib import nullcontext
from pathlib import Path

import numpy as np
from numpy.typing import NDArray

from plintor.model.arguments import PROG, build_parser, check_arguments, make_tracker
from plintor.model.batch import (
    TrackedFile,
    Tracker,
    activation_files,
    describe_failure,
    track_activations,
    track_files,
)
from plintor.model.evaluation import evaluate_beats, f_measure
from plintor.model.example import synthetic_piece
from plintor.model.inputs import STDIN, display_name, read_activations, read_beat_times
from plintor.model.plot import plot_beats
from plintor.model.sizing import GridTooLarge, check_grid_size, grids_size
from plintor.model.tracking import Beats

__all__ = ["format_beats", "main"]

_SUMMED_NOTE = (
    f"{PROG}: note: two activation columns and no --bars: beats are tracked on their sum"
)


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command line.

    Parameters
    ----------
    argv : sequence of str or None
        Arguments without the program name; None for ``sys.argv[1:]``.

    Returns
    -------
    int
        Exit status: 0 on success, 1 when a file failed, 2 for a usage error (argparse's own
        usage errors exit with 2 through ``SystemExit``).
    """
    argv = sys.argv[1:] if argv is None else list(argv)
    parser = build_parser()
    if not argv:
        parser.print_usage(sys.stderr)
        _error(
            "give activation files or directories (--help lists the options, --demo runs "
            "a built-in example)"
        )
        return 2
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")  # other libraries' warnings are not for our users
            return _run(parser, parser.parse_args(argv))
    except BrokenPipeError:  # the reader went away (| head): nothing left to say
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 0
    except KeyboardInterrupt:
        return 130


def format_beats(beats: Beats, downbeats_only: bool = False) -> str:
    """The beats as the command line prints them.

    Parameters
    ----------
    beats : Beats
    downbeats_only : bool
        Give the times of the downbeats (beat number 1) only.

    Returns
    -------
    str
        One line per beat: ``TIME``, or ``TIME<TAB>BEAT_NUMBER`` for numbered beats (unless
        `downbeats_only`), the time in seconds with three decimals.
    """
    if downbeats_only and beats.numbers is not None:
        lines = [f"{t:.3f}" for t in beats.times[beats.numbers == 1]]
    elif beats.numbers is None:
        lines = [f"{t:.3f}" for t in beats.times]
    else:
        lines = [f"{t:.3f}\t{n}" for t, n in zip(beats.times, beats.numbers, strict=True)]
    return "".join(f"{line}\n" for line in lines)


def _run(parser: argparse.ArgumentParser, args: argparse.Namespace) -> int:
    check_arguments(parser, args)
    tracker = make_tracker(parser, args)
    try:  # a grid too large for any file is a usage error, found before reading any
        check_grid_size(grids_size(tracker.grids, tracker.meters), tracker.max_memory)
    except GridTooLarge as err:
        _error(str(err))
        return 2
    if args.demo:
        return _run_demo(tracker, args)
    if len(args.inputs) == 1 and (args.inputs[0] == STDIN or not Path(args.inputs[0]).is_dir()):
        return _track_one(args.inputs[0], tracker, args)
    return _track_collection(activation_files(args.inputs), tracker, args)


def _track_one(path: str, tracker: Tracker, args: argparse.Namespace) -> int:
    name = display_name(path)
    try:
        reference = None if args.reference is None else read_beat_times(args.reference)
        activations = read_activations(path)
        beats, used = track_activations(
            activations, tracker, online=args.online, use_stored_fps=args.fps is None
        )
    except Exception as err:  # reported in one line, as for a file of a collection
        _error(describe_failure(name, err))
        return 1
    if activations.values.ndim == 2 and not used.downbeats:
        print(_SUMMED_NOTE, file=sys.stderr)
    try:
        _write(format_beats(beats, args.downbeats), _output_path(args.output, path))
        if reference is not None:
            _report_scores(name, beats, reference, args.downbeats)
    except BrokenPipeError:
        raise
    except (ImportError, OSError, ValueError) as err:
        _error(str(err))
        return 1
    ref_times = None if reference is None else reference[0]
    return _plot(args, activations.values, beats, used.grids[0].fps, name, ref_times)


def _track_collection(files: list[str], tracker: Tracker, args: argparse.Namespace) -> int:
    if args.output is None:
        _error("several inputs or a directory need -o OUTDIR (one NAME.beats.txt per input)")
        return 2
    if args.plot is not None or args.reference is not None:
        _error("--plot and --reference take a single input")
        return 2
    if not files:
        _error(f"no .npy, .npz, .txt or .csv files in {', '.join(args.inputs)}")
        return 2
    targets = _targets(files, Path(args.output))
    if isinstance(targets, str):
        _error(targets)
        return 2
    failed = _track_into(targets, tracker, args)
    if failed:
        _error(f"{failed} of {len(files)} files failed")
    return 1 if failed else 0


def _targets(files: list[str], outdir: Path) -> dict[str, Path] | str:
    """Output file of every input, or why there can be none."""
    targets: dict[str, Path] = {}
    seen: dict[Path, str] = {}
    for file in files:
        target = outdir / f"{Path(file).stem}.beats.txt"
        if target in seen:
            return f"{seen[target]} and {file} would both write {target}"
        seen[target], targets[file] = file, target
    try:
        outdir.mkdir(parents=True, exist_ok=True)
    except OSError as err:
        return f"cannot make the output directory {outdir}: {err.strerror or err}"
    return targets


def _track_into(targets: dict[str, Path], tracker: Tracker, args: argparse.Namespace) -> int:
    """Track every file into its target; the number of files that failed."""
    from tqdm import tqdm

    failed, noted = 0, False
    jobs = min(args.jobs, len(targets))
    pool = ThreadPoolExecutor(jobs) if jobs > 1 else nullcontext()
    with (
        pool as executor,
        tqdm(total=len(targets), file=sys.stderr, unit="file", disable=len(targets) < 2) as bar,
    ):
        results = track_files(
            targets,
            tracker,
            executor,
            online=args.online,
            use_stored_fps=args.fps is None,
        )
        for result in results:
            error = result.error or _save(result, targets[result.path], args.downbeats)
            if error:
                failed += 1
                bar.write(f"{PROG}: error: {error}", file=sys.stderr)
            elif result.summed and not noted:
                noted = True
                bar.write(_SUMMED_NOTE, file=sys.stderr)
            bar.update()
    return failed


def _save(result: TrackedFile, target: Path, downbeats_only: bool) -> str | None:
    assert result.beats is not None
    try:
        target.write_text(format_beats(result.beats, downbeats_only))
    except OSError as err:
        return f"{target}: cannot write it ({err.strerror or err})"
    return None


def _output_path(output: str | None, path: str) -> Path | None:
    if output is None or not Path(output).is_dir():
        return None if output is None else Path(output)
    stem = "stdin" if path == STDIN else Path(path).stem
    return Path(output) / f"{stem}.beats.txt"


def _write(text: str, output: Path | None) -> None:
    if output is None:
        sys.stdout.write(text)
        sys.stdout.flush()
        return
    try:
        output.write_text(text)
    except OSError as err:
        raise OSError(f"{output}: cannot write it ({err.strerror or err})") from None


def _report_scores(
    name: str,
    beats: Beats,
    reference: tuple[NDArray[np.float64], NDArray[np.int64] | None],
    downbeats_only: bool,
) -> None:
    """Scores on stderr; with --downbeats, of the downbeats against the reference's."""
    times, numbers = reference
    if downbeats_only and beats.numbers is not None:
        wanted = times if numbers is None else times[numbers == 1]
        estimated = beats.times[beats.numbers == 1]
        print(f"{name}: downbeat F-measure {f_measure(wanted, estimated):.3f}", file=sys.stderr)
        return
    print(f"{name}: {_scores(times, numbers, beats)}", file=sys.stderr)


def _scores(times: NDArray[np.float64], numbers: NDArray[np.int64] | None, beats: Beats) -> str:
    """Beat scores against reference beats, and the downbeat F-measure when both are numbered."""
    line = str(evaluate_beats(times, beats.times))
    if numbers is not None and beats.numbers is not None:
        downbeats = f_measure(times[numbers == 1], beats.times[beats.numbers == 1])
        line += f", downbeat F-measure {downbeats:.3f}"
    return line


def _plot(
    args: argparse.Namespace,
    activations: NDArray[np.float64],
    beats: Beats,
    fps: float,
    name: str,
    reference: NDArray[np.float64] | None,
) -> int:
    """Draw the figure --plot asks for, if it asks; the exit status."""
    if args.plot is None:
        return 0
    try:
        plot_beats(
            args.plot,
            activations,
            beats,
            fps,
            title=f"{name} · {'online' if args.online else 'offline'}",
            time_range=args.plot_range,
            reference=reference,
        )
    except (ImportError, OSError, ValueError) as err:
        _error(str(err))
        return 1
    return 0


def _run_demo(tracker: Tracker, args: argparse.Namespace) -> int:
    piece = synthetic_piece(fps=tracker.grids[0].fps)
    results = {}
    for mode, track in (("offline", tracker.track), ("online", tracker.track_online)):
        start = time.perf_counter()
        results[mode] = (track(piece.activations), time.perf_counter() - start)
    shown = results["online" if args.online else "offline"][0]
    print("# built-in example: 30 s synthetic 4/4 piece, 100 -> 130 BPM, seed 0")
    _write(format_beats(shown, args.downbeats), None)
    for mode, (beats, seconds) in results.items():
        try:
            summary = f"# {mode}: {_scores(piece.beat_times, piece.beat_numbers, beats)}"
        except ImportError as err:
            summary = f"# {mode}: no scores ({err})"
        print(
            f"{summary} ({beats.times.size} beats, {piece.beat_times.size} true), "
            f"decode time {seconds:.3f} s"
        )
    fps = tracker.grids[0].fps
    return _plot(args, piece.activations, shown, fps, "built-in example", piece.beat_times)


def _error(message: str) -> None:
    print(f"{PROG}: error: {message}", file=sys.stderr)
