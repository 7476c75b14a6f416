"""What applying costs against the size of the change, on the documents a syncing program keeps.

    PYTHONPATH=build/py3.9 python3.9 bench/bench_cost.py [--quick] [--memory]

Two documents of small records (dicts of 4 to 6 fields: a short str, an int, a float, a bool, maybe
None, a list of 1 to 3 short strs): an object of 100,000 members, and an array of 100,000 records
each carrying a serial in "_". A patch touches a share of them: half sets of new records (half of
those at new keys or serials), a quarter deletions, a quarter nested changes of one field.

Baselines, measured in the same run:
- marshal.loads(marshal.dumps(document)): a native walk that builds an equal copy of the document;
- the same changes made by hand in Python on the document itself (for the array, after indexing its
  serials, which a program that edits by serial must do too).

apply_inplace runs on a fresh copy each time (the copy is made beforehand, not timed). With
--memory, each operation also runs in a fresh process on a document of about 100 MB, and the
table gives the peak resident memory above the document's, as a share of the document's size.
"""

import gc
import marshal
import os
import subprocess
import sys
import time

from quillfen_patch import QuillfenPatch

QUICK = "--quick" in sys.argv
SIZE = 20_000 if QUICK else 100_000
REPEATS = 3 if QUICK else 7
WORDS = ["alpha", "beta", "gamma", "delta", "eps", "zeta", "eta", "theta"]


def best_time(run, repeats=REPEATS, setup=None):
    times = []
    for _ in range(repeats):
        argument = setup() if setup else None
        gc.collect()
        start = time.perf_counter()
        run(argument) if setup else run()
        times.append(time.perf_counter() - start)
    return min(times)


def best_cpu(run, setup=None, collector=False, repeats=REPEATS):
    """Best CPU seconds of `run` over `repeats` runs, each on a fresh argument from `setup` (made
    before the clock starts), with the collector off unless `collector`."""
    best = float("inf")
    for _ in range(repeats):
        argument = setup() if setup else None
        gc.collect()
        if not collector:
            gc.disable()
        start = time.process_time()
        run(argument) if setup else run()
        best = min(best, time.process_time() - start)
        gc.enable()
    return best


def record(i):
    r = {"name": f"{WORDS[i % 8]}-{i}", "n": i, "x": i / 7, "ok": i % 2 == 0}
    if i % 3 != 0:
        r["none"] = None
    if i % 3 != 1:
        r["tags"] = WORDS[i % 5 : i % 5 + 1 + i % 3]
    return r


def object_document(n):
    return {f"m{i:07d}": record(i) for i in range(n)}


def array_document(n):
    return [{"_": f"s{i}", **record(i)} for i in range(n)]


def changes(n, share, array):
    """(key, kind, value) for `share` of the n members: kind is set, new, delete or field."""
    step = max(1, round(1 / share))
    out = []
    for j, i in enumerate(range(0, n, step)):
        kind = ("set", "new", "delete", "field", "set", "new", "delete", "field")[j % 8]
        key = f"s{i}" if array else f"m{i:07d}"
        if kind == "new":
            key = f"t{i}" if array else f"m{i:07d}x"
        out.append((key, kind, record(n + j) if kind in ("set", "new") else -j))
    if array:  # another quarter of the share appended by new serials
        out += [(f"u{i}", "new", record(i)) for i in range(0, n, step * 4)]
    return out


def patch_of(changes):
    p = QuillfenPatch()
    nested = {}
    for key, kind, value in changes:
        if kind in ("set", "new"):
            p.set(key, value)
        elif kind == "delete":
            p.delete(key)
        else:
            nested[key] = {"n": value}
    if nested:
        p = QuillfenPatch.merge(p, QuillfenPatch.from_json(nested))
    return p


def by_hand(document, changes):
    """The same changes made directly on `document`, as a program would without this module."""
    if isinstance(document, dict):
        for key, kind, value in changes:
            if kind in ("set", "new"):
                document[key] = dict(value)
            elif kind == "delete":
                document.pop(key, None)
            elif key in document:
                document[key]["n"] = value
        return
    index = {e["_"]: i for i, e in enumerate(document) if isinstance(e, dict) and isinstance(e.get("_"), str)}
    removed, appended = set(), []
    for key, kind, value in changes:
        position = index.get(key)
        if kind in ("set", "new"):
            element = {**value, "_": key}
            if position is None:
                appended.append(element)
            else:
                document[position] = element
        elif kind == "delete":
            removed.add(position)
        else:
            document[position]["n"] = value
    if removed:
        document[:] = [e for i, e in enumerate(document) if i not in removed]
    document.extend(appended)


def copies(document, count):
    return [marshal.loads(marshal.dumps(document)) for _ in range(count)]


def row(name, seconds, baseline):
    print(f"  {name:<40} {seconds * 1e3:9.2f} ms {seconds / baseline:8.3f} x marshal")


def bench_shape(title, document, array):
    print(title)
    baseline = best_time(lambda: marshal.loads(marshal.dumps(document)))
    row("marshal round trip (baseline)", baseline, baseline)
    for share in (0.0001, 0.001, 0.01, 0.1):
        touched = changes(len(document), share, array)
        p = patch_of(touched)
        pool = copies(document, REPEATS)
        hand = best_time(lambda d: by_hand(d, touched), setup=pool.pop)
        pool = copies(document, REPEATS)
        inplace = best_time(lambda d: p.apply_inplace(d), setup=pool.pop)
        applied = best_time(lambda: p.apply(document))
        print(f"  {share:>7.2%} touched ({len(touched):,} changes)")
        row("  by hand in Python", hand, baseline)
        row("  apply", applied, baseline)
        row("  apply_inplace", inplace, baseline)


MEMORY_PROBE = """
import marshal, sys
sys.path.insert(0, {bench!r})
from bench_cost import array_document, changes, object_document, patch_of

def rss():
    with open("/proc/self/status") as f:
        fields = dict(line.split(":", 1) for line in f)
    return int(fields["VmRSS"].split()[0]), int(fields["VmHWM"].split()[0])

def reset_peak():
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")

array = {array}
n = {n}
p = patch_of(changes(n, 0.01, array))
before, _ = rss()
document = (array_document if array else object_document)(n)
size = rss()[0] - before
if {operation!r} == "marshal":
    blob = marshal.dumps(document)
reset_peak()
start = rss()[0]
if {operation!r} == "apply":
    result = p.apply(document)
elif {operation!r} == "apply_inplace":
    p.apply_inplace(document)
else:
    result = marshal.loads(blob)
print((rss()[1] - start) / size)
"""


def bench_memory():
    n = 400_000
    print(f"peak resident memory above the document's, as a share of the document (n = {n:,}, about 100 MB)")
    for array in (False, True):
        shares = []
        for operation in ("marshal", "apply", "apply_inplace"):
            code = MEMORY_PROBE.format(bench=os.path.dirname(os.path.abspath(__file__)), array=array, n=n, operation=operation)
            out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
            shares.append(f"{operation} {float(out.stdout):.2f}")
        print(f"  {'array' if array else 'object':<8}" + "   ".join(shares))


def main():
    print(f"Python {sys.version.split()[0]}; best of {REPEATS} runs; {SIZE:,} records\n")
    bench_shape(f"object of {SIZE:,} records", object_document(SIZE), False)
    print()
    bench_shape(f"array of {SIZE:,} records with serials", array_document(SIZE), True)
    if "--memory" in sys.argv:
        print()
        bench_memory()


if __name__ == "__main__":
    main()
