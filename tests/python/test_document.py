"""The document form: to_json writes a patch as plain data, from_json reads one back."""

import pytest

from helpers import DELETE, REFUSED, extreme_depth, nest, on_thread, refused_or, unnest
from quillfen_patch import QuillfenPatch


def round_trip(document):
    return QuillfenPatch.from_json(document).to_json()


@pytest.mark.parametrize(
    "document, expected",
    [
        ({"a": DELETE, "k": None}, None),  # None: the document comes back as it was
        ({"a": {}}, None),
        ({"a": {"b": DELETE, "c": 5}}, None),
        ({"a": {"from": "x", "to": "y"}, "t": {"test": [1]}}, None),
        ({"a": [{"*": None}, {"*": 1, "b": 2}]}, None),  # arrays are never looked into
        ({"": 1, "_": {"[0]": {"": DELETE}}, "[0]": "x", "\u00e9": True}, None),
        ({"*": None}, None),  # a top-level "*" is an ordinary key
        ({"*": DELETE}, None),
        ({"a": {"*": 1, "b": 2}}, {"a": 1}),  # a "*" member decides alone
        ({"a": {"*": None, "b": 2}}, {"a": DELETE}),
        ({"a": {"*": {"*": None}, "b": 1}}, {"a": DELETE}),  # the value written bare reads back as a Delete
        ({"a": {"b": {"c": {"*": [1], "d": 2}}}}, {"a": {"b": {"c": [1]}}}),
        ({"a": {"*": False}}, {"a": False}),
        ({"*": {"a": {"*": 0, "b": 1}}}, {"*": {"a": 0}}),  # below a top-level "*" the rules hold
    ],
)
def test_round_trip(document, expected):
    assert round_trip(document) == (document if expected is None else expected)


@pytest.mark.parametrize("data", [None, [{"a": 1}]])
def test_data_that_is_no_object_reads_as_an_empty_patch(data):
    assert round_trip(data) == {}


def test_star_object_reads_as_a_set_and_bare_object_as_nested():
    # Both write the same document; only applying shows which operation was read.
    data = {"a": {"y": 2}}
    assert QuillfenPatch.from_json({"a": {"*": {"x": 1}}}).apply(data) == {"a": {"x": 1}}
    assert QuillfenPatch.from_json({"a": {"x": 1}}).apply(data) == {"a": {"x": 1, "y": 2}}
    assert QuillfenPatch.from_json({"*": None}).apply({"*": 1}) == {"*": None}  # a Set at the key "*"


def test_number_kinds_survive_both_ways():
    values = [0, -1, -(2**63), 2**63 - 1, 1.0, -0.0, 1e308, True, False, "", "\u00e9"]
    document = {"k": values, "a": {"b": 1.0, "c": -0.0, "d": {"*": True}}}
    assert repr(round_trip(document)) == repr({"a": {"b": 1.0, "c": -0.0, "d": True}, "k": values})


def test_ten_thousand_levels_go_both_ways():
    assert unnest(round_trip(nest(10_000, 1))) == (10_000, 1)
    written = round_trip({"a": {"*": nest(10_000, None), "b": 1}})
    assert list(written) == ["a"] and unnest(written["a"]) == (10_000, None)


DEEPEST = 20_000  # the most levels any argument but from_json's may have


def test_the_deepest_patches_read_back_from_both_forms():
    p = QuillfenPatch()
    p.set("k", nest(DEEPEST, 1))
    exact, plain = p.to_json_exact(), p.to_json()  # DEEPEST + 2 and DEEPEST + 1 levels
    assert unnest(exact["k"]["*"]) == unnest(plain["k"]) == (DEEPEST, 1)
    applied = QuillfenPatch.from_json(exact).apply({"k": 0})
    assert unnest(applied["k"]) == unnest(p.apply({"k": 0})["k"]) == (DEEPEST, 1)
    assert unnest(QuillfenPatch.from_json(plain).to_json()) == (DEEPEST + 1, 1)  # a nested change, written back alike
    d = QuillfenPatch.diff({}, nest(DEEPEST, 1))  # sets a value one level shallower, wrapped
    assert unnest(QuillfenPatch.from_json(d.to_json_exact()).apply({})) == (DEEPEST, 1)


@pytest.mark.parametrize(
    "document", [lambda: {"k": {"*": nest(DEEPEST + 1, 1)}}, lambda: nest(DEEPEST + 3, 1)], ids=["wrapped", "bare"]
)
def test_one_level_more_is_refused(document):
    with pytest.raises(RecursionError, match=REFUSED):
        QuillfenPatch.from_json(document())


@pytest.mark.parametrize("in_thread", [False, True])
def test_extreme_depth_is_refused_not_a_crash(in_thread):
    def body():
        result = refused_or(lambda: round_trip(nest(depth, 1)))
        return result if result == REFUSED else unnest(result)

    depth = extreme_depth()
    assert (on_thread(body) if in_thread else body()) in (REFUSED, (depth, 1))
