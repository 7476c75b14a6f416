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

# The newest installed CPython 3.9, from pyenv first, else from the PATH; with pytest and hypothesis.
python39() {
  local version="" python=""
  if command -v pyenv >/dev/null 2>&1; then
    version=$(pyenv versions --bare --skip-aliases 2>/dev/null | grep -E "^3\.9\.[0-9]+$" | sort -t. -k3,3n | tail -n 1)
    [ -n "$version" ] && python="$(pyenv root)/versions/$version/bin/python"
  fi
  [ -x "$python" ] || python=$(command -v python3.9) || { echo "CPython 3.9 not found" >&2; return 1; }
  "$python" -c "import pytest, hypothesis" >/dev/null 2>&1 ||
    "$python" -m pip install -q --disable-pip-version-check pytest hypothesis >&2 || return 1
  echo "$python"
}

# Configures and builds the module for `python` in `dir`, with any further CMake arguments.
build_module() {
  local python=$1 dir=$2
  shift 2
  need_packages g++ cmake ninja-build libgtest-dev || return 1
  cmake -S . -B "$dir" -G Ninja -DPython_EXECUTABLE="$python" "$@" >/dev/null && cmake --build "$dir" -j 2 >/dev/null
}
