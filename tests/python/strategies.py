"""Hypothesis strategies shared by the property tests: JSON-like documents, arrays of records that carry
serials, and JSON Patch operation lists aimed at a document."""

import json

from hypothesis import strategies as st

import rfc6902

# Keys that pointers must escape, that read as array tokens, and that differ between bytes and code points.
KEYS = st.sampled_from(["a", "b", "é", "", "~1/", "~", "0", "-", "_"]) | st.text(max_size=3)
INTEGERS = st.sampled_from([0, 1, -1, 2**53 + 1, 2**63 - 1, -(2**63)]) | st.integers(-(2**63), 2**63 - 1)
FLOATS = st.sampled_from([0.0, -0.0, 1.0, 2.5, 2.0**53]) | st.floats(allow_nan=False, allow_infinity=False)
SCALARS = st.none() | st.booleans() | INTEGERS | FLOATS | st.text(max_size=4)
VALUES = st.recursive(SCALARS, lambda inner: st.lists(inner, max_size=6) | st.dictionaries(KEYS, inner, max_size=4), max_leaves=12)
DOCUMENTS = st.lists(VALUES, max_size=8) | st.dictionaries(KEYS, VALUES, max_size=8)


def serial_arrays(min_size=0, max_size=8):
    """Lists of records, each a dict whose "_" holds a serial of its own ("r000", "r001", ... in order)."""
    records = st.lists(st.dictionaries(st.sampled_from(["v", "w", "é"]), SCALARS, max_size=2), min_size=min_size, max_size=max_size)
    return records.map(lambda rows: [{"_": "r%03d" % i, **row} for i, row in enumerate(rows)])


LONG_SERIAL_ARRAYS = st.integers(20, 200).flatmap(lambda size: serial_arrays(size, size))  # lists lean to their least size


def pointer(tokens):
    return "".join("/" + token.replace("~", "~0").replace("/", "~1") for token in tokens)


def places(document):
    """(tokens, value) of every value in `document`, the root's included."""
    found, pending = [], [([], document)]
    while pending:
        tokens, value = pending.pop()
        found.append((tokens, value))
        items = value.items() if isinstance(value, dict) else enumerate(value) if isinstance(value, list) else ()
        pending.extend((tokens + [str(key)], child) for key, child in items)
    return found


# Ways to make a well-formed operation malformed.
SPOILERS = [lambda op: {**op, "op": "Add"}, lambda op: {"op": op["op"]}, lambda op: {**op, "path": "a"}, lambda op: [op],
            lambda op: {**op, "path": op["path"] + "/~2"}]


def one_in(n):
    """True about once in n draws: sampled_from leans towards its first item, here False."""
    return st.sampled_from([False] * (n - 1) + [True])


@st.composite
def json_patches(draw, document):
    """Operations each drawn against what the ones before it leave, so that most apply: aimed mostly at
    places that exist, at array ends ("-", the length) and past them, at the root, a move now and then
    into its own child; the list may end with one that fails, and rarely holds a malformed one."""
    operations, current = [], document
    for _ in range(draw(st.integers(1, 10))):
        found = places(current)[::-1]  # the root last: sampled_from favours the first items
        containers = [place for place in found if isinstance(place[1], (dict, list))] or found
        existing = found[:-1] if len(found) > 1 and not draw(one_in(8)) else found  # the root now and then
        op = draw(st.sampled_from(rfc6902.OPS))
        # add, move and copy mostly aim at a new place in a container, the others at a place that exists
        new_place = draw(one_in(5)) != (op in ("add", "move", "copy"))
        aim_at_containers = new_place or op == "test" and draw(one_in(2))  # test compares whole objects too
        tokens, value = draw(st.sampled_from(containers if aim_at_containers and not draw(one_in(8)) else existing))
        if new_place and isinstance(value, list):  # now and then past the end, or no index
            ends = [str(len(value) + 1), "01"] if draw(one_in(6)) else ["0", "-", str(len(value)), str(len(value) // 2)]
            tokens = tokens + [draw(st.sampled_from(ends))]
        elif new_place:
            tokens = tokens + [draw(KEYS)]
        operation = {"op": op, "path": pointer(tokens)}
        if op in ("move", "copy"):
            source = draw(st.sampled_from(existing))[0]
            if op == "move" and draw(one_in(6)):
                source = tokens[: draw(st.integers(0, len(tokens)))]  # the target itself or an ancestor of it
            operation["from"] = pointer(source)
        if op == "test":
            text = json.dumps(value)  # as floats the integers are equal where exact; plus one, they differ
            alike = [value, json.loads(text, parse_int=float), json.loads(text, parse_int=lambda digits: int(digits) + 1)]
            operation["value"] = draw(VALUES if draw(one_in(4)) else st.sampled_from(alike))
        elif op in ("add", "replace"):
            operation["value"] = draw(VALUES)
        if draw(one_in(25)):
            operation = draw(st.sampled_from(SPOILERS))(operation)
        operations.append(operation)
        try:
            current = rfc6902.apply(current, [operation])
        except rfc6902.JsonPatchError:
            break
    return operations


DOCUMENTS_AND_JSON_PATCHES = DOCUMENTS.flatmap(lambda document: st.tuples(st.just(document), json_patches(document)))
