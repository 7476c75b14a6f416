"""to_json_exact: the document form that reads back as the patch itself."""

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import quillfen_model as model
from quillfen_patch import QuillfenPatch
from strategies import SMALL_PATCH_DOCUMENTS, SMALL_PATCH_OBJECTS, patches_with_models


@pytest.mark.parametrize("data, plain, exact", [({}, {}, {"a": {"x": 1}}), ({"a": {"y": 2}}, {"a": {"x": 1, "y": 2}}, {"a": {"x": 1}})])
def test_a_set_object_survives_only_the_exact_form(data, plain, exact):
    p = QuillfenPatch()
    p.set("a", {"x": 1})
    assert p.to_json_exact() == {"a": {"*": {"x": 1}}}
    assert QuillfenPatch.from_json(p.to_json()).apply(data) == plain  # created nowhere, or merged in
    assert QuillfenPatch.from_json(p.to_json_exact()).apply(data) == exact == p.apply(data)


@given(SMALL_PATCH_DOCUMENTS)
def test_exact_form_is_the_plain_one_with_sets_of_objects_wrapped(document):
    assert model.equal(QuillfenPatch.from_json(document).to_json_exact(), model.write_exact(model.read(document)))


def outcome(patch, document):
    try:
        return patch.apply(document)
    except RuntimeError:
        return RuntimeError  # where several places fail, either may be named


@settings(max_examples=150, deadline=None)
@given(patches_with_models(), st.lists(SMALL_PATCH_OBJECTS, min_size=1, max_size=3))
def test_exact_form_reads_back_a_patch_that_applies_alike(source, targets):
    patch, modelled = source
    refusal = model.write_exact_refusal(modelled) if modelled is not None else None
    if refusal:
        with pytest.raises(ValueError, match="^Cannot write the patch losslessly at "):
            patch.to_json_exact()
        return
    read_back = QuillfenPatch.from_json(patch.to_json_exact())
    for target in targets:
        assert model.equal(outcome(read_back, target), outcome(patch, target))


def test_merge_that_no_document_carries_is_refused():
    minor, major = QuillfenPatch.from_json({"l": {"x": 1}}), QuillfenPatch.from_json({"l": {"y": 2}})
    merged = QuillfenPatch.merge(minor, major)
    assert merged.apply({"l": []}) == {"l": [2, 1]}  # major's appends first: no document form says so
    with pytest.raises(ValueError) as info:
        merged.to_json_exact()
    assert str(info.value) == (
        'Cannot write the patch losslessly at ["l"]: the child "x" is set after "y", and read back in byte order '
        "the two could append array elements in the other order"
    )
    assert QuillfenPatch.merge(major, minor).to_json_exact() == {"l": {"x": 1, "y": 2}}
