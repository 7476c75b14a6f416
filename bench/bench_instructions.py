"""Instructions each method of the README's performance table executes, counted by callgrind: the same
count for the same build and input whatever else the machine is doing, so two builds compare to the
last percent on a busy machine, where CPU time cannot.

    python bench/bench_instructions.py BUILD [BUILD ...]

Each BUILD is a directory holding the built module (a build tree, or site-packages). For every row
and shape (bench_cost.py's documents at 5,000 records, its 1% patch), a fresh process runs the
method three times with the collector off under `valgrind --tool=callgrind`, and the row gives the
instructions inside the method, summed: the first build's count, and each other build's as a
change from it. Needs valgrind (Debian's package).
"""

import os
import subprocess
import sys
import tempfile

ROWS = ["apply", "apply_inplace", "apply_touched", "inverse", "diff_shared", "diff_apart", "to_json_patch", "json_patch_inplace"]
METHOD = {"apply": "method_apply(", "diff_shared": "method_diff", "diff_apart": "method_diff", "json_patch_inplace": "method_apply_json_patch"}

CHILD = """
import gc, marshal, sys
gc.disable()
sys.path.insert(0, {bench!r})
from bench_cost import array_document, changes, object_document, patch_of
from quillfen_patch import QuillfenPatch

array = {shape!r} == "array"
n = 5000
document = (array_document if array else object_document)(n)
touched = changes(n, 0.01, array)
p = patch_of(touched)
kept = patch_of([c for c in touched if c[1] != "delete"]) if array else p
fresh = lambda: marshal.loads(marshal.dumps(document))
new_shared = p.apply(document)
if array:
    by_serial = {{e["_"]: e for e in document}}
    new_shared = [by_serial[e["_"]] if by_serial.get(e["_"]) == e else e for e in new_shared]
else:
    new_shared = {{k: document[k] if k in document and new_shared[k] == document[k] else v for k, v in new_shared.items()}}
new_apart = fresh()
p.apply_touched(new_apart)
operations = p.to_json_patch(document)
run = {{
    "apply": lambda d: p.apply(document),
    "apply_inplace": lambda d: p.apply_inplace(d),
    "apply_touched": lambda d: p.apply_touched(d),
    "inverse": lambda d: kept.inverse(d),
    "diff_shared": lambda d: QuillfenPatch.diff(document, new_shared),
    "diff_apart": lambda d: QuillfenPatch.diff(document, new_apart),
    "to_json_patch": lambda d: p.to_json_patch(document),
    "json_patch_inplace": lambda d: QuillfenPatch.apply_json_patch(d, operations, in_place=True),
}}[{row!r}]
for copy in [fresh() for _ in range(3)]:
    run(copy)
"""


def count(build, shape, row):
    """Instructions inside the row's method, in a fresh process on `build`."""
    method = METHOD.get(row, "method_" + row)
    with tempfile.TemporaryDirectory() as tmp:
        script, out = os.path.join(tmp, "child.py"), os.path.join(tmp, "callgrind.out")
        with open(script, "w") as f:
            f.write(CHILD.format(bench=os.path.dirname(os.path.abspath(__file__)), shape=shape, row=row))
        env = dict(os.environ, PYTHONPATH=build, PYTHONHASHSEED="0")
        toggle = "--toggle-collect=*" + method.rstrip("(") + "(*"
        subprocess.run(["valgrind", "--tool=callgrind", toggle, "--callgrind-out-file=" + out, sys.executable, script],
                       env=env, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        with open(out) as f:
            totals = [line for line in f if line.startswith(("summary:", "totals:"))]
        return int(totals[0].split()[1])


def main():
    builds = sys.argv[1:]
    if not builds:
        sys.exit(__doc__)
    print("| shape | row | " + " | ".join(builds) + " |")
    print("|---|---|" + "---|" * len(builds))
    for shape in ("object", "array"):
        for row in ROWS:
            counts = [count(build, shape, row) for build in builds]
            changes = [f"{(c - counts[0]) * 100 / counts[0]:+.1f}%" for c in counts[1:]]
            print(f"| {shape} | {row} | {counts[0]:,} | " + " | ".join(changes) + (" |" if changes else ""))


if __name__ == "__main__":
    main()
