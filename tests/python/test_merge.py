"""QuillfenPatch.merge: major prevails over minor, Nested entries merge level by level."""

import copy

import pytest

from deep_documents import nest, unnest
from quillfen_patch import QuillfenPatch

DELETE = {"*": None}


def read(document):
    return QuillfenPatch.from_json(document)


def merged(minor, major):
    return QuillfenPatch.merge(read(minor), read(major)).to_json()


# Entries at the key "k": a Set, a Delete and a Nested of each side.
MINOR_ENTRIES = {"none": None, "set": 1, "delete": DELETE, "nested": {"shared": 1, "only_minor": 1}}
MAJOR_ENTRIES = {"none": None, "set": 2, "delete": DELETE, "nested": {"shared": 2, "only_major": 2}}


@pytest.mark.parametrize("minor_kind", list(MINOR_ENTRIES))
@pytest.mark.parametrize("major_kind", list(MAJOR_ENTRIES))
@pytest.mark.parametrize("level", ["top", "child"])
def test_priority_table(minor_kind, major_kind, level):
    minor_entry, major_entry = MINOR_ENTRIES[minor_kind], MAJOR_ENTRIES[major_kind]
    if minor_kind == major_kind == "nested":
        expected = {"only_major": 2, "only_minor": 1, "shared": 2}
    elif major_kind != "none":
        expected = major_entry
    else:
        expected = minor_entry

    def document(entry):
        if entry is None:
            return {"other": 0}
        return {"k": entry, "other": 0} if level == "top" else {"p": {"k": entry}, "other": 0}

    result = merged(document(minor_entry), document(major_entry))
    if expected is None:
        assert result == {"other": 0}
    elif level == "top":
        assert result == {"k": expected, "other": 0}
    else:
        assert result == {"p": {"k": expected}, "other": 0}


@pytest.mark.parametrize(
    "minor, major, expected",
    [
        ({}, {}, {}),
        ({"a": 1}, {"b": 2}, {"a": 1, "b": 2}),
        ({"a": {"x": 1, "y": 2}}, {"a": {"y": DELETE, "z": 3}}, {"a": {"x": 1, "y": DELETE, "z": 3}}),
        ({"a": {"b": {"p": 1}}}, {"a": {"b": {"q": 2}}}, {"a": {"b": {"p": 1, "q": 2}}}),
        ({"a": {"b": {"c": {"d": 1}}}}, {"a": {"b": {"c": DELETE}}}, {"a": {"b": {"c": DELETE}}}),
        ({"a": {}}, {"b": {}}, {"a": {}, "b": {}}),
        ({"a": {}}, {"a": {}}, {"a": {}}),
        # Keys are compared byte for byte, with no reading of index or serial forms.
        ({"[0]": 1, "a": {"_": 1}}, {"[00]": 2, "a": {"_ ": 2}}, {"[0]": 1, "[00]": 2, "a": {"_": 1, "_ ": 2}}),
    ],
)
def test_merged_documents(minor, major, expected):
    assert merged(minor, major) == expected


def sample():
    patch = QuillfenPatch.from_json({"a": {"b": {"c": 1}, "d": DELETE}, "e": [1, {"f": 2}]})
    patch.set("g", {"h": {"*": 1}})
    patch.delete("i")
    return patch


def test_empty_and_same_patch_give_the_patch_back():
    patch = sample()
    expected = patch.to_json()
    empty = QuillfenPatch()
    assert QuillfenPatch.merge(empty, patch).to_json() == expected
    assert QuillfenPatch.merge(patch, empty).to_json() == expected
    assert QuillfenPatch.merge(patch, patch).to_json() == expected
    assert QuillfenPatch.merge(minor=patch, major=patch).to_json() == expected


def test_inputs_unchanged_and_nothing_shared():
    minor, major = sample(), QuillfenPatch.from_json({"a": {"b": {"x": 2}}, "e": DELETE})
    minor_before, major_before = copy.deepcopy(minor.to_json()), copy.deepcopy(major.to_json())
    result = QuillfenPatch.merge(minor, major)
    assert minor.to_json() == minor_before and major.to_json() == major_before
    assert len(minor) == 4 and len(major) == 2 and len(result) == 4

    result.set("a", 0)
    result.delete("g")
    assert minor.to_json() == minor_before and major.to_json() == major_before
    minor.set("new", 1)
    major.delete("a")
    assert result.to_json() == {"a": 0, "e": DELETE, "g": DELETE, "i": DELETE}


