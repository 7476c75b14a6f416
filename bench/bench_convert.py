"""Conversion speed: a ~200,000-node document into a patch and back out, against marshal.

Run: PYTHONPATH=build/<dir> python bench/bench_convert.py

Reports best-of-N times and their ratio to marshal.loads(marshal.dumps(doc)) measured in the same
run: a C round trip through the same Python objects, as a yardstick for this machine and build.
`set` converts the document into a JsonValue; `to_json` writes the document form (a deep copy of
the value) and converts that back into new Python objects.
"""

import argparse
import marshal
import random
import time

from quillfen_patch import QuillfenPatch


def make_document(target_nodes, seed=7):
    """Mixed dicts, lists, strings, ints, floats, bools and None, about `target_nodes` nodes."""
    rng = random.Random(seed)
    words = ["alpha", "beta", "gamma", "delta", "epsilon", "z\u00e9ta", "eta", "theta", "iota", "kappa"]
    count = 0

    def scalar():
        kind = rng.randrange(6)
        if kind == 0:
            return rng.randrange(-(10**6), 10**6)
        if kind == 1:
            return rng.random() * 1000
        if kind == 2:
            return rng.choice(words) + str(rng.randrange(1000))
        if kind == 3:
            return rng.random() < 0.5
        if kind == 4:
            return None
        return rng.randrange(2**40)

    def node(depth):
        nonlocal count
        count += 1
        if depth >= 6 or rng.random() < 0.45:
            return scalar()
        if rng.random() < 0.5:
            return {rng.choice(words) + str(i): node(depth + 1) for i in range(rng.randrange(1, 9))}
        return [node(depth + 1) for _ in range(rng.randrange(1, 9))]

    items = []
    while count < target_nodes:
        items.append(node(0))
    return {"items": items}, count


def best_of(repeat, func):
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        func()
        best = min(best, time.perf_counter() - start)
    return best


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--nodes", type=int, default=200_000)
    parser.add_argument("--repeat", type=int, default=7)
    args = parser.parse_args()

    doc, nodes = make_document(args.nodes)
    patch = QuillfenPatch()
    patch.set("doc", doc)
    assert patch.to_json()["doc"] == doc
    assert marshal.loads(marshal.dumps(doc)) == doc

    baseline = best_of(args.repeat, lambda: marshal.loads(marshal.dumps(doc)))
    into = best_of(args.repeat, lambda: patch.set("doc", doc))
    out = best_of(args.repeat, patch.to_json)
    both = best_of(args.repeat, lambda: (patch.set("doc", doc), patch.to_json()))

    print(f"document: {nodes} nodes; best of {args.repeat}")
    print(f"marshal.loads(marshal.dumps(doc)) {baseline * 1e3:8.2f} ms   1.00")
    for name, seconds in (("set (Python -> value)", into), ("to_json (copy + value -> Python)", out),
                          ("set + to_json", both)):
        print(f"{name:34s} {seconds * 1e3:8.2f} ms   {seconds / baseline:.2f}")


if __name__ == "__main__":
    main()
