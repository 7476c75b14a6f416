"""QuillfenPatch.merge: major prevails over minor, Nested entries merge level by level."""

import pytest

from helpers import DELETE, nest, unnest
from quillfen_patch import QuillfenPatch


def read(document):
    return QuillfenPatch.from_json(document)


@pytest.mark.parametrize(
    "minor, major, expected",
    [
        ({"a": 1, "c": {"x": 1}}, {"b": 2, "c": 3}, {"a": 1, "b": 2, "c": 3}),
        ({"a": {"x": 1, "y": 2}}, {"a": {"y": DELETE, "z": 3}}, {"a": {"x": 1, "y": DELETE, "z": 3}}),
        ({"a": {"b": {"p": 1}}}, {"a": {"b": {"q": 2}}}, {"a": {"b": {"p": 1, "q": 2}}}),
        ({"a": {"b": {"c": {"d": 1}}}}, {"a": {"b": {"c": DELETE}}}, {"a": {"b": {"c": DELETE}}}),
    ],
)
def test_merged_documents(minor, major, expected):
    assert QuillfenPatch.merge(read(minor), read(major)).to_json() == expected


def test_refused_while_an_input_is_being_changed():
    patch = read({"a": 1})
    seen = []

    class CallsMerge:
        def __index__(self):
            try:
                QuillfenPatch.merge(QuillfenPatch(), patch)
            except RuntimeError as error:
                seen.append(str(error))
            return 7

    patch.set("k", CallsMerge())
    assert seen == ["Already mutably borrowed"]
    assert QuillfenPatch.merge(patch, patch).to_json() == {"a": 1, "k": 7}  # shared accesses add up


def test_ten_thousand_levels_merge():
    minor, major = read(nest(10_000, {"m": 1})), read(nest(10_000, {"n": 2}))
    assert unnest(QuillfenPatch.merge(minor, major).to_json()) == (10_000, {"m": 1, "n": 2})


def test_merged_child_order_shows_when_applied():
    # The order of a merged child list does not show in the document, only when the patch is
    # applied: children run in list order, and new array elements come out in that order.
    minor = read({"o": {"arr": {"x": 1, "z": 3}, "m": 1}})
    major = read({"o": {"arr": {"y": 2, "w": 0}}})
    result = QuillfenPatch.merge(minor, major)
    data = {"o": {"arr": []}}
    # major's children in its (key) order, then minor's alone: w, y, then x, z.
    assert result.apply(data) == {"o": {"arr": [0, 2, 1, 3], "m": 1}}
    # Read back from the document, the same children are in key order again.
    assert read(result.to_json()).apply(data) == {"o": {"arr": [0, 1, 2, 3], "m": 1}}
