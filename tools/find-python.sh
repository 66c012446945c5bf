#!/bin/sh
# Prints the path of a CPython 3.13 interpreter, or explains how to get one.
is_313() {
    "$1" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 13))' >/dev/null 2>&1
}
pyenv_root=$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")
for candidate in "$PYTHON" python3.13 "$pyenv_root"/versions/3.13*/bin/python3.13 \
    /usr/local/bin/python3.13 /usr/bin/python3.13; do
    if [ -n "$candidate" ] && is_313 "$candidate"; then
        command -v "$candidate"
        exit 0
    fi
done
cat >&2 <<'MSG'
error: no CPython 3.13 interpreter found.
plintor needs CPython 3.13 with its venv module and development headers. Get one with
  pyenv install 3.13            (then re-run this command), or
  apt-get install python3.13 python3.13-venv python3.13-dev   (where your distribution has it),
or point to one explicitly:  make test PYTHON=/path/to/python3.13
MSG
exit 1
