#!/usr/bin/env bash
# The wheel of CPython 3.9 as users get it: scripts/build-wheels.sh for the target alone (Zig's C++
# driver, manylinux_2_17, its module checked, tested, picked by pip for glibc 2.28 and 2.17, and the
# allocation-failure sweeps on that toolchain), into build/wheels/dist so dist/ is left alone. The
# other interpreters' wheels are built the same way; build-wheels.sh without options makes them all.
# Usage: wheels.sh [--full] (--full, which test-all.sh passes on, changes nothing here: the full-size
# cases have run on every interpreter's build before).
set -uo pipefail
cd "$(dirname "$0")/../.." || exit 1

for arg in "$@"; do
  case $arg in
    --full) ;;
    *) echo "usage: wheels.sh [--full]" >&2; exit 2 ;;
  esac
done
bash scripts/build-wheels.sh --sweeps --python 3.9 --out build/wheels/dist
