"""Activation and beat files as users have them: ``.npy``, ``.npz`` or text, or standard input.

The format is told by the content, not the name: a ``.npy`` header, a zip archive (``.npz``), or
else text with numbers separated by whitespace or commas, one frame per line (``#`` starts a
comment).  Every failure raises :class:`InputError` with one line that names the file and says
what was expected.
"""

import io
import sys
import zipfile
from os import PathLike, fspath
from typing import BinaryIO, NamedTuple

import numpy as np
from numpy.typing import NDArray

__all__ = [
    "NOISE",
    "STDIN",
    "Activations",
    "InputError",
    "display_name",
    "read_activations",
    "read_beat_times",
]

#: The path that stands for standard input.
STDIN = "-"

#: Values this far outside [0, 1] are float noise and are clipped; further out they are refused.
NOISE = 1e-6

_NPY_MAGIC = b"\x93NUMPY"
_ZIP_MAGIC = (b"PK\x03\x04", b"PK\x05\x06")
_SHAPES = "one activation per frame, shape (T,), or beat and downbeat activations, shape (T, 2)"


class InputError(ValueError):
    """A file that cannot be used as asked; the message names the file."""


class Activations(NamedTuple):
    """Activations read from a file.

    Attributes
    ----------
    values : ndarray of float64, shape (T,) or (T, 2)
        Finite and within [0, 1].
    fps : float or None
        Frame rate stored beside the activations in an ``.npz`` file, else None.
    """

    values: NDArray[np.float64]
    fps: float | None


def display_name(path: str | PathLike[str]) -> str:
    """Name of a file in messages (``<stdin>`` for standard input)."""
    path = fspath(path)
    return "<stdin>" if path == STDIN else path


def read_activations(path: str | PathLike[str]) -> Activations:
    """Read and check the activations of one file.

    Parameters
    ----------
    path : str or path-like
        A ``.npy``, ``.npz`` or text file, or ``-`` for standard input.  An ``.npz`` file holds
        the array named ``activations``, or a single array, and optionally a scalar ``fps``.

    Returns
    -------
    Activations

    Raises
    ------
    InputError
        If the file cannot be read, has another shape, or holds values that are not finite or
        lie outside [0, 1] by more than `NOISE` (values within `NOISE` are clipped).
    """
    name = display_name(path)
    array, fps = _read_array(path, name, npz_key="activations")
    values = _check_shape(array, name)
    return Activations(_check_values(values, name), fps)


def read_beat_times(
    path: str | PathLike[str],
) -> tuple[NDArray[np.float64], NDArray[np.int64] | None]:
    """Read beat times, optionally with beat numbers, as the command line writes them.

    Parameters
    ----------
    path : str or path-like
        One time in seconds per line, or time and beat number (1 for a downbeat).

    Returns
    -------
    times : ndarray of float64, shape (B,)
        Ascending, finite and non-negative.
    numbers : ndarray of int64, shape (B,), or None
        Beat numbers when the file has a second column.

    Raises
    ------
    InputError
    """
    name = display_name(path)
    array, _ = _read_array(path, name, npz_key="beats")
    array = _table(array) if array.ndim == 1 else array
    if array.ndim != 2 or array.shape[1] > 2:
        raise InputError(
            f"{name}: expected beat times, one per line, optionally with beat numbers"
        )
    times = array[:, 0]
    if not (np.isfinite(times).all() and (times >= 0).all() and (np.diff(times) > 0).all()):
        raise InputError(f"{name}: beat times must be finite, non-negative and ascending")
    if array.shape[1] == 1:
        return times, None
    numbers = array[:, 1]
    if not (numbers >= 1).all() or not (numbers == np.rint(numbers)).all():
        raise InputError(f"{name}: beat numbers (the second column) must be whole numbers from 1")
    return times, numbers.astype(np.int64)


def _read_array(
    path: str | PathLike[str], name: str, npz_key: str
) -> tuple[NDArray[np.float64], float | None]:
    """The numeric array of a file, and the frame rate an ``.npz`` stores."""
    try:
        with _open(path) as stream:
            head = stream.read(6)
            stream.seek(0)
            if head == _NPY_MAGIC:
                array, fps = np.load(stream, allow_pickle=False), None
            elif head[:4] in _ZIP_MAGIC:
                array, fps = _read_npz(stream, name, npz_key)
            else:
                array, fps = _read_text(stream.read(), name), None
    except InputError:
        raise
    except FileNotFoundError:
        raise InputError(f"{name}: no such file") from None
    except IsADirectoryError:
        raise InputError(f"{name}: is a directory, expected a file") from None
    except OSError as err:
        raise InputError(f"{name}: cannot read it ({err.strerror or err})") from None
    except (ValueError, EOFError, zipfile.BadZipFile) as err:
        raise InputError(f"{name}: not a readable .npy or .npz file ({_reason(err)})") from None
    return _as_numbers(array, name), fps


