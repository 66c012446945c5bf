"""Every instruction-set build of the frame loops gives the plain loops' results, bit for bit.

The module chooses its build once, when it is imported: the widest the processor runs,
or the one PLINTOR_KERNEL_ISA names.  So each build runs in a child interpreter of its
own (this file run as a script with the variable set), which decodes every case and
hands back its results; builds the processor lacks are skipped.  The grids are large
enough for the vector paths: lanes longer than a vector, boundaries with more edges
than a vector has lanes, sources in consecutive slots or shuffled, and scores with
ties, signed zeros, minus infinity and NaN.
"""

import functools
import itertools
import os
import pickle
import subprocess
import sys

import numpy as np
import pytest
from graphs import (
    Watched,
    bits,
    decode_args,
    decoder_args,
    frame_loop_builds,
    lane_graph,
    random_lane_graph,
    reference_decode,
    reference_forward,
    same,
    supported_isas,
)

F32, U32 = np.float32, np.uint32
BUILDS = frame_loop_builds()
ISAS = supported_isas()
SEEDS = range(40)


def decode_case(seed: int, shuffled: float = 0.3):
    """With sources in lane order only (shuffled=0) every boundary's edges read ascending
    slots, and the boundaries are reduced in groups; plus infinity among the scores then
    meets the minus infinity that stands for a missing edge."""
    rng = np.random.default_rng(seed)
    (pred, ptr, log_prob, columns), num_cols = random_lane_graph(rng, "log", shuffled)
    scores = np.array([0.0, -0.0, -0.25, -1.0, -2.0, -np.inf, np.nan, np.inf], F32)
    weights = np.array([40, 2, 10, 10, 10, 1, 0.2 if seed % 3 == 0 else 0, 0 if shuffled else 1])
    pick = lambda shape: rng.choice(scores, shape, p=weights / weights.sum())  # noqa: E731
    log_dens = pick((int(rng.integers(0, 12)), num_cols)).astype(F32)
    log_initial = pick(len(columns)).astype(F32)
    renorm_period = int(rng.choice([0, 1, 2, 5, 1024]))
    return pred, ptr, log_prob, log_dens, columns, log_initial, renorm_period


def forward_case(seed: int):
    rng = np.random.default_rng(seed)
    (pred, ptr, prob, columns), num_cols = random_lane_graph(rng, "linear")
    dens = rng.choice(np.array([0.0, -0.0, 0.5, 1.0, 0.75, 2.0], F32), (10, num_cols))
    initial = rng.choice(np.array([0.0, 1e-3, 0.25, 1.0], F32), len(columns))
    return (pred, ptr, prob, columns, initial), dens.astype(F32)


def reversed_layout(layout):
    """The same layout with its boundaries and runs listed last to first."""
    ptr = layout["bnd_ptr"]
    edges = np.concatenate(
        [np.arange(ptr[j], ptr[j + 1]) for j in reversed(range(len(ptr) - 1))] + [[]]
    ).astype(np.int64)
    counts = np.diff(ptr)[::-1]
    out = {
        key: np.ascontiguousarray(layout[key][edges])
        for key in ("bnd_src", "bnd_orig", "bnd_weight")
    }
    out["bnd_ptr"] = np.concatenate(([0], np.cumsum(counts))).astype(np.int64)
    for key in ("bnd_state", "bnd_dcol", "run_lo", "run_hi", "run_col"):
        out[key] = np.ascontiguousarray(layout[key][::-1])
    out["pred_list"] = layout["pred_list"]
    return out


# --- What each child interpreter computes --------------------------------------------


def long_case():
    """Hundreds of frames over a grid with long lanes."""
    rng = np.random.default_rng(7)
    (pred, ptr, log_prob, columns), num_cols = random_lane_graph(rng, "log")
    log_dens = np.log(rng.uniform(0.01, 1, (600, num_cols))).astype(F32)
    log_initial = np.full(len(columns), -np.log(len(columns)), F32)
    prob = np.exp(log_prob).astype(F32)
    forward_args = (pred, ptr, prob, columns, np.exp(log_initial).astype(F32))
    return (pred, ptr, log_prob, log_dens, columns, log_initial, 64), forward_args


# Two lanes of 40 and 30 states whose runs leave out the boundary state 40, so they
# do not tile the states and each run is shifted on its own; the first run is empty
# and its column is one nothing may read.
GAPPED_RUNS = {
    "run_lo": np.array([1, 1, 41]),
    "run_hi": np.array([1, 40, 70]),
    "run_col": np.array([2**32 - 1, 0, 0], U32),
}


