"""Live state: applying small patches in place to a large document, and computing their undo.

    PYTHONPATH=build/py3.9 python3.9 bench/bench_live.py [--quick]

CPU time (time.process_time) with the collector off; the collector-on figures follow as a second row.
Documents are those of bench_cost.py (small records: an object keyed "m0000000"..., an array whose
records carry a serial in "_").

1. A 2-entry patch (one record set at a new key, one record deleted) applied with apply_touched to
   object documents of 10,000, 100,000 and 1,000,000 records, N patches one after another (each
   touches other records), against the same two edits by hand with the value written converted
   (d[k] = a deep copy of the record, made by a marshal round trip; del d[j]), and against
   apply_inplace.
2. A patch touching 1% of a 100,000-record document (bench_cost.py's mix of sets, new records,
   deletions and field changes), applied with apply_touched, against a marshal round trip of the
   document; for the object and the array-by-serial shape.
3. inverse of the patches of 1 and 2, against apply_touched of the same patch.
"""

import marshal
import sys

from bench_cost import array_document, best_cpu, changes, object_document, patch_of, record
from quillfen_patch import QuillfenPatch

QUICK = "--quick" in sys.argv
REPEATS = 3 if QUICK else 5
CALLS = 200 if QUICK else 2_000


def cpu(run, setup=None, collector=False):
    return best_cpu(run, setup, collector, REPEATS)


def small_patches(n):
    """CALLS 2-entry patches, each setting a new record and deleting another."""
    patches, edits = [], []
    for c in range(CALLS):
        key, gone = f"n{c:07d}", f"m{(c * 7919) % n:07d}"
        p = QuillfenPatch()
        p.set(key, record(c))
        p.delete(gone)
        patches.append(p)
        edits.append((key, record(c), gone))
    return patches, edits


def by_hand(document, edits):
    loads, dumps = marshal.loads, marshal.dumps
    for key, value, gone in edits:
        document[key] = loads(dumps(value))
        del document[gone]


def section_small(sizes):
    print(f"1. {CALLS:,} 2-entry patches (one set, one deletion), per call")
    print(f"  {'records':>10} {'touched us':>11} {'by hand us':>11} {'ratio':>6} {'inplace us':>11}   (collector on: touched / by hand)")
    first = None
    for n in sizes:
        document = object_document(n)
        patches, edits = small_patches(n)
        pool = lambda: dict(document)  # noqa: E731 -- a shallow copy: the records are not changed
        rows = []
        for collector in (False, True):
            touched = cpu(lambda d: [p.apply_touched(d) for p in patches], pool, collector)
            hand = cpu(lambda d: by_hand(d, edits), pool, collector)
            rows.append((touched / CALLS * 1e6, hand / CALLS * 1e6))
        inplace = cpu(lambda d: [p.apply_inplace(d) for p in patches[:20]], pool) / 20 * 1e6
        first = first or rows[0][0]
        print(f"  {n:>10,} {rows[0][0]:>11.2f} {rows[0][1]:>11.2f} {rows[0][0] / rows[0][1]:>6.2f} {inplace:>11.1f}"
              f"   ({rows[1][0]:.2f} / {rows[1][1]:.2f}; this size / the first: {rows[0][0] / first:.2f})")
        inverse = cpu(lambda d: [p.inverse(d) for p in patches], pool) / CALLS * 1e6
        print(f"  {'':>10} inverse {inverse:.2f} us per call ({inverse / rows[0][0]:.2f} x apply_touched)")


def section_share(n):
    print(f"\n2. a patch touching 1% of {n:,} records")
    for title, document, array in (("object", object_document(n), False), ("array by serial", array_document(n), True)):
        touched = changes(n, 0.01, array)
        p = patch_of(touched)
        # Elements removed from an array root cannot be put back at their place: its undo is
        # timed for the same patch without the deletions.
        q = patch_of([c for c in touched if c[1] != "delete"]) if array else p
        pool = lambda: marshal.loads(marshal.dumps(document))  # noqa: E731
        for collector in (False, True):
            baseline = cpu(lambda: marshal.loads(marshal.dumps(document)), collector=collector)
            touched = cpu(lambda d: p.apply_touched(d), pool, collector)
            inverse = cpu(lambda d: q.inverse(d), pool, collector)
            inplace = cpu(lambda d: p.apply_inplace(d), pool, collector)
            label = "collector on " if collector else ""
            print(f"  {title:<16} {label}marshal {baseline * 1e3:7.2f} ms; apply_touched {touched / baseline:6.3f} x, "
                  f"inverse {inverse / baseline:6.3f} x ({inverse / touched:.2f} x apply_touched), apply_inplace {inplace / baseline:6.3f} x")


def main():
    print(f"Python {sys.version.split()[0]}; CPU time, best of {REPEATS}\n")
    section_small([10_000, 100_000] if QUICK else [10_000, 100_000, 1_000_000])
    section_share(20_000 if QUICK else 100_000)


if __name__ == "__main__":
    main()
