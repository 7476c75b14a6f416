"""Properties of reading, writing and merging, against the Python model of the patch."""

from hypothesis import given, settings

import quillfen_model as model
from quillfen_patch import QuillfenPatch
from strategies import PATCH_DOCUMENTS, STAR_FREE_PATCH_DOCUMENTS


@given(STAR_FREE_PATCH_DOCUMENTS.filter(lambda d: isinstance(d, dict)))
def test_document_without_star_reads_and_writes_back_unchanged(document):
    assert QuillfenPatch.from_json(document).to_json() == document


@given(PATCH_DOCUMENTS)
def test_reading_then_writing_follows_the_collapse_rules(document):
    assert QuillfenPatch.from_json(document).to_json() == model.write(model.read(document))


@given(PATCH_DOCUMENTS)
def test_merge_with_itself_or_empty_changes_nothing(document):
    patch = QuillfenPatch.from_json(document)
    expected = patch.to_json()
    empty = QuillfenPatch()
    assert QuillfenPatch.merge(patch, patch).to_json() == expected
    assert QuillfenPatch.merge(empty, patch).to_json() == expected
    assert QuillfenPatch.merge(patch, empty).to_json() == expected
    assert patch.to_json() == expected


@settings(max_examples=200)
@given(PATCH_DOCUMENTS, PATCH_DOCUMENTS)
def test_merge_follows_the_model(minor_document, major_document):
    minor, major = QuillfenPatch.from_json(minor_document), QuillfenPatch.from_json(major_document)
    result = QuillfenPatch.merge(minor, major)
    assert result.to_json() == model.write(model.merge(model.read(minor_document), model.read(major_document)))
    assert len(result) == len(set(model.read(minor_document)) | set(model.read(major_document)))
