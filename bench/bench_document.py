"""Timings of to_json, from_json and merge, each as a ratio to a marshal round trip of the same data.

    PYTHONPATH=build/py311 python bench/bench_document.py [--quick]

marshal.loads(marshal.dumps(document)) is the baseline: a native walk that builds an equal copy of
the document, which is the least that any reading or writing of the whole document must do. A
ratio of 3 means three times the baseline's time, measured in the same run. For merge the
baseline is one round trip of both input documents.

The last table merges two Nested entries of n children each, half of the keys shared: with
partners found by hash the time per child stays flat as n grows; a scan for each partner would
make it grow with n.
"""

import gc
import marshal
import sys
import time

from quillfen_patch import QuillfenPatch

QUICK = "--quick" in sys.argv
REPEATS = 3 if QUICK else 7


def best_time(run, repeats=REPEATS):
    times = []
    for _ in range(repeats):
        gc.collect()  # each run starts without the garbage of the one before
        start = time.perf_counter()
        run()
        times.append(time.perf_counter() - start)
    return min(times)


def marshal_round_trip(*documents):
    return best_time(lambda: [marshal.loads(marshal.dumps(d)) for d in documents])


def wide_document(entries, salt):
    """`entries` top-level members of mixed kinds: numbers, strings, small Nested, Delete."""
    document = {}
    for i in range(entries):
        key = f"key{i}"
        kind = i % 4
        if kind == 0:
            document[key] = i + salt
        elif kind == 1:
            document[key] = f"value {i} {salt}"
        elif kind == 2:
            document[key] = {"a": i, "b": {"c": salt, "d": [1, 2.5, "x"]}}
        else:
            document[key] = {"*": None}
    return document


def deep_document(chains, depth, salt):
    """`chains` members, each a chain of `depth` nested objects (marshal refuses ~2,000 levels)."""
    document = {}
    for c in range(chains):
        value = {"leaf": salt}
        for level in range(depth):
            value = {f"k{level % 3}": value, "s": level} if level % 100 == 0 else {"k": value}
        document[f"chain{c}"] = value
    return document


def row(name, seconds, baseline):
    print(f"  {name:<44} {seconds * 1e3:9.2f} ms   {seconds / baseline:6.2f} x marshal")


def bench_document_pair(title, minor_document, major_document):
    print(title)
    minor = QuillfenPatch.from_json(minor_document)
    major = QuillfenPatch.from_json(major_document)
    written = minor.to_json()  # the document as to_json gives it, for a like-for-like baseline
    one = marshal_round_trip(written)
    row("to_json", best_time(minor.to_json), one)
    row("from_json", best_time(lambda: QuillfenPatch.from_json(written)), one)
    both = marshal_round_trip(written, major.to_json())
    row("merge (copies both inputs, then merges)", best_time(lambda: QuillfenPatch.merge(minor, major)), both)
    row("merge of a patch with itself", best_time(lambda: QuillfenPatch.merge(minor, minor)),
        marshal_round_trip(written, written))


def wide_children(n, offset):
    # Keys in a different order on each side, so no partner sits at the same position.
    return {"k": {f"c{(i * 7919 + offset) % (2 * n)}": {"v": i} for i in range(n)}}


def bench_child_list_scaling():
    print("merge of two Nested entries with n children each (half the keys shared)")
    print(f"  {'n':>8} {'merge':>12} {'per child':>12} {'x marshal':>10}")
    for n in (1_000, 10_000, 100_000) if not QUICK else (1_000, 10_000):
        minor_doc, major_doc = wide_children(n, 0), wide_children(n, n)
        minor, major = QuillfenPatch.from_json(minor_doc), QuillfenPatch.from_json(major_doc)
        seconds = best_time(lambda: QuillfenPatch.merge(minor, major))
        baseline = marshal_round_trip(minor_doc, major_doc)
        print(f"  {n:>8} {seconds * 1e3:9.2f} ms {seconds / (2 * n) * 1e9:9.1f} ns {seconds / baseline:10.2f}")


def bench_depth_scaling():
    print("one chain of nested objects, deeper than marshal goes (time per level should stay flat)")
    for depth in (1_000, 10_000):
        document = {"root": {"leaf": 1}}
        value = {"leaf": 1}
        for _ in range(depth):
            value = {"k": value}
        document = {"root": value}
        patch = QuillfenPatch.from_json(document)
        t_write = best_time(patch.to_json)
        t_read = best_time(lambda: QuillfenPatch.from_json(document))
        t_merge = best_time(lambda: QuillfenPatch.merge(patch, patch))
        print(f"  depth {depth:>6}: to_json {t_write / depth * 1e9:7.1f} ns/level, "
              f"from_json {t_read / depth * 1e9:7.1f} ns/level, merge {t_merge / depth * 1e9:7.1f} ns/level")


def main():
    print(f"Python {sys.version.split()[0]}; best of {REPEATS} runs\n")
    entries = 20_000 if QUICK else 100_000
    bench_document_pair(f"{entries:,} top-level entries, half of them shared by minor and major",
                        wide_document(entries, 0),
                        {k: v for k, v in wide_document(entries + entries // 2, 1).items()
                         if int(k[3:]) >= entries // 2})
    print()
    chains = 20 if QUICK else 100
    bench_document_pair(f"{chains} chains of 1,000 nested levels ({chains * 1000:,} objects)",
                        deep_document(chains, 1_000, 0), deep_document(chains, 1_000, 1))
    print()
    bench_depth_scaling()
    print()
    bench_child_list_scaling()


if __name__ == "__main__":
    main()
