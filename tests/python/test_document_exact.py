"""to_json_exact: the document form that reads back as the patch itself."""

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import quillfen_model as model
from quillfen_patch import QuillfenPatch

keys = st.sampled_from(["a", "b", "c", "*", "_"])
scalars = st.one_of(st.none(), st.booleans(), st.integers(-2, 2), st.sampled_from([1.0, -0.0]), st.sampled_from(["", "a"]))
documents = st.recursive(
    scalars, lambda inner: st.one_of(st.lists(inner, max_size=3), st.dictionaries(keys, inner, max_size=3)), max_leaves=16
)
objects = st.dictionaries(keys, documents, max_size=4)


@pytest.mark.parametrize("data, plain, exact", [({}, {}, {"a": {"x": 1}}), ({"a": {"y": 2}}, {"a": {"x": 1, "y": 2}}, {"a": {"x": 1}})])
def test_a_set_object_survives_only_the_exact_form(data, plain, exact):
    p = QuillfenPatch()
    p.set("a", {"x": 1})
    assert p.to_json_exact() == {"a": {"*": {"x": 1}}}
    assert QuillfenPatch.from_json(p.to_json()).apply(data) == plain  # created nowhere, or merged in
    assert QuillfenPatch.from_json(p.to_json_exact()).apply(data) == exact == p.apply(data)


@given(documents)
def test_exact_form_is_the_plain_one_with_sets_of_objects_wrapped(document):
    assert model.equal(QuillfenPatch.from_json(document).to_json_exact(), model.write_exact(model.read(document)))


def sources():
    """A patch built each way Python can, with its model where the model has one."""
    read = objects.map(lambda d: (QuillfenPatch.from_json(d), model.read(d)))
    merged = st.tuples(read, read).map(lambda ps: (QuillfenPatch.merge(ps[0][0], ps[1][0]), model.merge(ps[0][1], ps[1][1])))

    def recorded(pairs):
        p = QuillfenPatch()
        for key, value in pairs:
            p.set(key, value)
        return p, {key: ("set", value) for key, value in pairs}

    differences = st.tuples(objects, objects).filter(lambda d: not model.diff_refusal(*d)).map(
        lambda d: (QuillfenPatch.diff(*d), None)
    )
    return st.one_of(read, merged, st.lists(st.tuples(keys, documents), max_size=3).map(recorded), differences)


def outcome(patch, document):
    try:
        return patch.apply(document)
    except RuntimeError:
        return RuntimeError  # where several places fail, either may be named


@settings(max_examples=150, deadline=None)
@given(sources(), st.lists(objects, min_size=1, max_size=3))
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
