"""Timings of apply and apply_inplace with a patch that touches 1% of a large document.

    PYTHONPATH=build/py311 python bench/bench_apply.py [--quick]

Two baselines, measured in the same run:
- marshal.loads(marshal.dumps(document)): a native walk that builds an equal copy of the document,
  the least that apply must do (it converts the document in and the result out);
- the pure-Python model of applying that the property tests check apply against
  (model/quillfen_model.py), which deep-copies the document and patches the copy.

The patches mix every change that Python can record: Sets of existing and of new keys, Deletes
and Nested entries, by member name, by serial and by index key. The last table grows the share
of new and deleted members of one object: with batched edits the time per entry stays flat; an
insertion or removal in the middle of the object for each entry would make it grow with the count.
"""

import marshal
import os
import sys

from quillfen_patch import QuillfenPatch

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "model"))
import quillfen_model as model  # noqa: E402

from bench_document import QUICK, REPEATS, best_time  # noqa: E402  (the same timing rules)

SIZE = 20_000 if QUICK else 100_000


def object_document(n):
    document = {}
    for i in range(n):
        kind = i % 3
        document[f"key{i:06d}"] = i if kind == 0 else f"text {i}" if kind == 1 else {"a": i, "b": [1, 2.5, "x"]}
    return document


def object_patch(n, share):
    """Touches `share` of the members: a quarter each Set (existing), Set (new), Delete, Nested."""
    patch = {}
    for j, i in enumerate(range(0, n, max(1, int(1 / share)))):
        kind = j % 4
        if kind == 0:
            patch[f"key{i:06d}"] = ("set", {"replaced": j})
        elif kind == 1:
            patch[f"key{i:06d}x"] = ("set", j)  # a new member, between existing ones
        elif kind == 2:
            patch[f"key{i:06d}"] = ("delete",)
        else:
            patch[f"key{i - i % 3 + 2:06d}"] = ("nested", [("a", ("set", -j)), ("c", ("set", "new"))])
    return patch


def array_document(n):
    return [{"_": f"s{i}", "v": i, "tags": ["t", i % 7]} for i in range(n)]


def array_patch(n, share):
    """Touches `share` of the elements: by serial Set, Delete, Nested and new serials; by index key."""
    patch = {}
    for j, i in enumerate(range(0, n, max(1, int(1 / share)))):
        kind = j % 5
        if kind == 0:
            patch[f"s{i}"] = ("set", {"v": -i})
        elif kind == 1:
            patch[f"s{i}"] = ("delete",)
        elif kind == 2:
            patch[f"s{i}"] = ("nested", [("tags", ("set", [])), ("v", ("set", 0))])
        elif kind == 3:
            patch[f"new{i}"] = ("set", {"v": i})  # appended
        else:
            patch[f"[{i}]"] = ("delete",)
    return patch


def to_patch(model_patch):
    """The QuillfenPatch of a model patch, through its document form."""
    return QuillfenPatch.from_json(model.write_exact(model_patch))


def row(name, seconds, marshal_seconds, model_seconds):
    vs_model = f"{seconds / model_seconds:8.3f} x model" if model_seconds else ""
    print(f"  {name:<36} {seconds * 1e3:9.2f} ms {seconds / marshal_seconds:7.2f} x marshal {vs_model}")


def bench_case(title, document, model_patch):
    print(title)
    patch = to_patch(model_patch)
    baseline = best_time(lambda: marshal.loads(marshal.dumps(document)))
    model_time = best_time(lambda: model.apply(model_patch, document), repeats=min(REPEATS, 3))
    expected, error = model.apply(model_patch, document)
    result = patch.apply(document)
    assert error is None and len(result) == len(expected)
    row("marshal round trip (baseline)", baseline, baseline, model_time)
    row("pure-Python model", model_time, baseline, model_time)
    row("apply", best_time(lambda: patch.apply(document)), baseline, model_time)
    copies = [marshal.loads(marshal.dumps(document)) for _ in range(REPEATS)]
    row("apply_inplace (on a fresh copy each run)", best_time(lambda: patch.apply_inplace(copies.pop())), baseline, model_time)
    row("empty patch: conversion in and out only", best_time(lambda: QuillfenPatch().apply(document)), baseline, model_time)


def bench_object_scaling():
    print(f"new and deleted members (half each) of one object of {SIZE:,}")
    document = object_document(SIZE)
    conversion = best_time(lambda: QuillfenPatch().apply(document), repeats=3 * REPEATS)
    print(f"  {'entries':>8} {'apply':>12} {'beyond conversion, per entry':>30}")
    for share in (0.001, 0.01, 0.1, 0.5):
        entries = {}
        for j, i in enumerate(range(0, SIZE, int(1 / share))):
            entries[f"key{i:06d}" + ("x" if j % 2 else "")] = ("set", j) if j % 2 else ("delete",)
        patch = to_patch(entries)
        seconds = best_time(lambda: patch.apply(document), repeats=3 * REPEATS)
        per_entry = max(seconds - conversion, 0) / len(entries)
        print(f"  {len(entries):>8,} {seconds * 1e3:9.2f} ms {per_entry * 1e9:27.0f} ns")


def main():
    print(f"Python {sys.version.split()[0]}; best of {REPEATS} runs\n")
    bench_case(f"object of {SIZE:,} members, patch touching 1%", object_document(SIZE), object_patch(SIZE, 0.01))
    print()
    bench_case(f"array of {SIZE:,} objects with serials, patch touching 1%", array_document(SIZE), array_patch(SIZE, 0.01))
    print()
    bench_object_scaling()


if __name__ == "__main__":
    main()
