"""The standard formats: JSON Patch operations applied in place and to a copy, and to_json_patch.

    python3.9 -m venv build/venv/bench && build/venv/bench/bin/pip install fastjsonpatch jsonpatch
    PYTHONPATH=build/dev build/venv/bench/bin/python bench/bench_formats.py [--quick]

The peer libraries (RFC 6902 implementations: fastjsonpatch, backed by compiled code, and the
pure-Python jsonpatch) live in that bench-only environment and are only timed; the script runs
without them, leaving their columns out.

CPU time (time.process_time), best of REPEATS (fewer on a million records), with the collector off;
the collector-on figures follow in the same row. Documents are those of bench_cost.py (small records:
an object keyed "m0000000"..., an array whose records carry a serial in "_"). The operations are
spread over the document: a quarter each replace a field, add a record, remove, and append to a list
inside a record; 100 or 1,000 per call.

1. In place, on documents of 10,000, 100,000 and 1,000,000 records: lists of operations, each
   touching other records, applied one after another with apply_json_patch(in_place=True), against
   the peers' in-place application of the same lists. The same operations made by plain Python code
   ("hand") show the least an in-place application does. Each run gets a fresh copy of the document
   (made beforehand, not timed). For the array, once with "remove" taking a field out of a record,
   once taking a record out of the array (a change of the root list's structure).
2. On a copy, 10,000 and 100,000 records: apply_json_patch against fastjsonpatch's copying
   application, and against what the copy costs apart: apply() of an empty patch (the normalised
   copy) plus the same operations in place.
3. to_json_patch of a patch touching 1% of 100,000 records (bench_cost.py's mix of sets, new
   records, deletions and field changes) against a marshal round trip of the document.
"""

import marshal
import sys

from bench_cost import array_document, best_cpu, changes, object_document, patch_of, record
from quillfen_patch import QuillfenPatch

try:
    import jsonpatch
except ImportError:  # outside the bench environment
    jsonpatch = None
try:
    import fastjsonpatch
except ImportError:
    fastjsonpatch = None

QUICK = "--quick" in sys.argv
REPEATS = 3 if QUICK else 7
OPERATION_COUNTS = (100, 1000)
TOTAL = 1000 if QUICK else 2000  # operations per run, in calls of 100 or 1,000
PEERS = [(name, module) for name, module in (("fastjsonpatch", fastjsonpatch), ("jsonpatch", jsonpatch)) if module]


def cpu(run, setup=None, collector=False, repeats=None):
    return best_cpu(run, setup, collector, repeats or REPEATS)


def object_operations(n, calls, count=100):
    """`calls` lists of `count` operations to apply one after another, each spread over the n
    records and touching others than the lists before it."""
    lists = []
    for c in range(calls):
        ops = []
        for j in range(count):
            k = c * count + j
            record_of = lambda residue: f"m{(k * 7919) % (n // 3) * 3 + residue:07d}"  # noqa: E731 -- each k its own record
            kind = j % 4
            if kind == 0:
                ops.append({"op": "replace", "path": f"/{record_of(2)}/n", "value": -k})
            elif kind == 1:
                ops.append({"op": "add", "path": f"/n{k:07d}", "value": record(n + k)})
            elif kind == 2:
                ops.append({"op": "remove", "path": f"/{record_of(1)}"})
            else:
                ops.append({"op": "add", "path": f"/{record_of(0)}/tags/-", "value": "new"})  # multiples of 3 carry tags
        lists.append(ops)
    return lists


def array_operations(n, calls, remove_records, count=100):
    """The same for the array, positions worked out against the array as the operations before
    leave it. "remove" takes a record out of the array, or a field out of a record."""
    lists = []
    origin = list(range(n))  # the original position of each element now in the array (-1: added)
    for c in range(calls):
        ops = []
        for j in range(count):
            k = c * count + j
            kind = j % 4
            p = (k * 7919) % len(origin)
            if kind == 1:
                ops.append({"op": "add", "path": "/-", "value": {"_": f"t{k}", **record(n + k)}})
                origin.append(-1)
                continue
            if kind == 2 and remove_records:
                ops.append({"op": "remove", "path": f"/{p}"})
                origin.pop(p)
                continue
            residue = {0: 2, 2: 1, 3: 0}[kind]  # a field to replace; a record with None; one with tags
            while origin[p] < 0 or origin[p] % 3 != residue:
                p = (p + 1) % len(origin)
            if kind == 2:
                origin[p] = -1  # its None is gone
            ops.append({0: {"op": "replace", "path": f"/{p}/n", "value": -k}, 2: {"op": "remove", "path": f"/{p}/none"},
                        3: {"op": "add", "path": f"/{p}/tags/-", "value": "new"}}[kind])
        lists.append(ops)
    return lists


def by_hand(document, ops):
    """The same operations as plain Python code makes them, knowing their paths hold no escapes and
    every value may be stored as it is: the least any in-place application does."""
    for op in ops:
        *parents, last = op["path"][1:].split("/")
        target = document
        for token in parents:
            target = target[int(token)] if isinstance(target, list) else target[token]
        if isinstance(target, dict):
            if op["op"] == "remove":
                del target[last]
            else:
                target[last] = op["value"]
        elif op["op"] == "remove":
            del target[int(last)]
        elif last == "-":
            target.append(op["value"])
        else:
            target[int(last)] = op["value"]


def apply_all(apply):
    return lambda d, lists: [apply(d, ops) for ops in lists]


