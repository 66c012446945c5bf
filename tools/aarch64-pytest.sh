#!/bin/sh
# Runs part of the test suite against a cross-built aarch64 extension under
# qemu-aarch64, with Debian's aarch64 CPython and NumPy (tools/aarch64-root.sh)
# and the aarch64 wheels of pytest and Hypothesis.  The tests that start a
# child interpreter are left out: qemu-user cannot start an aarch64 program
# from one without binfmt_misc.
# Usage: aarch64-pytest.sh ROOT EXTENSION HOST_PYTHON STAGE
set -eu
root=$(realpath "$1")
extension=$2
host_python=$3
stage=$4
rm -rf "$stage/plintor"
mkdir -p "$stage"
cp -r src/plintor "$stage/"
find "$stage/plintor" \( -name '*.cpp' -o -name '*.hpp' \) -delete
cp "$extension" "$stage/plintor/model/"
if [ ! -d "$stage/site/pytest" ]; then
    "$host_python" -m pip install --quiet --target "$stage/site" --only-binary=:all: \
        --implementation cp --python-version 3.11 --platform manylinux_2_17_aarch64 \
        --platform manylinux2014_aarch64 --platform manylinux_2_28_aarch64 \
        "pytest>=8" "hypothesis>=6.100"
fi
PYTHONPATH="$(realpath "$stage"):$(realpath "$stage/site")" \
    qemu-aarch64 -L "$root" "$root/usr/bin/python3.11" -c \
    'import platform, sys, numpy; print("running on", platform.machine(), "CPython",
     sys.version.split()[0], "NumPy", numpy.__version__)'
PYTHONPATH="$(realpath "$stage"):$(realpath "$stage/site")" \
    qemu-aarch64 -L "$root" "$root/usr/bin/python3.11" -m pytest -q -p no:cacheprovider \
    tests/test_decode.py tests/test_forward.py tests/test_split_layout.py tests/test_module.py \
    -k "not TestImport"
