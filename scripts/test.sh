#!/usr/bin/env bash
# Every test: builds vorel with its C++ tests, runs them with ctest, the fuzz tests under the sanitizers, then the Python suite with pytest.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
py=$("$root/scripts/build.sh" --tests | tail -n 1)
bin=$(dirname "$py")
export CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}"
echo "== C++ tests"
"$bin/ctest" --test-dir "$root/build/main" --output-on-failure
echo "== Fuzz tests under AddressSanitizer and UBSan"
"$bin/cmake" -S "$root" -B "$root/build/fuzz" -G Ninja -DCMAKE_MAKE_PROGRAM="$bin/ninja" -DVOREL_MODULE=OFF -DVOREL_TESTS=ON -DVOREL_SANITIZE=ON -Wno-author >/dev/null
"$bin/cmake" --build "$root/build/fuzz" --target vorel_tests >"$root/build/fuzz.log" || { cat "$root/build/fuzz.log"; exit 1; }
"$root/build/fuzz/vorel_tests" --gtest_brief=1 --gtest_filter='*Fuzz*'
echo "== Python tests"
cd "$root"
"$py" -m pytest -q -p no:cacheprovider "$@"
