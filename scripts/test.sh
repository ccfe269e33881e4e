#!/usr/bin/env bash
# Every test: builds vorel with its C++ tests, runs them with ctest, then the Python suite with pytest.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
py=$("$root/scripts/build.sh" --tests | tail -n 1)
trap '"$root/scripts/databases.sh" stop' EXIT
eval "$("$root/scripts/databases.sh" start)"
echo "== C++ tests"
ctest --test-dir "$root/build/main" --output-on-failure
echo "== Python tests"
cd "$root"
"$py" -m pytest -q -p no:cacheprovider "$@"
