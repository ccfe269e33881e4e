#!/usr/bin/env bash
# The main job: builds vorel and runs the one-process demo.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
py=$("$root/scripts/build.sh" | tail -n 1)
mkdir -p "$root/build"
exec "$py" "$root/examples/demo.py" "${1:-$root/build/demo.sqlite3}"
