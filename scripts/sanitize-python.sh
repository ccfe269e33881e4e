#!/usr/bin/env bash
# The Python tests against a build of the extension module under a sanitizer, run by hand:
#
#   bash scripts/sanitize-python.sh thread  [pytest arguments]   # ThreadSanitizer
#   bash scripts/sanitize-python.sh address [pytest arguments]   # AddressSanitizer and UBSan
#
# Without pytest arguments it runs the tests of clusters, clients and the store's road for a joined
# node, where the module's own threads meet the loop's. The sanitized module is built in
# build/<kind>-py and loaded ahead of the installed one; reports go to /tmp/vorel-<kind>.*, and the
# script fails when there is one. Run `bash scripts/build.sh --tests` first. The sanitizer's runtime
# is preloaded into every process the tests start, so tests that start database servers or tools of
# their own (test_sql.py's server kills, test_sql_tls.py) fail here for that reason alone.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
kind=${1:?thread or address}
shift
case "$kind" in
  thread) runtime=$(g++ -print-file-name=libtsan.so) ;;
  address) runtime="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libubsan.so)" ;;
  *) echo "thread or address, not $kind" >&2; exit 2 ;;
esac
py="$root/.venv/bin/python"
build="$root/build/$kind-py"
cmake -S "$root" -B "$build" -G Ninja -DVOREL_SANITIZE="$kind" -DVOREL_TESTS=ON -DPython_EXECUTABLE="$py" \
  -DCMAKE_CXX_COMPILER_LAUNCHER=ccache >/dev/null
cmake --build "$build" --target _vorel

package=$(mktemp -d)
trap 'rm -rf "$package"; "$root/scripts/databases.sh" stop >/dev/null 2>&1 || true' EXIT
cp -r "$root/python/vorel" "$package/"
rm -f "$package"/vorel/_vorel*.so
cp "$build"/_vorel*.so "$package/vorel/"

eval "$("$root/scripts/databases.sh" start)"
reports=/tmp/vorel-$kind
rm -f "$reports".*
if [ $# -eq 0 ]; then
  set -- -q "$root"/tests/python/test_cluster*.py "$root"/tests/python/test_entered.py \
    "$root"/tests/python/test_client.py "$root"/tests/python/test_sql_carry.py
fi
status=0
PYTHONPATH="$package" LD_PRELOAD="$runtime" \
  TSAN_OPTIONS="log_path=$reports halt_on_error=0 report_signal_unsafe=0" \
  ASAN_OPTIONS="detect_leaks=0 log_path=$reports" UBSAN_OPTIONS="log_path=$reports print_stacktrace=1" \
  "$py" -m pytest -p no:cacheprovider "$@" || status=$?
if compgen -G "$reports.*" >/dev/null; then
  echo "sanitizer reports: $(ls "$reports".*)" >&2
  status=1
fi
exit "$status"
