"""The benchmark suite: every kernel beside its baseline, in one run.

    python bench/run.py [--json FILE] [--repeat N]

Times are the best of several runs, since the machine is shared; the ratios between
rows of the same run are what to read.  Sections: the machine (bandwidth, huge pages),
_split_layout, decode (three grids, two frame counts, the CSR baseline, threads),
ForwardDecoder (step against the sequential-sum floor, construction), and the
portable build against a -march=native one and each instruction-set variant, and
offline beat tracking against the bare decode.
"""

import argparse
import json
import os
import sys
import tempfile
from pathlib import Path

# The kernels use no BLAS, but idle OpenBLAS threads spin on the shared cores.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

sys.path.insert(0, str(Path(__file__).resolve().parent))

import bench_decode
import bench_forward
import bench_machine
import bench_native
import bench_split_layout
import bench_tracking
from common import build_library, standard_grids

SECTIONS = {
    "machine": bench_machine,
    "split_layout": bench_split_layout,
    "decode": bench_decode,
    "forward": bench_forward,
    "native": bench_native,
    "tracking": bench_tracking,
}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--json", type=Path, help="also write the results to this file")
    parser.add_argument("--repeat", type=int, default=3, help="runs per timing (best taken)")
    parser.add_argument("--only", nargs="+", choices=SECTIONS, help="run only these sections")
    options = parser.parse_args()
    grids = standard_grids()
    forced = os.environ.get("PLINTOR_KERNEL_ISA")
    print(f"frame loops: {forced} (PLINTOR_KERNEL_ISA)" if forced else
          "frame loops: the widest build this processor runs")  # fmt: skip
    for grid in grids:
        print(f"{grid.name} grid: {grid.num_states} states, {grid.num_edges} edges")
    results = {"grids": {g.name: [g.num_states, g.num_edges] for g in grids}}
    with tempfile.TemporaryDirectory() as workdir:
        lib = build_library(Path(workdir))
        for name, module in SECTIONS.items():
            if options.only and name not in options.only:
                continue
            print(f"\n== {name}", flush=True)
            results[name] = module.run(grids, lib, options.repeat)
    if options.json:
        options.json.write_text(json.dumps(results, indent=2))


if __name__ == "__main__":
    main()
