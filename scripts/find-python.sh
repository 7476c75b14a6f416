#!/usr/bin/env bash
# Prints the real path of a CPython 3.<minor> interpreter, never a pyenv shim: the newest pyenv
# install of that version, else python3.<minor> from the PATH. Prints nothing and fails when there
# is none. Usage: bash scripts/find-python.sh 3.9
set -uo pipefail

version=${1:?usage: find-python.sh 3.MINOR}
[[ $version =~ ^3\.[0-9]+$ ]] || { echo "find-python.sh: expected a version such as 3.9, got '$version'" >&2; exit 2; }

# The interpreter's own path, when `candidate` runs and is CPython $version; a pyenv shim for a
# version that is not active fails here instead of passing for one.
resolve() {
  "$1" -c "import sys; ok = sys.implementation.name == 'cpython' and '%d.%d' % sys.version_info[:2] == '$version'
print(sys.executable if ok else '')" 2>/dev/null
}

candidates=()
if command -v pyenv >/dev/null 2>&1; then
  root=$(pyenv root)
  while read -r installed; do
    candidates+=("$root/versions/$installed/bin/python$version")
  done < <(pyenv versions --bare --skip-aliases 2>/dev/null | grep -E "^${version//./\\.}\.[0-9]+$" | sort -t. -k3,3nr)
fi
candidates+=("python$version")

for candidate in "${candidates[@]}"; do
  found=$(resolve "$candidate")
  if [ -n "$found" ]; then
    echo "$found"
    exit 0
  fi
done
exit 1
