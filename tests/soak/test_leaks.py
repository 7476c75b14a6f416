"""Each method, called 100,000 times on its success path and on each of its failure paths (TypeError,
ValueError, patch error, RecursionError, refused access), leaves the process no bigger: resident memory, the C
heap and the interpreter's object count stay flat, and tracemalloc sees every Python object freed.
Run by scripts/ci-extra/leaks.sh; each path prints its figures (pytest -s shows them)."""

import ctypes
import gc
import resource
import sys
import tracemalloc

import pytest

from helpers import DELETE, nest
from quillfen_patch import QuillfenPatch

CALLS = 100_000
DEEP_CALLS = 2_000  # 20,001 levels make each call some 2 ms: enough to see a leak of one block per call
DEEP = nest(20_001, 1, in_list=True)


class MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks", "keepcost")]


libc = ctypes.CDLL(None)
libc.mallinfo2.restype = MallInfo2


def heap_bytes():
    info = libc.mallinfo2()
    return info.uordblks + info.hblkhd  # in use from the arenas, and in blocks of their own


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * resource.getpagesize()


def patch():
    return QuillfenPatch.from_json({"a": {"b": 1, "gone": DELETE}, "s": {"v": 2}, "n": [1, 2.5, "x"]})


def refused(inner):
    """A call that runs `inner` from a hook while set holds the patch `p` exclusively."""

    class Hook:
        def __index__(self):
            try:
                inner()
            except RuntimeError as error:
                assert str(error).startswith("Already")
            return 1

    hook = Hook()
    return lambda p: p.set("h", hook)


def refused_while_read(inner):
    """A call that runs `inner` from a hook while apply holds the patch `p` for reading."""

    class Hook:
        def __index__(self):
            try:
                inner()
            except RuntimeError as error:
                assert str(error) == "Already borrowed"
            return 1

    data = {"h": Hook()}
    return lambda p: p.apply(data)


p_shared = patch()
other = patch()
removes_first = QuillfenPatch.from_json({"[0]": DELETE})  # no patch undoes it on a list root
# Two values set in one nested change out of byte order: no lossless form.
out_of_order = QuillfenPatch.merge(QuillfenPatch.from_json({"a": {"b": 1}}), QuillfenPatch.from_json({"a": {"x": 2}}))
OPERATIONS = [{"op": "add", "path": "/x", "value": [1, {"y": 2}]}, {"op": "remove", "path": "/a/b"}, {"op": "copy", "from": "/a", "path": "/c"}]
FAILING_LAST = OPERATIONS + [{"op": "remove", "path": "/zz"}]
MERGE_PATCH = {"a": {"b": None, "x": [1]}, "c": None}
OLD = {"a": 1, "rows": [{"_": "s", "v": 1}, {"_": "t"}], "keep": {"k": [1]}}
NEW = {"a": 2, "rows": [{"_": "s", "v": 2}, {"_": "u"}], "keep": {"k": [1]}}

# Rows moved, inserted after a kept one, and one removed.
PLACED = {"r1": {}, "n": {"*": {"v": 1}}, "r3": {"*": None}, "_": {"*": None, "placements": [[["n"], "r2"], [["r1"], None]]}}


def rows():  # a fresh list for each call
    return [{"_": f"r{i}", "v": i} for i in range(5)]


