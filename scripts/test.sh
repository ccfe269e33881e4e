#!/usr/bin/env bash
# Every test: builds vorel with its C++ tests and runs them with ctest, runs them again under
# AddressSanitizer and UBSan, runs the tests of the code that uses threads under ThreadSanitizer,
# then the Python suite with pytest. Each stage says how long it took.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
export CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}"
jobs="${VOREL_TEST_JOBS:-$(nproc)}"

times=()
began=$SECONDS
stage() {
  echo "== $1"
  stage_name=$1
  stage_began=$SECONDS
}
staged() { times+=("$(printf '%5d s  %s' $((SECONDS - stage_began)) "$stage_name")"); }
summary() {
  echo "== Time of each stage"
  printf '%s\n' "${times[@]}"
  printf '%5d s  in all\n' $((SECONDS - began))
}

stage "Build"
py=$("$root/scripts/build.sh" --tests | tail -n 1)
bin=$(dirname "$py")
staged

trap '"$root/scripts/databases.sh" stop' EXIT
eval "$("$root/scripts/databases.sh" start)"

ctest_in() { "$bin/ctest" --test-dir "$1" --output-on-failure -j "$jobs"; }

# A sanitized build of the C++ tests in build/NAME; its log is shown only when it fails.
sanitized() {
  local name=$1 sanitizer=$2
  "$bin/cmake" -S "$root" -B "$root/build/$name" -G Ninja -DCMAKE_MAKE_PROGRAM="$bin/ninja" -DVOREL_MODULE=OFF \
    -DVOREL_TESTS=ON -DVOREL_SANITIZE="$sanitizer" -DVOREL_TEST_TIMEOUT=600 -Wno-author >/dev/null
  "$bin/cmake" --build "$root/build/$name" --target vorel_tests >"$root/build/$name.log" 2>&1 ||
    { cat "$root/build/$name.log"; exit 1; }
}

stage "C++ tests"
ctest_in "$root/build/main"
staged

stage "Build under AddressSanitizer and UBSan"
sanitized asan address
staged
stage "C++ tests under AddressSanitizer and UBSan"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1 ctest_in "$root/build/asan"
staged

stage "Build under ThreadSanitizer"
sanitized tsan thread
staged
stage "C++ tests that use threads, under ThreadSanitizer"
TSAN_OPTIONS=second_deadlock_stack=1 ctest_in "$root/build/tsan"
staged

stage "Python tests"
cd "$root"
"$py" -m pytest -q -p no:cacheprovider "$@"
staged
summary
