"""Runs every benchmark in this folder, one after the other."""

import runpy
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent


def main() -> None:
    sys.path.insert(0, str(HERE))
    for script in sorted(HERE.glob("bench_*.py")):
        print(f"== {script.stem}", flush=True)
        runpy.run_path(str(script), run_name="__main__")
        print(flush=True)


if __name__ == "__main__":
    main()