PATHS = {
    "set": lambda p: p.set("k", {"v": [1, "x", 2.5]}),
    "set TypeError value": lambda p: p.set("k", [1, object()]),
    "set TypeError key": lambda p: p.set(1, 1),
    "set RecursionError": lambda p: p.set("k", DEEP),
    "set refused": refused_while_read(lambda: p_shared.set("k", 1)),
    "delete": lambda p: p.delete("k"),
    "delete TypeError": lambda p: p.delete(None),
    "delete refused": refused_while_read(lambda: p_shared.delete("k")),
    "apply object": lambda p: p.apply({"a": {"b": 0, "gone": 1}, "x": [1, {"y": 2}]}),
    "apply array": lambda p: p.apply([{"_": "s", "v": 0}, 1]),
    "apply TypeError": lambda p: p.apply({"x": (1,)}),
    "apply patch error": lambda p: p.apply([1, 2]),
    "apply RecursionError": lambda p: p.apply(DEEP),
    "apply refused": refused(lambda: p_shared.apply({})),
    "apply_inplace": lambda p: p.apply_inplace({"a": {"b": 0}, "x": [1]}),
    "apply_inplace TypeError": lambda p: p.apply_inplace({"x": {1: 2}}),
    "apply_inplace patch error": lambda p: p.apply_inplace([1, {"z": 1}]),
    "apply_inplace RecursionError": lambda p: p.apply_inplace([DEEP]),
    "apply_inplace refused": refused(lambda: p_shared.apply_inplace([])),
    "from_json": lambda p: QuillfenPatch.from_json({"a": {"*": None}, "b": {"c": [1, 2]}}),
    "from_json TypeError": lambda p: QuillfenPatch.from_json({"a": {1, 2}}),
    "from_json RecursionError": lambda p: QuillfenPatch.from_json({"a": DEEP}),
    "to_json": lambda p: p.to_json(),
    "to_json refused": refused(lambda: p_shared.to_json()),
    "merge": lambda p: QuillfenPatch.merge(p, other),
    "merge TypeError": lambda p: QuillfenPatch.merge(p, {}),
    "merge refused": refused(lambda: QuillfenPatch.merge(p_shared, other)),
    "compose": lambda p: QuillfenPatch.compose(p, other, other, objects=True),
    "compose ValueError": lambda p: QuillfenPatch.compose(QuillfenPatch.from_json({"a": 1}), QuillfenPatch.from_json({"a": {"b": 2}})),
    "compose TypeError": lambda p: QuillfenPatch.compose(p, other, {}),
    "compose refused": refused(lambda: QuillfenPatch.compose(other, p_shared)),
    "apply_touched": lambda p: p.apply_touched({"a": {"b": 0, "gone": 1}, "x": [1]}),
    "apply_touched TypeError": lambda p: p.apply_touched({"a": (1,)}),
    "apply_touched patch error": lambda p: p.apply_touched([1, {"z": 1}]),
    "apply_touched refused": refused(lambda: p_shared.apply_touched({})),
    "inverse": lambda p: p.inverse({"a": {"b": 0, "gone": [1]}, "n": {"k": 1}}),
    "inverse TypeError": lambda p: p.inverse({"n": (1,)}),
    "inverse ValueError": lambda p: removes_first.inverse([1]),
    "inverse patch error": lambda p: p.inverse([1]),
    "inverse RecursionError": lambda p: p.inverse({"n": DEEP}),
    "inverse refused": refused(lambda: p_shared.inverse({})),
    "apply_json_patch": lambda p: QuillfenPatch.apply_json_patch({"a": {"b": 1}}, OPERATIONS),
    "apply_json_patch in place": lambda p: QuillfenPatch.apply_json_patch({"a": {"b": 1}}, OPERATIONS, in_place=True),
    "apply_json_patch TypeError": lambda p: QuillfenPatch.apply_json_patch({}, [{"op": "add", "path": "/a", "value": (1,)}]),
    "apply_json_patch ValueError": lambda p: QuillfenPatch.apply_json_patch({}, [{"op": "bad", "path": "/a"}]),
    "apply_json_patch patch error": lambda p: QuillfenPatch.apply_json_patch({"a": {"b": 1}}, FAILING_LAST),
    "apply_json_patch in place patch error": lambda p: QuillfenPatch.apply_json_patch({"a": {"b": 1}}, FAILING_LAST, in_place=True),
    "apply_json_patch RecursionError": lambda p: QuillfenPatch.apply_json_patch(DEEP, []),
    "apply_merge_patch": lambda p: QuillfenPatch.apply_merge_patch({"a": {"b": 1}, "c": 2}, MERGE_PATCH),
    "apply_merge_patch in place": lambda p: QuillfenPatch.apply_merge_patch({"a": {"b": 1}, "c": 2}, MERGE_PATCH, in_place=True),
    "apply_merge_patch TypeError": lambda p: QuillfenPatch.apply_merge_patch({}, {"a": (1,)}),
    "apply_merge_patch patch error": lambda p: QuillfenPatch.apply_merge_patch(5, MERGE_PATCH),
    "apply_merge_patch in place patch error": lambda p: QuillfenPatch.apply_merge_patch([1], MERGE_PATCH, in_place=True),
    "apply_merge_patch RecursionError": lambda p: QuillfenPatch.apply_merge_patch({}, {"a": DEEP}),
    "to_json_patch": lambda p: p.to_json_patch({"a": {"b": 0, "gone": 1}, "n": 0}),
    "to_json_patch TypeError": lambda p: p.to_json_patch({"a": (1,)}),
    "to_json_patch patch error": lambda p: p.to_json_patch([1]),
    "to_json_patch refused": refused(lambda: p_shared.to_json_patch({})),
    "diff": lambda p: QuillfenPatch.diff(OLD, NEW),
    "diff TypeError": lambda p: QuillfenPatch.diff(OLD, {**NEW, "a": (1,)}),
    "diff ValueError": lambda p: QuillfenPatch.diff(OLD, [1]),
    "diff RecursionError": lambda p: QuillfenPatch.diff(OLD, {**NEW, "a": DEEP}),
    "to_json_exact": lambda p: p.to_json_exact(),
    "to_json_exact ValueError": lambda p: out_of_order.to_json_exact(),
    "to_json_exact refused": refused(lambda: p_shared.to_json_exact()),
    # Placements: recorded, read back, applied where the list stands, undone, written as operations.
    "place": lambda p: p.place("r2", after="r1"),
    "place TypeError": lambda p: p.place("r2", after=1),
    "from_json_exact": lambda p: QuillfenPatch.from_json_exact(PLACED),
    "from_json_exact ValueError": lambda p: QuillfenPatch.from_json_exact({"_": {"*": None, "placements": [[["zz"], None]]}}),
    "placements in place": lambda p: QuillfenPatch.from_json_exact(PLACED).apply_touched(rows()),
    "placements undone": lambda p: QuillfenPatch.from_json_exact(PLACED).inverse(rows()),
    "placements as operations": lambda p: QuillfenPatch.from_json_exact(PLACED).to_json_patch(rows()),
    "diff with placements": lambda p: QuillfenPatch.diff(rows(), rows()[::-1]),
}


