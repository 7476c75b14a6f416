"""compose: one patch that applies as two do one after the other. A table of the rules at an object
member, a serial element and a list-root position, each row also checked on documents; then the law
on random documents and patches, for any data and for objects."""

import pytest
from hypothesis import assume, given, settings
from hypothesis import strategies as st

import quillfen_model as model
import helpers
from helpers import DELETE, nest, unnest
from quillfen_model import exact
from quillfen_patch import QuillfenPatch
from strategies import APPLY_DOCUMENTS, FEW_KEYS, SMALL_PATCH_OBJECTS, SMALL_SCALARS, patches_for, record_histories

compose = QuillfenPatch.compose
read = QuillfenPatch.from_json_exact


def outcome(patches, document):
    """The document after applying `patches` in turn, or "error"; compared exactly, kinds apart."""
    try:
        for patch in patches:
            document = patch.apply(document)
    except RuntimeError:
        return "error"
    return exact(document)


def composite(*patches, **reading):
    """The composite, or the refusal's text."""
    try:
        return compose(*patches, **reading)
    except ValueError as refusal:
        return str(refusal)


def holds(first, second, document, **reading):
    """The law on one document: the composite, or None where compose refuses."""
    made = composite(first, second, **reading)
    if isinstance(made, str):
        return None
    assert outcome([made], document) == outcome([first, second], document), (made.to_json(), document)
    return made


DELETED_TWICE = "the first patch deletes it and the second reaches it again: on a list another element may carry its serial"
PLACED_FIRST = {"_": {"*": None, "placements": [[["rows", "r"], None]]}}
RECORDS = [{"rows": [{"_": "s"}, {"_": "r", "v": 0}]}, {"rows": [{"_": "r", "v": 0}, {"_": "r", "v": 5}]}, {"rows": [{"_": "s"}]}, {"rows": []}, {"rows": {"r": {"v": 0}}}]
OBJECTS = [{"k": {"v": 0, "w": [1]}}, {"k": 1}, {}]
POSITIONS = [[{"v": 0}, 1], [], {"[0]": {"v": 0}}]

RULES = [
    # reading, first, second, the composite's exact form or a word of the refusal, documents
    # An object member, for objects.
    ("objects", {"k": 1}, {"k": 2}, {"k": 2}, OBJECTS),
    ("objects", {"k": {"*": {"v": 1}}}, {"k": {"w": 2}}, {"k": {"*": {"v": 1, "w": 2}}}, OBJECTS),
    ("objects", {"k": 1}, {"k": {"w": 2}}, {"k": 1}, OBJECTS),
    ("objects", {"k": DELETE}, {"k": 2}, {"k": 2}, OBJECTS),
    ("objects", {"k": DELETE}, {"k": {"w": 2}}, {"k": DELETE}, OBJECTS),
    ("objects", {"k": {"v": 1}}, {"k": 2}, {"k": 2}, OBJECTS),
    ("objects", {"k": {"v": 1, "w": 1}}, {"k": {"w": DELETE, "x": 3}}, {"k": {"v": 1, "w": DELETE, "x": 3}}, OBJECTS),
    ("objects", {"k": {"*": {"w": []}}}, {"k": {"w": {"n": {"v": 1}}}}, "fails on the value the first sets: Invalid serial key: n", OBJECTS),
    # The same member for any data: on a list root "k" is a serial.
    ("any", {"k": 1}, {"k": 2}, "loses its serial", OBJECTS),
    ("any", {"k": DELETE}, {"k": 2}, "another element may carry", OBJECTS),
    ("any", {"k": {"*": {"v": 1}}}, {"k": 2}, {"k": 2}, OBJECTS),
    ("any", {"k": {"v": 1}}, {"k": DELETE}, {"k": DELETE}, OBJECTS),
    ("any", {"k": {"*": {"v": 1}}}, {"k": DELETE}, "would fail where the first appends", OBJECTS),
    # A serial element below the top level, for any data.
    ("any", {"rows": {"r": {"*": {"v": 1}}}}, {"rows": {"r": {"w": 2}}}, {"rows": {"r": {"*": {"v": 1, "w": 2}}}}, RECORDS),
    ("any", {"rows": {"r": {"*": {"v": 1}}}}, {"rows": {"r": DELETE}}, {"rows": {"r": DELETE}}, RECORDS),
    ("any", {"rows": {"r": {"v": 1}}}, {"rows": {"r": {"v": 2}}}, "loses its serial", RECORDS),
    ("any", {"rows": {"r": DELETE}}, {"rows": {"r": {"*": {"v": 2}}}}, "another element may carry", RECORDS),
    ("any", {"rows": {"r": {"v": 1}}}, {"rows": {"r": {"*": {"v": 2}}}}, "fails where no element carries", RECORDS),
    ("any", {"rows": {"r": {"*": {"v": 1}}}, **PLACED_FIRST}, {"rows": {"s": {"w": 2}}}, {"rows": {"r": {"*": {"v": 1}}, "s": {"w": 2}}, **PLACED_FIRST}, RECORDS),
    ("any", {"rows": {"r": {"*": {"v": 1}}}, **PLACED_FIRST}, {"rows": {"r": {"w": 2}}}, "the other may be the last", RECORDS),
    ("any", {"rows": {"r": {}}, **PLACED_FIRST}, {"rows": {"r": {}, "s": {}}, "_": {"*": None, "placements": [[["rows", "s"], None]]}}, "both patches place", RECORDS),
    ("any", {"rows": {"r": {"_": "t"}}}, {"rows": {"t": {"v": 1}}}, "another serial", RECORDS),
    # A position of a list root, for any data.
    ("any", {"[0]": 1}, {"[0]": 2}, {"[0]": 2}, POSITIONS),
    ("any", {"[0]": DELETE}, {"[0]": 2}, "before this position", POSITIONS),
    ("any", {"k": {"*": {}}}, {"[1]": 2}, "before this position", POSITIONS),
    ("any", {"k": {"v": 1}}, {"[0]": {"v": 2}}, "may stand at this position", [[{"_": "k", "v": 0}], {}]),
    ("any", {"[0]": {"*": {"_": "k"}}}, {"k": {"v": 1}}, "may stand", POSITIONS),
    # Appends on a list root come in byte order of their serials: the second's must not sort first.
    ("any", {"m": {"*": {}}}, {"a": {"*": {}}}, "would append this element before", [[], {}]),
    ("any", {"a": {"*": {}}}, {"m": {"*": {}}}, {"a": {"*": {}}, "m": {"*": {}}}, [[], {}]),
]


