"""The document form: to_json writes a patch as plain data, from_json reads one back."""

import copy
import math
import threading

import pytest

from deep_documents import nest, unnest
from quillfen_patch import QuillfenPatch

DELETE = {"*": None}


def round_trip(document):
    return QuillfenPatch.from_json(document).to_json()


@pytest.mark.parametrize(
    "document",
    [
        {},
        {"a": DELETE},
        {"k": None},
        {"a": {}},
        {"a": {"b": DELETE, "c": 5}},
        {"a": {"from": "x", "to": "y"}},
        {"a": {"test": [1, {"b": 2}]}},
        {"a": [{"*": None}, {"*": 1, "b": 2}]},  # arrays are never looked into
        {"": 1, "_": {"[0]": {"": DELETE}}, "[0]": "x", "é": True, "z": 1.5},
        {"*": None},  # a top-level "*" is an ordinary key
        {"*": DELETE},
    ],
)
def test_document_without_star_collapse_survives_both_ways(document):
    assert round_trip(document) == document


@pytest.mark.parametrize(
    "document, expected",
    [
        ({"a": {"*": 1, "b": 2}}, {"a": 1}),
        ({"a": {"*": None, "b": 2}}, {"a": DELETE}),
        ({"a": {"*": {"x": 1}}}, {"a": {"x": 1}}),
        ({"a": {"*": {"*": None}, "b": 1}}, {"a": DELETE}),  # the value written bare reads back as a Delete
        ({"a": {"b": {"c": {"*": [1], "d": 2}}}}, {"a": {"b": {"c": [1]}}}),
        ({"a": {"*": False}}, {"a": False}),
        ({"*": {"*": 1}}, {"*": 1}),
        ({"*": {"a": {"*": 0, "b": 1}}}, {"*": {"a": 0}}),  # below a top-level "*" the rules hold
    ],
)
def test_star_member_collapses_its_object(document, expected):
    assert round_trip(document) == expected


@pytest.mark.parametrize("data", [None, True, 0, -1, 2.5, "text", "", [], [{"a": 1}]])
def test_data_that_is_no_object_reads_as_an_empty_patch(data):
    patch = QuillfenPatch.from_json(data)
    assert len(patch) == 0 and not patch
    assert patch.to_json() == {}


def test_star_object_does_not_survive_a_second_round_trip():
    once = round_trip({"a": {"*": {"x": {"*": 1, "y": 2}}}})
    assert once == {"a": {"x": {"*": 1, "y": 2}}}  # a Set of the object, written bare
    assert round_trip(once) == {"a": {"x": 1}}  # now the inner "*" is read


def test_star_object_reads_as_a_set_and_bare_object_as_nested():
    # Both write the same document; only applying shows which operation was read.
    data = {"a": {"y": 2}}
    assert QuillfenPatch.from_json({"a": {"*": {"x": 1}}}).apply(data) == {"a": {"x": 1}}
    assert QuillfenPatch.from_json({"a": {"x": 1}}).apply(data) == {"a": {"x": 1, "y": 2}}
    assert QuillfenPatch.from_json({"*": None}).apply({"*": 1}) == {"*": None}  # a Set at the key "*"


def test_set_of_null_and_delete_stay_apart():
    patch = QuillfenPatch()
    patch.set("n", None)
    patch.delete("d")
    assert patch.to_json() == {"d": DELETE, "n": None}
    assert round_trip(patch.to_json()) == {"d": DELETE, "n": None}


@pytest.mark.parametrize(
    "value, reads_back_as",
    [
        ({"x": 1}, {"x": 1}),
        ({}, {}),
        ({"*": None}, DELETE),
        ({"*": 1, "b": 2}, 1),
        ([{"*": 1, "b": 2}], [{"*": 1, "b": 2}]),
    ],
)
def test_set_of_an_object_is_written_bare(value, reads_back_as):
    patch = QuillfenPatch()
    patch.set("k", value)
    assert patch.to_json() == {"k": value}
    assert round_trip(patch.to_json()) == {"k": reads_back_as}