def test_called_on_the_class_or_an_instance_alike():
    minor, major = sample(), read({"a": {"b": 5}})
    on_class = QuillfenPatch.merge(minor, major)
    on_instance = QuillfenPatch().merge(minor, major)
    assert on_class.to_json() == on_instance.to_json()
    assert on_class is not minor and on_class is not major


@pytest.mark.parametrize(
    "args, kwargs, text",
    [
        ((QuillfenPatch(), {}), {}, "argument 'major': 'dict' object cannot be converted to 'QuillfenPatch'"),
        (({}, 1), {}, "argument 'minor': 'dict' object cannot be converted to 'QuillfenPatch'"),
        ((None,), {"major": QuillfenPatch()}, "argument 'minor': 'NoneType' object cannot be converted to 'QuillfenPatch'"),
        ((), {}, "QuillfenPatch.merge() missing 2 required positional arguments: 'minor' and 'major'"),
        ((QuillfenPatch(),), {}, "QuillfenPatch.merge() missing 1 required positional argument: 'major'"),
        (
            (QuillfenPatch(), QuillfenPatch(), QuillfenPatch()),
            {},
            "QuillfenPatch.merge() takes 2 positional arguments but 3 were given",
        ),
        (
            (QuillfenPatch(),),
            {"minor": QuillfenPatch()},
            "QuillfenPatch.merge() got multiple values for argument 'minor'",
        ),
    ],
)
def test_argument_errors(args, kwargs, text):
    with pytest.raises(TypeError) as raised:
        QuillfenPatch.merge(*args, **kwargs)
    assert str(raised.value) == text


def test_refused_while_an_input_is_being_changed():
    patch = QuillfenPatch.from_json({"a": 1})
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
    assert QuillfenPatch.merge(patch, patch).to_json() == {"a": 1, "k": 7}


def test_ten_thousand_levels_merge():
    minor, major = read(nest(10_000, {"m": 1})), read(nest(10_000, {"n": 2}))
    assert unnest(QuillfenPatch.merge(minor, major).to_json()) == (10_000, {"m": 1, "n": 2})


# The order of a merged child list does not show in the document, only when the patch is applied:
# children run in list order, and new array elements come out in that order.


def test_new_array_elements_come_in_merged_order():
    minor, major = read({"arr": {"x": 1, "z": 3}}), read({"arr": {"y": 2, "w": 0}})
    result = QuillfenPatch.merge(minor, major)
    # major's children in its (key) order, then minor's alone: w, y, then x, z.
    assert result.apply({"arr": []}) == {"arr": [0, 2, 1, 3]}
    # Read back from the document, the same children are in key order again.
    assert read(result.to_json()).apply({"arr": []}) == {"arr": [0, 1, 2, 3]}


def test_merged_order_holds_level_by_level():
    minor = read({"o": {"l": {"arr": {"x": 1, "z": 3}}, "m": 1}})
    major = read({"o": {"l": {"arr": {"y": 2}}}})
    result = QuillfenPatch.merge(minor, major)
    data = {"o": {"l": {"arr": []}}}
    assert result.apply(data) == {"o": {"l": {"arr": [2, 1, 3]}, "m": 1}}
    assert read(result.to_json()).apply(data) == {"o": {"l": {"arr": [1, 2, 3]}, "m": 1}}


def test_major_nested_replaces_a_minor_set_whole():
    minor = QuillfenPatch()
    minor.set("k", {"x": 1})
    major = read({"k": {"q": 2}})
    result = QuillfenPatch.merge(minor, major)
    # A Nested keeps what it does not name; the Set it replaced would have dropped "a".
    assert result.apply({"k": {"a": 1}}) == {"k": {"a": 1, "q": 2}}


def test_major_set_of_an_object_drops_minor_children():
    minor = read({"k": {"p": 1}})
    major = QuillfenPatch()
    major.set("k", {"q": 2})
    assert QuillfenPatch.merge(minor, major).apply({"k": {"a": 1}}) == {"k": {"q": 2}}
