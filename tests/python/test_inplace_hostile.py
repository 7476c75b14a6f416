"""In-place application against data whose own code fights back: finalizers that change the data
while a call is under way, keys whose __eq__ runs or raises, hooks that run out of memory. None may
crash the interpreter, lose an interruption or a MemoryError, or leave a placeholder in the data."""

import copy
import gc

import pytest

from helpers import DELETE
from quillfen_patch import QuillfenPatch

FatalError = BaseException  # the module's fatal error is not exported: a direct subclass of BaseException


class Collecting:
    """Within the block, every collection runs `action` from a finalizer (each finalizer leaves
    another such object behind for the next), and collections run at almost every allocation: the
    threshold is 1, and the free lists of lists and dicts are drained last, with the collector off,
    so that the next new one comes from the allocator that starts collections."""

    def __init__(self, action):
        self.action, self.armed = action, False

    def __enter__(self):
        self.threshold = gc.get_threshold()
        gc.set_threshold(1)
        gc.disable()
        self.seed()
        self.lists = [[] for _ in range(200)]  # (no list is freed after this)
        self.dicts = [{} for _ in range(200)]
        self.armed = True
        gc.enable()
        return self

    def __exit__(self, *exc):
        self.armed = False
        gc.set_threshold(*self.threshold)
        gc.collect()

    def seed(self):
        finalizer = Finalizer(self)
        finalizer.cycle = finalizer


class Finalizer:
    def __init__(self, owner):
        self.owner = owner

    def __del__(self):
        if self.owner.armed:
            self.owner.action()
        self.owner.seed()


@pytest.mark.parametrize("root", ["dict", "list"])
@pytest.mark.parametrize("action", ["clear", "reverse", "append"])
def test_finalizer_changing_a_list_under_a_pass_never_crashes_or_removes_the_wrong_element(root, action):
    rows = [0, 1, 2, 3, 4, 5, 6, {"_": "a"}]
    data = {"rows": rows} if root == "dict" else rows
    del rows  # the list is referenced from the data only, so it is changed where it stands
    p = QuillfenPatch.from_json({"rows": {"a": DELETE}} if root == "dict" else {"a": DELETE})
    target = lambda: data["rows"] if root == "dict" else data  # noqa: E731 -- read at the time, no alias kept
    with Collecting(lambda: getattr(target(), action)(*([99] if action == "append" else []))):
        try:
            p.apply_inplace(data)
        except FatalError as error:  # a change under the call is the module's fatal error, never a crash
            assert type(error).__name__ == "FatalError", error
            return
    # When the call completed, the element with the serial went, and no other.
    assert {"_": "a"} not in target() and all(isinstance(x, int) for x in target())


def test_checking_the_data_runs_no_key_code():
    events = []

    class Key:
        def __hash__(self):
            return hash("_")

        def __eq__(self, other):
            events.append("eq")
            data.clear()  # frees the dict being looked up, if anything looks it up
            raise KeyboardInterrupt

    data = [{Key(): 1}]
    with pytest.raises(TypeError, match="Key' object cannot be converted to 'PyString'$"):
        QuillfenPatch.from_json({"x": DELETE}).apply_inplace(data)
    assert events == [] and len(data) == 1


def test_an_interruption_in_a_key_comparison_is_not_lost():
    armed = []

    class Key:
        def __hash__(self):
            return hash("_")

        def __eq__(self, other):
            if armed:
                raise KeyboardInterrupt
            return False

    data = [{Key(): 1, "_": "s"}]  # reading the serial for apply_touched compares with the key
    armed.append(True)
    with pytest.raises(KeyboardInterrupt):
        QuillfenPatch.from_json({"s": {"v": 1}}).apply_touched(data)
    armed.clear()


def test_memory_error_in_a_hook_ends_the_call():
    class Broke:
        def __index__(self):
            raise MemoryError

        def __float__(self):
            raise AssertionError("a MemoryError ends the conversion before the next rule")

    p = QuillfenPatch()
    with pytest.raises(MemoryError):
        p.set("k", [Broke()])
    assert len(p) == 0


def test_an_element_reached_twice_is_not_copied_the_second_time():
    data = [{"_": "a", "v": 0, "w": 0}]
    address = id(data[0])  # no reference kept: the element is the data's alone
    QuillfenPatch.from_json({"[0]": {"v": 1}, "a": {"w": 1}}).apply_inplace(data)
    assert data == [{"_": "a", "v": 1, "w": 1}] and id(data[0]) == address  # a copy would live elsewhere


def test_a_finalizer_sees_no_placeholder_while_removals_wait():
    seen = []
    data = {"a": 1, "b": 2}
    snapshot = lambda: seen.append({type(v).__name__ for v in data.values()})  # noqa: E731
    document = {"a": DELETE, **{f"n{i}": {"*": [i]} for i in range(8)}}  # each set makes a list: a collection
    with Collecting(snapshot):
        QuillfenPatch.from_json(document).apply_inplace(data)
    assert data == {"b": 2, **{f"n{i}": [i] for i in range(8)}}
    assert seen and set().union(*seen) <= {"int", "list"}, seen


