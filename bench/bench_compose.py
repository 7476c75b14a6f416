"""compose: folding a history of small patches into one.

    python bench/bench_compose.py [--quick]

1,000 patches of one member each over 100 distinct members (keys in varied orders, some text not
ASCII), folded left to right: in one call, compose(*history), and pairwise with functools.reduce, each
step a new patch. compose for objects on scalar values; compose for any data on records (dicts, which
stay exact on a list root too), the first 100 patches adding them in byte order of their serials and
the rest replacing them. The baseline is reduce(merge), the same pairwise patch work without
composing. CPU time of the whole fold, best of REPEATS, collector off (on, in brackets), and the
entries of the result.
"""

import functools
import random
import sys

from bench_cost import best_cpu
from quillfen_patch import QuillfenPatch

QUICK = "--quick" in sys.argv
REPEATS = 5 if QUICK else 21


def history(records):
    rng = random.Random(3)
    keys = sorted(f"{'é' if i % 3 == 0 else 'k'}{rng.randrange(10**6):06d}-{i}" for i in range(100))
    patches = []
    for i in range(1000):
        patch = QuillfenPatch()
        if records:
            patch.set(keys[i] if i < 100 else keys[rng.randrange(100)], {"n": i, "name": f"v{i}-\u00e9"})
        else:
            patch.set(keys[rng.randrange(100)], i)
        patches.append(patch)
    return patches


def main():
    scalars, records = history(False), history(True)
    compose = QuillfenPatch.compose
    rows = [
        ("reduce(merge), scalars (baseline)", lambda: functools.reduce(QuillfenPatch.merge, scalars)),
        ("compose(*history, objects=True), scalars", lambda: compose(*scalars, objects=True)),
        ("compose(*history), records", lambda: compose(*records)),
        ("reduce(compose(objects=True)), scalars", lambda: functools.reduce(lambda a, b: compose(a, b, objects=True), scalars)),
        ("reduce(compose), records", lambda: functools.reduce(compose, records)),
    ]
    print("1,000 one-member patches, 100 distinct members: CPU time of the fold, collector off (on); ratio to reduce(merge); entries")
    baseline = None
    for name, run in rows:
        off, on = (best_cpu(run, None, collector, REPEATS) for collector in (False, True))
        baseline = baseline or (off, on)
        print(f"  {name:<48} {off * 1e3:7.3f} ms ({on * 1e3:7.3f})  {off / baseline[0]:5.2f} ({on / baseline[1]:.2f})  {len(run()):>4}")


if __name__ == "__main__":
    main()
