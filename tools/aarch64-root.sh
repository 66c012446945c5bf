#!/bin/sh
# Unpacks Debian's aarch64 CPython 3.11, with its headers and NumPy, and the
# C and C++ runtimes they need, into the directory given: a root for
# `qemu-aarch64 -L`, to cross-compile the extension against and to run it
# in.  apt-get reads the aarch64 package lists into a directory of its own
# beside the root, so the machine's own package set stays as it is.
set -eu
root=$1
[ -x "$root/usr/bin/python3.11" ] && exit 0
packages="libc6 libgcc-s1 libstdc++6 libcrypt1 libexpat1 zlib1g libffi8 libbz2-1.0 liblzma5
    libssl3 python3.11-minimal libpython3.11-minimal libpython3.11-stdlib libpython3.11-dev
    python3-numpy libblas3 liblapack3 libgfortran5"
state=$root.apt
mkdir -p "$state/lists/partial" "$state/cache/archives/partial" "$state/debs" "$root"
set -- -o Dir::State::Lists="$state/lists" -o Dir::Cache="$state/cache" \
    -o Dir::State::status=/dev/null -o Debug::NoLocking=1 -o APT::Sandbox::User=root \
    -o APT::Architecture=arm64 -o APT::Architectures=arm64
apt-get "$@" update -qq
# shellcheck disable=SC2086
(cd "$state/debs" && apt-get "$@" download -qq $packages)
for deb in "$state/debs"/*.deb; do
    dpkg -x "$deb" "$root"
done
# The links that update-alternatives makes when the packages are installed.
for library in blas lapack; do
    ln -sf "$library/lib$library.so.3" "$root/usr/lib/aarch64-linux-gnu/lib$library.so.3"
done