@pytest.mark.parametrize("method", ["apply_inplace", "apply_touched"])
def test_a_failure_after_removals_puts_every_member_back_in_its_place(method):
    data = {"a": 1, "b": {"c": 2, "d": 3}, "l": [{"_": "p"}, 5, {"_": "q"}, 6], "y": [], "z": 3}
    snapshot, inner, rows, order = copy.deepcopy(data), data["b"], data["l"], list(data)
    # "l" loses two elements and gains one where it stands before "y" fails, last in byte order.
    p = QuillfenPatch.from_json({"a": DELETE, "b": {"c": DELETE, "e": 1}, "l": {"p": DELETE, "q": DELETE, "n": 1}, "y": {"s": {"q": 1}}})
    with pytest.raises(RuntimeError, match="^Patch error: Invalid serial key: s$"):
        getattr(p, method)(data)
    assert data == snapshot and list(data) == order and list(data["b"]) == ["c", "d"]
    assert data["b"] is inner and data["l"] is rows


def data_with_key_raising_at(n, members):
    """`members` and a key that compares with "a" (same hash) and, once the data is made, raises
    KeyboardInterrupt at its n-th comparison (never, for n = 0)."""

    class Key:
        def __hash__(self):
            return hash("a")

        def __eq__(self, other):
            if calls is not None:
                calls.append(other)
                if len(calls) == n:
                    raise KeyboardInterrupt
            return False

    calls = None  # counted from when the data is made
    data = {Key(): 0, **members}
    calls = []
    return data, calls


def touched(document):
    return QuillfenPatch.from_json(document).apply_touched


def json_patch(*operations):
    return lambda data: QuillfenPatch.apply_json_patch(data, list(operations), in_place=True)


def merge_patch(document):
    return lambda data: QuillfenPatch.apply_merge_patch(data, document, in_place=True)


SHARED = {"b": 1}  # referenced from here too: a call copies it before changing it
# A key of the data compares with "a" wherever the call looks "a" up: finding it, making a shared member
# the data's own, putting it back after a failure, taking it out as the call finishes. (members, call, the
# data's str members after the call, None where it fails)
KEY_CASES = {
    "put back, apply_touched": ({"a": 1, "rows": []}, touched({"a": 2, "rows": {"missing": {"v": 1}}}), None),
    "put back, json patch": ({"a": 1, "rows": []}, json_patch({"op": "replace", "path": "/a", "value": 2}, {"op": "remove", "path": "/rows/0"}), None),
    "taken out, apply_touched": ({"a": 1, "b": 1}, touched({"a": DELETE}), {"b": 1}),
    "taken out, json patch": ({"a": 1, "b": 1}, json_patch({"op": "remove", "path": "/a"}), {"b": 1}),
    "taken out, merge patch": ({"a": 1, "b": 1}, merge_patch({"a": None}), {"b": 1}),
    "copied, apply_touched": ({"a": SHARED}, touched({"a": {"x": 1}}), {"a": {"b": 1, "x": 1}}),
    "copied, json patch": ({"a": SHARED}, json_patch({"op": "add", "path": "/a/x", "value": 1}), {"a": {"b": 1, "x": 1}}),
    "copied, merge patch": ({"a": SHARED}, merge_patch({"a": {"x": 1}}), {"a": {"b": 1, "x": 1}}),
}


@pytest.mark.parametrize("name", list(KEY_CASES))
def test_an_interruption_in_a_key_comparison_ends_the_call_with_the_data_as_it_was_or_wholly_changed(name):
    members, call, after = KEY_CASES[name]
    data, count = data_with_key_raising_at(0, members)
    try:
        call(data)
    except RuntimeError:
        assert after is None
    for n in range(1, len(count) + 1):
        data, _ = data_with_key_raising_at(n, members)
        with pytest.raises(KeyboardInterrupt):  # never the fatal error, never a patch error in its place
            call(data)
        rest = {k: v for k, v in data.items() if isinstance(k, str)}
        assert rest == members or rest == after, n
        assert SHARED == {"b": 1}


def test_a_list_a_hook_shortens_after_its_compaction_is_left_as_the_hook_left_it():
    class Shrink:
        def __index__(self):
            data["a"].pop()
            return 5

    # "a" is compacted, the change inside "b" reads Shrink, "c" fails; "0" was changed first.
    data = {"0": 0, "a": [0, 1, 2, {"_": "x"}], "b": Shrink(), "c": []}
    p = QuillfenPatch.from_json({"0": 1, "a": {"x": DELETE}, "b": {"y": 1}, "c": {"missing": {"v": 1}}})
    with pytest.raises(FatalError) as caught:
        p.apply_touched(data)
    assert type(caught.value).__name__ == "FatalError"
    assert data["0"] == 0 and data["a"] == [0, 1]  # everything else undone; "a" as the hook left it


@pytest.mark.parametrize("method", ["inverse", "to_json_patch"])
def test_reading_calls_show_code_of_the_data_no_change(method):
    seen = []

    class Serial:  # read by the array pass of "rows", after "[0]" and "a" reached one element
        def __index__(self):
            seen.append(repr(data[0]))
            return 3

    data = [{"_": "a", "v": 0}, {"_": "b", "rows": [{"_": Serial()}]}]
    p = QuillfenPatch.from_json({"[0]": {"*": {"_": "a", "v": 1}}, "a": {"x": 5}, "b": {"rows": {"zz": {"*": 1}}}})
    getattr(p, method)(data)
    assert seen and set(seen) == {"{'_': 'a', 'v': 0}"} and data[0] == {"_": "a", "v": 0}
