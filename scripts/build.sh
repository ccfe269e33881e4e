#!/usr/bin/env bash
# Builds and installs vorel into .venv; with --tests, the C++ tests are built in the same tree.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/system-deps.sh"
py=$("$root/scripts/venv.sh" | tail -n 1)
tests=OFF
[ "${1:-}" = "--tests" ] && tests=ON
export CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}"
"$py" -m pip install -q --disable-pip-version-check --no-build-isolation \
  -Cbuild-dir="$root/build/main" -Ccmake.define.VOREL_TESTS=$tests "$root" >&2
echo "$py"
