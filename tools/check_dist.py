"""Checks the distributions in a directory, as `make check-dist` builds them.

The wheel must hold the compiled module, its stubs, ``py.typed`` and the
package's Python modules, and no C++ source or header; the sdist must hold
every file that git tracks, so that it builds from scratch.  Prints the
wheel's files and exits with status 1 on the first problem.
"""

import subprocess
import sys
import tarfile
import zipfile
from pathlib import Path, PurePosixPath

CPP_SUFFIXES = {".cpp", ".hpp", ".h", ".cc", ".hh", ".c"}


def only(paths: list[Path], pattern: str) -> Path:
    if len(paths) != 1:
        sys.exit(f"error: expected one {pattern} in the directory, found {len(paths)}")
    return paths[0]


def check_wheel(wheel: Path, python_modules: set[str]) -> None:
    with zipfile.ZipFile(wheel) as archive:
        names = sorted(archive.namelist())
    print(f"{wheel.name}:")
    for name in names:
        print(f"  {name}")
    package = {name for name in names if name.startswith("plintor/")}
    cpp = sorted(name for name in package if PurePosixPath(name).suffix in CPP_SUFFIXES)
    if cpp:
        sys.exit(f"error: the wheel holds C++ files: {', '.join(cpp)}")
    modules = [name for name in package if PurePosixPath(name).name.startswith("_kernels.")]
    if not any(name.endswith((".so", ".pyd")) for name in modules):
        sys.exit("error: the wheel holds no compiled plintor.model._kernels")
    expected = python_modules | {"plintor/model/_kernels.pyi", "plintor/model/py.typed"}
    if missing := sorted(expected - package):
        sys.exit(f"error: the wheel lacks {', '.join(missing)}")
    if extra := sorted(package - expected - set(modules)):
        sys.exit(f"error: the wheel holds unexpected files: {', '.join(extra)}")


def check_sdist(sdist: Path, tracked: list[str]) -> None:
    with tarfile.open(sdist) as archive:
        names = {name.split("/", 1)[1] for name in archive.getnames() if "/" in name}
    if missing := sorted(set(tracked) - names):
        sys.exit(f"error: the sdist lacks {', '.join(missing)}")
    print(f"{sdist.name}: all {len(tracked)} tracked files")


def main() -> None:
    directory = Path(sys.argv[1])
    tracked = subprocess.run(
        ["git", "ls-files"], capture_output=True, text=True, check=True
    ).stdout.split()
    python_modules = {
        name.removeprefix("src/")
        for name in tracked
        if name.startswith("src/plintor/") and name.endswith(".py")
    }
    check_wheel(only(sorted(directory.glob("*.whl")), "wheel"), python_modules)
    check_sdist(only(sorted(directory.glob("*.tar.gz")), "sdist"), tracked)


if __name__ == "__main__":
    main()
