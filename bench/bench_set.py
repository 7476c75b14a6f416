"""Recording cost: 100,000 set calls on one patch; the time per call must not grow with its size.

Run: PYTHONPATH=build/<dir> python bench/bench_set.py

Prints the time per call over the first and the last 10,000 calls (best of N runs), their ratio
(about 1 when a call costs the same whatever the patch already holds; a call that copied the whole
patch would make it about 19), and, as a yardstick measured in the same run, the same loop storing
into a plain dict with `d[key] = value`.
"""

import argparse
import time

from quillfen_patch import QuillfenPatch


def timed_blocks(calls, block, record):
    """Seconds for each block of `block` consecutive calls to record(i)."""
    times = []
    for first in range(0, calls, block):
        start = time.perf_counter()
        for i in range(first, first + block):
            record(i)
        times.append(time.perf_counter() - start)
    return times


def run(calls, block, make_recorder):
    record = make_recorder()
    return timed_blocks(calls, block, record)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--calls", type=int, default=100_000)
    parser.add_argument("--block", type=int, default=10_000)
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()

    keys = [f"key-{i}" for i in range(args.calls)]
    values = [{"v": i, "tags": ["a", "b"]} for i in range(args.calls)]

    def patch_recorder():
        patch = QuillfenPatch()
        return lambda i: patch.set(keys[i], values[i])

    def dict_recorder():
        d = {}

        def record(i):
            d[keys[i]] = values[i]

        return record

    def best(make_recorder):
        runs = [run(args.calls, args.block, make_recorder) for _ in range(args.repeat)]
        return [min(r[b] for r in runs) for b in range(len(runs[0]))]

    patch_blocks = best(patch_recorder)
    dict_blocks = best(dict_recorder)
    per_call = lambda seconds: seconds / args.block * 1e9  # noqa: E731

    print(f"{args.calls} calls in blocks of {args.block}; best of {args.repeat}; ns per call")
    print(f"{'block':>6} {'set':>10} {'dict[k]=v':>10}")
    for b, (p, d) in enumerate(zip(patch_blocks, dict_blocks)):
        print(f"{b:6d} {per_call(p):10.0f} {per_call(d):10.0f}")
    print(f"last block / first block: set {patch_blocks[-1] / patch_blocks[0]:.2f}, "
          f"dict {dict_blocks[-1] / dict_blocks[0]:.2f}")
    print(f"set / dict[k]=v over all calls: {sum(patch_blocks) / sum(dict_blocks):.2f}")


if __name__ == "__main__":
    main()
