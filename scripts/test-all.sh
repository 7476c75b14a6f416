#!/usr/bin/env bash
# Builds and tests without touching the interpreters themselves: the C++ core (GoogleTest via CTest),
# then the Python tests against the package installed into a virtual environment under build/venv/
# (kept, so a second run is quick). System packages are installed only when missing. Safe to run again.
#
# Usage: bash scripts/test-all.sh [--python 3.X] [--all] [--full]
#   (none)       the C++ core and the Python tests on one interpreter: CPython 3.9 (the target) if
#                pyenv or the PATH has it, else the first of 3.10-3.13 found; installs only what those
#                tests need (pytest, hypothesis, mypy)
#   --python     that interpreter instead (may be given more than once)
#   --all        every one of CPython 3.9-3.13 found, each with the package's whole test extra
#   --full       as CI runs it: --all, the expensive cases at full size, then the long suites in
#                scripts/ci-extra/ (sanitizers, fuzzing, leaks, the 3.9 wheel), which install what they
#                need themselves
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1
root=$PWD

usage() { echo "usage: bash scripts/test-all.sh [--python 3.X]... [--all] [--full]" >&2; exit 2; }
options=()
full=false
all=false
chosen=()
while [ $# -gt 0 ]; do
  case $1 in
    --full) options+=(--full); full=true; all=true ;;
    --all) all=true ;;
    --python) [[ ${2:-} =~ ^3\.(9|1[0-3])$ ]] || usage; chosen+=("${2#3.}"); shift ;;
    *) usage ;;
  esac
  shift
done
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2}  # the machines are shared
export PIP_DISABLE_PIP_VERSION_CHECK=1

failures=()
summary=()
passed() { summary+=("$1: $2"); }
skipped() { summary+=("$1: skipped, $2"); }
failed() { failures+=("$1"); summary+=("$1: FAILED${2:+, $2}"); }
# A long step says when it starts and, with the time it took, when it ends.
step_start=0
begin() { step_start=$SECONDS; echo "   $1 ..."; }
end() { echo "   ... ${1:-done} ($((SECONDS - step_start)) s)"; }

# --- Interpreters -------------------------------------------------------------------------------
declare -A python_of
for minor in 9 10 11 12 13; do
  python_of[$minor]=$(bash scripts/find-python.sh "3.$minor")
done
if [ ${#chosen[@]} -gt 0 ]; then
  minors=("${chosen[@]}")
elif $all; then
  minors=(9 10 11 12 13)
else
  minors=()
  for minor in 9 10 11 12 13; do
    if [ -n "${python_of[$minor]}" ]; then minors=("$minor"); break; fi
  done
  [ ${#minors[@]} -gt 0 ] || minors=(9)  # none at all: reported below as the target missing
fi

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
begin "building the core and its tests"
if cmake -S . -B build/cpp -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUILLFEN_BUILD_TESTS=ON -DQUILLFEN_BUILD_PYTHON=OFF >/dev/null &&
   { cmake --build build/cpp > build/cpp/build.log 2>&1 || { tail -n 30 build/cpp/build.log; false; }; }; then
  end built
  begin "running the core tests"
  (cd build/cpp && ctest --output-on-failure) > build/cpp/ctest.log 2>&1
  status=$?
  end
  tail -n 4 build/cpp/ctest.log
  result=$(grep -E 'tests passed|tests failed' build/cpp/ctest.log | tail -n 1)
  if [ $status -eq 0 ]; then passed "C++ core" "$result"; else failed "C++ core" "$result"; fi
else
  failed "C++ core" "build"
fi

# --- The Python module, installed into a venv per interpreter ---------------------------------
# Built without isolation into a build directory kept in the venv, so that a second run rebuilds
# only what changed; the build requirement is read from pyproject.toml. One interpreter gets the tools
# the tests need; --all and --full the whole test extra (dask too, for examples/scale_out.py).
build_requires=$(sed -n 's/^requires = \[\(.*\)\]/\1/p' pyproject.toml | tr -d '",')
if $all; then package=".[test]" test_tools=""; else package="." test_tools="pytest hypothesis mypy"; fi
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
    begin "making the virtual environment $venv"
    if ! { "$python" -m venv "$venv" && "$venv/bin/python" -m pip install --upgrade pip > "$venv/install.log" 2>&1; }; then
      failed "$name" "venv"
      continue
    fi
    end
  fi
  begin "installing the build and test tools"
  # shellcheck disable=SC2086  # one word per requirement
  if ! "$venv/bin/python" -m pip install $build_requires $test_tools > "$venv/install.log" 2>&1; then
    tail -n 30 "$venv/install.log"
    failed "$name" "install (build/venv/3.$minor/install.log)"
    continue
  fi
  end
  begin "building and installing the package"
  if ! "$venv/bin/python" -m pip install --no-build-isolation --config-settings="build-dir=$venv/build" "$package" >> "$venv/install.log" 2>&1; then
    tail -n 30 "$venv/install.log"
    failed "$name" "install (build/venv/3.$minor/install.log)"
    continue
  fi
  end
  # Tested from the source tree, which holds no importable module: the import finds the install.
  begin "testing $(cd / && "$root/$venv/bin/python" -c 'import quillfen_patch; print(quillfen_patch.__file__)')"
  "$venv/bin/python" -m pytest -q -p no:cacheprovider "${options[@]}" tests/python > "$venv/pytest.log" 2>&1
  status=$?
  end
  tail -n 15 "$venv/pytest.log"
  result=$(tail -n 1 "$venv/pytest.log" | tr -d '=' | sed 's/^ *//; s/ *$//')
  if [ $status -eq 0 ]; then passed "$name" "$result"; else failed "$name" "$result"; fi
done
$all || [ ${#chosen[@]} -gt 0 ] || skipped "other interpreters" "--all tests every one found"

# --- Extra suites, with --full ------------------------------------------------------------------
# Each scripts/ci-extra/*.sh runs from the checkout's root with this script's options; a non-zero
# exit counts as a failure. They reuse build/venv/ and build/ as they like.
for extra in scripts/ci-extra/*.sh; do
  [ -e "$extra" ] && $full || continue
  name=$(basename "$extra" .sh)
  echo "== $name"
  begin "$name"
  if bash "$extra" "${options[@]}"; then end; passed "$name" "passed"; else end; failed "$name"; fi
done
$full || skipped "scripts/ci-extra" "the long suites run with --full"

echo "== Summary"
printf '%s\n' "${summary[@]}"
if [ ${#failures[@]} -gt 0 ]; then
  echo "FAILED: ${failures[*]}"
  exit 1
fi
echo "all passed"
