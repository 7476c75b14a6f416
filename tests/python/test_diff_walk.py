"""QuillfenPatch.diff walks the two documents where they stand: held against the core's rules on the
converted pair, with shared parts, values that do not convert to themselves, depth and hooks.

The core's rules are reached through the module itself: a root of no exact dict or list type is
converted whole, both documents, and compared in the core, as every diff was before the walk."""

import copy

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import helpers
from helpers import REFUSED, nest
from quillfen_patch import QuillfenPatch
from strategies import DictSub, IntSub, ListSub, StrSub, diff_pair

diff = QuillfenPatch.diff
NAN, INF = float("nan"), float("inf")
COLLISION = "the two values differ but convert to the same value, so no patch tells them apart"


def outcome(old, new):
    """The exact document form of the patch, or the error's kind and text."""
    try:
        return diff(old, new).to_json_exact()
    except (ValueError, TypeError, RecursionError) as error:
        return type(error).__name__, str(error)


def by_core(old, new):
    wrap = {dict: DictSub, list: ListSub}
    return outcome(wrap.get(type(old), lambda v: v)(old), wrap.get(type(new), lambda v: v)(new))


def holds_lossy(*values):
    pending = list(values)
    while pending:
        v = pending.pop()
        if isinstance(v, (dict, list)):
            pending.extend(v.values() if isinstance(v, dict) else v)
        elif type(v) is float and v != v or v in (INF, -INF) or type(v) is int and not -(2**63) <= v < 2**63:
            return True
    return False


@settings(max_examples=400 if helpers.FULL else 100, deadline=None)
@given(st.data())
def test_walk_gives_the_core_patch_and_sharing_changes_nothing(data):
    old, new = diff_pair(data, odd=True)
    got = outcome(old, new)  # new shares with old every subtree the editor left alone
    assert outcome(copy.deepcopy(old), copy.deepcopy(new)) == got
    if isinstance(got, tuple) and got[1].endswith(COLLISION):
        assert holds_lossy(old, new)
    else:
        assert got == by_core(old, new)


@pytest.mark.parametrize(
    "old, new, path",
    [
        ({"id": 2**63 + 1}, {"id": 2**63 + 2}, '["id"]'),
        ({"a": {"b": NAN}}, {"a": {"b": 0}}, '["a","b"]'),
        ({"a": [1, INF]}, {"a": [1, 0]}, '["a","[1]"]'),  # inside a list compared whole
        ({"a": INF}, {"a": -INF}, '["a"]'),
        ({"l": [{"_": "x", "v": 2**64}]}, {"l": [{"_": "x", "v": 2.0**64 + 1}]}, None),  # rounds alike, equal in Python
        ({"l": [{"_": "x", "v": 0}]}, {"l": [{"_": "x", "v": NAN}]}, '["l","x","v"]'),
        ({"l": [{"_": "*", "v": NAN}, {"_": "a"}]}, {"l": [{"_": "*", "v": 0}, {"_": "a", "w": 1}]}, '["l","*","v"]'),
        ([0, NAN], [0, 0], '["[1]"]'),
        ([1, 2, NAN], [2, 0], '["[2]"]'),  # the kept tail
        ({"a": NAN}, {"a": float("nan")}, None),  # a NaN counts as equal to a NaN
        ({"a": -0.0}, {"a": 0.0}, None),
        ({"a": 2**64}, {"a": 2.0**64}, None),  # equal in Python too
        ({"a": [1, NAN]}, {"a": [2, 0]}, None),  # the list differs anyway: set whole
    ],
)
def test_numbers_that_differ_but_convert_alike_are_refused(old, new, path):
    if path is None:
        assert outcome(old, new) == by_core(old, new)
    else:
        assert outcome(old, new) == ("ValueError", f"Cannot express the change at {path}: {COLLISION}")


BAD = {1: 2}  # converts to nothing: a TypeError wherever it is read
DEEP = nest(30_000, 1)  # too deep to convert


@pytest.mark.parametrize(
    "old, new, expected",
    [
        ({"a": BAD, "b": 1}, {"a": BAD, "b": 2}, {"b": 2}),
        ([{"_": "x", "v": BAD}, {"_": "y"}], [{"_": "x", "v": BAD}, {"_": "y", "w": 1}], {"y": {"w": 1}}),
        ({"a": [BAD, 1]}, {"a": [BAD, 1]}, {}),
        ({"deep": DEEP}, {"deep": DEEP, "n": 1}, {"n": 1}),
        ({"a": BAD}, {"a": dict(BAD)}, ("TypeError", "'int' object cannot be converted to 'PyString'")),
        ({"a": nest(30_000, 1)}, {"a": nest(30_000, 1)}, ("RecursionError", REFUSED)),
    ],
)
def test_what_both_share_by_identity_is_not_read(old, new, expected):
    assert outcome(old, new) == expected


def place(how, levels):
    """A pair whose deepest containers lie `levels` levels down (the root is level 1), read in one way."""
    def chain(leaf, above):
        return nest(levels - above, leaf)

    return {
        "dropped": ({"a": chain(1, 1)}, {}),
        "added": ({}, {"a": chain(1, 1)}),
        "set whole": ({"a": chain(1, 1)}, {"a": 1}),
        "walked": ({"a": chain(1, 1)}, {"a": chain(2, 1)}),
        "compared in a list": ({"a": [chain(1, 2)]}, {"a": [chain(2, 2)]}),
        "paired by serial": ({"a": [{"_": "x", "v": chain(1, 3)}]}, {"a": [{"_": "x", "v": chain(2, 3)}]}),
    }[how]


