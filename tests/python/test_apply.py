"""apply: patch a copy of a dict or list; the errors and the addressing of array elements."""

import copy
import random
import sys
import threading

import pytest

from quillfen_patch import QuillfenPatch

DELETE = {"*": None}
NOT_A_ROOT = "Patch error: Invalid patch operation: Can only patch objects and arrays"


def patch(**entries):
    """A patch from keyword entries; DELETE records a Delete, anything else a Set."""
    return patch_of(entries)


def patch_of(entries):
    p = QuillfenPatch()
    for key, value in entries.items():
        if value is DELETE:
            p.delete(key)
        else:
            p.set(key, value)
    return p


def test_typical_request_traced():
    p = QuillfenPatch()
    p.set("b", {"v": 3})
    p.delete("[0]")
    p.set("c", 5)
    data = [{"_": "a", "v": 1}, {"_": "b", "v": 2}]
    result = p.apply(data)
    assert result == [{"_": "b", "v": 3}, 5]
    assert list(result[0]) == ["_", "v"]
    assert data == [{"_": "a", "v": 1}, {"_": "b", "v": 2}]


@pytest.mark.parametrize("method", ["apply", "apply_inplace"])
@pytest.mark.parametrize("data", [None, 3, "text", True, 1.5])
def test_scalar_documents_are_refused(method, data):
    with pytest.raises(RuntimeError) as info:
        getattr(patch(a=1), method)(data)
    assert str(info.value) == NOT_A_ROOT


@pytest.mark.parametrize("method", ["apply", "apply_inplace"])
def test_conversion_fails_before_the_kind_check(method):
    with pytest.raises(TypeError, match="^Unsupported type for JSON conversion$"):
        getattr(patch(a=1), method)((1, 2))


def test_apply_returns_a_new_document_and_leaves_the_argument():
    data = {"z": [1], "a": {"b": 2}}
    before = copy.deepcopy(data)
    result = QuillfenPatch().apply(data)
    assert result == data and result is not data and result["z"] is not data["z"]
    assert list(result) == ["a", "z"]
    assert data == before


@pytest.mark.parametrize(
    "entries, data, expected",
    [
        ({"_": 1}, {"a": 1}, {"a": 1}),
        ({"_": DELETE}, {"_": 1}, {"_": 1}),
        ({"_": 1, "[1]": DELETE}, [1, 2], [1]),
        ({"[0]": 1}, {}, {"[0]": 1}),  # index keys mean nothing on objects
        ({"a": DELETE}, {"b": 1}, {"b": 1}),
        ({"[3]": 9, "[18446744073709551615]": DELETE}, [1, 2, 3], [1, 2, 3]),
        ({"[2]": {"v": 1}}, [1, 2, 3], [1, 2, {"v": 1}]),  # no serial stamped
        ({"[+2]": 0, "[001]": 0}, [1, 2, 3], [1, 0, 0]),
        ({"x": {"_": "old", "v": 1}}, [], [{"_": "x", "v": 1}]),
        ({"x": [1]}, [{"_": "x"}], [[1]]),  # a found element is replaced by the stamped copy
        ({"5": 0}, [{"_": 5}, {"_": "5"}], [{"_": 5}, 0]),  # only a string "_" is a serial
        ({"a": {}}, [{"_": "a", "n": 1}, {"_": "a", "n": 2}], [{"_": "a", "n": 1}, {"_": "a"}]),  # last wins
        ({"[0]": DELETE, "x": 7, "y": 8}, [{"_": "k"}, 2, 3], None),  # checked as a multiset below
        ({"[1]": DELETE, "[01]": DELETE, "[+1]": DELETE}, [0, 1, 2, 3], [0, 2, 3]),
        ({"[0]": DELETE, "a": DELETE}, [{"_": "a"}, 1, 2], [1, 2]),
    ],
)
def test_top_level_addressing(entries, data, expected):
    result = patch_of(entries).apply(data)
    if expected is None:
        assert result[:2] == [2, 3] and sorted(result[2:]) == [7, 8]
    else:
        assert result == expected


@pytest.mark.parametrize("key", ["[-0]", "[]", "[ 1]", "[++7]", "[18446744073709551616]", "[1", " [1]", "[1.5]"])
def test_keys_that_do_not_read_as_positions_are_whole_serial_keys(key):
    p = QuillfenPatch()
    p.set(key, {})
    assert p.apply([1, 2]) == [1, 2, {"_": key}]
    p.delete(key)
    with pytest.raises(RuntimeError) as info:
        p.apply([1, {"_": key[1:-1]}])
    assert str(info.value) == "Patch error: Invalid serial key: " + key


def nested(document):
    return QuillfenPatch.from_json(document)


