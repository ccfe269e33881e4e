#!/usr/bin/env bash
# Every test: builds vorel with its C++ tests and runs them with ctest, runs them again under
# AddressSanitizer and UBSan, runs the tests of the code that uses threads under ThreadSanitizer,
# then the Python suite with pytest. Each stage says how long it took.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
export CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}"
jobs="${VOREL_TEST_JOBS:-$(nproc)}"

# Processor time of this script's finished children, in seconds: with the wall time it tells what
# a machine with fewer cores would take.
tick=$(getconf CLK_TCK)
cpu() {
  local stat
  read -r stat </proc/$$/stat
  set -- ${stat##*) }
  echo $(((${14} + ${15}) / tick))
}
times=()
began=$SECONDS
stage() {
  echo "== $1"
  stage_name=$1
  stage_began=$SECONDS
  stage_cpu=$(cpu)
}
staged() {
  times+=("$(printf '%6d s %7d s  %s' $((SECONDS - stage_began)) $(($(cpu) - stage_cpu)) "$stage_name")")
  echo "-- ${times[-1]}"
}
summary() {
  echo "== Time of each stage (wall, processor)"
  printf '%s\n' "${times[@]}"
  printf '%6d s %7d s  in all\n' $((SECONDS - began)) "$(cpu)"
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
UBSAN_OPTIONS=print_stacktrace=1 ctest_in "$root/build/asan"
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
