#!/usr/bin/env bash
# Leak checks on CPython 3.9: every method 100,000 times on each of its paths, with resident memory,
# the C heap, the interpreter's object count and tracemalloc watched; each path's figures are printed.
set -uo pipefail
cd "$(dirname "$0")/../.." || exit 1
source scripts/ci-extra/common.bash

python=$(python39) || exit 1
build_module "$python" build/ci-extra-py3.9 -DCMAKE_BUILD_TYPE=Release || { echo "module build failed"; exit 1; }
PYTHONPATH="$PWD/build/ci-extra-py3.9" "$python" -m pytest -q -s -p no:cacheprovider tests/soak |
  grep -E "calls|passed|failed|Error"
exit "${PIPESTATUS[0]}"
