"""apply_inplace: the caller's own dict or list ends up equal to what apply returns, or unchanged."""

import collections
import copy
import sys

import pytest

from helpers import DELETE
from quillfen_patch import QuillfenPatch

CASES = [
    ({"a": 2, "n": {"x": DELETE}, "gone": DELETE}, {"a": 1, "n": {"x": 1, "y": 2}, "gone": 0, "keep": [1]}),
    ({"b": {"v": 3}, "[0]": DELETE, "c": 5}, [{"_": "a", "v": 1}, {"_": "b", "v": 2}]),
    ({}, {"z": 1, "a": 2}),
    ({"[0]": DELETE}, [1]),
]


def build(document):
    return QuillfenPatch.from_json(document)


@pytest.mark.parametrize("document, data", CASES)
def test_changes_the_callers_object_to_what_apply_returns(document, data):
    p = build(document)
    expected = p.apply(data)
    assert p.apply_inplace(data) is None
    assert data == expected


def overridden(*_):
    raise AssertionError("overridden method called")


DICT_METHODS = ["__setitem__", "__delitem__", "update", "clear", "pop", "setdefault", "__iter__", "keys", "items", "values"]
LIST_METHODS = ["__setitem__", "__delitem__", "extend", "append", "insert", "clear", "__iadd__", "__iter__"]
GuardedDict = type("GuardedDict", (dict,), dict.fromkeys(DICT_METHODS, overridden))
GuardedList = type("GuardedList", (list,), dict.fromkeys(LIST_METHODS, overridden))


@pytest.mark.parametrize(
    "data, document",
    [
        (GuardedDict(a=1, b=2), {"a": DELETE, "c": 3}),
        (GuardedList([{"_": "s"}, 1, 2]), {"s": {"v": 1}, "[1]": DELETE, "t": 4}),
        (collections.OrderedDict(z=1, a=2), {"z": DELETE, "m": 1}),
        (collections.defaultdict(list, a=[1]), {"a": {"x": 1}, "b": 1}),
    ],
)
def test_subclasses_are_changed_without_their_overridden_methods(data, document):
    kind = type(data)
    expected = build(document).apply(data)
    build(document).apply_inplace(data)
    assert type(data) is kind
    assert dict.__eq__(data, expected) if isinstance(data, dict) else list.__eq__(data, expected)
    if isinstance(data, collections.OrderedDict):  # its own order must stay in step with its table
        assert list(data) == list(expected) and list(data.items()) == list(expected.items())
        keys = list(data)
        data.move_to_end(keys[0])
        data["new"] = 0
        assert list(data) == keys[1:] + [keys[0], "new"]


def test_shared_sub_object_is_not_changed_through_the_other_place():
    shared = {"v": 1}
    data = {"a": shared, "b": shared}
    build({"a": {"v": 2}}).apply_inplace(data)
    assert data == {"a": {"v": 2}, "b": {"v": 1}}
    assert shared == {"v": 1}


class NumberDict(dict):
    """Converts as the integer 3 (__index__ comes first): not an object or array."""

    def __index__(self):
        return 3


def containers(data):
    values = data.values() if isinstance(data, dict) else data
    return [v for v in values if isinstance(v, (dict, list))]


def assert_untouched(data, snapshot, inner):
    assert data == snapshot and type(data) is type(snapshot)
    current = containers(data)
    assert len(current) == len(inner) and all(a is b for a, b in zip(current, inner))


@pytest.mark.parametrize(
    "document, data, error, message",
    [
        ({"absent": DELETE}, [1, {"_": "other"}, [2]], RuntimeError, "^Patch error: Invalid serial key: absent$"),
        ({"a": 1}, NumberDict(a={"b": 1}), RuntimeError, "^Patch error: Invalid patch operation: Can only"),
        ({"a": 1}, {"a": [1, {"b": (1, 2)}]}, TypeError, "^Unsupported type for JSON conversion$"),
        ({"a": 1}, {"a": {}, 1: "x"}, TypeError, "^'int' object cannot be converted to 'PyString'$"),
    ],
)
def test_failure_leaves_the_callers_object_as_it_was(document, data, error, message):
    snapshot, inner = copy.deepcopy(data), containers(data)
    with pytest.raises(error, match=message):
        build(document).apply_inplace(data)
    assert_untouched(data, snapshot, inner)


def test_refused_access_leaves_the_callers_object_as_it_was():
    p = QuillfenPatch()
    data = {"k": [1, {"x": 2}], "n": 1}
    snapshot, inner = copy.deepcopy(data), containers(data)
    refusals = []

    class Hook:
        def __index__(self):
            try:
                p.apply_inplace(data)  # set holds the patch exclusively meanwhile
            except RuntimeError as error:
                refusals.append(str(error))
            return 7

    p.set("k", Hook())
    assert refusals and set(refusals) == {"Already mutably borrowed"}
    assert_untouched(data, snapshot, inner)


def test_reference_counts_after_failure_and_success():
    item = "".join(["it", "em"])  # a fresh str: only this test and `data` hold it
    data = [item, {"_": "x"}]
    before = sys.getrefcount(item)
    with pytest.raises(RuntimeError):
        build({"absent": DELETE}).apply_inplace(data)
    assert sys.getrefcount(item) == before
    build({"[0]": DELETE}).apply_inplace(data)  # the list lets go of the item
    assert sys.getrefcount(item) == before - 1


def test_finalizer_of_a_replaced_member_can_record_into_the_patch():
    p = build({"gone": DELETE})
    recorded = []

    class Member(dict):
        def __del__(self):
            p.set("later", 1)  # runs once apply_inplace has given its access back
            recorded.append(len(p))

    data = {"gone": Member(), "kept": 1}
    p.apply_inplace(data)
    assert data == {"kept": 1}
    assert recorded == [2]
