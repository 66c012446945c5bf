"""The command line's options: the parser, the checks across options, and the tracker they ask for.

Options have our spellings and, beside them, madmom's (``--min_bpm``, ``--beats_per_bar 3,4``),
so that a command line written for madmom's DBN trackers works unchanged.
"""

import argparse
from collections.abc import Callable

import plintor
from plintor.model.grid import GridConfig
from plintor.model.observation import ObservationModel
from plintor.model.sizing import DEFAULT_MAX_MEMORY
from plintor.model.tracking import DOWNBEAT_GRID, BeatTracker, DownbeatTracker

__all__ = ["PROG", "build_parser", "check_arguments", "make_tracker"]

PROG = "plintor-beats"

#: Frame rate when neither --fps nor the file gives one.
DEFAULT_FPS = 100.0

#: Meters the downbeat tracker weighs when --downbeats is given without --bars.
DEFAULT_METERS = DownbeatTracker().beats_per_bar

#: Options that take one value for every meter or one per meter.
_PER_METER = ("min_bpm", "max_bpm", "num_tempi", "transition_lambda")

_DESCRIPTION = "Track beats and downbeats in the activations of a beat-tracking network."

_EPILOG = """\
inputs:
  .npy, .npz (the array 'activations', or the only array; an 'fps' stored beside it is used
  unless --fps is given) or text: numbers separated by spaces or commas, one frame per line,
  '#' starts a comment. '-' reads standard input. One column holds beat activations; two hold
  beat and downbeat activations (without --bars, beats are tracked on their sum). Values must
  lie within [0, 1]. A directory stands for its .npy, .npz, .txt and .csv files.

output:
  One beat per line, its time in seconds with three decimals (1.230). With --bars,
  TIME<TAB>BEAT_NUMBER, where beat 1 is the downbeat (1.230<TAB>1). With --downbeats, the
  downbeat times only. With several inputs, each one's beats go to OUTDIR/NAME.beats.txt in
  that format. Exit status: 0 on success, 1 when a file failed, 2 for a usage error.

examples:
  plintor-beats song.npy > song.beats.txt
  plintor-beats song.txt --bars 3,4 --reference song.beats --plot song.png
  plintor-beats activations/ -o beats/ -j 2
"""


def build_parser() -> argparse.ArgumentParser:
    """The command line's argument parser.

    Returns
    -------
    argparse.ArgumentParser
    """
    parser = argparse.ArgumentParser(
        prog=PROG,
        description=_DESCRIPTION,
        epilog=_EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
        allow_abbrev=False,
    )
    parser.add_argument(
        "inputs", nargs="*", metavar="INPUT", help="activation files or directories; - for stdin"
    )
    parser.add_argument(
        "-o", "--output", metavar="PATH", help="output file, or OUTDIR for several"
    )
    parser.add_argument(
        "-j", "--jobs", type=_number(int, 1), default=1, metavar="N", help="files tracked at once"
    )
    parser.add_argument("--version", action="version", version=f"{PROG} {plintor.__version__}")
    parser.add_argument("--demo", action="store_true", help="track a built-in synthetic piece")
    _add_model_options(parser.add_argument_group("model"))
    _add_output_options(parser.add_argument_group("figure and scores"))
    return parser


def _add_model_options(group: argparse._ArgumentGroup) -> None:
    beats, bars = GridConfig(), DOWNBEAT_GRID
    per_meter = "; with --bars, one value or one per meter, separated by commas"
    group.add_argument(
        "--fps",
        type=_number(float, 0, open_low=True),
        help=f"frame rate ({DEFAULT_FPS:g}, or the fps an .npz stores)",
    )
    for name, default, what in (
        ("min", beats.min_bpm, "slowest"),
        ("max", beats.max_bpm, "fastest"),
    ):
        group.add_argument(
            f"--{name}-bpm",
            f"--{name}_bpm",
            type=_values(float, 0, open_low=True),
            metavar="BPM",
            help=f"{what} tempo ({default:g}{per_meter})",
        )
    group.add_argument(
        "--num-tempi",
        "--num_tempi",
        type=_values(int, 1),
        metavar="N",
        help=f"log-spaced tempo lanes (beats: one per interval; downbeats: {bars.num_tempi}"
        f"{per_meter})",
    )
    group.add_argument(
        "--transition-lambda",
        "--transition_lambda",
        type=_values(float, 0),
        metavar="LAMBDA",
        help=f"tempo-change stiffness ({beats.transition_lambda:g}{per_meter})",
    )
    group.add_argument(
        "--observation-lambda",
        "--observation_lambda",
        type=_number(float, 1, open_low=True),
        default=ObservationModel().observation_lambda,
        metavar="LAMBDA",
        help="the first 1/lambda of each beat is scored as beat (%(default)g)",
    )
    group.add_argument(
        "-t",
        "--threshold",
        type=_number(float, 0),
        help=f"decode only from the first to the last frame with an activation at or above it "
        f"(beats: {BeatTracker().threshold:g}; downbeats: {DownbeatTracker().threshold:g})",
    )
    group.add_argument(
        "--no-correct",
        "--no_correct",
        dest="correct",
        action="store_false",
        help="place beats at the path's beat boundaries, not at the activation peaks",
    )
    group.add_argument(
        "--bars",
        "--beats-per-bar",
        "--beats_per_bar",
        type=_values(int, 1, what="beats per bar such as 4 or 3,4"),
        action="extend",
        metavar="N[,N...]",
        help="track downbeats, weighing these beats per bar (repeat or separate with commas)",
    )
    group.add_argument(
        "--downbeats",
        action="store_true",
        help="print the downbeats only (meters "
        f"{','.join(map(str, DEFAULT_METERS))} unless --bars is given)",
    )
    group.add_argument("--online", action="store_true", help="causal (streaming) decoding")
    group.add_argument(
        "--max-memory",
        type=_number(float, 0, open_low=True),
        default=DEFAULT_MAX_MEMORY / 2**30,
        metavar="GIB",
        help="refuse grids and decodes needing more memory (%(default)g GiB)",
    )


