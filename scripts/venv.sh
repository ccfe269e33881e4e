#!/usr/bin/env bash
# Makes .venv with a Python 3.12 or later and installs the Python tools of the build and the tests.
# Prints the venv's python path on the last line.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
venv="$root/.venv"

is_ok() { "$1" -c 'import sys; sys.exit(0 if sys.version_info >= (3, 12) else 1)' >/dev/null 2>&1; }

find_python() {
  local c
  for c in python3.14 python3.13 python3.12 python3; do
    if command -v "$c" >/dev/null 2>&1 && is_ok "$(command -v "$c")"; then command -v "$c"; return; fi
  done
  local pyenv_root="${PYENV_ROOT:-$HOME/.pyenv}"
  for c in $(ls -d "$pyenv_root"/versions/3.* 2>/dev/null | sort -V -r); do
    if [ -x "$c/bin/python3" ] && is_ok "$c/bin/python3"; then echo "$c/bin/python3"; return; fi
  done
  return 1
}

if [ ! -x "$venv/bin/python" ] || ! is_ok "$venv/bin/python"; then
  if ! py=$(find_python); then
    echo "error: vorel needs Python 3.12 or later; looked for python3.14, python3.13, python3.12 and python3 on PATH" >&2
    echo "       and in ${PYENV_ROOT:-$HOME/.pyenv}/versions/3.*, and found none" >&2
    exit 1
  fi
  echo "using $py ($("$py" --version))" >&2
  rm -rf "$venv"
  "$py" -m venv "$venv"
fi
"$venv/bin/python" -m pip install -q --disable-pip-version-check -r "$root/requirements-dev.txt" >&2
echo "$venv/bin/python"
