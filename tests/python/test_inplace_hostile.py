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