def _add_output_options(group: argparse._ArgumentGroup) -> None:
    group.add_argument("--plot", metavar="FILE.png", help="save a figure (needs plintor[plot])")
    group.add_argument(
        "--plot-range",
        type=_time_range,
        metavar="START:END",
        help="seconds of activations the figure shows (default: all up to 60 s, else 0:30)",
    )
    group.add_argument(
        "--reference",
        metavar="FILE",
        help="score against these beat times: F-measure, Cemgil, CMLt, AMLt (plintor[eval])",
    )


def check_arguments(parser: argparse.ArgumentParser, args: argparse.Namespace) -> None:
    """Refuse option combinations that make no sense (exits with status 2).

    Parameters
    ----------
    parser : argparse.ArgumentParser
    args : argparse.Namespace
        Parsed arguments.
    """
    if args.demo and args.inputs:
        parser.error("--demo takes no input files")
    if not args.demo and not args.inputs:
        parser.error("no input: give activation files or directories, - for stdin, or --demo")
    if "-" in args.inputs and len(args.inputs) > 1:
        parser.error("- (standard input) must be the only input")
    if args.plot_range is not None and args.plot is None:
        parser.error("--plot-range needs --plot")


def make_tracker(
    parser: argparse.ArgumentParser, args: argparse.Namespace
) -> BeatTracker | DownbeatTracker:
    """The tracker the options ask for (exits with status 2 on an inconsistent model).

    Parameters
    ----------
    parser : argparse.ArgumentParser
    args : argparse.Namespace

    Returns
    -------
    BeatTracker or DownbeatTracker
        A downbeat tracker with --bars or --downbeats; options not given keep that tracker's
        defaults.
    """
    meters = tuple(args.bars or (DEFAULT_METERS if args.downbeats else ()))
    defaults = DOWNBEAT_GRID if meters else GridConfig()
    values = {name: getattr(args, name) or [getattr(defaults, name)] for name in _PER_METER}
    for name, given in values.items():
        if len(given) not in {1, len(meters)}:
            option = "--" + name.replace("_", "-")
            parser.error(
                f"{option} takes one value"
                + (f" or one per meter ({len(meters)})" if meters else " without --bars")
            )
    fps = DEFAULT_FPS if args.fps is None else args.fps
    options = {
        "observation_lambda": args.observation_lambda,
        "correct": args.correct,
        "max_memory": args.max_memory * 2**30,
    }
    if args.threshold is not None:
        options["threshold"] = args.threshold
    try:
        grids = tuple(
            GridConfig(
                fps, **{name: given[min(i, len(given) - 1)] for name, given in values.items()}
            )
            for i in range(max(1, len(meters)))
        )
        if not meters:
            return BeatTracker(grids[0], **options)
        return DownbeatTracker(meters, grids[0] if len(set(grids)) == 1 else grids, **options)
    except ValueError as err:
        parser.error(str(err))


def _number(
    kind: type[int] | type[float], low: float, *, open_low: bool = False
) -> Callable[[str], float]:
    """An argument type: a finite number of `kind` at least `low` (above it when `open_low`)."""
    bound = _bound(low, open_low)

    def parse(text: str) -> float:
        try:
            value = kind(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"expected a number {bound}, got {text!r}") from None
        if (
            not (value > low if open_low else value >= low)
            or value != value
            or value == float("inf")
        ):
            raise argparse.ArgumentTypeError(f"expected a number {bound}, got {text!r}")
        return value

    parse.__name__ = kind.__name__
    return parse


def _bound(low: float, open_low: bool) -> str:
    return f"above {low:g}" if open_low else f"at least {low:g}"


def _values(
    kind: type[int] | type[float], low: float, *, open_low: bool = False, what: str = ""
) -> Callable[[str], list[float]]:
    """An argument type: numbers as `_number` takes them, separated by commas."""
    number = _number(kind, low, open_low=open_low)
    expected = what or f"one or more numbers {_bound(low, open_low)}, separated by commas"

    def parse(text: str) -> list[float]:
        try:
            return [number(part) for part in text.split(",")]
        except argparse.ArgumentTypeError:
            raise argparse.ArgumentTypeError(f"expected {expected}, got {text!r}") from None

    parse.__name__ = kind.__name__
    return parse


def _time_range(text: str) -> tuple[float, float]:
    """``START:END`` in seconds."""
    start, _, end = text.partition(":")
    try:
        span = (float(start), float(end))
    except ValueError:
        span = (0.0, -1.0)
    if not 0 <= span[0] < span[1] < float("inf"):
        raise argparse.ArgumentTypeError(
            f"expected START:END in seconds, 0 <= START < END, got {text!r}"
        )
    return span
