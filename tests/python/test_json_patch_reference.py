"""apply_json_patch against rfc6902.py, the plain Python rendering of the format: random documents and
operations give the same document or the same kind of refusal, on a copy and in place, and a refusal
leaves the caller's data exactly as it was."""

import pytest
from hypothesis import given, settings

import helpers
import rfc6902
import strategies
from quillfen_patch import QuillfenPatch
from test_json_patch import CORNERS, snapshot

apply_json_patch = QuillfenPatch.apply_json_patch


def tagged(value):
    """A form whose == tells 1, 1.0 and True apart, as the module's results do, and ignores member order."""
    if isinstance(value, dict):
        return {key: tagged(child) for key, child in value.items()}
    if isinstance(value, list):
        return [tagged(child) for child in value]
    return type(value).__name__, value


def module(call):
    """What call() gives, tagged; or "malformed" for a ValueError, "failed" for a patch error."""
    try:
        return tagged(call())
    except ValueError:
        return "malformed"
    except RuntimeError as error:
        assert str(error).startswith("Patch error: "), error
        return "failed"


def reference(data, operations, in_place):
    try:
        return tagged(rfc6902.apply(data, operations, in_place))
    except rfc6902.JsonPatchError as error:
        return "malformed" if error.malformed else "failed"


def check(data, operations):
    state = snapshot(data)
    assert module(lambda: apply_json_patch(data, operations)) == reference(data, operations, False)
    assert snapshot(data) == state  # the copying form only reads
    expected = reference(data, operations, True)
    got = module(lambda: apply_json_patch(data, operations, in_place=True) or data)  # None, and data changed
    assert got == expected
    if isinstance(got, str):
        assert snapshot(data) == state


@settings(max_examples=1000 if helpers.FULL else 150, deadline=None)
@given(strategies.DOCUMENTS_AND_JSON_PATCHES)
def test_agrees_with_the_reference_on_a_copy_and_in_place(case):
    check(*case)


# The hand-checked corners of test_json_patch.py check the reference as much as the module; left out are
# the values that do not convert to themselves (NaN, a key that is no str).
CONVERTING = [(data, ops) for data, ops, expected in CORNERS
              if (type(expected) is not tuple or expected[0] is not TypeError) and "nan" not in repr(ops)]


@pytest.mark.parametrize("data, operations", CONVERTING)
def test_agrees_with_the_reference_on_the_corners(data, operations):
    check(data, operations)
