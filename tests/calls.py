"""The catalogue of entry-point calls: every entry point on its success and failure
paths, each with the outcome it must have.

tests/test_hygiene.py calls each case many times and checks references, buffers and
memory; tools/memcheck_cases.py runs them under valgrind and, in the ASan build, under
LeakSanitizer (tests/test_sanitizer.py).  Each case is (patch, build): `patch` names a
module attribute to replace meanwhile, and build(wrap) returns the thunk to call and the
arguments it passes, with every array argument passed through wrap.
"""

import types

import numpy as np
from graphs import chunk, decode_args, decoder_args

from plintor.model import _kernels
from plintor.model._kernels import ForwardDecoder, _split_layout, decode


def raises(error, call, *args, **kwargs):
    """A thunk that calls and insists on the error."""

    def thunk():
        try:
            call(*args, **kwargs)
        except error:
            return
        raise AssertionError(f"{call} did not raise {error.__name__}")

    return thunk


def returns(call, *args, **kwargs):
    return lambda: call(*args, **kwargs)


def layout_without(key):
    real = _kernels._split_layout

    def replacement(*args):
        layout = real(*args)
        del layout[key]
        return layout

    return replacement


def layout_with(**changes):
    real = _kernels._split_layout
    return lambda *args: real(*args) | changes


def failing_layout(*args):
    raise IndexError("no layout today")


def numpy_failing_at(name):
    """A stand-in for the module's np whose `name` runs out of memory."""

    def fail(*args, **kwargs):
        raise MemoryError(f"np.{name}")

    return types.SimpleNamespace(**{**vars(np), name: fail})


def split_layout_case(args, identity, error=None):
    def build(wrap):
        objects = [wrap(value) for value in args]
        call = _split_layout
        thunk = (
            raises(error, call, *objects, identity) if error else returns(call, *objects, identity)
        )
        return thunk, objects

    return build


def keyword_case(call, args, error=None, **extra):
    def build(wrap):
        objects = {name: wrap(value) for name, value in args.items()}
        both = objects | extra
        return (raises(error, call, **both) if error else returns(call, **both)), list(
            objects.values()
        )

    return build


def decoder_case(method, make_args, error=None):
    """A call of `method` on a decoder built once, outside the measured calls."""

    def build(wrap):
        decoder = ForwardDecoder(**decoder_args())
        objects = [wrap(value) for value in make_args()]
        bound = getattr(decoder, method)
        thunk = raises(error, bound, *objects) if error else returns(bound, *objects)
        return thunk, [decoder, *objects]

    return build


D, F = decode_args(), decoder_args()
GRAPH = [D["pred"], D["ptr"], D["log_prob"], D["columns"]]

CASES = {
    # _split_layout
    "split_layout": (None, split_layout_case(GRAPH, 0.0)),
    "split_layout converted": (None, split_layout_case([g.astype(float) for g in GRAPH], 0.0)),
    "split_layout IndexError": (
        None,
        split_layout_case(
            [D["pred"][:3], np.array([0, 1, 2, 3, 3], np.uint32), *GRAPH[2:]], 0.0, IndexError
        ),
    ),
    "split_layout identity": (None, split_layout_case(GRAPH, "x", TypeError)),
    "split_layout 2-d": (
        None,
        split_layout_case([GRAPH[0], np.zeros((2, 2)), *GRAPH[2:]], 0, ValueError),
    ),
    # decode
    "decode": (None, keyword_case(decode, D)),
    "decode renorm_period": (None, keyword_case(decode, D, renorm_period=3)),
    "decode dtype": (
        None,
        keyword_case(decode, D | {"log_dens": D["log_dens"].astype(float)}, ValueError),
    ),
    "decode None": (None, keyword_case(decode, D | {"log_initial": None}, TypeError)),
    "decode 17 columns": (
        None,
        keyword_case(decode, D | {"log_dens": np.zeros((2, 17), np.float32)}, ValueError),
    ),
    "decode predecessor": (None, keyword_case(decode, D | {"pred": D["pred"] + 100}, ValueError)),
    "decode column": (None, keyword_case(decode, D | {"columns": D["columns"] + 2}, ValueError)),
    "decode renorm overflow": (None, keyword_case(decode, D, OverflowError, renorm_period=2**31)),
    "decode layout raises": (
        ("_split_layout", failing_layout),
        keyword_case(decode, D, IndexError),
    ),
    "decode layout key": (
        ("_split_layout", layout_without("run_hi")),
        keyword_case(decode, D, KeyError),
    ),
    "decode layout dtype": (
        ("_split_layout", layout_with(run_col=np.zeros(1))),
        keyword_case(decode, D, ValueError),
    ),
    "decode layout range": (
        ("_split_layout", layout_with(bnd_state=np.array([0, 99], np.uint32))),
        keyword_case(decode, D, ValueError),
    ),
    "decode np fails": (("np", numpy_failing_at("zeros")), keyword_case(decode, D, MemoryError)),
    # ForwardDecoder
    "construct": (None, keyword_case(ForwardDecoder, F)),
    "construct dtype": (
        None,
        keyword_case(ForwardDecoder, F | {"prob": F["prob"].astype(float)}, ValueError),
    ),
    "construct None": (None, keyword_case(ForwardDecoder, F | {"initial": None}, TypeError)),
    "construct initial": (
        None,
        keyword_case(ForwardDecoder, F | {"initial": F["initial"][1:]}, ValueError),
    ),
    "construct layout key": (
        ("_split_layout", layout_without("bnd_weight")),
        keyword_case(ForwardDecoder, F, KeyError),
    ),
    "construct layout range": (
        ("_split_layout", layout_with(pred_list=np.array([99], np.uint32))),
        keyword_case(ForwardDecoder, F, ValueError),
    ),
    "construct np fails": (
        ("np", numpy_failing_at("array")),
        keyword_case(ForwardDecoder, F, MemoryError),
    ),
    # step and reset
    "step": (None, decoder_case("step", lambda: [chunk(3)])),
    "step empty": (None, decoder_case("step", lambda: [chunk(0)])),
    "step 17 columns": (None, decoder_case("step", lambda: [chunk(2, 17)], ValueError)),
    "step too few columns": (None, decoder_case("step", lambda: [chunk(2, 1)], ValueError)),
    "step dtype": (None, decoder_case("step", lambda: [chunk(2).astype(float)], ValueError)),
    "step None": (None, decoder_case("step", lambda: [None], TypeError)),
    "step 1-d": (None, decoder_case("step", lambda: [chunk(2)[0]], ValueError)),
    "step twice": (None, decoder_case("step", lambda: [chunk(2), chunk(2)], TypeError)),
    "reset": (None, decoder_case("reset", list)),
    "reset argument": (None, decoder_case("reset", lambda: [chunk(1)], TypeError)),
}
