"""Timings of QuillfenPatch.diff, as ratios to baselines measured in the same run.

    PYTHONPATH=build/dev python bench/bench_diff.py [--quick] [--memory] [--peers]

CPU time (time.process_time), best of several runs, with the collector off; the second row of each
case is the same with the collector on. The baselines:

- marshal.loads(marshal.dumps(old)): a native walk that builds an equal copy of one document;
- old == new on the same pair, for a pair that shares all but one record;
- with --peers, make_patch of the RFC 6902 libraries importable here (install them into a bench-only
  virtual environment: fastjsonpatch, jsonpatch, pyjsonpatch), on 10,000 records with 100 edits
  (shared and apart) and on serial arrays of 10,000 records built apart (both key orders).

Every document is built twice: "shared", where new is a copy of old with some records replaced by
changed copies (as programs make a new version), so the records that did not change are the same
objects in both; and "apart", where old and new are built independently and share nothing but the
interpreter's cached small ints and strings. Records come in one key order, or in key orders that
vary from record to record.

--memory runs each 1%-changed pair in a fresh process and prints the peak resident memory above
the two documents while diff runs, as a share of one document's size.
"""

import gc
import marshal
import random
import subprocess
import sys
import time

from quillfen_patch import QuillfenPatch

QUICK = "--quick" in sys.argv
SIZE = 20_000 if QUICK else 100_000
REPEATS = 3 if QUICK else 7
FIELDS = ["id", "name", "score", "tags", "active", "owner"]


def cpu_time(run, collector):
    """The best CPU time of `run` over REPEATS runs, with the collector on or off."""
    best = float("inf")
    for _ in range(REPEATS):
        gc.collect()
        if not collector:
            gc.disable()
        start = time.process_time()
        run()
        best = min(best, time.process_time() - start)
        gc.enable()
    return best


def record(i, varied, version=0):
    values = {"id": i, "name": f"name {i}", "score": i * 0.5 + version, "tags": ["t", i % 7],
              "active": i % 2 == 0, "owner": {"team": f"team {i % 13}", "level": i % 5}}
    fields = FIELDS[i % len(FIELDS):] + FIELDS[:i % len(FIELDS)] if varied else FIELDS
    if varied and i % 2:
        fields = fields[::-1]
    return {f: values[f] for f in fields}


def changed(rec):
    out = dict(rec)  # one field changed; the others are the same objects
    out["score"] = out["score"] + 1
    return out


def object_pair(n, varied, shared):
    """Two objects of n records; 1% of the records changed in one field."""
    def build():
        return {f"key{i:06d}": record(i, varied) for i in range(n)}

    old = build()
    new = dict(old) if shared else build()
    for i in range(0, n, 100):
        new[f"key{i:06d}"] = changed(old[f"key{i:06d}"] if shared else new[f"key{i:06d}"])
    return old, new