def run(call, p, times):
    for _ in range(times):
        try:
            call(p)
        except (TypeError, ValueError, RuntimeError):
            pass


@pytest.mark.parametrize("path", list(PATHS))
def test_repeated_calls_leave_the_process_no_bigger(path):
    call = PATHS[path]
    p = p_shared if path.endswith("refused") else patch()
    times = DEEP_CALLS if "Recursion" in path else CALLS
    run(call, p, times // 10)  # fills the caches and free lists the calls use
    gc.collect()
    rss, heap, blocks = resident_bytes(), heap_bytes(), sys.getallocatedblocks()
    run(call, p, times)
    gc.collect()
    grown = resident_bytes() - rss, heap_bytes() - heap, sys.getallocatedblocks() - blocks
    print(f"\n{path}: {times} calls; resident {grown[0] / 1024:+.0f} KiB, C heap {grown[1] / 1024:+.0f} KiB, objects {grown[2]:+d}")
    assert grown[0] < 4 << 20 and grown[1] < 256 << 10 and grown[2] < 100, grown


def test_tracemalloc_sees_every_object_of_the_calls_freed():
    p = patch()
    calls = [c for name, c in PATHS.items() if "Recursion" not in name and not name.endswith("refused")]
    for call in calls:
        run(call, p, 100)
    gc.collect()
    tracemalloc.start()
    try:
        before = tracemalloc.take_snapshot()
        for call in calls:
            run(call, p, 2_000)
        gc.collect()
        after = tracemalloc.take_snapshot()
    finally:
        tracemalloc.stop()
    ours = [tracemalloc.Filter(True, __file__)]
    grown = sum(s.size_diff for s in after.filter_traces(ours).compare_to(before.filter_traces(ours), "filename"))
    print(f"\ntracemalloc: {len(calls)} paths x 2,000 calls; Python objects made by these calls and still alive: {grown:+d} bytes")
    assert grown < 16 << 10
