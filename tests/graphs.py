"""Transition graphs and reference recursions, shared by the tests and by bench/.

The references are plain transcriptions of what the kernels must compute: the
split as whole-array NumPy steps, and both recursions state by state in float32,
in the kernels' order of operations, so that results compare bit for bit.
bench/ imports this module by path.
"""

import platform
import struct
import subprocess
import sys
from pathlib import Path

import numpy as np

F32, U32 = np.float32, np.uint32
INF = np.inf


# --- Instruction sets ------------------------------------------------------------------


def frame_loop_builds() -> tuple[str, ...]:
    """The builds of the frame loops the module has on this architecture, narrowest
    first: x86-64 has three, aarch64 one, and any other processor the portable one."""
    machine = platform.machine().lower()
    if machine in ("x86_64", "amd64"):
        return ("sse2", "avx2", "avx512")
    if machine in ("aarch64", "arm64"):
        return ("neon",)
    return ("portable",)


def x86_features() -> set[str]:
    """The x86 feature flags of this processor, lower case, as Linux or macOS lists them."""
    cpuinfo = Path("/proc/cpuinfo")
    if cpuinfo.exists():
        for line in cpuinfo.read_text().splitlines():
            if line.startswith("flags"):
                return set(line.split(":", 1)[1].split())
        return set()
    if sys.platform == "darwin":
        keys = ["machdep.cpu.features", "machdep.cpu.leaf7_features"]
        listed = subprocess.run(["sysctl", "-n", *keys], capture_output=True, text=True)
        return set(listed.stdout.lower().split())
    return set()


def supported_isas() -> list[str]:
    """The instruction sets whose build of the frame loops this processor runs."""
    builds = frame_loop_builds()
    if builds[0] != "sse2":
        return list(builds)
    flags = x86_features()
    wider = [isa for isa, flag in (("avx2", "avx2"), ("avx512", "avx512f")) if flag in flags]
    return ["sse2", *wider]


# --- Graphs ----------------------------------------------------------------------------


def lane_graph(lengths, log_domain):
    """Tempo lanes of the given lengths: each lane advances its phase with the
    identity weight and is entered, at its first state, from the last state of
    every lane.  Returns (pred, ptr, weight)."""
    starts = np.cumsum([0, *lengths[:-1]])
    lasts = starts + np.asarray(lengths) - 1
    rows = []
    for i, length in enumerate(lengths):
        share = 1.0 / len(lengths)
        rows.append([(int(last), share) for last in lasts])
        rows += [[(int(starts[i]) + k - 1, 1.0)] for k in range(1, length)]
    ptr = np.cumsum([0] + [len(row) for row in rows]).astype(U32)
    pred = np.array([q for row in rows for q, _ in row], U32)
    weight = np.array([w for row in rows for _, w in row], F32)
    if log_domain:
        weight = np.log(weight)
    return pred, ptr, weight


def random_lane_graph(rng, domain: str, shuffled: float = 0.3):
    """Lanes of 1 to 40 states; each lane's first state is entered from the last states of
    a run of lanes, in lane order or, with probability `shuffled`, shuffled.  Returns pred,
    ptr, weight, columns."""
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
            if rng.random() < shuffled:
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


# --- Example arguments -------------------------------------------------------------------


def decode_args(lengths=(3, 2, 4), num_frames=5, num_cols=2, seed=0):
    """Valid keyword arguments of decode."""
    pred, ptr, log_prob = lane_graph(list(lengths), log_domain=True)
    num_states = len(ptr) - 1
    rng = np.random.default_rng(seed)
    return {
        "pred": pred,
        "ptr": ptr,
        "log_prob": log_prob,
        "log_dens": np.log(rng.random((num_frames, num_cols), dtype=F32) + F32(0.01)),
        "columns": (np.arange(num_states) % num_cols).astype(U32),
        "log_initial": np.full(num_states, -np.log(num_states), F32),
    }


def decoder_args(lengths=(3, 2, 4), num_cols=2):
    """Valid keyword arguments of ForwardDecoder."""
    pred, ptr, prob = lane_graph(list(lengths), log_domain=False)
    num_states = len(ptr) - 1
    return {
        "pred": pred,
        "ptr": ptr,
        "prob": prob,
        "columns": (np.arange(num_states) % num_cols).astype(U32),
        "initial": np.full(num_states, 1 / num_states, F32),
    }


def chunk(num_frames, num_cols=2, seed=0):
    rng = np.random.default_rng(seed)
    return rng.random((num_frames, num_cols), dtype=F32)


# --- References ------------------------------------------------------------------------


