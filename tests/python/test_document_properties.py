"""Properties of reading, writing and merging, against the Python model of the patch."""

from hypothesis import given, settings
from hypothesis import strategies as st

import quillfen_model as model
from quillfen_patch import QuillfenPatch

keys = st.sampled_from(["a", "b", "c", "*", "_", "[0]", "", "é", "from", "to", "test"])
keys_without_star = keys.filter(lambda k: k != "*")
scalars = st.one_of(
    st.none(),
    st.booleans(),
    st.integers(min_value=-(2**63), max_value=2**63 - 1),
    st.floats(allow_nan=False, allow_infinity=False),
    st.text(max_size=3),
)


def documents(key_strategy):
    return st.recursive(
        scalars,
        lambda inner: st.one_of(st.lists(inner, max_size=3), st.dictionaries(key_strategy, inner, max_size=4)),
        max_leaves=20,
    )


any_document = documents(keys)
star_free_document = documents(keys_without_star)


@given(star_free_document.filter(lambda d: isinstance(d, dict)))
def test_document_without_star_reads_and_writes_back_unchanged(document):
    assert QuillfenPatch.from_json(document).to_json() == document


@given(any_document)
def test_reading_then_writing_follows_the_collapse_rules(document):
    assert QuillfenPatch.from_json(document).to_json() == model.write(model.read(document))


@given(any_document)
def test_merge_with_itself_or_empty_changes_nothing(document):
    patch = QuillfenPatch.from_json(document)
    expected = patch.to_json()
    empty = QuillfenPatch()
    assert QuillfenPatch.merge(patch, patch).to_json() == expected
    assert QuillfenPatch.merge(empty, patch).to_json() == expected
    assert QuillfenPatch.merge(patch, empty).to_json() == expected
    assert patch.to_json() == expected


@settings(max_examples=200)
@given(any_document, any_document)
def test_merge_follows_the_model(minor_document, major_document):
    minor, major = QuillfenPatch.from_json(minor_document), QuillfenPatch.from_json(major_document)
    result = QuillfenPatch.merge(minor, major)
    assert result.to_json() == model.write(model.merge(model.read(minor_document), model.read(major_document)))
    assert len(result) == len(set(model.read(minor_document)) | set(model.read(major_document)))