@pytest.mark.parametrize(
    "value",
    [0, -1, -(2**63), 2**63 - 1, 1.0, 0.5, -0.0, 1e308, True, False, "", "é"],
)
def test_number_kinds_survive_both_ways(value):
    for document in ({"k": value}, {"a": {"b": value}}, {"a": {"*": value}}):
        written = round_trip(document)
        inner = written["k"] if "k" in written else written["a"]
        if isinstance(inner, dict):
            inner = inner["b"]
        assert type(inner) is type(value)
        assert inner == value
        if isinstance(value, float):
            assert math.copysign(1.0, inner) == math.copysign(1.0, value)


def test_unsigned_integer_beyond_signed_range_comes_back_as_float():
    assert round_trip({"k": 2**63}) == {"k": float(2**63)}
    assert type(round_trip({"k": 2**63})["k"]) is float


def test_keys_come_back_in_byte_order_at_every_level():
    document = {"é": 1, "z": {"é": 1, "z": 2, "Z": 3, "": 4}, "Z": 2, "": 3}
    written = round_trip(document)
    assert list(written) == ["", "Z", "z", "é"]
    assert list(written["z"]) == ["", "Z", "z", "é"]


def test_to_json_returns_a_new_dict_each_time():
    patch = QuillfenPatch.from_json({"a": {"b": [1, 2]}})
    first = patch.to_json()
    first["a"]["b"].append(3)
    first["c"] = 1
    second = patch.to_json()
    assert second == {"a": {"b": [1, 2]}}
    assert second is not first and second["a"] is not first["a"]


def test_from_json_leaves_its_argument_unchanged():
    data = {"a": {"*": {"x": [1, {"y": 2}]}, "b": 3}, "c": DELETE}
    before = copy.deepcopy(data)
    patch = QuillfenPatch.from_json(data)
    assert data == before
    patch.set("c", 1)
    assert data == before


def test_from_json_is_static_and_makes_a_new_instance():
    existing = QuillfenPatch.from_json({"old": 1})
    from_instance = existing.from_json({"new": 2})
    from_class = QuillfenPatch.from_json(data={"new": 2})
    assert from_instance is not existing
    assert from_instance.to_json() == from_class.to_json() == {"new": 2}
    assert existing.to_json() == {"old": 1}
    assert QuillfenPatch.from_json({}) is not QuillfenPatch.from_json({})


@pytest.mark.parametrize(
    "call, error, text",
    [
        (lambda: QuillfenPatch.from_json((1, 2)), TypeError, "Unsupported type for JSON conversion"),
        (lambda: QuillfenPatch.from_json({"a": (1,)}), TypeError, "Unsupported type for JSON conversion"),
        (lambda: QuillfenPatch.from_json({1: 2}), TypeError, "'int' object cannot be converted to 'PyString'"),
        (
            lambda: QuillfenPatch.from_json(),
            TypeError,
            "QuillfenPatch.from_json() missing 1 required positional argument: 'data'",
        ),
        (
            lambda: QuillfenPatch.from_json({}, {}),
            TypeError,
            "QuillfenPatch.from_json() takes 1 positional arguments but 2 were given",
        ),
        (
            lambda: QuillfenPatch.from_json(document={}),
            TypeError,
            "QuillfenPatch.from_json() got an unexpected keyword argument 'document'",
        ),
    ],
)
def test_from_json_errors(call, error, text):
    with pytest.raises(error) as raised:
        call()
    assert type(raised.value) is error
    assert str(raised.value) == text


def test_ten_thousand_levels_go_both_ways():
    assert unnest(round_trip(nest(10_000, 1))) == (10_000, 1)
    written = round_trip({"a": {"*": nest(10_000, None), "b": 1}})
    assert list(written) == ["a"] and unnest(written["a"]) == (10_000, None)


def run_in_thread(body):
    outcome = []
    thread = threading.Thread(target=lambda: outcome.append(body()))
    thread.start()
    thread.join()
    return outcome


@pytest.mark.parametrize("in_thread", [False, True])
def test_extreme_depth_is_refused_not_a_crash(in_thread):
    def body():
        document = nest(1_000_000, 1)
        try:
            return unnest(round_trip(document)) == (1_000_000, 1)
        except RecursionError as error:
            return str(error)

    outcome = run_in_thread(body) if in_thread else [body()]
    assert outcome in ([True], ["Recursion depth limit exceeded"])
