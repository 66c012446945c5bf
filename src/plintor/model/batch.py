"""Tracking a collection of activation files, one task per file, on any executor.

``track_files`` submits one task per file to a :class:`concurrent.futures.Executor`: a thread
pool on one machine (the decoders release the interpreter lock), or a Dask cluster through
``distributed.Client(...).get_executor()`` for a collection larger than one machine.  A file that
fails is reported in its result and the others still run.
"""

import dataclasses
from collections.abc import Iterable, Iterator
from concurrent.futures import Executor, Future, as_completed
from dataclasses import dataclass
from os import PathLike, fspath
from pathlib import Path

from plintor.model.grid import GridConfig
from plintor.model.inputs import (
    STDIN,
    Activations,
    InputError,
    display_name,
    read_activations,
)
from plintor.model.tracking import Beats, BeatTracker, DownbeatTracker

#: Either tracker.
Tracker = BeatTracker | DownbeatTracker

__all__ = [
    "SUFFIXES",
    "TrackedFile",
    "activation_files",
    "at_fps",
    "describe_failure",
    "track_activations",
    "track_file",
    "track_files",
]

#: Suffixes of the files taken from a directory.
SUFFIXES = (".npy", ".npz", ".txt", ".csv")


@dataclass(frozen=True, slots=True, eq=False)
class TrackedFile:
    """Result of tracking one file.

    Attributes
    ----------
    path : str
        The file, as given.
    beats : Beats or None
        The beats; None when the file failed.
    error : str or None
        One line naming the file and what went wrong; None on success.
    summed : bool
        Whether two activation columns were tracked as beats on their sum.
    """

    path: str
    beats: Beats | None
    error: str | None = None
    summed: bool = False


def activation_files(paths: Iterable[str | PathLike[str]]) -> list[str]:
    """Expand directories into the activation files they hold.

    Parameters
    ----------
    paths : iterable of str or path-like
        Files (kept as given, existing or not) and directories.

    Returns
    -------
    list of str
        Every file, and for each directory its files with a suffix in `SUFFIXES`, sorted by
        name; directories are not searched recursively.
    """
    files: list[str] = []
    for path in (fspath(p) for p in paths):
        if path != STDIN and Path(path).is_dir():
            found = (p for p in sorted(Path(path).iterdir()) if p.suffix.lower() in SUFFIXES)
            files.extend(str(p) for p in found if p.is_file())
        else:
            files.append(path)
    return files


def track_activations(
    activations: Activations,
    tracker: Tracker,
    *,
    online: bool = False,
    use_stored_fps: bool = False,
) -> tuple[Beats, Tracker]:
    """Track the activations of one file.

    Parameters
    ----------
    activations : Activations
        As :func:`plintor.model.inputs.read_activations` returns them.
    tracker : BeatTracker or DownbeatTracker
    online : bool
        Track causally instead of with the Viterbi decoder.
    use_stored_fps : bool
        Track at the frame rate the file stores, when it stores one.

    Returns
    -------
    beats : Beats
    tracker : BeatTracker or DownbeatTracker
        The tracker used: `tracker`, or one like it at the file's frame rate.

    Raises
    ------
    ValueError
        For activations the tracker cannot take, or
        :class:`~plintor.model.sizing.GridTooLarge` beyond the tracker's `max_memory`.
    """
    if use_stored_fps and activations.fps not in (None, tracker.grids[0].fps):
        tracker = at_fps(tracker, activations.fps)
    track = tracker.track_online if online else tracker.track
    return track(activations.values), tracker


def at_fps(tracker: Tracker, fps: float) -> Tracker:
    """A tracker like `tracker` whose grids count frames at `fps`."""
    if isinstance(tracker, BeatTracker):
        return dataclasses.replace(tracker, grid=dataclasses.replace(tracker.grid, fps=fps))
    grids = tuple(dataclasses.replace(grid, fps=fps) for grid in tracker.grids)
    return dataclasses.replace(
        tracker, grid=grids[0] if isinstance(tracker.grid, GridConfig) else grids
    )


def track_file(
    path: str | PathLike[str],
    tracker: Tracker,
    *,
    online: bool = False,
    use_stored_fps: bool = False,
) -> TrackedFile:
    """Read and track one file; a failure is returned, not raised.

    Parameters are those of :func:`track_files`, for one `path`.

    Returns
    -------
    TrackedFile
    """
    path, name = fspath(path), display_name(path)
    try:
        activations = read_activations(path)
        beats, used = track_activations(
            activations, tracker, online=online, use_stored_fps=use_stored_fps
        )
    except Exception as err:  # one failed file must not stop a collection
        return TrackedFile(path, None, describe_failure(name, err))
    summed = activations.values.ndim == 2 and not used.downbeats
    return TrackedFile(path, beats, summed=summed)


def track_files(
    paths: Iterable[str | PathLike[str]],
    tracker: Tracker,
    executor: Executor | None = None,
    *,
    online: bool = False,
    use_stored_fps: bool = False,
) -> Iterator[TrackedFile]:
    """Track every file of a collection, one task per file.

    Parameters
    ----------
    paths : iterable of str or path-like
        Activation files and directories (see :func:`activation_files`).
    tracker : BeatTracker or DownbeatTracker
        Sent to every task (pickled, for executors in other processes).  Its `max_memory`
        bounds each task's grids and decode.
    executor : concurrent.futures.Executor or None
        Runs the tasks, e.g. a ``ThreadPoolExecutor`` or ``distributed.Client.get_executor()``;
        with None they run one after the other in the calling thread.  Workers in other
        processes or on other machines must see the files under the same paths.
    online : bool
        Track causally instead of with the Viterbi decoder.
    use_stored_fps : bool
        Track each ``.npz`` file at the frame rate it stores, when it stores one.

    Yields
    ------
    TrackedFile
        One per file, as the tasks finish (in input order without an executor).  A failure,
        of the file or of its task, is reported in the result's `error`.
    """
    options = {"online": online, "use_stored_fps": use_stored_fps}
    files = activation_files(paths)
    if executor is None:
        for path in files:
            yield track_file(path, tracker, **options)
        return
    futures: dict[Future[TrackedFile], str] = {
        executor.submit(track_file, path, tracker, **options): path for path in files
    }
    try:
        for future in as_completed(futures):
            yield _result(future, futures[future])
    finally:
        for future in futures:
            future.cancel()


def describe_failure(name: str, err: BaseException) -> str:
    """One line for a failed file: the file, and what went wrong."""
    if isinstance(err, InputError):  # names its file already
        return str(err)
    if isinstance(err, MemoryError):
        return f"{name}: out of memory"
    if isinstance(err, ValueError | OSError | ImportError):
        return f"{name}: {err}"
    return f"{name}: {type(err).__name__}: {err}"


def _result(future: "Future[TrackedFile]", path: str) -> TrackedFile:
    try:
        return future.result()
    except Exception as err:  # the task itself failed: a lost worker, a pickling error
        return TrackedFile(path, None, describe_failure(display_name(path), err))
