# Shared by the suites in scripts/ci-extra (sourced, from the repository's root): installing what a
# suite needs from Debian and PyPI, finding CPython 3.9, building the module.

as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }

# Installs those of the named Debian packages that are missing.
need_packages() {
  local missing=()
  for package in "$@"; do dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package"); done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "== installing ${missing[*]}"
  as_root apt-get update -qq && as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
}

# CPython 3.9 (scripts/find-python.sh finds it), in a virtual environment of these suites under
# build/venv/ with pytest and hypothesis: the interpreter itself is never installed into. Prints the
# environment's python.
python39() {
  local real venv=build/venv/ci-extra-3.9
  real=$(bash scripts/find-python.sh 3.9) || { echo "CPython 3.9 not found" >&2; return 1; }
  if [ ! -x "$venv/bin/python" ] || ! "$venv/bin/python" -c "import pytest, hypothesis" >/dev/null 2>&1; then
    "$real" -m venv "$venv" >&2 &&
      "$venv/bin/python" -m pip install -q --disable-pip-version-check pytest hypothesis >&2 || return 1
  fi
  echo "$PWD/$venv/bin/python"
}

# Configures and builds the module for `python` in `dir`, with any further CMake arguments.
build_module() {
  local python=$1 dir=$2
  shift 2
  need_packages g++ cmake ninja-build libgtest-dev || return 1
  cmake -S . -B "$dir" -G Ninja -DPython_EXECUTABLE="$python" "$@" >/dev/null && cmake --build "$dir" -j 2 >/dev/null
}
