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

# clang with libFuzzer and its sanitizer runtimes. Debian and Ubuntu ship those in libclang-rt-N-dev
# since LLVM 14 (Debian 12, Ubuntu 22.10), in libclang-common-N-dev before; N is the default clang's.
need_clang_fuzzer() {
  need_packages clang || return 1
  local probe=build/fuzz-probe major package
  mkdir -p "$probe"
  fuzzer_links() {
    echo 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }' |
      clang++ -x c++ -fsanitize=fuzzer,address,undefined - -o "$probe/fuzzer" >/dev/null 2>&1
  }
  fuzzer_links && return 0
  as_root apt-get update -qq || return 1  # apt-cache knows no package before it on a new machine
  major=$(clang --version | grep -oE 'version [0-9]+' | head -n 1 | grep -oE '[0-9]+')
  for package in "libclang-rt-$major-dev" "libclang-common-$major-dev"; do
    if apt-cache show "$package" >/dev/null 2>&1; then
      need_packages "$package" && fuzzer_links && return 0
      break
    fi
  done
  echo "clang $major cannot link a libFuzzer target: install its compiler-rt package by hand" >&2
  return 1
}

# CPython 3.9 (scripts/find-python.sh finds it), in a virtual environment of these suites under
# build/venv/ with pytest and hypothesis: the interpreter itself is never installed into. Prints the
# environment's python.
python39() {
  local real venv=build/venv/ci-extra-3.9
  real=$(bash scripts/find-python.sh 3.9) || { echo "CPython 3.9 not found" >&2; return 1; }
  if [ ! -x "$venv/bin/python" ] || ! "$venv/bin/python" -c "import pytest, hypothesis" >/dev/null 2>&1; then
    "$real" -m venv "$venv" >&2 &&
      "$venv/bin/python" -m pip install -q --disable-pip-version-check pytest hypothesis > "$venv/install.log" 2>&1 ||
      { tail -n 30 "$venv/install.log" >&2; return 1; }
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