@pytest.mark.parametrize("reading, first, second, expected, documents", RULES)
def test_composition_rules(reading, first, second, expected, documents):
    first, second = read(first), read(second)
    made = composite(first, second, objects=reading == "objects")
    if isinstance(expected, str):
        assert made.startswith("Cannot compose the patches at [") and expected in made
        return
    assert made.to_json_exact() == expected
    for document in documents:
        assert holds(first, second, document, objects=reading == "objects")


def test_arguments_and_refusals():
    p, q = QuillfenPatch.from_json({"a": 1}), QuillfenPatch.from_json({"x": {"y": {"k": DELETE}}})
    assert compose(first=p, second=p, objects=True).to_json() == {"a": 1} and len(compose(p, QuillfenPatch())) == 1
    for call in (lambda: compose(p), lambda: compose(p, {"a": 1}), lambda: compose(p, p, objects=1), lambda: compose(p, p, True)):
        with pytest.raises(TypeError):
            call()
    assert composite(q, q) == 'Cannot compose the patches at ["x","y","k"]: ' + DELETED_TWICE
    assert p.to_json() == {"a": 1}


def test_compose_does_not_recurse():
    first, second = QuillfenPatch.from_json(nest(10_000, {"*": {"v": 1}})), QuillfenPatch.from_json(nest(10_000, {"w": 2}))
    assert unnest(compose(first, second, objects=True).to_json_exact()) == (10_000, {"*": {"v": 1, "w": 2}})
    record = QuillfenPatch.from_json(nest(10_000, {"r": {"*": {"v": 1}}}))
    assert unnest(compose(record, record).to_json_exact()) == (10_000, {"r": {"*": {"v": 1}}})


# The law on random documents and patches.


def model_patch(patch):
    return read(model.write_exact(patch))


def check_chain(first, second, third, document, **reading):
    """The law for each pair, and for a composite then the third: composing is associative in effect."""
    pair, later = holds(first, second, document, **reading), holds(second, third, document, **reading)
    left = pair and holds(pair, third, document, **reading)
    right = later and holds(first, later, document, **reading)
    if left and right:
        assert outcome([left], document) == outcome([right], document)


@settings(max_examples=1000 if helpers.FULL else 80, deadline=None)
@given(APPLY_DOCUMENTS.flatmap(lambda d: st.tuples(st.just(d), *[patches_for(d, placements) for placements in (False, True, True)])))
def test_the_law_for_any_data(case):
    document, *patches = case
    first, second, third = map(model_patch, patches)
    check_chain(first, second, third, document)
    # An empty patch on either side changes nothing.
    for pair in ((QuillfenPatch(), first), (first, QuillfenPatch())):
        assert outcome([compose(*pair)], document) == outcome([first], document)


@settings(max_examples=500 if helpers.FULL else 80, deadline=None)
@given(record_histories())
def test_the_law_on_histories_of_records(case):
    first, second, document = case
    holds(model_patch(first), model_patch(second), document)


# Dicts all the way down, in documents and in the patches' values.
OBJECT_VALUES = st.recursive(SMALL_SCALARS, lambda inner: st.dictionaries(FEW_KEYS, inner, max_size=3), max_leaves=12)
OBJECT_DOCUMENTS = st.dictionaries(st.sampled_from(["a", "b", "x", "*"]), OBJECT_VALUES, max_size=4)
OBJECT_PATCHES = st.dictionaries(FEW_KEYS, OBJECT_VALUES, max_size=4)


@given(OBJECT_DOCUMENTS, OBJECT_PATCHES, OBJECT_PATCHES, OBJECT_PATCHES)
def test_the_law_for_objects(document, first, second, third):
    check_chain(*map(QuillfenPatch.from_json, (first, second, third)), document, objects=True)


@given(OBJECT_DOCUMENTS, SMALL_PATCH_OBJECTS, SMALL_PATCH_OBJECTS)  # lists in set values, read as they are
def test_undo_of_a_composite_is_the_composite_of_the_undos(document, first, second):
    first, second = QuillfenPatch.from_json(first), QuillfenPatch.from_json(second)
    assume(outcome([first, second], document) != "error")
    made, undo = composite(first, second, objects=True), composite(second.inverse(first.apply(document)), first.inverse(document), objects=True)
    assume(not isinstance(made, str) and not isinstance(undo, str))  # refused where the second fails on what the first sets
    assert exact(undo.apply(made.apply(document))) == exact(document)
