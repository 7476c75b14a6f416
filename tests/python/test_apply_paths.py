"""apply and apply_inplace patch Python objects directly; a document that does not convert to itself
takes the whole-conversion path through the core instead. Both must agree exactly, and apply_inplace
must leave the caller's data as apply's result or exactly as it was."""

import copy

from hypothesis import given, settings
from hypothesis import strategies as st

import helpers
import quillfen_model as model
from quillfen_model import exact
from quillfen_patch import QuillfenPatch
from strategies import CHANGED_VALUES, DictSub, ListSub, patches_and_documents, shared_documents


def outcome(call):
    try:
        return ("ok", call())
    except RuntimeError as error:
        return ("error", str(error))


@settings(max_examples=300 if helpers.FULL else 60, deadline=None)
@given(patches_and_documents(), st.lists(CHANGED_VALUES, max_size=2))
def test_apply_matches_the_whole_conversion_through_the_core(case, extra):
    patch, document = case
    p = QuillfenPatch.from_json(model.write_exact(patch))
    if isinstance(document, list):
        document = document + extra
    root = (ListSub if isinstance(document, list) else DictSub)(copy.deepcopy(document))  # converted whole, through the core
    direct = outcome(lambda: p.apply(document))
    # apply_inplace leaves the order of the root's keys open; apply gives byte order.
    through_core = outcome(lambda: p.apply_inplace(root) or (list(root) if isinstance(root, list) else {k: root[k] for k in model.byte_order(root)}))
    assert repr(direct) == repr(through_core)  # kinds, values and key order alike


def shape(data):
    """Everything a failed apply_inplace must leave as it was: values with their kinds, key order, and
    which containers are the same objects."""
    seen = []

    def walk(value):
        if isinstance(value, (dict, list)):
            seen.append(id(value))
            items = value.items() if isinstance(value, dict) else enumerate(value)
            return (type(value).__name__, [(k, walk(v)) for k, v in items])
        return repr(value)

    return walk(data), seen


@settings(max_examples=300 if helpers.FULL else 60, deadline=None)
@given(patches_and_documents(), shared_documents())
def test_apply_inplace_gives_apply_or_leaves_the_data_as_it_was(case, shared):
    patch, document = case
    p = QuillfenPatch.from_json(model.write_exact(patch))
    for data in (document, shared):
        before = shape(data)
        expected = outcome(lambda: p.apply(data))
        done = outcome(lambda: p.apply_inplace(data))
        assert done[0] == expected[0]
        if done[0] == "ok":
            assert exact(data) == exact(expected[1])
        else:
            assert done[1] == expected[1] and shape(data) == before
