#!/usr/bin/env bash
# Fuzzing, briefly: the core's libFuzzer target (clang, ASan, UBSan) from the seed corpus, then the
# random-call harness against the module on CPython 3.9. Usage: fuzz-smoke.sh [--full] [seconds for
# libFuzzer] (60 by default; --full, which test-all.sh passes on, changes nothing here); the README says
# how to run both for longer.
set -uo pipefail
cd "$(dirname "$0")/../.." || exit 1
source scripts/ci-extra/common.bash

seconds=60
for arg in "$@"; do
  case $arg in
    --full) ;;
    *[!0-9]* | "") echo "usage: fuzz-smoke.sh [--full] [seconds]" >&2; exit 2 ;;
    *) seconds=$arg ;;
  esac
done
{ need_packages cmake ninja-build && need_clang_fuzzer; } || exit 1
echo "== building the core's fuzz target"
CC=clang CXX=clang++ cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUILLFEN_FUZZ=ON \
  -DQUILLFEN_BUILD_PYTHON=OFF >/dev/null && cmake --build build/fuzz -j 2 >/dev/null || { echo "fuzz build failed"; exit 1; }

failed=0
echo "== libFuzzer, $seconds s"
mkdir -p build/fuzz/corpus
build/fuzz/quillfen_core_fuzz -max_total_time="$seconds" -print_final_stats=1 -artifact_prefix=build/fuzz/ \
  build/fuzz/corpus tests/fuzz/corpus/core 2>build/fuzz/fuzz.log
status=$?
grep -E "DONE|stat::number_of_executed_units|check failed|ERROR:|SUMMARY:" build/fuzz/fuzz.log
[ $status -eq 0 ] || { failed=1; tail -n 40 build/fuzz/fuzz.log; }

python=$(python39) || exit 1
echo "== random calls on the module (hypothesis, profile fuzz-smoke)"
build_module "$python" build/ci-extra-py3.9 -DCMAKE_BUILD_TYPE=Release || { echo "module build failed"; exit 1; }
PYTHONPATH="$PWD/build/ci-extra-py3.9" "$python" -m pytest -q -p no:cacheprovider tests/fuzz \
  --hypothesis-profile=fuzz-smoke | tail -n 3
[ "${PIPESTATUS[0]}" -eq 0 ] || failed=1
exit $failed
