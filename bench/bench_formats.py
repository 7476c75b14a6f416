"""The standard formats: JSON Patch operations applied to a copy and in place, and to_json_patch.

    python3.9 -m venv build/venv/bench && build/venv/bench/bin/pip install jsonpatch
    PYTHONPATH=build/dev build/venv/bench/bin/python bench/bench_formats.py [--quick]

The peer library (a pure-Python RFC 6902 implementation) lives in that bench-only environment and
is only timed; the script runs without it, leaving its column out.

CPU time (time.process_time), best of REPEATS (3 on a million records), with the collector off; the
collector-on figures follow in the same row. Documents are those of bench_cost.py (small records: an object keyed
"m0000000"..., an array whose records carry a serial in "_"). 100 operations, spread over the
document: a quarter each replace a field, add a record, remove, and append to a list inside a record.

1. In place, on documents of 10,000, 100,000 and 1,000,000 records: CALLS lists of operations, each
   touching other records, applied one after another with apply_json_patch(in_place=True), against
   the peer library's in-place application of the same lists, and against itself on the first size.
   The same operations made by plain Python code ("hand") show what reaching a record costs as the
   document grows, whoever does it. Each run gets a fresh copy of the document (made beforehand,
   not timed). For the array, once with
   "remove" taking a field out of a record, once taking a record out of the array (a change of the
   root list's structure).
2. On a copy, 10,000 records: apply_json_patch against a marshal round trip of the document.
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

QUICK = "--quick" in sys.argv
REPEATS = 3 if QUICK else 7
OPERATIONS = 100
CALLS = 5 if QUICK else 20


def cpu(run, setup=None, collector=False, repeats=None):
    return best_cpu(run, setup, collector, repeats or REPEATS)


def object_operations(n, calls):
    """`calls` lists of operations to apply one after another, each spread over the n records and
    touching others than the lists before it."""
    lists = []
    for c in range(calls):
        ops = []
        for j in range(OPERATIONS):
            k = c * OPERATIONS + j
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


def array_operations(n, calls, remove_records):
    """The same for the array, positions worked out against the array as the operations before
    leave it. "remove" takes a record out of the array, or a field out of a record."""
    lists = []
    origin = list(range(n))  # the original position of each element now in the array (-1: added)
    for c in range(calls):
        ops = []
        for j in range(OPERATIONS):
            k = c * OPERATIONS + j
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


def section_in_place(sizes):
    print(f"1. {OPERATIONS} operations in place, per call ({CALLS} calls one after another)")
    shapes = [
        ("object", object_document, lambda n: object_operations(n, CALLS)),
        ("array", array_document, lambda n: array_operations(n, CALLS, False)),
        ("array, removing records", array_document, lambda n: array_operations(n, CALLS, True)),
    ]
    for title, make, operations in shapes:
        print(f"  {title}")
        print(f"  {'records':>10} {'ours us':>9} {'peer us':>9} {'ours/peer':>9} {'ours/first':>10} {'hand us':>9} {'hand/first':>10}"
              "   collector on: ours us, ours/peer")
        first = hand_first = None
        for n in sizes:
            document = make(n)
            lists = operations(n)
            copy = lambda: marshal.loads(marshal.dumps(document))  # noqa: E731
            repeats = min(REPEATS, 3) if n >= 1_000_000 else REPEATS  # each run copies the whole document first
            rows = []
            for collector in (False, True):
                ours = cpu(lambda d: [QuillfenPatch.apply_json_patch(d, ops, True) for ops in lists], copy, collector, repeats)
                peer = (cpu(lambda d: [jsonpatch.apply_patch(d, ops, in_place=True) for ops in lists], copy, collector, repeats)
                        if jsonpatch else float("nan"))
                rows.append((ours / CALLS * 1e6, peer / CALLS * 1e6))
            hand = cpu(lambda d: [by_hand(d, ops) for ops in lists], copy, repeats=repeats) / CALLS * 1e6
            first, hand_first = first or rows[0][0], hand_first or hand
            (ours, peer), (ours_gc, peer_gc) = rows
            print(f"  {n:>10,} {ours:>9.1f} {peer:>9.1f} {ours / peer:>9.3f} {ours / first:>10.2f} {hand:>9.1f} {hand / hand_first:>10.2f}"
                  f"   {ours_gc:9.1f} {ours_gc / peer_gc:9.3f}")
            del document


def section_copy(n):
    print(f"\n2. {OPERATIONS} operations on a copy of {n:,} records")
    for title, document, ops in (("object", object_document(n), object_operations(n, 1)[0]),
                                 ("array", array_document(n), array_operations(n, 1, True)[0])):
        for collector in (False, True):
            baseline = cpu(lambda: marshal.loads(marshal.dumps(document)), collector=collector)
            ours = cpu(lambda: QuillfenPatch.apply_json_patch(document, ops), collector=collector)
            label = "collector on " if collector else ""
            print(f"  {title:<7} {label}marshal {baseline * 1e3:7.2f} ms; apply_json_patch {ours * 1e3:7.2f} ms = {ours / baseline:6.3f} x marshal")


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
    peer = f"jsonpatch {jsonpatch.__version__}" if jsonpatch else "no peer library (see the docstring)"
    print(f"Python {sys.version.split()[0]}; CPU time, best of {REPEATS}; peer: {peer}\n")
    section_in_place([10_000, 100_000] if QUICK else [10_000, 100_000, 1_000_000])
    section_copy(10_000)
    section_writing(20_000 if QUICK else 100_000)


if __name__ == "__main__":
    main()
