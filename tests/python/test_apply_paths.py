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
from test_apply_model import cases, documents, values


class CoreList(list):
    """A root that does not convert to itself: apply_inplace converts it whole, through the core."""


class CoreDict(dict):
    pass


class Text(str):
    pass


class Number(int):
    pass


# Values that the conversion changes: kept apart from the documents of the model test, which convert
# to themselves.
changed_scalars = st.sampled_from([2**63, -(2**63) - 1, 2**70, float("nan"), float("-inf")]) | st.builds(Text, st.sampled_from(["a", "é"])) | st.builds(Number, st.integers(-3, 3))
changed_values = st.recursive(
    values | changed_scalars,
    lambda inner: st.lists(inner, max_size=3) | st.dictionaries(st.sampled_from(["a", "_", "b"]), inner, max_size=3).map(CoreDict),
    max_leaves=8,
)


def outcome(call):
    try:
        return ("ok", call())
    except RuntimeError as error:
        return ("error", str(error))


@settings(max_examples=300 if helpers.FULL else 60, deadline=None)
@given(cases(), st.lists(changed_values, max_size=2))
def test_apply_matches_the_whole_conversion_through_the_core(case, extra):
    patch, document = case
    p = QuillfenPatch.from_json(model.write_exact(patch))
    if isinstance(document, list):
        document = document + extra
    root = (CoreList if isinstance(document, list) else CoreDict)(copy.deepcopy(document))
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


@st.composite
def shared_documents(draw):
    """A document in which one container stands at two places."""
    shared = draw(st.dictionaries(st.sampled_from(["a", "_", "x"]), values, max_size=3) | st.lists(values, max_size=3))
    document = draw(documents)
    if isinstance(document, list):
        return document + [shared, {"_": "a", "s": shared}]
    return {**document, "a": shared, "[0]": [shared]}


@settings(max_examples=300 if helpers.FULL else 60, deadline=None)
@given(cases(), shared_documents())
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