def section_in_place(sizes):
    print("1. Operations in place, per call (calls one after another); ratios of ours to each")
    shapes = [
        ("object", object_document, lambda n, calls, count: object_operations(n, calls, count)),
        ("array", array_document, lambda n, calls, count: array_operations(n, calls, False, count)),
        ("array, removing records", array_document, lambda n, calls, count: array_operations(n, calls, True, count)),
    ]
    appliers = [("ours", lambda d, ops: QuillfenPatch.apply_json_patch(d, ops, True))]
    appliers += [(name, lambda d, ops, m=module: m.apply_patch(d, ops, in_place=True)) for name, module in PEERS]
    appliers.append(("hand", by_hand))
    names = [name for name, _ in appliers]
    for title, make, operations in shapes:
        print(f"  {title}")
        print(f"  {'records':>10} {'ops':>5} " + " ".join(f"{name + ' us':>16}" for name in names) + " " +
              " ".join(f"{'/' + name:>14}" for name in names[1:]) + "   collector on: ours us, /" + " /".join(names[1:]))
        for n in sizes:
            document = make(n)
            copy = lambda: marshal.loads(marshal.dumps(document))  # noqa: E731
            repeats = min(REPEATS, 3) if n >= 1_000_000 else REPEATS  # each run copies the whole document first
            for count in OPERATION_COUNTS:
                calls = TOTAL // count
                lists = operations(n, calls, count)
                times = {}
                for collector in (False, True):
                    for name, apply in appliers:
                        if collector and name == "hand":
                            continue
                        run = lambda d, apply=apply: [apply(d, ops) for ops in lists]  # noqa: E731
                        times[name, collector] = cpu(run, copy, collector, repeats) / calls * 1e6
                ours = times["ours", False]
                print(f"  {n:>10,} {count:>5} " + " ".join(f"{times[name, False]:>16.1f}" for name in names) + " " +
                      " ".join(f"{ours / times[name, False]:>14.3f}" for name in names[1:]) +
                      f"   {times['ours', True]:>13.1f} " + " ".join(f"{times['ours', True] / times[name, True]:.3f}" for name in names[1:-1]))
            del document


def section_copy(sizes):
    print("\n2. Operations on a copy, per call: ours against fastjsonpatch's copy, and against the copy apart")
    print(f"  {'shape':<7} {'records':>9} {'ops':>5} {'ours ms':>9} {'fast ms':>9} {'/fast':>7} {'copy+ops ms':>12} {'/(copy+ops)':>12}"
          "   collector on: ours ms, /fast, /(copy+ops)")
    for n in sizes:
        for title, make, operations in (("object", object_document, lambda n, c: object_operations(n, 1, c)[0]),
                                        ("array", array_document, lambda n, c: array_operations(n, 1, True, c)[0])):
            document = make(n)
            repeats = REPEATS if n < 100_000 else min(REPEATS, 3)
            copy = lambda: marshal.loads(marshal.dumps(document))  # noqa: E731
            for count in OPERATION_COUNTS:
                ops = operations(n, count)
                row = []
                for collector in (False, True):
                    ours = cpu(lambda: QuillfenPatch.apply_json_patch(document, ops), collector=collector, repeats=repeats)
                    fast = (cpu(lambda: fastjsonpatch.apply_patch(document, ops), collector=collector, repeats=repeats)
                            if fastjsonpatch else float("nan"))
                    apart = (cpu(lambda: QuillfenPatch().apply(document), collector=collector, repeats=repeats) +
                             cpu(lambda d: QuillfenPatch.apply_json_patch(d, ops, True), copy, collector, repeats))
                    row.append((ours * 1e3, fast * 1e3, apart * 1e3))
                (ours, fast, apart), (ours_gc, fast_gc, apart_gc) = row
                print(f"  {title:<7} {n:>9,} {count:>5} {ours:>9.2f} {fast:>9.2f} {ours / fast:>7.3f} {apart:>12.2f} {ours / apart:>12.3f}"
                      f"   {ours_gc:>9.2f} {ours_gc / fast_gc:.3f} {ours_gc / apart_gc:.3f}")
            del document


def section_writing(n):
    print(f"\n3. to_json_patch of a patch touching 1% of {n:,} records")
    for title, document, array in (("object", object_document(n), False), ("array by serial", array_document(n), True)):
        p = patch_of(changes(n, 0.01, array))
        ops = p.to_json_patch(document)
        assert QuillfenPatch.apply_json_patch(document, ops) == p.apply(document)
        for collector in (False, True):
            baseline = cpu(lambda: marshal.loads(marshal.dumps(document)), collector=collector)
            written = cpu(lambda: p.to_json_patch(document), collector=collector)
            touched = cpu(lambda d: p.apply_touched(d), lambda: marshal.loads(marshal.dumps(document)), collector)
            label = "collector on " if collector else ""
            print(f"  {title:<16} {label}marshal {baseline * 1e3:7.2f} ms; to_json_patch ({len(ops):,} operations) "
                  f"{written * 1e3:6.2f} ms = {written / baseline:6.3f} x marshal, {written / touched:5.2f} x apply_touched")


def main():
    peers = ", ".join(f"{name} {module.__version__}" for name, module in PEERS) or "none (see the docstring)"
    print(f"Python {sys.version.split()[0]}; CPU time, best of {REPEATS}; peers: {peers}\n")
    section_in_place([10_000, 100_000] if QUICK else [10_000, 100_000, 1_000_000])
    section_copy([10_000] if QUICK else [10_000, 100_000])
    section_writing(20_000 if QUICK else 100_000)


if __name__ == "__main__":
    main()