@pytest.mark.parametrize("how", ["dropped", "added", "set whole", "walked", "compared in a list", "paired by serial"])
def test_the_depth_limit_counts_from_the_root_wherever_a_value_is_read(how):
    # 20,000 levels pass and 20,001 do not, as when both documents were converted first.
    assert not isinstance(outcome(*place(how, 20_000)), tuple)
    assert outcome(*place(how, 20_001)) == ("RecursionError", REFUSED)


LONE = "\ud800"  # a str that does not encode


@pytest.mark.parametrize(
    "old, new",
    [
        ([{"_": "a"}, {"_": "b"}], [{"_": "a"}, DictSub({"_": "b", "v": 1})]),  # an element of no exact type
        ({"l": [{"_": "a"}, {"_": "b"}]}, {"l": [{"_": "a"}, {"_": StrSub("b"), "v": 1}]}),  # a serial
        ({"l": [{"_": "a", "v": 1}]}, {"l": [{StrSub("_"): "a", "v": 2}]}),  # the member that holds it
        ({"l": [{"_": "a", "v": 1}]}, {"l": [{"_": "a", "v": 1, 2: 3}]}),
        ({"l": [{"_": "a"}]}, {"l": [{"_": LONE}]}),
        ({"a": {"b": 1}}, {"a": {"b": 1, LONE: 2}}),
        ({"a": 1}, {"a": 2**1024}),
        ({"a": ListSub([NAN])}, {"a": [0]}),  # read by the conversion: no collision is seen
        ({StrSub("k"): 1, "k": 2}, {"k": 3}),  # the later member of one text stays
        ({"_": 1, "a": {1: 2}}, {"_": 2, "a": {}}),  # what does not convert comes before a refusal
        ([[{1: 2}]], [[{1: 2}], 1, 2]),
    ],
)
def test_what_the_fast_path_does_not_read_gives_the_core_outcome(old, new):
    assert outcome(old, new) == by_core(old, new)


def apart(value):
    """An equal value as another object, as documents built apart hold them."""
    if type(value) is str:
        return "".join(list(value))
    return {int: lambda v: int(str(v)), float: lambda v: float(repr(v))}.get(type(value), lambda v: v)(value)


@pytest.mark.parametrize(
    "was, is_",
    [(-0.0, 0.0), (0.0, -0.0), (NAN, NAN), (INF, INF), (0.1, 0.1), (1, 1.0), (True, 1), (1, True), (None, None),
     (2**63, 2**63), (2**64 + 1, 2**64 + 1), (2**64, 2.0**64), ("ab", "ab"), ("éé", "éé"), ("ab", "ac"),
     (LONE + "a", LONE + "a")],
)
def test_records_built_apart_give_the_core_outcome(was, is_):
    # Records whose values are equal but not the same objects are compared in one pass where they
    # plainly agree; whatever that pass cannot settle is left to the full comparison.
    def record(v, key="k"):
        return {"_": "r", key: v, "deep": {"w": [v, {"x": v}]}}

    for key in ("k", LONE + "k", "ké"):
        old, new = record(was, key), record(apart(is_), apart(key))
        for wrap in (lambda r: {"l": [r]}, lambda r: {"m": r}):
            assert outcome(wrap(old), wrap(new)) == by_core(wrap(old), wrap(new))


def test_values_of_no_exact_type_are_converted_once_at_their_place():
    calls = []

    class Seven:
        def __index__(self):
            calls.append(1)
            return 7

    assert diff({"a": 1, "b": [1]}, {"a": Seven(), "b": [Seven()]}).to_json_exact() == {"a": 7, "b": [7]}
    assert len(calls) == 2
    assert diff({"a": {"x": IntSub(1)}}, {"a": DictSub(x=1)}).to_json_exact() == {}
    assert diff({"a": StrSub("é")}, {"a": "é", "b": StrSub("b")}).to_json_exact() == {"b": "b"}


def emptying(container):
    return type("Hook", (), {"__index__": lambda self: container.clear() or 3})()


def dicts():
    old = {"a": 1, "b": 2}
    return old, {"a": emptying(old), "b": 2}


def dicts_new():
    new = {"b": 2}
    new["a"] = emptying(new)
    return {"a": 1, "b": 3}, new


def serial_lists():
    old = [{"_": "x", "v": 1}, {"_": "y"}]
    return old, [{"_": "x", "v": emptying(old)}, {"_": "y"}]


@pytest.mark.parametrize(
    "make, text",
    [
        (dicts, "dictionary changed size during iteration"),
        (dicts_new, "dictionary changed size during iteration"),
        (serial_lists, "list changed size while it was compared"),
    ],
)
def test_hook_that_empties_a_document_being_read_is_a_fatal_error(make, text):
    old, new = make()
    with pytest.raises(BaseException) as info:
        diff(old, new)  # reading the freed members or elements would crash the sanitizer build
    assert not isinstance(info.value, Exception) and str(info.value) == text
