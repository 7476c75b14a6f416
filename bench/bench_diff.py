"""Timings of QuillfenPatch.diff, as a ratio to a marshal round trip of one of the two documents.

    PYTHONPATH=build/py311 python bench/bench_diff.py [--quick]

marshal.loads(marshal.dumps(old)) is the baseline, measured in the same run: a native walk that
builds an equal copy of one document. diff reads two documents of that size into the core, compares
them, and makes the patch; the goal is at most 1.5 times the baseline.

Each case also counts the patch: its top-level entries, and its changes at every depth (the Set and
Delete operations it holds), against the number of changes made to the document. The serials of
the array case are zero-padded, so the appended elements follow in byte order and the array is
changed element by element (appended ones in another order would set the array whole).
"""

import marshal
import sys

from quillfen_patch import QuillfenPatch

from bench_document import QUICK, best_time

SIZE = 20_000 if QUICK else 100_000


def member(i):
    kind = i % 3
    return i if kind == 0 else f"text {i}" if kind == 1 else {"a": i, "b": [1, 2.5, "x"]}


def object_pair(n):
    """Two objects of n members; 1% of the members differ: changed, changed below, deleted, added."""
    old = {f"key{i:06d}": member(i) for i in range(n)}
    new = dict(old)
    changes = 0
    for j, i in enumerate(range(0, n, 100)):
        key = f"key{i:06d}"
        kind = j % 4
        if kind == 0:
            new[key] = -i - 1
        elif kind == 1:
            new[key] = {"a": i, "b": [1, 2.5, "y"]} if isinstance(old[key], dict) else [i]
        elif kind == 2:
            del new[key]
        else:
            new[key + "x"] = {"added": j}
        changes += 1
    return old, new, changes


def array_pair(n):
    """Two arrays of n serial-carrying objects, under one member: 1% of the elements changed, 0.5%
    deleted, 0.5% appended."""
    items = [{"_": f"s{i:07d}", "v": i, "tags": ["t", i % 7]} for i in range(n)]
    changed = {i: {"_": f"s{i:07d}", "v": -i - 1, "tags": ["t", i % 7]} for i in range(0, n, 100)}
    deleted = set(range(50, n, 200))
    appended = [{"_": f"s{n + k:07d}", "v": k, "tags": []} for k in range(n // 200)]
    new_items = [changed.get(i, e) for i, e in enumerate(items) if i not in deleted] + appended
    return {"items": items}, {"items": new_items}, len(changed) + len(deleted) + len(appended)


def count_changes(form):
    """The Set and Delete operations at every depth of an exact document form."""
    count, pending = 0, [form]
    while pending:
        for value in pending.pop().values():
            if isinstance(value, dict) and "*" not in value:
                pending.append(value)  # a Nested: its children are the changes
            else:
                count += 1
    return count


def bench_case(title, old, new, changes):
    print(title)
    patch = QuillfenPatch.diff(old, new)
    assert patch.apply(old) == new
    baseline = best_time(lambda: marshal.loads(marshal.dumps(old)))
    seconds = best_time(lambda: QuillfenPatch.diff(old, new))
    same = best_time(lambda: QuillfenPatch.diff(old, old))
    print(f"  {'marshal round trip of old (baseline)':<40} {baseline * 1e3:9.2f} ms {1:7.2f} x marshal")
    print(f"  {'diff(old, new)':<40} {seconds * 1e3:9.2f} ms {seconds / baseline:7.2f} x marshal")
    print(f"  {'diff(old, old): reading and comparing':<40} {same * 1e3:9.2f} ms {same / baseline:7.2f} x marshal")
    found = count_changes(patch.to_json_exact())
    print(f"  patch: {len(patch):,} top-level entries, {found:,} changes, for {changes:,} changes made")


def main():
    print(f"Python {sys.version.split()[0]}; best of the runs\n")
    bench_case(f"two objects of {SIZE:,} members, 1% of them different", *object_pair(SIZE))
    print()
    bench_case(f"two arrays of {SIZE:,} serial-carrying objects: 1% changed, 0.5% deleted, 0.5% appended", *array_pair(SIZE))


if __name__ == "__main__":
    main()