def corner_case():
    """Lanes whose boundaries fall where the forward loop's total, running behind the
    shift, changes its course: in the first vector, in the last sixteen states (which the
    last vector may store over), and after segments shorter than a vector and shorter
    than the boundary's eleven edges, over chunks of one frame and of several."""
    lengths = [1, 4, 9, 2, 33, 1, 1, 70, 3, 2, 1]
    pred, ptr, prob = lane_graph(lengths, log_domain=False)
    columns = (np.arange(sum(lengths)) % 3 == 0).astype(U32)
    initial = np.random.default_rng(3).uniform(0, 1, sum(lengths)).astype(F32)
    dens = np.random.default_rng(4).uniform(0.25, 1, (40, 2)).astype(F32)
    return (pred, ptr, prob, columns, initial), dens


CORNER_CHUNKS = (1, 1, 5, 33)


def with_layout(kernels, edit, call):
    real = kernels._split_layout
    kernels._split_layout = lambda *args: edit(real(*args))
    try:
        return call()
    finally:
        kernels._split_layout = real


def tied_case():
    """Twenty alike lanes of five states, each entered from every lane's last state at
    the same weight, so that every boundary's candidates tie in every frame; the last
    frame rules out all but the lanes' first states, and the first of those, state 0,
    must come from the earliest edge, the last state of lane 0."""
    pred, ptr, log_prob = lane_graph([5] * 20, log_domain=True)
    columns = np.zeros(100, U32)
    columns[::5] = 1
    log_dens = np.array([[0, 0], [0, 0], [-np.inf, 0]], F32)
    return pred, ptr, log_prob, log_dens, columns, np.zeros(100, F32)


def decoded(result):
    path, log_probability = result
    return path.tolist(), np.float64(log_probability).tobytes()


def child_results():
    from plintor.model import _kernels

    results = {"tied": decoded(_kernels.decode(*tied_case()))}
    for seed in SEEDS:
        results["decode", seed] = decoded(_kernels.decode(*decode_case(seed)))
        results["grouped", seed] = decoded(_kernels.decode(*decode_case(seed, shuffled=0)))
        (pred, ptr, prob, columns, initial), dens = forward_case(seed)
        for reorder in (False, True):

            def stepped(dens=dens, graph=(pred, ptr, prob, columns, initial)):
                watched = Watched(*graph)
                return watched.step(dens[:3]).tolist() + watched.step(dens[3:]).tolist(), bits(
                    watched.belief
                )

            edit = reversed_layout if reorder else (lambda layout: layout)
            results["step", seed, reorder] = with_layout(_kernels, edit, stepped)
    graph, dens = corner_case()
    decoder = _kernels.ForwardDecoder(*graph)
    bounds = np.cumsum([0, *CORNER_CHUNKS])
    results["corners"] = [
        decoder.step(dens[lo:hi]).tolist() for lo, hi in itertools.pairwise(bounds)
    ]
    args, forward_args = long_case()
    results["long"] = (
        decoded(_kernels.decode(*args)),
        _kernels.ForwardDecoder(*forward_args).step(np.exp(args[3]).astype(F32)).tolist(),
    )
    gapped_args, dens = decode_args((40, 30), num_cols=1), np.ones((6, 1), F32) / 2
    gapped = lambda: (  # noqa: E731
        decoded(_kernels.decode(**gapped_args)),
        _kernels.ForwardDecoder(**decoder_args((40, 30), 1)).step(dens).tolist(),
    )
    results["gapped"] = (
        gapped(),
        with_layout(_kernels, lambda layout: layout | GAPPED_RUNS, gapped),
    )
    return results


def python(code_or_file, isa, *args):
    env = {**os.environ, "PLINTOR_KERNEL_ISA": isa}
    command = [sys.executable, *(["-c", code_or_file] if "\n" in code_or_file else [code_or_file])]
    return subprocess.run([*command, *args], env=env, capture_output=True, check=False)


@functools.cache
def results_of(isa):
    if isa not in ISAS:
        pytest.skip(f"this processor does not run the {isa} build")
    run = python(__file__, isa, "--child")
    assert run.returncode == 0, run.stderr.decode()
    return pickle.loads(run.stdout)


# --- The tests ---------------------------------------------------------------------------


@pytest.mark.parametrize("isa", BUILDS)
@pytest.mark.parametrize("seed", SEEDS)
def test_decode_variant_matches_the_plain_recursion(isa, seed):
    with np.errstate(all="ignore"):
        want_path, want_lp = reference_decode(*decode_case(seed))
    path, lp = results_of(isa)["decode", seed]
    assert path == want_path.tolist()
    assert same(np.frombuffer(lp)[0], want_lp)