def numpy_split_layout(pred, ptr, weight, columns, identity):
    """The split as whole-array NumPy steps, the reference for the compiled one."""
    identity = float(identity)
    ptr_np = np.asarray(ptr).astype(np.int64)
    pred_np = np.asarray(pred).astype(np.int64)
    weight_np = np.asarray(weight).astype(np.float64)
    num_states = ptr_np.shape[0] - 1
    counts = np.diff(ptr_np)
    ids = np.arange(num_states)
    first = ptr_np[:num_states]
    is_det = (counts == 1) & (pred_np[first] == ids - 1) & (weight_np[first] == identity)
    bnd = np.nonzero(~is_det)[0]
    if bnd.size:
        glob = np.concatenate([np.arange(ptr_np[s], ptr_np[s + 1]) for s in bnd])
    else:
        glob = np.zeros(0, dtype=np.int64)
    bnd_orig = pred_np[glob].astype(np.uint32)
    pred_list, bnd_src = np.unique(bnd_orig, return_inverse=True)
    col_np = np.asarray(columns).astype(np.int64)
    change = np.nonzero(np.diff(col_np))[0] + 1
    run_lo = np.concatenate(([0], change)).astype(np.int64)
    run_lo[0] = 1
    run_hi = np.concatenate((change, [num_states])).astype(np.int64)
    return {
        "bnd_state": np.ascontiguousarray(bnd, dtype=np.uint32),
        "pred_list": np.ascontiguousarray(pred_list, dtype=np.uint32),
        "bnd_src": np.ascontiguousarray(bnd_src, dtype=np.uint32),
        "bnd_orig": np.ascontiguousarray(bnd_orig, dtype=np.uint32),
        "bnd_ptr": np.concatenate(([0], np.cumsum(counts[bnd]))).astype(np.int64),
        "bnd_weight": np.ascontiguousarray(weight_np[glob], dtype=np.float32),
        "bnd_dcol": np.ascontiguousarray(col_np[bnd], dtype=np.uint32),
        "run_lo": np.ascontiguousarray(run_lo),
        "run_hi": np.ascontiguousarray(run_hi),
        "run_col": np.ascontiguousarray(col_np[np.concatenate(([0], change))], dtype=np.uint32),
    }


def reference_decode(pred, ptr, log_prob, log_dens, columns, log_initial, renorm_period=1024):
    """Viterbi straight over the graph: a plain phase advance shifts, every
    other state keeps its first strictly best edge; float32 throughout."""
    n = len(ptr) - 1
    edges = [range(ptr[s], ptr[s + 1]) for s in range(n)]
    plain = [
        len(e) == 1 and (pred[e[0]], log_prob[e[0]]) == (s - 1, 0) for s, e in enumerate(edges)
    ]
    prev, offset = log_initial.copy(), 0.0
    back = np.zeros((len(log_dens), n), np.int64)
    for t, dens in enumerate(log_dens):
        cur = np.empty(n, F32)
        for s in range(n):
            density = dens[columns[s]]
            if plain[s]:
                cur[s], back[t, s] = prev[s - 1] + density, s - 1
                continue
            cur[s] = -INF
            for p in edges[s]:
                candidate = (prev[pred[p]] + log_prob[p]) + density
                if candidate > cur[s]:
                    cur[s], back[t, s] = candidate, pred[p]
        if renorm_period > 0 and (t + 1) % renorm_period == 0:
            top = cur[0]
            for score in cur[1:]:
                top = score if score > top else top
            if top > -INF:
                cur, offset = cur - top, offset + float(top)
        prev = cur
    state = int(np.argmax(prev))
    path = np.zeros(len(log_dens), np.int64)
    if prev[state] > -INF:
        for t in reversed(range(len(log_dens))):
            path[t], state = state, back[t, state]
    return path, offset + float(prev[np.argmax(prev)])


@np.errstate(all="ignore")  # IEEE results are compared, overflow and NaN included
def reference_forward(graph, initial, chunk):
    """The forward filter straight from the graph, in float32 and in the decoder's order."""
    pred, ptr, prob, columns = graph
    a, out = initial.copy(), []
    for d in chunk:
        b = np.empty_like(a)
        for s in range(len(a)):
            edges = range(ptr[s], ptr[s + 1])
            if len(edges) == 1 and pred[ptr[s]] == s - 1 and prob[ptr[s]] == 1:
                b[s] = a[s - 1] * d[columns[s]]
            else:
                acc = F32(0)
                for e in edges:
                    acc = F32(acc + a[pred[e]] * prob[e])
                b[s] = acc * d[columns[s]]
        total = np.cumsum(b, dtype=F32)[-1]  # a running sum is sequential, unlike np.sum
        best, best_s = F32(-1), 0
        if total > 0:
            b *= F32(1) / total
            for s, mass in enumerate(b):  # strictly greater: ties and NaN never win
                if mass > best:
                    best, best_s = mass, s
        out.append(best_s)
        a = b
    return out, a


# --- Decoders ------------------------------------------------------------------------


class Watched:
    """A decoder and the arrays it made at construction (pl, initial, belief,
    scratch, in that order), caught by standing in for the module's `np`."""

    def __init__(self, *args):
        made = []

        class RecordingNumpy:
            def __getattr__(self, name):
                return getattr(np, name)

            def empty(self, *a, **k):
                made.append(np.empty(*a, **k))
                return made[-1]

            def array(self, *a, **k):
                made.append(np.array(*a, **k))
                return made[-1]

        from plintor.model import _kernels

        _kernels.np = RecordingNumpy()
        try:
            self.decoder = _kernels.ForwardDecoder(*args)
        finally:
            _kernels.np = np
        self.pl, self.initial, *self.pair = made
        self.frames = 0

    def step(self, chunk):
        self.frames += len(chunk)
        return self.decoder.step(chunk)

    @property
    def belief(self):
        # The belief moves to the other buffer with every frame.
        return self.pair[self.frames % 2]


# --- Comparisons -----------------------------------------------------------------------


def same(a, b):
    """Equal bit for bit; any NaN matches any NaN."""
    return struct.pack("<d", a) == struct.pack("<d", b) or (np.isnan(a) and np.isnan(b))


def bits(values):
    return np.asarray(values, F32).view(U32).tolist()