@pytest.mark.parametrize(
    "document, data, expected",
    [
        ({"[1]": {"x": 1}}, [1, 5], [1, 5]),  # a Nested that meets a scalar changes nothing
        ({"a": {"x": 1}}, {"b": 1}, {"b": 1}),  # and creates nothing where nothing is
        ({"l": {"[0]": 5}}, {"l": [1]}, {"l": [1, 5]}),  # below the top level "[0]" is a serial
        ({"l": {"q": DELETE}}, {"l": [1]}, {"l": [1]}),  # Delete of an absent serial below: no-op
        ({"l": {"a": {"_": "z"}}}, {"l": [{"_": "a"}]}, {"l": [{"_": "z"}]}),  # "_" is ordinary below
        ({"l": {"a": DELETE, "a2": {"*": {"v": 1}}, "b": 3}}, {"l": [{"_": "a"}, {"_": "b"}, 7]},
         {"l": [3, 7, {"_": "a2", "v": 1}]}),
        ({"[0]": {"x": {"y": DELETE, "z": None}}}, [{"x": {"y": 1}}], [{"x": {"z": None}}]),
    ],
)
def test_nested_levels(document, data, expected):
    assert nested(document).apply(data) == expected


@pytest.mark.parametrize(
    "document, data, key",
    [
        ({"x": DELETE}, [1, 2], "x"),
        ({"[x]": {"a": 1}}, [], "[x]"),
        ({"l": {"m": {"a": 1}}}, {"l": [{"_": "n"}]}, "m"),
        ({"[0]": {"l": {"": {}}}}, [{"l": []}], ""),
    ],
)
def test_absent_serials_fail_with_the_whole_key(document, data, key):
    before = copy.deepcopy(data)
    with pytest.raises(RuntimeError) as info:
        nested(document).apply(data)
    assert str(info.value) == "Patch error: Invalid serial key: " + key
    assert data == before


def test_failed_apply_returns_nothing_and_changes_nothing_whichever_entry_runs_first():
    for run in range(50):
        data = [{"_": "a", "v": 1}, 2]
        p = patch(**{"a": {"v": 9}, "[1]": DELETE, "new": 1, f"absent{run}": DELETE})
        with pytest.raises(RuntimeError, match="^Patch error: Invalid serial key: absent"):
            p.apply(data)
        assert data == [{"_": "a", "v": 1}, 2]


def test_deletions_and_replacements_do_not_depend_on_visiting_order():
    rng = random.Random(5)
    for run in range(200):
        size = rng.randrange(1, 30)
        data = [{"_": f"s{i}", "i": i} if i % 3 else i for i in range(size)]
        entries, expected = {}, list(data)
        for i in rng.sample(range(size), rng.randrange(size + 1)):
            by_serial = i % 3 != 0 and rng.random() < 0.5
            key = f"s{i}" if by_serial else rng.choice(["[%d]", "[0%d]", "[+%d]"]) % i
            if rng.random() < 0.6:
                entries[key] = DELETE
                expected[i] = DELETE
            else:
                entries[key] = {"n": i} if by_serial else i * 10
                expected[i] = {"_": key, "n": i} if by_serial else i * 10
        assert patch_of(entries).apply(data) == [e for e in expected if e is not DELETE]


def test_hook_run_by_apply_cannot_record_into_the_same_patch():
    p = patch(a=1)
    seen = []

    class Hook:
        def __index__(self):
            with pytest.raises(RuntimeError, match="^Already borrowed$"):
                p.set("b", 2)
            seen.append(p.to_json())  # reading is shared and allowed
            return 7

    assert p.apply({"h": Hook()}) == {"a": 1, "h": 7}
    assert seen == [{"a": 1}]
    p.set("b", 2)
    assert len(p) == 2


def deep_pair(levels):
    """A document and a patch `levels` containers deep; the patch sets "x" at the bottom."""
    data, patch_doc = {}, {"x": 1}
    for _ in range(levels):
        data, patch_doc = {"a": data}, {"a": patch_doc}
    return data, patch_doc


def bottom(document, levels):
    for _ in range(levels):
        document = document["a"]
    return document


def test_ten_thousand_levels_apply():
    data, patch_doc = deep_pair(10_000)
    result = nested(patch_doc).apply(data)
    assert bottom(result, 10_000) == {"x": 1}


@pytest.mark.parametrize("in_thread", [False, True])
def test_a_million_levels_are_refused_not_a_crash(in_thread):
    limit = sys.getrecursionlimit()
    data, patch_doc = deep_pair(1_000_000)
    outcome = []

    def run():
        try:
            nested(patch_doc).apply(data)
            outcome.append("applied")
        except RecursionError as error:
            outcome.append(str(error))

    if in_thread:
        thread = threading.Thread(target=run)
        thread.start()
        thread.join()
    else:
        run()
    assert outcome in (["applied"], ["Recursion depth limit exceeded"], ["Patch error: Recursion depth limit exceeded"])
    assert sys.getrecursionlimit() == limit


def test_error_text_keeps_a_nul_in_the_key():
    p = QuillfenPatch()
    p.delete("x\x00y")
    with pytest.raises(RuntimeError) as info:
        p.apply([1, 2])
    assert str(info.value) == "Patch error: Invalid serial key: x\x00y"