@pytest.mark.parametrize("isa", BUILDS)
@pytest.mark.parametrize("seed", SEEDS)
def test_grouped_boundaries_match_the_plain_recursion(isa, seed):
    from plintor.model._kernels import _split_layout

    case = decode_case(seed, shuffled=0)
    pred, ptr, log_prob, _, columns, _, _ = case
    layout = _split_layout(pred, ptr, log_prob, columns, 0.0)
    bounds, src = layout["bnd_ptr"], layout["bnd_src"]
    assert all(np.all(np.diff(src[lo:hi]) > 0) for lo, hi in itertools.pairwise(bounds))
    with np.errstate(all="ignore"):
        want_path, want_lp = reference_decode(*case)
    path, lp = results_of(isa)["grouped", seed]
    assert path == want_path.tolist()
    assert same(np.frombuffer(lp)[0], want_lp)


@pytest.mark.parametrize("isa", BUILDS)
def test_grouped_boundaries_keep_the_earliest_of_tied_edges(isa):
    path, _ = results_of(isa)["tied"]
    assert path == reference_decode(*tied_case())[0].tolist() == [3, 4, 0]


@pytest.mark.parametrize("isa", BUILDS)
@pytest.mark.parametrize("seed", SEEDS)
@pytest.mark.parametrize("reorder", [False, True], ids=["in_order", "reversed"])
def test_step_variant_matches_the_plain_recursion(isa, seed, reorder):
    """Also with the boundaries and runs out of state order, which take the general loops."""
    (pred, ptr, prob, columns, initial), dens = forward_case(seed)
    want_out, want_belief = reference_forward((pred, ptr, prob, columns), initial, dens)
    out, belief = results_of(isa)["step", seed, reorder]
    assert out == want_out
    assert belief == bits(want_belief)


@pytest.mark.parametrize("isa", BUILDS)
def test_step_variant_matches_the_plain_recursion_at_its_corners(isa):
    (pred, ptr, prob, columns, initial), dens = corner_case()
    want, _ = reference_forward((pred, ptr, prob, columns), initial, dens)
    assert list(itertools.chain.from_iterable(results_of(isa)["corners"])) == want


@pytest.mark.parametrize("isa", BUILDS)
def test_variants_agree_on_a_long_sequence(isa):
    """Hundreds of frames over a grid with long lanes: every build, the same bits."""
    assert results_of(isa)["long"] == results_of("sse2")["long"]


@pytest.mark.parametrize("isa", BUILDS)
def test_the_column_of_an_empty_run_is_never_read(isa):
    whole, gapped = results_of(isa)["gapped"]
    assert gapped == whole


IMPORT = "import plintor.model._kernels\n"


def refusal(isa):
    return (
        f"ImportError: PLINTOR_KERNEL_ISA='{isa}' names {{}}; "
        f"this processor runs: {', '.join(ISAS)}"
    )


# A build of another architecture is no build here either.
OTHER_ARCHITECTURE = "sse2" if "neon" in BUILDS else "neon"


@pytest.mark.parametrize("isa", ["avx9", "SSE2", "sse2,avx2", OTHER_ARCHITECTURE])
def test_an_unknown_build_is_refused_at_import(isa):
    run = python(IMPORT, isa)
    assert run.returncode != 0
    assert refusal(isa).format("no build of the frame loops") in run.stderr.decode()


@pytest.mark.parametrize("isa", [isa for isa in BUILDS if isa not in ISAS] or ["none"])
def test_a_build_the_processor_cannot_run_is_refused_at_import(isa):
    if isa == "none":
        pytest.skip("this processor runs every build")
    run = python(IMPORT, isa)
    assert run.returncode != 0
    assert refusal(isa).format("a build this processor cannot run") in run.stderr.decode()


def test_an_empty_value_names_no_build():
    assert python(IMPORT, "").returncode == 0


def test_the_variable_is_read_once_at_import(monkeypatch):
    from plintor.model._kernels import decode

    monkeypatch.setenv("PLINTOR_KERNEL_ISA", "avx9")
    assert decoded(decode(**decode_args())) == decoded(decode(**decode_args()))


def test_the_switch_is_not_part_of_the_module():
    from plintor.model import _kernels

    assert not [name for name in dir(_kernels) if "isa" in name.lower()]


if __name__ == "__main__" and sys.argv[1:] == ["--child"]:
    sys.stdout.buffer.write(pickle.dumps(child_results()))
