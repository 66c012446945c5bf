#!/bin/sh
# Prints the path of a CPython interpreter of the version given as the first
# argument (default 3.13), or explains how to get one.  $PYTHON, when set,
# is tried first.
version=${1:-3.13}
is_version() {
    "$1" -c "import sys; sys.exit(sys.implementation.name != 'cpython' or
        '%d.%d' % sys.version_info[:2] != '$version')" >/dev/null 2>&1
}
pyenv_root=$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")
for candidate in "$PYTHON" "python$version" "$pyenv_root/versions/$version"*/bin/"python$version" \
    "/usr/local/bin/python$version" "/usr/bin/python$version"; do
    if [ -n "$candidate" ] && is_version "$candidate"; then
        "$candidate" -c 'import sys; print(sys.executable)'
        exit 0
    fi
done
cat >&2 <<MSG
error: no CPython $version interpreter found.
plintor needs CPython $version with its venv module and development headers. Get one with
  pyenv install $version            (then re-run this command), or
  apt-get install python$version python$version-venv python$version-dev   (where your distribution has it),
or point to one explicitly:  make test PYTHON=/path/to/python$version
MSG
exit 1
