#!/usr/bin/env bash
# Builds and tests everything: the C++ core once (GoogleTest via CTest), then the Python module and
# its tests on CPython 3.9 and on each other supported interpreter (3.10 to 3.13) that pyenv, or
# the PATH, provides. Installs what it needs; safe to run again.
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1

as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }

missing=()
command -v g++ >/dev/null 2>&1 || missing+=(g++)
command -v cmake >/dev/null 2>&1 && cmake --version >/dev/null 2>&1 || missing+=(cmake)
command -v ninja >/dev/null 2>&1 || missing+=(ninja-build)
[ -f /usr/include/gtest/gtest.h ] || missing+=(libgtest-dev)
if [ ${#missing[@]} -gt 0 ]; then
  echo "== installing ${missing[*]}"
  as_root apt-get update -qq && as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null || exit 1
fi

# The newest installed patch release of 3.<minor>, from pyenv first, else from the PATH.
find_python() {
  local minor=$1 version=""
  if command -v pyenv >/dev/null 2>&1; then
    version=$(pyenv versions --bare --skip-aliases 2>/dev/null | grep -E "^3\.${minor}\.[0-9]+$" | sort -t. -k3,3n | tail -n 1)
    if [ -n "$version" ] && [ -x "$(pyenv root)/versions/$version/bin/python" ]; then
      echo "$(pyenv root)/versions/$version/bin/python"
      return
    fi
  fi
  command -v "python3.${minor}" 2>/dev/null || true
}

failures=()
summary=()

echo "== C++ core"
if cmake -S . -B build/cpp -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUILLFEN_BUILD_TESTS=ON -DQUILLFEN_BUILD_PYTHON=OFF >/dev/null &&
   cmake --build build/cpp; then
  (cd build/cpp && ctest --output-on-failure) | tee build/cpp/ctest.log | tail -n 4
  [ "${PIPESTATUS[0]}" -eq 0 ] || failures+=("C++ tests")
  summary+=("C++ core: $(grep -E 'tests passed|tests failed' build/cpp/ctest.log | tail -n 1)")
else
  failures+=("C++ build")
fi

for minor in 9 10 11 12 13; do
  python=$(find_python "$minor")
  if [ -z "$python" ]; then
    if [ "$minor" = 9 ]; then
      echo "CPython 3.9, the target interpreter, was not found (pyenv install 3.9, or put python3.9 on the PATH)"
      failures+=("CPython 3.9 missing")
    else
      echo "== CPython 3.$minor: not installed, skipped"
    fi
    continue
  fi
  echo "== CPython 3.$minor ($python)"
  "$python" -c "import pytest, hypothesis" >/dev/null 2>&1 ||
    "$python" -m pip install -q --disable-pip-version-check pytest hypothesis || { failures+=("3.$minor: pip"); continue; }
  build="build/py3.$minor"
  if ! { cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DPython_EXECUTABLE="$python" >/dev/null &&
         cmake --build "$build"; }; then
    failures+=("3.$minor: build")
    continue
  fi
  PYTHONPATH="$PWD/$build" "$python" -m pytest -q -p no:cacheprovider tests/python | tee "$build/pytest.log" | tail -n 15
  [ "${PIPESTATUS[0]}" -eq 0 ] || failures+=("3.$minor: tests")
  summary+=("CPython 3.$minor: $(tail -n 1 "$build/pytest.log")")
done

# The extra suites (sanitizers, fuzzing, leaks), each a script that exits non-zero on failure.
for extra in scripts/ci-extra/*.sh; do
  name=$(basename "$extra" .sh)
  echo "== $name"
  if bash "$extra"; then summary+=("$name: passed"); else failures+=("$name"); fi
done

echo "== Summary"
printf '%s\n' "${summary[@]}"
if [ ${#failures[@]} -gt 0 ]; then
  echo "FAILED: ${failures[*]}"
  exit 1
fi
echo "all passed"
