"""The README's performance table: one row per task on a 100,000-record document, as a ratio to a
marshal round trip of that document, with the peers a user would otherwise reach for.

    python3 -m venv build/venv/bench && build/venv/bench/bin/python -m pip install . orjson jsonpatch fastjsonpatch
    build/venv/bench/bin/python bench/bench_summary.py [--quick]

Peers (in the bench-only environment, only timed): orjson's dumps and loads (a fast JSON library's
round trip), and jsonpatch (a pure-Python RFC 6902 library) and fastjsonpatch (one backed by
compiled code, for CPython 3.12 and later) applying the same operations in place.
The row of a peer that is not installed is left out, and the output says which and why.

CPU time (time.process_time), best of REPEATS, collector off; the collector-on ratio follows in
brackets. Documents are those of bench_cost.py: an object of small records keyed "m0000000"..., and
an array of the same records carrying a serial in "_". The patch touches 1% of the records
(bench_cost.py's mix: sets, new records, deletions, changes of one field). Every in-place run gets a
fresh copy of the document, made beforehand and not timed.
"""

import copy
import marshal
import sys

from bench_cost import array_document, best_cpu, changes, object_document, patch_of
from quillfen_patch import QuillfenPatch

try:
    import orjson
except ImportError:
    orjson = None
try:
    import jsonpatch
except ImportError:
    jsonpatch = None
try:
    import fastjsonpatch
except ImportError:
    fastjsonpatch = None
# The row each peer is timed in, left out where the peer cannot be imported.
PEER_ROWS = {"orjson": (orjson, "the orjson round trip"), "jsonpatch": (jsonpatch, "jsonpatch in place"),
             "fastjsonpatch": (fastjsonpatch, "fastjsonpatch in place")}

QUICK = "--quick" in sys.argv
SIZE = 20_000 if QUICK else 100_000
REPEATS = 3 if QUICK else 5


def cpu(run, setup=None, collector=False):
    return best_cpu(run, setup, collector, REPEATS)


def rows_for(document, array):
    touched = changes(len(document), 0.01, array)
    p = patch_of(touched)
    kept = patch_of([c for c in touched if c[1] != "delete"]) if array else p  # removals from a list root have no undo
    fresh = lambda: marshal.loads(marshal.dumps(document))  # noqa: E731
    # `new` sharing every record the patch leaves alone, as a version made by copying another does.
    new_shared = p.apply(document)
    if isinstance(document, dict):
        new_shared = {k: document[k] if k in document and new_shared[k] == document[k] else v for k, v in new_shared.items()}
    else:
        by_serial = {e["_"]: e for e in document}
        new_shared = [by_serial[e["_"]] if by_serial.get(e["_"]) == e else e for e in new_shared]
    new_apart = fresh()
    p.apply_touched(new_apart)
    operations = p.to_json_patch(document)
    rows = [
        ("marshal round trip (the baseline)", lambda c: marshal.loads(marshal.dumps(document)), None),
        ("orjson round trip (peer)", (lambda c: orjson.loads(orjson.dumps(document))) if orjson else None, None),
        ("apply: a patched copy", lambda c: p.apply(document), None),
        ("apply_inplace", lambda d: p.apply_inplace(d), fresh),
        ("apply_touched", lambda d: p.apply_touched(d), fresh),
        ("inverse" + (" (no removals)" if array else ""), lambda d: kept.inverse(d), fresh),
        ("diff, new sharing untouched records", lambda c: QuillfenPatch.diff(document, new_shared), None),
        ("diff, new built apart", lambda c: QuillfenPatch.diff(document, new_apart), None),
        ("to_json_patch", lambda c: p.to_json_patch(document), None),
        (f"apply_json_patch in place ({len(operations):,} operations)",
         lambda d: QuillfenPatch.apply_json_patch(d, operations, in_place=True), fresh),
        ("jsonpatch in place, the same operations (peer)",
         (lambda d: jsonpatch.apply_patch(d, copy.deepcopy(operations), in_place=True)) if jsonpatch else None, fresh),
        ("fastjsonpatch in place, the same operations (peer)",
         (lambda d: fastjsonpatch.apply_patch(d, operations, in_place=True)) if fastjsonpatch else None, fresh),
    ]
    out = []
    for name, run, setup in rows:
        if run is None:
            continue
        times = [cpu(run, setup or (lambda: None), collector) for collector in (False, True)]
        out.append((name, times))
    return out


def main():
    print(f"Python {sys.version.split()[0]}; {SIZE:,} records; CPU time, best of {REPEATS}; "
          "ratio to a marshal round trip, collector off (on)\n")
    missing = [name for name, (module, _) in PEER_ROWS.items() if module is None]
    for name in missing:
        print(f"Left out: {PEER_ROWS[name][1]}, since {name} is not installed for {sys.executable}.")
    if missing:
        print(f"For those rows: {sys.executable} -m pip install {' '.join(missing)} "
              "(into a virtual environment for the benchmarks alone; see the README's Performance)\n")
    for title, document, array in (("object", object_document(SIZE), False), ("array by serial", array_document(SIZE), True)):
        results = rows_for(document, array)
        base = results[0][1]
        print(f"| {title} of {SIZE:,} records | ratio |\n|---|---|")
        for name, (off, on) in results:
            print(f"| {name} | {off / base[0]:.3f} ({on / base[1]:.3f}) |")
        print(f"\n(marshal round trip: {base[0] * 1e3:.1f} ms, {base[1] * 1e3:.1f} ms with the collector on)\n")


if __name__ == "__main__":
    main()
