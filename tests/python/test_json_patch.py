"""apply_json_patch and apply_merge_patch: every corner of the formats, on a copy and in place;
atomicity in place at every position of a long list; the two modes agreeing on random input."""

import copy
import json
import sys

import pytest
from hypothesis import given, settings

import helpers
import quillfen_model as model
from helpers import DELETE, SOURCE_ROOT, containers, nest, unnest
from quillfen_patch import QuillfenPatch
from strategies import DOCUMENTS_AND_JSON_PATCHES, patches_and_documents
from test_inplace_hostile import Collecting

apply_json_patch = QuillfenPatch.apply_json_patch
apply_merge_patch = QuillfenPatch.apply_merge_patch
KIND = "in place, the document cannot become another kind of value"


def kind_refused(result):
    return isinstance(result, tuple) and result[0] is RuntimeError and result[1].startswith("Patch error: ") and result[1].endswith(KIND)


def A(path, value):
    return {"op": "add", "path": path, "value": value}


def R(path):
    return {"op": "remove", "path": path}


def P(path, value):
    return {"op": "replace", "path": path, "value": value}


def M(source, path):
    return {"op": "move", "from": source, "path": path}


def C(source, path):
    return {"op": "copy", "from": source, "path": path}


def T(path, value):
    return {"op": "test", "path": path, "value": value}


def exact(value):
    """A text that tells 1, 1.0 and True apart."""
    return json.dumps(value, sort_keys=True)


def snapshot(data):
    """What a failed call must leave: the value with its key order, and every container's identity."""
    return repr(data), [id(c) for c in containers(data)]


def outcome(call):
    try:
        return call()
    except (ValueError, TypeError, RuntimeError) as error:
        return type(error), str(error)


def expected_of(case):
    """What a case of tests/data/json_patch_cases.json gives: its result, or the error's type and text (a
    failed operation raises RuntimeError, a malformed one ValueError)."""
    if "result" in case:
        return case["result"]
    return (RuntimeError, "Patch error: " + case["failed"]) if "failed" in case else (ValueError, case["malformed"])


# (data, operations, what the copy gives: a value, or the error's type and text): the cases shared with
# the C++ tests, then those of Python values.
with open(SOURCE_ROOT / "tests" / "data" / "json_patch_cases.json", encoding="utf-8") as cases:
    CORNERS = [(case["document"], case["operations"], expected_of(case)) for case in json.load(cases)["cases"]] + [
        ({"a": 1}, [{"op": "remove", "path": "/a", "value": object(), "from": 5, "x": {1: 2}}], {}),  # unused members are ignored
        # values convert as set's do
        ({}, [A("/n", float("nan")), A("/s", "é")], {"n": 0, "s": "é"}),
        ({}, [A("/a", {1: 2})], (TypeError, "'int' object cannot be converted to 'PyString'")),
    ]


@pytest.mark.parametrize("data, operations, expected", CORNERS)
def test_corners_on_a_copy_and_in_place(data, operations, expected):
    before = copy.deepcopy(data)
    got = outcome(lambda: apply_json_patch(data, operations))
    assert exact(got) == exact(expected) if not isinstance(got, tuple) else got == expected
    assert exact(data) == exact(before)  # the copying form changes nothing
    failing = isinstance(expected, tuple) or type(expected) is not type(data)
    data = copy.deepcopy(data)  # the table stays as written, for test_json_patch_reference too
    state = snapshot(data)
    result = outcome(lambda: apply_json_patch(data, operations, in_place=True))
    if not failing:
        assert result is None and exact(data) == exact(expected)
    else:
        assert result == expected if isinstance(expected, tuple) else kind_refused(result)
        assert snapshot(data) == state


@pytest.mark.parametrize("token", ["01", "00", "+1", "-1", "1.0", " 1", "1e0", "", "x", "0x1"])
@pytest.mark.parametrize("op", ["add", "remove", "replace", "test", "move"])
def test_index_forms_other_than_plain_digits_are_malformed(token, op):
    operation = {"op": op, "path": f"/{token}", "value": 1, "from": f"/{token}"} if op != "move" else M(f"/{token}", "/0")
    pointer = operation["from"] if op == "move" else operation["path"]
    context = f'move from "{pointer}" to "/0"' if op == "move" else f'{op} "{pointer}"'
    for in_place in (False, True):
        with pytest.raises(ValueError) as info:
            apply_json_patch([1, 2], [operation], in_place)
        assert str(info.value) == f'operation 0 ({context}): "{pointer}": "{token}" is not an array index'


