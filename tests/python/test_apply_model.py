"""apply against the Python model of applying, on random documents and patches whose child lists are
in ascending byte order of their keys, as the document form reads them."""

from hypothesis import given, settings

import helpers
import quillfen_model as model
from quillfen_model import exact
from quillfen_patch import QuillfenPatch
from strategies import patches_and_documents


@settings(max_examples=400 if helpers.FULL else 100, deadline=None)
@given(patches_and_documents())
def test_apply_matches_the_model(case):
    patch, document = case
    before = exact(document)
    expected, error = model.apply(patch, document)
    try:
        result = QuillfenPatch.from_json(model.write_exact(patch)).apply(document)
    except RuntimeError as raised:
        assert str(raised) == "Patch error: " + str(error)
    else:
        assert error is None and exact(result) == exact(expected)
    assert exact(document) == before
