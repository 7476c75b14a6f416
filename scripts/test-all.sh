#!/usr/bin/env bash
# Builds and tests without touching the interpreters themselves: the C++ core once (GoogleTest via
# CTest), then for CPython 3.9 (the target) and each of 3.10 to 3.13 that pyenv or the PATH
# provides, a virtual environment under build/venv/ (kept, so a second run is quick), the package
# installed into it from this checkout, and the Python tests run against that install. System
# packages are installed only when missing. Safe to run again.
#
# Usage: bash scripts/test-all.sh [--full]
#   --full  as CI runs it: the expensive cases at full size, then the long suites in
#           scripts/ci-extra/ (sanitizers, fuzzing, leaks, the 3.9 wheel), which install what they
#           need themselves
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1
root=$PWD

options=()
full=false
for arg in "$@"; do
  case $arg in
    --full) options+=(--full); full=true ;;
    *) echo "usage: bash scripts/test-all.sh [--full]" >&2; exit 2 ;;
  esac
done
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2}  # the machines are shared
export PIP_DISABLE_PIP_VERSION_CHECK=1

failures=()
summary=()
passed() { summary+=("$1: $2"); }
skipped() { summary+=("$1: skipped, $2"); }
failed() { failures+=("$1"); summary+=("$1: FAILED${2:+, $2}"); }

# --- Interpreters -------------------------------------------------------------------------------
minors=(9 10 11 12 13)
declare -A python_of
for minor in "${minors[@]}"; do
  python_of[$minor]=$(bash scripts/find-python.sh "3.$minor")
done

# --- System packages, only those missing ----------------------------------------------------------
missing=()
need() {  # need PACKAGE REASON: remember a missing package and say why it is wanted
  missing+=("$1")
  echo "   $1: $2"
}
echo "== checking the build tools"
command -v g++ >/dev/null 2>&1 || need g++ "compiles the core and the module"
cmake --version >/dev/null 2>&1 || need cmake "configures the builds"
command -v ninja >/dev/null 2>&1 || need ninja-build "runs the builds"
[ -f /usr/include/gtest/gtest.h ] || need libgtest-dev "the C++ core tests"
command -v ccache >/dev/null 2>&1 || need ccache "compiles the core once for the C++ tests and every interpreter"
for minor in "${minors[@]}"; do
  python=${python_of[$minor]}
  [ -n "$python" ] || continue
  # Interpreters from pyenv bring their headers and venv; the system's come in separate packages.
  "$python" -c "import sysconfig, os, sys; sys.exit(not os.path.exists(os.path.join(sysconfig.get_paths()['include'], 'Python.h')))" ||
    need "python3.$minor-dev" "the headers to build the module for $python"
  "$python" -c "import venv, ensurepip" >/dev/null 2>&1 || need "python3.$minor-venv" "virtual environments for $python"
done
if [ ${#missing[@]} -eq 0 ]; then
  echo "   all present"
else
  echo "== installing ${missing[*]} with apt-get"
  as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }
  if ! { as_root apt-get update -qq &&
         as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null; }; then
    echo "could not install ${missing[*]}: install them by hand and run again"
    exit 1
  fi
fi

# The core's objects are the same in every build below (only the binding sees the interpreter):
# compiled once, kept in the checkout's build/ like everything else.
if command -v ccache >/dev/null 2>&1; then
  export CMAKE_CXX_COMPILER_LAUNCHER=ccache CCACHE_DIR="$root/build/ccache"
fi

# --- The C++ core -----------------------------------------------------------------------------
echo "== C++ core"
mkdir -p build/cpp
if cmake -S . -B build/cpp -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUILLFEN_BUILD_TESTS=ON -DQUILLFEN_BUILD_PYTHON=OFF >/dev/null &&
   { cmake --build build/cpp > build/cpp/build.log 2>&1 || { tail -n 30 build/cpp/build.log; false; }; }; then
  (cd build/cpp && ctest --output-on-failure) > build/cpp/ctest.log 2>&1
  status=$?
  tail -n 4 build/cpp/ctest.log
  result=$(grep -E 'tests passed|tests failed' build/cpp/ctest.log | tail -n 1)
  if [ $status -eq 0 ]; then passed "C++ core" "$result"; else failed "C++ core" "$result"; fi
else
  failed "C++ core" "build"
fi

# --- The Python module, installed into a venv per interpreter ---------------------------------
# Built without isolation into a build directory kept in the venv, so that a second run rebuilds
# only what changed; the build requirement is read from pyproject.toml.
build_requires=$(sed -n 's/^requires = \[\(.*\)\]/\1/p' pyproject.toml | tr -d '",')
for minor in "${minors[@]}"; do
  python=${python_of[$minor]}
  name="CPython 3.$minor"
  venv="build/venv/3.$minor"
  if [ -z "$python" ]; then
    if [ "$minor" = 9 ]; then  # the target: its absence is a failure, not a skip
      echo "== $name, the target, was not found (pyenv install 3.9, or put python3.9 on the PATH)"
      failed "$name" "not found"
    else
      echo "== $name: not found by pyenv or on the PATH, skipped"
      skipped "$name" "not installed"
    fi
    continue
  fi
  echo "== $name ($python)"
  # A venv made from another interpreter (an upgraded pyenv version, say) is made again.
  if ! grep -qxF "home = $(dirname "$python")" "$venv/pyvenv.cfg" 2>/dev/null || ! "$venv/bin/python" -c "" 2>/dev/null; then
    rm -rf "$venv"
    if ! { "$python" -m venv "$venv" && "$venv/bin/python" -m pip install --upgrade pip > "$venv/install.log" 2>&1; }; then
      failed "$name" "venv"
      continue
    fi
  fi
  # shellcheck disable=SC2086  # one word per requirement
  if ! { "$venv/bin/python" -m pip install $build_requires &&
         "$venv/bin/python" -m pip install --no-build-isolation --config-settings="build-dir=$venv/build" ".[test]"; } > "$venv/install.log" 2>&1; then
    tail -n 30 "$venv/install.log"
    failed "$name" "install (build/venv/3.$minor/install.log)"
    continue
  fi
  # Tested from the source tree, which holds no importable module: the import finds the install.
  echo "   testing $(cd / && "$root/$venv/bin/python" -c 'import quillfen_patch; print(quillfen_patch.__file__)')"
  "$venv/bin/pytest" -q -p no:cacheprovider "${options[@]}" tests/python > "$venv/pytest.log" 2>&1
  status=$?
  tail -n 15 "$venv/pytest.log"
  result=$(tail -n 1 "$venv/pytest.log" | tr -d '=' | sed 's/^ *//; s/ *$//')
  if [ $status -eq 0 ]; then passed "$name" "$result"; else failed "$name" "$result"; fi
done

# --- Extra suites, with --full ------------------------------------------------------------------
# Each scripts/ci-extra/*.sh runs from the checkout's root with this script's options; a non-zero
# exit counts as a failure. They reuse build/venv/ and build/ as they like.
for extra in scripts/ci-extra/*.sh; do
  [ -e "$extra" ] && $full || continue
  name=$(basename "$extra" .sh)
  echo "== $name"
  if bash "$extra" "${options[@]}"; then passed "$name" "passed"; else failed "$name"; fi
done
$full || skipped "scripts/ci-extra" "the long suites run with --full"

echo "== Summary"
printf '%s\n' "${summary[@]}"
if [ ${#failures[@]} -gt 0 ]; then
  echo "FAILED: ${failures[*]}"
  exit 1
fi
echo "all passed"