def long_list_case(root):
    """A document and operations of every kind that all succeed, touching nested dicts and lists and the root."""
    rows = [{"id": i, "tags": ["t"], "meta": {"n": i}} for i in range(4)]
    if root == "list":
        data = rows
        prefix = ""
    else:
        data = {"rows": rows, "count": 4, "cfg": {"a": {"b": 1}}}
        prefix = "/rows"
    ops = [
        A(f"{prefix}/0/tags/-", "u"), P(f"{prefix}/1/id", 10), R(f"{prefix}/2/meta/n"), T(f"{prefix}/0/tags/1", "u"),
        A(f"{prefix}/-", {"id": 9}), A(f"{prefix}/1", {"id": 8}), M(f"{prefix}/0/tags", f"{prefix}/3/moved"),
        C(f"{prefix}/3/meta", f"{prefix}/0/meta2"), R(f"{prefix}/2"), A(f"{prefix}/0/meta2/x", [1]),
        M(f"{prefix}/0", f"{prefix}/-"), P(f"{prefix}/1/tags/0", "v"), A(f"{prefix}/-", 5), R(f"{prefix}/1/tags/0"),
    ]
    if root == "dict":
        ops += [A("/cfg/a/c", 2), M("/cfg/a", "/a"), R("/count"), A("/count", 5), C("/a", "/cfg/copy"), P("", {"only": [1]}), A("/only/-", 2)]
    return data, ops


FAILING = [R("/nowhere/x"), {"op": "remove", "path": "/0/01"}, T("", 1), M("/x", "/x/y"), P("", 1)]


@pytest.mark.parametrize("root", ["dict", "list"])
def test_a_failure_at_any_position_leaves_the_data_as_it_was(root):
    data, ops = long_list_case(root)
    expected = apply_json_patch(data, ops)
    probe = data[0] if root == "list" else data["cfg"]
    references = sys.getrefcount(probe)
    for position in range(len(ops) + 1):
        data, ops = long_list_case(root)
        probe = data[0] if root == "list" else data["cfg"]
        state = snapshot(data)
        failing = ops[:position] + [FAILING[position % len(FAILING)]] + ops[position:]
        with pytest.raises((RuntimeError, ValueError)):
            apply_json_patch(data, failing, in_place=True)
        assert snapshot(data) == state, position
        assert sys.getrefcount(probe) == references, position
    data, ops = long_list_case(root)
    assert apply_json_patch(data, ops, in_place=True) is None and exact(data) == exact(expected)


def test_in_place_changes_never_show_through_other_references():
    inner, shared = {"x": 1}, [1, 2]
    data = {"a": inner, "l": shared, "m": {"deep": shared}}
    apply_json_patch(data, [A("/a/y", 2), A("/l/0", 0), R("/m/deep/1")], in_place=True)
    assert data == {"a": {"x": 1, "y": 2}, "l": [0, 1, 2], "m": {"deep": [1]}}
    assert inner == {"x": 1} and shared == [1, 2]
    rows = [{"v": 1}]
    kept = rows[0]  # not the data's alone: copied before it changes, while the root list keeps its identity
    address = id(rows)
    apply_json_patch(rows, [P("/0/v", 2), A("/-", 3)], in_place=True)
    assert rows == [{"v": 2}, 3] and kept == {"v": 1} and id(rows) == address


def test_ten_thousand_levels_work_both_ways():
    data = nest(10_000, 1)
    path = "/k" * 10_000
    assert unnest(apply_json_patch(data, [P(path, 2), C(path, path[:-2] + "/j")]))[0] == 9_999
    apply_json_patch(data, [T(path, 1), P(path, 3)], in_place=True)
    assert unnest(data) == (10_000, 3)


@pytest.mark.parametrize("action", ["clear", "append"])
@pytest.mark.parametrize("root", ["dict", "list"])
def test_finalizers_changing_the_lists_under_the_call_never_crash_it(action, root):
    rows = [{"i": i} for i in range(8)]
    data = {"rows": rows} if root == "dict" else rows
    del rows  # referenced from the data only
    prefix = "/rows" if root == "dict" else ""
    target = lambda: data["rows"] if root == "dict" else data  # noqa: E731 -- read at the time, no alias kept
    ops = [A(f"{prefix}/-", {"i": 8}), R(f"{prefix}/0"), A(f"{prefix}/1", [0]), P(f"{prefix}/2/i", 0), M(f"{prefix}/3", f"{prefix}/-")]
    with Collecting(lambda: getattr(target(), action)(*([99] if action == "append" else []))):
        try:
            apply_json_patch(data, ops, in_place=True)
        except BaseException as error:  # the module's fatal error, or an operation that no longer applies
            assert type(error).__name__ in ("FatalError", "RuntimeError"), error


def test_arguments_by_keyword_and_the_in_place_flag():
    kw = "".join
    assert apply_json_patch(**{kw(["da", "ta"]): [1], kw(["opera", "tions"]): [R("/0")], kw(["in_", "place"]): False}) == []
    for flag, name in [(1, "int"), (None, "NoneType"), ("yes", "str")]:
        with pytest.raises(TypeError, match=f"^argument 'in_place': '{name}' object cannot be converted to 'PyBool'$"):
            apply_json_patch([1], [], flag)
    with pytest.raises(TypeError, match="^argument 'operations': 'tuple' object cannot be converted to 'PyList'$"):
        apply_json_patch([1], (R("/0"),))
    with pytest.raises(TypeError, match=r"^QuillfenPatch.apply_merge_patch\(\) takes from 2 to 3 positional arguments but 4 were given$"):
        apply_merge_patch({}, {}, True, 1)
    with pytest.raises(RuntimeError, match="^Patch error: Invalid patch operation: Can only patch objects and arrays$"):
        apply_json_patch(5, [], True)


