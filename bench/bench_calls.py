"""What one small call costs, against the interpreter's own calls measured in the same run.

    PYTHONPATH=build/py3.9 python3.9 bench/bench_calls.py [--quick]

- set on one growing patch, 100,000 calls in blocks of 10,000: ns per call in the first and the last
  block (flat when a call costs the same whatever the patch holds), against a bound
  dict.__setitem__ storing the same value; with an int value and with a small record;
- delete and len, against a bound dict.__setitem__ and len of a dict;
- apply of a 3-entry patch to a 20-member document, against a marshal round trip of that document.
"""

import marshal
import sys
import time

from quillfen_patch import QuillfenPatch

QUICK = "--quick" in sys.argv
CALLS = 20_000 if QUICK else 100_000
BLOCK = CALLS // 10
REPEATS = 3 if QUICK else 5


def blocks(call):
    """Seconds for each block of BLOCK calls of call(i), best of REPEATS fresh runs."""
    runs = []
    for _ in range(REPEATS):
        f = call()
        times = []
        for first in range(0, CALLS, BLOCK):
            start = time.perf_counter()
            for i in range(first, first + BLOCK):
                f(i)
            times.append(time.perf_counter() - start)
        runs.append(times)
    return [min(r[b] for r in runs) for b in range(len(runs[0]))]


def per_call(seconds):
    return seconds / BLOCK * 1e9


def compare(title, ours, yardstick, name):
    a, b = blocks(ours), blocks(yardstick)
    print(f"{title}")
    print(f"  first block {per_call(a[0]):7.0f} ns, last {per_call(a[-1]):7.0f} ns (last/first {a[-1] / a[0]:.2f}); "
          f"{name} {per_call(sum(b) / len(b)):7.0f} ns; ratio {sum(a) / sum(b):.2f}")


def main():
    keys = [f"key-{i}" for i in range(CALLS)]
    record = {"name": "alpha", "n": 1, "x": 0.5, "ok": True, "tags": ["a", "b"]}
    print(f"Python {sys.version.split()[0]}; {CALLS:,} calls in blocks of {BLOCK:,}; best of {REPEATS}\n")

    for label, value in (("an int", 7), ("a small record", record)):

        def patch_set(value=value):
            setter = QuillfenPatch().set
            return lambda i: setter(keys[i], value)

        def dict_set(value=value):
            setter = {}.__setitem__
            return lambda i: setter(keys[i], value)

        compare(f"set of {label}", patch_set, dict_set, "bound dict.__setitem__")

    def patch_delete():
        deleter = QuillfenPatch().delete
        return lambda i: deleter(keys[i])

    def dict_store_none():
        setter = {}.__setitem__
        return lambda i: setter(keys[i], None)

    compare("delete", patch_delete, dict_store_none, "bound dict.__setitem__")

    def patch_len():
        p = QuillfenPatch()
        p.set("a", 1)
        return lambda i: len(p)

    def dict_len():
        d = {"a": 1}
        return lambda i: len(d)

    compare("len", patch_len, dict_len, "len of a dict")

    document = {f"field{i}": (i if i % 3 else f"text {i}") for i in range(20)}
    small = QuillfenPatch.from_json({"field1": 5, "field2": {"*": None}, "new": [1, 2]})
    compare("apply of 3 entries to a 20-member document", lambda: lambda i: small.apply(document),
            lambda: lambda i: marshal.loads(marshal.dumps(document)), "marshal round trip")


if __name__ == "__main__":
    main()
