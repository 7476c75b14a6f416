#!/usr/bin/env bash
# AddressSanitizer and UndefinedBehaviorSanitizer over everything: the C++ tests with leak detection,
# then the Python tests on CPython 3.9 with the sanitizer runtime preloaded. The build also fails
# chosen allocations (QUILLFEN_FAULT_INJECTION), so the allocation-failure sweeps run under the
# sanitizers too; their report is printed at the end.
set -uo pipefail
cd "$(dirname "$0")/../.." || exit 1
source scripts/ci-extra/common.bash

python=$(python39) || exit 1
build=build/asan
echo "== building with ASan and UBSan ($python)"
build_module "$python" "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUILLFEN_SANITIZE=ON -DQUILLFEN_FAULT_INJECTION=ON \
  -DQUILLFEN_BUILD_TESTS=ON || { echo "sanitizer build failed"; exit 1; }

failed=0
echo "== C++ tests (leak detection on)"
(cd "$build" && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 ctest --output-on-failure) | tail -n 3
[ "${PIPESTATUS[0]}" -eq 0 ] || failed=1

echo "== Python tests on 3.9 under the sanitizers"
# The C++ runtime is preloaded too: the sanitizer looks up the real __cxa_throw when it starts, and
# without it the module's first exception (a std::bad_alloc) would stop the process.
LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so)" PYTHONMALLOC=malloc ASAN_OPTIONS=detect_leaks=0 \
  UBSAN_OPTIONS=print_stacktrace=1 PYTHONPATH="$PWD/$build" \
  "$python" -m pytest -q -p no:cacheprovider tests/python | tail -n 5
[ "${PIPESTATUS[0]}" -eq 0 ] || failed=1

if [ -f "$build/alloc-faults-report.txt" ]; then
  echo "== allocation failures injected"
  head -n 2 "$build/alloc-faults-report.txt"
  grep -E "^allocation sites" "$build/alloc-faults-report.txt"
fi
exit $failed
