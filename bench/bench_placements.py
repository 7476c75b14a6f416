"""Placements: what inserting and moving records by serial costs, against what it replaces.

    python bench/bench_placements.py [--quick]

- The size of diff's patch (JSON text of the lossless form) for one record appended, inserted in the
  middle and moved, in 10,000 records, and the number of entries for 100 random moves.
- Applying 1,000 placements (moves and inserts) to a 100,000-record list where it stands
  (apply_touched), against apply_touched of 1,000 replacements on the same list (the baseline), and
  a marshal round trip of the list. CPU time, best of REPEATS, collector off (on, in brackets); every
  run on a fresh copy made beforehand.
"""

import json
import marshal
import random
import sys

from bench_cost import best_cpu
from quillfen_patch import QuillfenPatch

QUICK = "--quick" in sys.argv
SIZE = 20_000 if QUICK else 100_000
REPEATS = 3 if QUICK else 7


def record(i):
    # Keys in varied orders, some text not ASCII.
    fields = [("name", f"rec-{i}-\u00e9"), ("n", i), ("x", i / 7), ("ok", i % 2 == 0)]
    random.Random(i).shuffle(fields)
    return {"_": f"r{i:07d}", **dict(fields)}


def sizes():
    old = [record(i) for i in range(10_000)]
    cases = {
        "one record appended": old + [record(10_000)],
        "one record inserted in the middle": old[:5000] + [record(10_000)] + old[5000:],
        "one record moved": old[:10] + [old[7000]] + old[10:7000] + old[7001:],
    }
    print("diff of 10,000 records: bytes of json.dumps(to_json_exact())")
    for name, new in cases.items():
        patch = QuillfenPatch.diff(old, new)
        assert patch.apply(old) == new
        print(f"  {name:<36} {len(json.dumps(patch.to_json_exact())):>8,}")
    rng = random.Random(1)
    new = list(old)
    for _ in range(100):
        new.insert(rng.randrange(len(new)), new.pop(rng.randrange(len(new))))
    patch = QuillfenPatch.diff(old, new)
    assert patch.apply(old) == new
    print(f"  {'100 random moves: entries':<36} {len(patch):>8,}")


def costs():
    document = [record(i) for i in range(SIZE)]
    rng = random.Random(2)
    placed = QuillfenPatch()
    for j in range(1000):
        key = f"r{rng.randrange(SIZE):07d}" if j % 2 else f"n{j:05d}"  # moves and inserts
        if not j % 2:
            placed.set(key, {"name": "new", "n": j})
        placed.place(key, after=f"r{rng.randrange(SIZE):07d}")
    replaced = QuillfenPatch()
    for j in range(1000):
        replaced.set(f"r{rng.randrange(SIZE):07d}", {"name": "changed", "n": j})
    fresh = lambda: marshal.loads(marshal.dumps(document))  # noqa: E731
    rows = [
        ("marshal round trip", lambda c: marshal.loads(marshal.dumps(document)), lambda: None),
        ("apply_touched, 1,000 replacements (baseline)", lambda d: replaced.apply_touched(d), fresh),
        ("apply_touched, 1,000 placements", lambda d: placed.apply_touched(d), fresh),
        ("apply_inplace, 1,000 placements", lambda d: placed.apply_inplace(d), fresh),
        ("apply, 1,000 placements", lambda c: placed.apply(document), lambda: None),
    ]
    times = {name: [best_cpu(run, setup, collector, REPEATS) for collector in (False, True)] for name, run, setup in rows}
    baseline = times["apply_touched, 1,000 replacements (baseline)"]
    print(f"{SIZE:,} records: CPU time, collector off (on); ratio to apply_touched of 1,000 replacements")
    for name, (off, on) in times.items():
        print(f"  {name:<46} {off * 1e3:8.2f} ms ({on * 1e3:8.2f})  {off / baseline[0]:6.2f} ({on / baseline[1]:.2f})")


if __name__ == "__main__":
    sizes()
    costs()
