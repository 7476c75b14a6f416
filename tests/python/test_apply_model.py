"""apply against a small model of applying, written in Python, on random documents and patches.

A patch entry of the model is ("set", value), ("delete",) or ("nested", [(key, entry), ...]), the
children in ascending byte order of their keys, as the document form reads them.
"""

import copy
import json

from hypothesis import assume, given, settings
from hypothesis import strategies as st

import helpers
from quillfen_patch import QuillfenPatch


def parse_index_key(key):
    if len(key) < 3 or key[0] != "[" or key[-1] != "]":
        return None
    digits = key[1:-1]
    if digits.startswith("+"):
        digits = digits[1:]
    if not digits or any(c not in "0123456789" for c in digits):
        return None
    position = int(digits)
    return position if position < 2**64 else None


def serial_index(array):
    return {e["_"]: i for i, e in enumerate(array) if isinstance(e, dict) and isinstance(e.get("_"), str)}


def stamped(value, key):
    """A copy of `value`; an object also gets "_" holding `key`, unless that is None."""
    value = copy.deepcopy(value)
    if isinstance(value, dict) and key is not None:
        value["_"] = key
    return value


class Failure(Exception):
    pass


def model_level(target, children, top, errors):
    """Applies `children` to `target` in list order. Below the top level the first failure ends the
    whole application; at the top, whose order is not defined, each entry that fails adds its
    message to `errors`. Returns how many elements the level appended."""
    if not isinstance(target, (dict, list)):
        return 0  # a Nested that meets a scalar changes nothing
    index = serial_index(target) if isinstance(target, list) else {}
    length, deletes, appends = len(target), set(), []
    for key, entry in children:
        try:
            if top and key == "_":
                continue
            if isinstance(target, dict):
                if entry[0] == "set":
                    target[key] = copy.deepcopy(entry[1])
                elif entry[0] == "delete":
                    target.pop(key, None)
                elif key in target:
                    model_level(target[key], entry[1], False, errors)
                continue
            position = parse_index_key(key) if top else None
            if position is not None and position >= length:
                continue  # beyond the end: passed over
            serial = key if position is None else None  # no stamp at an index key
            position = index.get(key) if position is None else position
            if position is None:
                if entry[0] == "set":
                    appends.append(stamped(entry[1], key))
                elif top or entry[0] == "nested":
                    raise Failure("Invalid serial key: " + key)
            elif entry[0] == "set":
                target[position] = stamped(entry[1], serial)
            elif entry[0] == "delete":
                deletes.add(position)
            else:
                model_level(target[position], entry[1], False, errors)
        except Failure as failure:
            if not top:
                raise
            errors.append(str(failure))
    if isinstance(target, dict):
        return 0
    for position in sorted(deletes, reverse=True):
        del target[position]
    target.extend(appends)
    return len(appends)


def model_apply(patch, document):
    """(result, appended, errors): the patched copy, how many elements the top level appended
    (their order follows the unspecified visiting order), and the messages of failing entries."""
    result, errors = copy.deepcopy(document), []
    appended = model_level(result, list(patch.items()), True, errors)
    return result, appended, errors


def document_form(entry):
    if entry[0] == "delete":
        return {"*": None}
    if entry[0] == "set":
        return {"*": entry[1]} if isinstance(entry[1], dict) else entry[1]
    return {key: document_form(child) for key, child in entry[1]}


def exact(value):
    """A text that tells 1, 1.0 and True apart, for comparing documents exactly."""
    return json.dumps(value, sort_keys=True)


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
    children = st.dictionaries(keys, entries(depth - 1), max_size=3).map(
        lambda d: [(k, d[k]) for k in sorted(d, key=lambda k: k.encode())]
    )
    return st.one_of(leaves, st.tuples(st.just("nested"), children))


@st.composite
def cases(draw):
    """A document and a patch whose top-level keys on an array root mostly reach an element."""
    document = draw(documents)
    pool = list(KEYS)
    if isinstance(document, list):
        pool += sorted(serial_index(document)) * 2 + [f"[{i}]" for i in range(len(document))] * 2
    return draw(st.dictionaries(st.sampled_from(pool), entries(3), max_size=5)), document


def order_dependent(patch, document):
    """Two top-level entries of an array root that reach one element, other than by deleting it
    (a removal wins whatever came before or after it)."""
    if not isinstance(document, list):
        return False
    index, changers = serial_index(document), {}
    for key, entry in patch.items():
        position = parse_index_key(key)
        position = index.get(key) if position is None else position
        if key != "_" and position is not None and position < len(document) and entry[0] != "delete":
            changers[position] = changers.get(position, 0) + 1
    return any(count > 1 for count in changers.values())


@settings(max_examples=400 if helpers.FULL else 100, deadline=None)
@given(cases())
def test_apply_matches_the_model(case):
    patch, document = case
    assume(not order_dependent(patch, document))
    before = exact(document)
    expected, appended, errors = model_apply(patch, document)
    try:
        result = QuillfenPatch.from_json({k: document_form(e) for k, e in patch.items()}).apply(document)
    except RuntimeError as error:
        assert errors and str(error) in ["Patch error: " + e for e in errors]
    else:
        assert not errors
        if appended:  # the top level appends in its own visiting order
            kept = len(expected) - appended
            assert sorted(map(exact, result[kept:])) == sorted(map(exact, expected[kept:]))
            result, expected = result[:kept], expected[:kept]
        assert exact(result) == exact(expected)
    assert exact(document) == before