def _open(path: str | PathLike[str]) -> BinaryIO:
    if fspath(path) == STDIN:
        return io.BytesIO(sys.stdin.buffer.read())
    return open(path, "rb")


def _read_npz(stream: BinaryIO, name: str, key: str) -> tuple[NDArray[np.generic], float | None]:
    with np.load(stream, allow_pickle=False) as archive:
        names = [n for n in archive.files if n != "fps"]
        if key in names:
            chosen = key
        elif len(names) == 1:
            chosen = names[0]
        else:
            listed = ", ".join(names) or "none besides fps"
            raise InputError(
                f"{name}: expected an array named {key!r} or a single array, found {listed}"
            )
        array = archive[chosen]
        fps = archive["fps"] if "fps" in archive.files else None
    if fps is None:
        return array, None
    if fps.size != 1 or not np.issubdtype(fps.dtype, np.number) or not float(fps) > 0:
        raise InputError(f"{name}: the stored fps must be one positive number, got {fps!r}")
    return array, float(fps)


def _read_text(data: bytes, name: str) -> NDArray[np.float64]:
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError as err:
        raise InputError(
            f"{name}: not a .npy, .npz or text file (byte 0x{data[err.start]:02x} at offset "
            f"{err.start} is not text)"
        ) from None
    rows = []
    for number, line in enumerate(text.splitlines(), start=1):
        fields = line.split("#", 1)[0].replace(",", " ").split()
        if fields:
            rows.append((number, fields))
    if not rows:
        return np.empty(0)
    first, width = rows[0][0], len(rows[0][1])
    for number, fields in rows:
        if len(fields) != width:
            raise InputError(
                f"{name}, line {number}: {len(fields)} values, expected {width} as on line {first}"
            )
    try:
        return np.array([fields for _, fields in rows], dtype=np.float64)
    except ValueError:
        number, token = _first_non_number(rows)
        raise InputError(
            f"{name}, line {number}: {token!r} is not a number (expected numbers separated by "
            "spaces or commas)"
        ) from None


def _first_non_number(rows: list[tuple[int, list[str]]]) -> tuple[int, str]:
    for number, fields in rows:
        for token in fields:
            try:
                float(token)
            except ValueError:
                return number, token
    raise AssertionError("every token is a number")


def _as_numbers(array: NDArray[np.generic], name: str) -> NDArray[np.float64]:
    kind = array.dtype.kind
    if kind not in "biuf":
        raise InputError(f"{name}: holds {array.dtype} values, expected real numbers")
    return np.asarray(array, dtype=np.float64)


def _check_shape(array: NDArray[np.float64], name: str) -> NDArray[np.float64]:
    if array.ndim == 2 and array.shape[1] == 1:
        array = array[:, 0]
    if array.ndim == 1 or (array.ndim == 2 and array.shape[1] == 2):
        return array
    raise InputError(f"{name}: array of shape {array.shape}, expected {_SHAPES}")


def _check_values(values: NDArray[np.float64], name: str) -> NDArray[np.float64]:
    table = _table(values)
    for bad, expected in (
        (~np.isfinite(table), "activations must be finite"),
        ((table < -NOISE) | (table > 1 + NOISE), "expected activations within [0, 1]"),
    ):
        if bad.any():
            frame, column = np.argwhere(bad)[0]
            where = f"frame {frame}" + (f", column {column + 1}" if table.shape[1] > 1 else "")
            raise InputError(
                f"{name}: {table[frame, column]:.6g} at {where}; {expected}{_time_hint(table)}"
            )
    return np.clip(values, 0.0, 1.0)


def _table(values: NDArray[np.float64]) -> NDArray[np.float64]:
    """`values` as a two-dimensional table, one row per frame (also when empty)."""
    return values[:, np.newaxis] if values.ndim == 1 else values


def _time_hint(table: NDArray[np.float64]) -> str:
    """A hint when the first of two columns rises steadily past 1, as times do."""
    first = table[:, 0]
    if table.shape[1] == 2 and first.size > 1 and first[-1] > 1 and (np.diff(first) > 0).all():
        return " (the first column rises steadily: is it a time column? give activations only)"
    return ""


def _reason(err: Exception) -> str:
    """The first line of NumPy's message, or what it means for a pickled array."""
    text = str(err).strip()
    if "allow_pickle" in text:
        return "it holds Python objects; expected an array of numbers"
    return text.splitlines()[0] if text else type(err).__name__