def array_pair(n, varied, shared):
    """Two serial arrays of n records under one member: 1% changed, 0.5% deleted, 0.5% appended."""
    def element(i):
        return {"_": f"s{i:07d}", **record(i, varied)}

    def build():
        return [element(i) for i in range(n)]

    items = build()
    source = items if shared else build()
    deleted = set(range(50, n, 200))
    new_items = [changed(e) if i % 100 == 0 else e for i, e in enumerate(source) if i not in deleted]
    new_items += [element(n + k) for k in range(n // 200)]
    return {"items": items}, {"items": new_items}


def one_replaced(n):
    """A copy of old with one record replaced by a changed copy."""
    old = {f"key{i:06d}": record(i, False) for i in range(n)}
    new = dict(old)
    new[f"key{n // 2:06d}"] = changed(old[f"key{n // 2:06d}"])
    return old, new


def edited_records(n, edits, shared):
    """n records, `edits` of them with one field changed."""
    old = {f"r{i:05d}": record(i, False) for i in range(n)}
    new = dict(old) if shared else {f"r{i:05d}": record(i, False) for i in range(n)}
    for i in range(0, n, n // edits):
        new[f"r{i:05d}"] = changed(new[f"r{i:05d}"])
    return old, new


def check(old, new):
    assert QuillfenPatch.diff(old, new).apply(old) == new


def row(label, seconds, baseline, unit):
    print(f"  {label:<52} {seconds * 1e3:9.2f} ms {seconds / baseline:7.2f} x {unit}")


def marshal_rows(title, pair):
    old, new = pair
    check(old, new)
    print(title)
    for collector in (False, True):
        gc_note = "gc on" if collector else "gc off"
        baseline = cpu_time(lambda: marshal.loads(marshal.dumps(old)), collector)
        seconds = cpu_time(lambda: QuillfenPatch.diff(old, new), collector)
        row(f"diff(old, new), {gc_note}", seconds, baseline, "marshal round trip of old")


def main():
    print(f"Python {sys.version.split()[0]}; CPU time, best of {REPEATS}; {SIZE:,} records\n")
    for varied in (False, True):
        orders = "varied key orders" if varied else "one key order"
        for shared in (True, False):
            kind = "shared" if shared else "apart"
            marshal_rows(f"object of {SIZE:,} records, 1% changed; {orders}; {kind}", object_pair(SIZE, varied, shared))
            marshal_rows(f"serial array of {SIZE:,} records: 1% changed, 0.5% deleted, 0.5% appended; {orders}; {kind}",
                         array_pair(SIZE, varied, shared))
    old, new = one_replaced(SIZE)
    check(old, new)
    print(f"object of {SIZE:,} records, new a copy of old with one record replaced")
    for collector in (False, True):
        gc_note = "gc on" if collector else "gc off"
        baseline = cpu_time(lambda: old == new, collector)
        row(f"diff(old, new), {gc_note}", cpu_time(lambda: QuillfenPatch.diff(old, new), collector), baseline, "old == new")
    if "--peers" in sys.argv:
        peers()
    if "--memory" in sys.argv:
        memory()


def peers():
    makers = []
    for name, call in (("fastjsonpatch", "make_patch"), ("jsonpatch", "make_patch"), ("pyjsonpatch", "generate_patch")):
        try:
            module = __import__(name)
        except ImportError:
            continue
        makers.append((f"{name}.{call}", getattr(module, call)))
    n = 10_000
    pairs = [(f"{n:,} records, 100 of them with one field changed; {'shared' if shared else 'apart'}", edited_records(n, 100, shared))
             for shared in (True, False)]
    pairs += [(f"serial array of {n:,} records as above; {'varied key orders' if varied else 'one key order'}; apart",
               array_pair(n, varied, False)) for varied in (False, True)]
    print("\nAgainst RFC 6902 make_patch of each library found (diffs by position: a patch of another size)")
    for title, (old, new) in pairs:
        check(old, new)
        print(f"  {title}:")
        for collector in (False, True):
            gc_note = "gc on" if collector else "gc off"
            times = {name: cpu_time(lambda: make(old, new), collector) for name, make in makers}
            fastest = min(times, key=times.get) if times else None
            baseline = times[fastest] if fastest else 1.0
            for name, seconds in sorted(times.items(), key=lambda item: item[1]):
                row(f"{name}, {gc_note}", seconds, baseline, f"{fastest}")
            row(f"QuillfenPatch.diff, {gc_note}", cpu_time(lambda: QuillfenPatch.diff(old, new), collector), baseline,
                f"{fastest}")


MEMORY_CHILD = r"""
import gc, marshal, sys
sys.path.insert(0, "bench")
from bench_diff import object_pair, array_pair
from quillfen_patch import QuillfenPatch

def status():
    fields = dict(line.split(":", 1) for line in open("/proc/self/status"))
    return int(fields["VmRSS"].split()[0]), int(fields["VmHWM"].split()[0])

gc.disable()
make, varied, shared, n = sys.argv[1] == "array", sys.argv[2] == "1", sys.argv[3] == "1", int(sys.argv[4])
old, new = (array_pair if make else object_pair)(n, varied, shared)
before, _ = status()
one_document = marshal.loads(marshal.dumps(old))  # the size of one document, unshared
size = status()[0] - before
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")  # the high-water mark starts again from here
both, _ = status()
QuillfenPatch.diff(old, new)
print((status()[1] - both) / size)
"""


def memory():
    n = 20_000 if QUICK else 100_000
    print(f"\npeak resident memory above the two documents while diff runs, as a share of one document ({n:,} records)")
    for make in ("object", "array"):
        for varied in (False, True):
            for shared in (True, False):
                share = subprocess.run([sys.executable, "-c", MEMORY_CHILD, make, str(int(varied)), str(int(shared)), str(n)],
                                       capture_output=True, text=True, check=True).stdout.strip()
                label = f"{make}, {'varied key orders' if varied else 'one key order'}, {'shared' if shared else 'apart'}"
                print(f"  {label:<52} {float(share):7.3f} x one document")


if __name__ == "__main__":
    main()