MERGES = [
    ({"a": {"b": 1, "c": 2}, "d": 3}, {"a": {"b": None, "e": {"f": None, "g": 4}}, "d": None}, {"a": {"c": 2, "e": {"g": 4}}}),
    ({"a": [1]}, {"a": {"b": [None]}}, {"a": {"b": [None]}}),  # a list is no object; nulls inside lists stay
    ({"a": {"b": 1}}, {"a": [{"c": None}]}, {"a": [{"c": None}]}),
    ({"a": 1}, {"a": None, "x": None}, {}),
    ({"a": 1}, {}, {"a": 1}),
    ({"a": 1}, [2], [2]),  # not an object: it replaces the document
    ([1], [None], [None]),
    ([1], {"a": None, "b": 1}, {"b": 1}),
    ({"a": 1}, "text", "text"),
]


@pytest.mark.parametrize("data, merge_patch, expected", MERGES)
def test_merge_patches_on_a_copy_and_in_place(data, merge_patch, expected):
    assert exact(apply_merge_patch(data, merge_patch)) == exact(expected)
    state = snapshot(data)
    if type(expected) is type(data):
        assert apply_merge_patch(data, merge_patch, in_place=True) is None and exact(data) == exact(expected)
    else:
        with pytest.raises(RuntimeError, match=f"^Patch error: {KIND}$"):
            apply_merge_patch(data, merge_patch, in_place=True)
        assert snapshot(data) == state


def test_an_interruption_in_a_hook_undoes_the_merge_and_is_not_lost():
    class Interrupts:  # reading it runs its __index__
        def __index__(self):
            raise KeyboardInterrupt

    data = {"a": 1, "b": Interrupts()}
    state = snapshot(data)
    with pytest.raises(KeyboardInterrupt):
        apply_merge_patch(data, {"a": 2, "b": {"x": 1}}, in_place=True)
    assert snapshot(data) == state


@settings(max_examples=1000 if helpers.FULL else 200, deadline=None)
@given(DOCUMENTS_AND_JSON_PATCHES)
def test_in_place_and_on_a_copy_agree(case):
    data, ops = case
    expected = outcome(lambda: apply_json_patch(data, ops))
    state = snapshot(data)
    got = outcome(lambda: apply_json_patch(data, ops, in_place=True))
    if got is not None:
        assert snapshot(data) == state
        assert got == expected or kind_refused(got)
    else:
        assert exact(data) == exact(expected)


@settings(max_examples=400 if helpers.FULL else 100, deadline=None)
@given(patches_and_documents())
def test_applying_the_written_operations_gives_what_apply_gives(case):
    patch, data = case
    p = QuillfenPatch.from_json(model.write_exact(patch))
    state = snapshot(data)
    expected = outcome(lambda: p.apply(data))
    got = outcome(lambda: apply_json_patch(data, p.to_json_patch(data)))  # to_json_patch raises what apply raises
    assert snapshot(data) == state
    assert got == expected if isinstance(expected, tuple) else exact(got) == exact(expected)


def test_written_operations_resolve_serials_and_positions_as_applying_does():
    p = QuillfenPatch.from_json({"rows": {"r1": {"v": 2}, "r2": DELETE, "r0": DELETE, "r9": {"*": {"v": 9}}}, "a/b~": 1, "gone": DELETE})
    data = {"rows": [{"_": "r0"}, {"_": "r1", "v": 1}, {"_": "r2"}], "gone": 0}
    assert p.to_json_patch(data) == [
        {"op": "add", "path": "/a~1b~0", "value": 1},
        {"op": "remove", "path": "/gone"},
        {"op": "replace", "path": "/rows/1/v", "value": 2},
        {"op": "remove", "path": "/rows/2"},  # the highest position first
        {"op": "remove", "path": "/rows/0"},
        {"op": "add", "path": "/rows/-", "value": {"_": "r9", "v": 9}},
    ]
    # On a list root a position and a serial may reach one element: the second entry sees the first's change.
    q = QuillfenPatch.from_json({"[0]": {"*": {"v": 0}}, "s": {"w": 1}})
    rows = [{"_": "s", "w": 0}]
    state = snapshot(rows)
    assert q.to_json_patch(rows) == [{"op": "replace", "path": "/0", "value": {"v": 0}}, {"op": "add", "path": "/0/w", "value": 1}]
    assert snapshot(rows) == state
    with pytest.raises(RuntimeError, match="^Patch error: Invalid serial key: nope$"):
        QuillfenPatch.from_json({"nope": DELETE}).to_json_patch(rows)

