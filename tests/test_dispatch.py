"""Every instruction-set build of the frame loops gives the plain loops' results, bit for bit.

The module picks the widest build the processor runs; PLINTOR_KERNEL_ISA forces a
narrower one (read by decode at each call and by ForwardDecoder at construction).  The
grids here are large enough for the vector paths: lanes longer than a vector, boundaries
with more edges than a vector has lanes, sources in consecutive slots or shuffled, and
scores with ties, signed zeros, minus infinity and NaN.
"""

from pathlib import Path

import numpy as np
import pytest
from test_decode import reference as reference_decode
from test_decode import same
from test_forward import Watched, bits, reference_forward, replace_layout

from plintor.model import _kernels
from plintor.model._kernels import ForwardDecoder, decode

F32, U32 = np.float32, np.uint32


def supported_isas() -> list[str]:
    flags = set()
    cpuinfo = Path("/proc/cpuinfo")
    if cpuinfo.exists():
        for line in cpuinfo.read_text().splitlines():
            if line.startswith("flags"):
                flags.update(line.split(":", 1)[1].split())
                break
    return ["sse2"] + [
        isa for isa, flag in (("avx2", "avx2"), ("avx512", "avx512f")) if flag in flags
    ]


ISAS = supported_isas()


def lane_graph(rng, domain: str):
    """Lanes of 1 to 40 states; each lane's first state is entered from the last states of
    a run of lanes, in lane order or shuffled.  Returns pred, ptr, weight, columns."""
    lengths = rng.integers(1, 41, rng.integers(1, 30))
    ends = np.cumsum(lengths) - 1
    n, num_cols = int(lengths.sum()), int(rng.integers(1, 17))
    starts = set((ends + 1)[:-1].tolist()) | {0}
    identity = 0.0 if domain == "log" else 1.0
    values = [0.0, -0.0, -0.5, -1.0, -np.inf] if domain == "log" else [0.0, 0.25, 0.5, 1.0]
    pred, weight, ptr = [], [], [0]
    for s in range(n):
        if s in starts:
            first = int(rng.integers(0, len(ends)))
            sources = ends[first : first + int(rng.integers(1, len(ends) + 1))].tolist()
            if rng.random() < 0.3:
                rng.shuffle(sources)
            weight += rng.choice(values, len(sources)).tolist()
        else:
            sources = [s - 1]
            weight.append(identity if rng.random() < 0.95 else rng.choice(values))
        pred += sources
        ptr.append(len(pred))
    change = np.flatnonzero(rng.random(n) < 0.1)
    columns = np.zeros(n, U32)
    for lo in change:
        columns[lo:] = rng.integers(0, num_cols)
    graph = (np.array(pred, U32), np.array(ptr, U32), np.array(weight, F32), columns)
    return graph, num_cols


def decode_case(seed: int):
    rng = np.random.default_rng(seed)
    (pred, ptr, log_prob, columns), num_cols = lane_graph(rng, "log")
    scores = np.array([0.0, -0.0, -0.25, -1.0, -2.0, -np.inf, np.nan], F32)
    weights = np.array([40, 2, 10, 10, 10, 1, 0.2 if seed % 3 == 0 else 0])
    pick = lambda shape: rng.choice(scores, shape, p=weights / weights.sum())  # noqa: E731
    log_dens = pick((int(rng.integers(0, 12)), num_cols)).astype(F32)
    log_initial = pick(len(columns)).astype(F32)
    renorm_period = int(rng.choice([0, 1, 2, 5, 1024]))
    return pred, ptr, log_prob, log_dens, columns, log_initial, renorm_period


def forward_case(seed: int):
    rng = np.random.default_rng(seed)
    (pred, ptr, prob, columns), num_cols = lane_graph(rng, "linear")
    dens = rng.choice(np.array([0.0, -0.0, 0.5, 1.0, 0.75, 2.0], F32), (10, num_cols))
    initial = rng.choice(np.array([0.0, 1e-3, 0.25, 1.0], F32), len(columns))
    return (pred, ptr, prob, columns, initial), dens.astype(F32)


@pytest.mark.parametrize("isa", ISAS)
@pytest.mark.parametrize("seed", range(40))
def test_decode_variant_matches_the_plain_recursion(isa, seed, monkeypatch):
    monkeypatch.setenv("PLINTOR_KERNEL_ISA", isa)
    args = decode_case(seed)
    with np.errstate(all="ignore"):
        want_path, want_lp = reference_decode(*args)
    path, lp = decode(*args)
    np.testing.assert_array_equal(path, want_path)
    assert same(lp, want_lp)


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


@pytest.mark.parametrize("isa", ISAS)
@pytest.mark.parametrize("seed", range(40))
@pytest.mark.parametrize("reorder", [False, True], ids=["in_order", "reversed"])
def test_step_variant_matches_the_plain_recursion(isa, seed, reorder, monkeypatch):
    """Also with the boundaries and runs out of state order, which take the general loops."""
    monkeypatch.setenv("PLINTOR_KERNEL_ISA", isa)
    if reorder:
        replace_layout(monkeypatch, reversed_layout)
    (pred, ptr, prob, columns, initial), dens = forward_case(seed)
    with np.errstate(all="ignore"):
        want_out, want_belief = reference_forward((pred, ptr, prob, columns), initial, dens)
    watched = Watched(pred, ptr, prob, columns, initial)
    assert watched.step(dens[:3]).tolist() + watched.step(dens[3:]).tolist() == want_out
    assert bits(watched.belief) == bits(want_belief)


@pytest.mark.parametrize("isa", ISAS)
def test_variants_agree_on_a_long_sequence(isa, monkeypatch):
    """Hundreds of frames over a grid with long lanes: every build, the same bits."""
    rng = np.random.default_rng(7)
    (pred, ptr, log_prob, columns), num_cols = lane_graph(rng, "log")
    log_dens = np.log(rng.uniform(0.01, 1, (600, num_cols))).astype(F32)
    log_initial = np.full(len(columns), -np.log(len(columns)), F32)
    args = (pred, ptr, log_prob, log_dens, columns, log_initial, 64)
    prob = np.exp(log_prob).astype(F32)
    forward_args = (pred, ptr, prob, columns, np.exp(log_initial).astype(F32))
    results = {}
    for variant in ("sse2", isa):
        monkeypatch.setenv("PLINTOR_KERNEL_ISA", variant)
        path, lp = decode(*args)
        out = ForwardDecoder(*forward_args).step(np.exp(log_dens).astype(F32))
        results[variant] = (path.tolist(), np.float64(lp).tobytes(), out.tolist())
    assert results[isa] == results["sse2"]


def test_the_switch_is_not_part_of_the_module():
    assert not [name for name in dir(_kernels) if "isa" in name.lower()]
