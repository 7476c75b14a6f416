"""apply against the Python model of applying, on random documents and patches whose child lists are
in ascending byte order of their keys, as the document form reads them."""

from hypothesis import given, settings
from hypothesis import strategies as st

import helpers
import quillfen_model as model
from quillfen_model import exact, serial_index
from quillfen_patch import QuillfenPatch

SERIALS = ["a", "b", "[-0]"]
KEYS = SERIALS + ["_", "", "é", "[0]", "[1]", "[01]", "[+1]", "[2]", "[9]"]
keys = st.sampled_from(KEYS)
scalars = st.one_of(
    st.none(),
    st.booleans(),
    st.integers(min_value=-(2**63), max_value=2**63 - 1),
    st.floats(allow_nan=False, allow_infinity=False),
    keys,
)


def with_serial(member):
    return st.builds(lambda d, s: {**d, "_": s}, member, st.sampled_from(SERIALS + [5, None]))


values = st.recursive(
    scalars,
    lambda inner: st.one_of(
        st.lists(inner, max_size=4),
        st.dictionaries(keys, inner, max_size=3),
        st.lists(with_serial(st.dictionaries(keys, inner, max_size=2)), max_size=4),
    ),
    max_leaves=20,
)
elements = st.one_of(with_serial(st.dictionaries(keys, values, max_size=2)), values)
documents = st.one_of(st.lists(elements, max_size=6), st.dictionaries(keys, values, max_size=6))


def entries(depth):
    leaves = st.one_of(st.tuples(st.just("set"), values), st.just(("delete",)))
    if depth == 0:
        return leaves
    children = st.dictionaries(keys, entries(depth - 1), max_size=3).map(lambda d: [(k, d[k]) for k in model.byte_order(d)])
    return st.one_of(leaves, st.tuples(st.just("nested"), children))


@st.composite
def cases(draw):
    """A document and a patch whose top-level keys on an array root mostly reach an element."""
    document = draw(documents)
    pool = list(KEYS)
    if isinstance(document, list):
        pool += sorted(serial_index(document)) * 2 + [f"[{i}]" for i in range(len(document))] * 2
    return draw(st.dictionaries(st.sampled_from(pool), entries(3), max_size=5)), document


@settings(max_examples=400 if helpers.FULL else 100, deadline=None)
@given(cases())
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
