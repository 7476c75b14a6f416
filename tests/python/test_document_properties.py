"""Properties of reading, writing and merging, against a small model of the patch written in Python.

The model of a patch entry is ("set", value), ("delete",) or ("nested", [(key, entry), ...]).
"""

from hypothesis import given, settings
from hypothesis import strategies as st

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


def model_read_entry(value):
    if not isinstance(value, dict):
        return ("set", value)
    if "*" in value:
        return ("delete",) if value["*"] is None else ("set", value["*"])
    return ("nested", [(key, model_read_entry(value[key])) for key in sorted(value, key=lambda k: k.encode())])


def model_read(document):
    if not isinstance(document, dict):
        return {}
    return {key: model_read_entry(value) for key, value in document.items()}


def model_write_entry(entry):
    if entry[0] == "set":
        return entry[1]
    if entry[0] == "delete":
        return {"*": None}
    written = {}
    for key, child in entry[1]:
        written[key] = model_write_entry(child)  # a later repeated key replaces an earlier one
    return written


def model_write(patch):
    return {key: model_write_entry(entry) for key, entry in patch.items()}


def model_merge_children(minor, major):
    first = {}
    for key, entry in minor:
        first.setdefault(key, entry)
    out = []
    for key, entry in major:
        partner = first.get(key)
        if partner is not None and partner[0] == entry[0] == "nested":
            entry = ("nested", model_merge_children(partner[1], entry[1]))
        out.append((key, entry))
    major_keys = {key for key, _ in major}
    return out + [(key, entry) for key, entry in minor if key not in major_keys]


def model_merge(minor, major):
    result = dict(minor)
    for key, entry in major.items():
        held = result.get(key)
        if held is not None and held[0] == entry[0] == "nested":
            entry = ("nested", model_merge_children(held[1], entry[1]))
        result[key] = entry
    return result


@given(star_free_document.filter(lambda d: isinstance(d, dict)))
def test_document_without_star_reads_and_writes_back_unchanged(document):
    assert QuillfenPatch.from_json(document).to_json() == document


@given(any_document)
def test_reading_then_writing_follows_the_collapse_rules(document):
    assert QuillfenPatch.from_json(document).to_json() == model_write(model_read(document))


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
    assert result.to_json() == model_write(model_merge(model_read(minor_document), model_read(major_document)))
    assert len(result) == len(set(model_read(minor_document)) | set(model_read(major_document)))
