"""The portable build beside a -march=native build, and each instruction-set variant.

The shipped module is built for the x86-64 baseline and picks its SSE2, AVX2 or AVX-512
frame loops when it is imported.  For comparison this builds the same sources with
PLINTOR_NATIVE=ON (every unit for this machine's processor) into build/native, and
times decode and step in fresh interpreters, alternating between the builds so that both
see the same load.  PLINTOR_KERNEL_ISA forces each variant in the portable build, each in
an interpreter of its own; a variant the processor cannot run is left out.  Each
interpreter also times, in turns with its own, the literal Viterbi loops (literal.py)
and the sequential-sum floor (bench_forward.py), so every build's row has its own ratios.

Run as a script with --worker LIBRARY [DIR] it is the timed interpreter itself, with the
benchmark's reference library at LIBRARY.
"""

import ctypes
import json
import os
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
NATIVE_TARGET = ROOT / "build" / "native-install"
ROUNDS = 3


def build_native() -> None:
    command = [
        sys.executable, "-m", "pip", "install", "--quiet", "--no-deps",
        "--upgrade", "--target", str(NATIVE_TARGET), "-Cbuild-dir=build/native",
        "-Ccmake.define.PLINTOR_NATIVE=ON", ".",
    ]  # fmt: skip
    subprocess.run(command, check=True, cwd=ROOT)


def run_worker(library: str, target: Path | None, isa: str | None) -> dict | None:
    """The worker's timings, or None for a forced build this processor cannot run,
    which the module refuses to import."""
    env = {k: v for k, v in os.environ.items() if k != "PLINTOR_KERNEL_ISA"}
    if isa:
        env["PLINTOR_KERNEL_ISA"] = isa
    command = [sys.executable, __file__, "--worker", library] + ([str(target)] if target else [])
    output = subprocess.run(command, check=False, env=env, capture_output=True, text=True)
    if isa and output.returncode != 0 and "cannot run" in output.stderr:
        return None
    output.check_returncode()
    return json.loads(output.stdout)


def run(grids, lib, repeat: int) -> dict:
    build_native()
    builds = {"portable": (None, None), "native": (NATIVE_TARGET, None)}
    builds |= {f"portable {isa}": (None, isa) for isa in ("sse2", "avx2", "avx512")}
    best: dict[str, dict] = {}
    for _ in range(ROUNDS):
        for name, (target, isa) in builds.items():
            result = run_worker(lib._name, target, isa)
            if result is None:
                continue
            kept = best.setdefault(name, result)
            for key, value in result.items():
                kept[key] = min(kept[key], value)
    base = best["portable"]
    print(f"{'build':18}{'decode us/frame':>17}{'vs literal':>12}{'step us/frame':>15}"
          f"{'vs floor':>10}{'vs portable':>14}")  # fmt: skip
    for name, r in best.items():
        print(
            f"{name:18}{r['decode']:>17.3f}{r['literal_decode'] / r['decode']:>11.2f}x"
            f"{r['step']:>15.3f}{r['step'] / r['floor']:>10.2f}"
            f"{r['decode'] / base['decode']:>8.2f} /{r['step'] / base['step']:>5.2f}"
        )
    return {"builds": best}


def worker() -> None:
    if len(sys.argv) > 3:
        sys.path.insert(0, sys.argv[3])
    sys.path.insert(1, str(Path(__file__).resolve().parent))
    from bench_forward import floor_per_frame
    from common import best_of, densities, log_densities, standard_grids
    from literal import literal_decode

    from plintor.model._kernels import ForwardDecoder, decode

    lib = ctypes.CDLL(sys.argv[2])

    grid = standard_grids()[0]
    log_dens, dens = log_densities(30_000), densities(30_000)
    args = (grid.pred, grid.ptr, grid.log_prob, log_dens, grid.columns, grid.log_initial)
    decoder = ForwardDecoder(grid.pred, grid.ptr, grid.prob, grid.columns, grid.initial)
    pieces = [dens[i : i + 100] for i in range(0, len(dens), 100)]

    def steps():
        for piece in pieces:
            decoder.step(piece)

    plain_decode = literal_decode(lib, grid)
    timed = {
        "decode": (lambda: decode(*args), len(log_dens)),
        "literal_decode": (lambda: plain_decode(*args), len(log_dens)),
        "step": (steps, len(dens)),
    }
    result = {key: float("inf") for key in [*timed, "floor"]}
    for _ in range(3):
        for key, (run, frames) in timed.items():
            result[key] = min(result[key], best_of(run, 1) / frames * 1e6)
        result["floor"] = min(result["floor"], floor_per_frame(lib, grid.num_states, 1) * 1e6)
    print(json.dumps(result))


if __name__ == "__main__" and sys.argv[1:2] == ["--worker"]:
    worker()
