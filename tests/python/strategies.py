"""Hypothesis strategies of the property tests and of the random-call harness in tests/fuzz: JSON-like
documents, patches with the model's reading of them, pairs of versions for diff, JSON Patch operation
lists aimed at a document, and hostile values: subclasses, hooks, values that convert to another value
or to none."""

import collections
import copy
import functools
import json

from hypothesis import strategies as st

import quillfen_model as model
import rfc6902
from quillfen_patch import QuillfenPatch


def trees(leaves, keys, list_size=3, dict_size=4, max_leaves=20):
    """Lists and dicts nested in each other, `leaves` at their ends."""
    return st.recursive(
        leaves, lambda inner: st.lists(inner, max_size=list_size) | st.dictionaries(keys, inner, max_size=dict_size), max_leaves=max_leaves
    )


# Values that convert to themselves.

# Keys that pointers must escape, that read as array tokens, and that differ between bytes and code points.
KEYS = st.sampled_from(["a", "b", "é", "", "~1/", "~", "0", "-", "_"]) | st.text(max_size=3)
INTEGERS = st.sampled_from([0, 1, -1, 2**53 + 1, 2**63 - 1, -(2**63)]) | st.integers(-(2**63), 2**63 - 1)
FLOATS = st.sampled_from([0.0, -0.0, 1.0, 2.5, 2.0**53]) | st.floats(allow_nan=False, allow_infinity=False)


def scalars(strings):
    return st.none() | st.booleans() | INTEGERS | FLOATS | strings


SCALARS = scalars(st.text(max_size=4))
VALUES = trees(SCALARS, KEYS, list_size=6, max_leaves=12)
DOCUMENTS = st.lists(VALUES, max_size=8) | st.dictionaries(KEYS, VALUES, max_size=8)
# Few keys and scalars, so that two documents often hold equal values at the same place.
FEW_KEYS = st.sampled_from(["a", "b", "x", "*", "_"])
SMALL_SCALARS = st.none() | st.booleans() | st.integers(-2, 2) | st.sampled_from([0.0, -0.0, 1.0, 2.5, 2**63 - 1, "", "a", "é"])

# Values of no exact type, and values that convert to other values.


class DictSub(dict):
    pass


class ListSub(list):
    pass


class StrSub(str):
    pass


class IntSub(int):
    pass


ODD_SCALARS = (
    st.sampled_from([float("nan"), float("inf"), float("-inf"), 2**63, 2**63 + 1, 2**63 + 2, -(2**63) - 1, 2**64, 2**70, 2.0**64, IntSub(2**63)])
    | st.builds(StrSub, st.sampled_from(["a", "é"]))
    | st.builds(IntSub, st.integers(-3, 3))
)


def sprinkled(data, value, rate=0.05):
    """`value` with some scalars replaced by odd ones and some containers by subclass copies; serials stay."""
    rnd = data.draw(st.randoms(use_true_random=True))
    pending = [value]
    while pending:
        item = pending.pop()
        slots = item.items() if isinstance(item, dict) else enumerate(item) if isinstance(item, list) else ()
        for key, child in list(slots):
            if isinstance(child, (dict, list)):
                pending.append(child)
                if rnd.random() < rate:
                    item[key] = DictSub(child) if isinstance(child, dict) else ListSub(child)
            elif key != "_" and rnd.random() < rate:
                item[key] = data.draw(ODD_SCALARS)
    return value


# Documents and patches for applying: arrays of elements that carry serials, and keys that reach an
# element by serial or by position, in each spelling of an index.

SERIALS = ["a", "b", "[-0]"]
APPLY_KEYS = SERIALS + ["_", "", "é", "[0]", "[1]", "[01]", "[+1]", "[2]", "[9]"]
_apply_keys = st.sampled_from(APPLY_KEYS)


def with_serial(member):
    return st.builds(lambda d, s: {**d, "_": s}, member, st.sampled_from(SERIALS + [5, None]))


APPLY_VALUES = st.recursive(
    scalars(_apply_keys),
    lambda inner: st.lists(inner, max_size=4)
    | st.dictionaries(_apply_keys, inner, max_size=3)
    | st.lists(with_serial(st.dictionaries(_apply_keys, inner, max_size=2)), max_size=4),
    max_leaves=20,
)
APPLY_DOCUMENTS = st.lists(with_serial(st.dictionaries(_apply_keys, APPLY_VALUES, max_size=2)) | APPLY_VALUES, max_size=6) | st.dictionaries(
    _apply_keys, APPLY_VALUES, max_size=6
)


# Placements: none now and then; first; after a serial elements carry, new ones ("n", "m"), or none ("zz").
AFTERS = [None, "a", "b", "c", "n", "m", "[0]", "zz"]
PLACEMENTS = st.sampled_from([(), ()] + [(after,) for after in AFTERS])


def placed(entries):
    """`entries`, a Set or Nested with the placement it draws."""
    return st.tuples(entries, PLACEMENTS).map(lambda pair: model.with_placement(*pair))


def children(keys, entries):
    """Child lists in ascending byte order of their keys, as the document form reads them."""
    return st.dictionaries(keys, entries, max_size=3).map(lambda d: [(k, d[k]) for k in model.byte_order(d)])


def model_entries(depth, values=APPLY_VALUES, placements=False):
    """Entries of the model's patches, nested `depth` levels at most, with placements or without."""
    entries = st.tuples(st.just("set"), values) | st.just(("delete",))
    if depth > 0:
        entries |= st.tuples(st.just("nested"), children(_apply_keys, model_entries(depth - 1, values, placements)))
    return placed(entries) if placements else entries


_ENTRIES, _PLACED_ENTRIES = model_entries(3), model_entries(3, placements=True)


def patches_for(document, placements=False):
    """Patches of the model aimed at `document`: on an array root the top-level keys mostly reach an
    element. With `placements`, entries carry some, and no top-level "_" entry takes the table's member."""
    pool = [key for key in APPLY_KEYS if key != "_" or not placements]
    if isinstance(document, list):
        pool += sorted(model.serial_index(document)) * 2 + [f"[{i}]" for i in range(len(document))] * 2
    return st.dictionaries(st.sampled_from(pool), _PLACED_ENTRIES if placements else _ENTRIES, max_size=5)


@st.composite
def patches_and_documents(draw, placements=False):
    """(a patch of the model, a document), as patches_for aims them."""
    document = draw(APPLY_DOCUMENTS)
    return draw(patches_for(document, placements)), document


@st.composite
def shared_documents(draw):
    """A document in which one container stands at two places."""
    shared = draw(st.dictionaries(st.sampled_from(["a", "_", "x"]), APPLY_VALUES, max_size=3) | st.lists(APPLY_VALUES, max_size=3))
    document = draw(APPLY_DOCUMENTS)
    if isinstance(document, list):
        return document + [shared, {"_": "a", "s": shared}]
    return {**document, "a": shared, "[0]": [shared]}


# Placements on rows with distinct serials, some holding rows of their own under "l". "[0]" is an
# index key at the top level and a serial below it.

PLACE_SERIALS = ["a", "b", "c", "d", "[0]"]
PLACE_KEYS = PLACE_SERIALS + ["n", "m"]


def place_rows(inner, min_size=0):
    row = st.fixed_dictionaries({"_": st.sampled_from(PLACE_SERIALS)}, optional={"v": st.integers(0, 3), "l": inner})
    return st.lists(row, min_size=min_size, max_size=min_size + 3, unique_by=lambda r: r["_"])


PLACE_ROWS = place_rows(place_rows(st.just([]), min_size=2), min_size=3)
PLACE_VALUES = st.one_of(st.fixed_dictionaries({"v": st.integers(0, 3)}), st.integers(0, 3), place_rows(st.just([])))


def row_entries(inner):
    """Entries at a row: a Set, a Delete, a pure move, or changes to the members of the row, the rows
    under "l" among them (placements at the other members change nothing)."""
    members = st.tuples(st.just("nested"), children(st.sampled_from(["v", "l", "_", "a"]), inner))
    return placed(model_entries(0, values=PLACE_VALUES) | st.just(("nested", [])) | members)


_members = model_entries(0, values=PLACE_VALUES)
_inner_rows = st.tuples(st.just("nested"), children(st.sampled_from(PLACE_KEYS), row_entries(_members)))
_placing_entries = row_entries(placed(_members | _inner_rows))


@st.composite
def placing_patches_and_documents(draw):
    """(a patch of the model with placements, a document): rows at the root, or under "rows" beside an
    object, whose members the patch may place too, to no effect."""
    rows = draw(PLACE_ROWS)
    keys = st.sampled_from([row["_"] for row in rows] * 8 + PLACE_KEYS + ["[1]", "[7]"])  # mostly a row's serial
    entries = draw(st.dictionaries(keys, _placing_entries, min_size=2, max_size=6))
    if draw(st.booleans()):
        return entries, rows
    patch = {"rows": ("nested", [(key, entries[key]) for key in model.byte_order(entries)]), "o": draw(_placing_entries)}
    return patch, {"rows": rows, "o": {"a": 1, "n": 2}}


# Histories of records: two patches aimed at one list of rows, at the root or under "rows", that set
# rows to dicts, delete them, change their members (the rows under "l" among them) and place them.
_row_values = st.fixed_dictionaries({}, optional={"v": st.integers(0, 3), "l": place_rows(st.just([]))})
_row_members = st.tuples(st.just("nested"), children(st.sampled_from(["v", "l"]), model_entries(0, values=st.integers(0, 3) | _row_values)))
_record_entries = placed(st.tuples(st.just("set"), _row_values) | st.just(("delete",)) | _row_members | st.just(("nested", [])))


@st.composite
def record_histories(draw):
    """(first, second, document): patches of the model at the rows' serials and new ones ("n", "m")."""
    rows = draw(PLACE_ROWS)
    rows += [{**rows[0], "v": 9}] * draw(st.integers(0, 1))  # now and then a serial carried twice
    keys = st.sampled_from([row["_"] for row in rows] * 3 + ["n", "m"])
    first, second = (draw(st.dictionaries(keys, _record_entries, min_size=1, max_size=4)) for _ in range(2))
    if draw(st.booleans()):
        return first, second, rows
    nested = [{"rows": ("nested", [(key, patch[key]) for key in model.byte_order(patch)])} for patch in (first, second)]
    return nested[0], nested[1], {"rows": rows, "o": {"v": 1}}


RECORDING_CALLS = st.lists(
    st.tuples(st.just("set"), st.sampled_from(PLACE_KEYS + ["_"]), PLACE_VALUES)
    | st.tuples(st.just("delete"), st.sampled_from(PLACE_KEYS))
    | st.tuples(st.just("place"), st.sampled_from(PLACE_KEYS + ["_"]), st.sampled_from(AFTERS)),
    max_size=6,
)


def recorded_placements(calls):
    """(patch, its model): `calls` recorded with set, delete and place, on the module and the model."""
    patch, modelled = QuillfenPatch(), {}
    for name, *args in calls:
        getattr(patch, name)(*args)
        getattr(model, "record_" + name)(modelled, *args)
    return patch, modelled


# Values that the conversion changes: kept apart from the documents of the model, which convert to themselves.
CHANGED_VALUES = st.recursive(
    APPLY_VALUES | ODD_SCALARS,
    lambda inner: st.lists(inner, max_size=3) | st.dictionaries(st.sampled_from(["a", "_", "b"]), inner, max_size=3).map(DictSub),
    max_leaves=8,
)

# Pairs of versions for diff.

DIFF_SERIALS = st.sampled_from(["a", "b", "c", "d", "", "*", "_", "[0]", "+1"])


def serial_objects(inner, serials=DIFF_SERIALS):
    return st.builds(lambda s, d: {**d, "_": s}, serials, st.dictionaries(FEW_KEYS, inner, max_size=3))


def serial_lists(inner):
    return st.lists(serial_objects(inner), max_size=5, unique_by=lambda e: e["_"])


def diff_elements(inner):  # now and then without a serial, or with one that is no str
    return st.one_of(serial_objects(inner), st.dictionaries(FEW_KEYS, inner, max_size=2), st.sampled_from([{"_": 0}, 1]))


def diff_containers(inner):
    return st.one_of(st.lists(inner, max_size=3), st.dictionaries(FEW_KEYS, inner, max_size=4), serial_lists(inner), st.lists(diff_elements(inner), max_size=4))


DIFF_VALUES = st.recursive(SMALL_SCALARS, diff_containers, max_leaves=24)
# Objects and arrays of serial-carrying objects in each other, at several depths.
SERIAL_TREES = st.recursive(SMALL_SCALARS, lambda inner: st.one_of(serial_lists(inner), st.dictionaries(FEW_KEYS, inner, max_size=3)), max_leaves=20)
SERIAL_ROOTS = st.dictionaries(st.sampled_from(["a", "b", "*"]), st.one_of(serial_lists(SERIAL_TREES), SERIAL_TREES), min_size=1, max_size=3)
OTHER_ROOTS = st.one_of(st.dictionaries(FEW_KEYS, DIFF_VALUES, max_size=5), diff_containers(DIFF_VALUES), serial_lists(SERIAL_TREES), DIFF_VALUES)


class Editor:
    """Edits at every depth: members changed, dropped, added; elements changed (mostly keeping their
    serial), dropped, reordered, inserted (serials may repeat) and appended. Decisions come from a Random
    that hypothesis seeds (its own small integers lean to their bounds); new values from draws."""

    def __init__(self, data):
        self.draw, self.rnd = data.draw, data.draw(st.randoms(use_true_random=True))

    def edited(self, value, top=False):
        rnd = self.rnd
        if not top and rnd.random() < 0.1:
            return self.draw(DIFF_VALUES)
        if isinstance(value, dict):
            out = {k: self.edited(v) if rnd.random() > 0.6 else v for k, v in value.items() if rnd.random() < 0.85}
            return {**{k: self.draw(DIFF_VALUES) for k in self.draw(st.lists(FEW_KEYS, max_size=2))}, **out}
        if isinstance(value, list):
            out = [e if rnd.random() < 0.6 else self.keeping_serial(e) for e in value if rnd.random() < 0.85]
            if rnd.random() < 0.15:
                rnd.shuffle(out)
            if rnd.random() < 0.15:
                out.insert(rnd.randint(0, len(out)), self.draw(diff_elements(DIFF_VALUES)))
            new = serial_objects(DIFF_VALUES, st.sampled_from(["f", "g", "a", "é"]))
            return out + self.draw(st.lists(new, max_size=2, unique_by=lambda e: e["_"]))
        return value if rnd.random() < 0.8 else self.draw(SMALL_SCALARS)

    def keeping_serial(self, element):
        changed = self.edited(element)
        if isinstance(changed, dict) and isinstance(element, dict) and "_" in element and self.rnd.random() < 0.85:
            changed["_"] = element["_"]
        return changed


def diff_pair(data, odd=False):
    """(old, new): new mostly an edit of old, sharing with it every part the edit left alone, now and
    then another document. With `odd`, half the old documents hold values of no exact type."""
    old = data.draw(SERIAL_ROOTS if data.draw(st.booleans()) else OTHER_ROOTS)  # one_of would flatten the weights
    if odd and data.draw(st.booleans()):
        old = sprinkled(data, copy.deepcopy(old))
    return old, data.draw(OTHER_ROOTS) if data.draw(st.integers(0, 7)) == 7 else Editor(data).edited(old, top=True)


# Patches in the document form: "*" sets and deletes, "_" and "[0]" address elements.

FORM_KEYS = st.sampled_from(["a", "b", "c", "*", "_", "[0]", "", "é", "from", "to", "test"])
PATCH_DOCUMENTS = trees(scalars(st.text(max_size=3)), FORM_KEYS)
STAR_FREE_PATCH_DOCUMENTS = trees(scalars(st.text(max_size=3)), FORM_KEYS.filter(lambda k: k != "*"))
SMALL_PATCH_DOCUMENTS = trees(SMALL_SCALARS, FEW_KEYS, dict_size=3, max_leaves=16)
SMALL_PATCH_OBJECTS = st.dictionaries(FEW_KEYS, SMALL_PATCH_DOCUMENTS, max_size=4)


def patches_with_models():
    """(patch, its model or None): a patch built each way Python can, read, merged, recorded or computed."""
    read = SMALL_PATCH_OBJECTS.map(lambda d: (QuillfenPatch.from_json(d), model.read(d)))
    merged = st.tuples(read, read).map(lambda ps: (QuillfenPatch.merge(ps[0][0], ps[1][0]), model.merge(ps[0][1], ps[1][1])))

    def recorded(pairs):
        p = QuillfenPatch()
        for key, value in pairs:
            p.set(key, value)
        return p, {key: ("set", value) for key, value in pairs}

    differences = st.tuples(SMALL_PATCH_OBJECTS, SMALL_PATCH_OBJECTS).filter(lambda d: not model.diff_refusal(*d)).map(
        lambda d: (QuillfenPatch.diff(*d), None)
    )
    return st.one_of(read, merged, st.lists(st.tuples(FEW_KEYS, SMALL_PATCH_DOCUMENTS), max_size=3).map(recorded), differences)


# Arrays of records.


def serial_arrays(min_size=0, max_size=8):
    """Lists of records, each a dict whose "_" holds a serial of its own ("r000", "r001", ... in order)."""
    records = st.lists(st.dictionaries(st.sampled_from(["v", "w", "é"]), SCALARS, max_size=2), min_size=min_size, max_size=max_size)
    return records.map(lambda rows: [{"_": "r%03d" % i, **row} for i, row in enumerate(rows)])


LONG_SERIAL_ARRAYS = st.integers(20, 200).flatmap(lambda size: serial_arrays(size, size))  # lists lean to their least size


@st.composite
def long_array_edits(draw):
    """(rows, kept, front_first, inserted): a long array of records, the few positions kept (the rest
    are removed, front first or back first), and the positions at which new records go in."""
    rows = draw(LONG_SERIAL_ARRAYS)
    kept = draw(st.sets(st.sampled_from(range(len(rows))), max_size=len(rows) // 3))
    return rows, kept, draw(st.booleans()), draw(st.lists(st.integers(0, len(rows)), min_size=1, max_size=6))


# JSON Patch operation lists aimed at a document.


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


_OPS = st.sampled_from(rfc6902.OPS)
# Ways to make a well-formed operation malformed.
_SPOILERS = st.sampled_from([lambda op: {**op, "op": "Add"}, lambda op: {"op": op["op"]}, lambda op: {**op, "path": "a"}, lambda op: [op],
                             lambda op: {**op, "path": op["path"] + "/~2"}])


@functools.lru_cache(maxsize=None)  # one strategy each: hypothesis checks every new one it meets
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
        op = draw(_OPS)
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
            operation = draw(_SPOILERS)(operation)
        operations.append(operation)
        try:
            current = rfc6902.apply(current, [operation])
        except rfc6902.JsonPatchError:
            break
    return operations


DOCUMENTS_AND_JSON_PATCHES = DOCUMENTS.flatmap(lambda document: st.tuples(st.just(document), json_patches(document)))

# Hostile input for the random-call harness: hooks that re-enter the instance, raise, or empty the
# container being read; subclasses; values and keys that do not convert.

PATCH_KEYS = ["a", "b", "_", "*", "", "[0]", "[1]", "[+1]", "é", "s"]


class Hook:
    """Converts through __index__ or __float__ (by `kind`), after doing `action` to `target`."""

    def __init__(self, kind, result, action=None, target=None):
        self.kind, self.result, self.action, self.target = kind, result, action, target

    def run(self):
        if self.action == "raise":
            raise ValueError("hook")
        if self.action == "reenter":  # the instance is busy: each call is refused or succeeds
            for call in (lambda: self.target.to_json(), lambda: self.target.set("k", 1), lambda: len(self.target)):
                try:
                    call()
                except RuntimeError as error:
                    assert str(error) in ("Already borrowed", "Already mutably borrowed")
        if self.action == "empty":
            self.target.clear()
        return self.result

    def __repr__(self):  # stable under copy.deepcopy, for comparing snapshots
        return f"Hook({self.kind}, {self.result}, {self.action})"


class IndexHook(Hook):
    def __index__(self):
        return self.run()


class FloatHook(Hook):
    def __float__(self):
        return float(self.run())


HOSTILE_SCALARS = st.one_of(
    st.none(),
    st.booleans(),
    st.integers(min_value=-(2**64), max_value=2**64),
    st.sampled_from([2**1100, -(2**63) - 1, float("nan"), float("inf"), -0.0, 1e308]),
    st.floats(),
    st.sampled_from(PATCH_KEYS),
    st.text(max_size=4),
    st.builds(StrSub, st.sampled_from(PATCH_KEYS)),
    st.builds(IntSub, st.integers(-5, 5)),
)
UNCONVERTIBLE = st.sampled_from([b"x", (1, 2), {1}, object, "\ud800", 1j])


def hostile_trees(leaves):
    """Documents whose containers may be subclasses, carry a serial, or hold keys that are no str."""
    keys = st.sampled_from(PATCH_KEYS)
    return st.recursive(
        leaves,
        lambda inner: st.one_of(
            st.lists(inner, max_size=4),
            st.builds(ListSub, st.lists(inner, max_size=3)),
            st.dictionaries(keys, inner, max_size=4),
            st.builds(DictSub, st.dictionaries(keys, inner, max_size=3)),
            st.builds(collections.OrderedDict, st.dictionaries(keys, inner, max_size=3)),
            st.builds(lambda d, s: {**d, "_": s}, st.dictionaries(keys, inner, max_size=3), keys),
            st.dictionaries(st.sampled_from([1, None, b"k"]), inner, min_size=1, max_size=2),
        ),
        max_leaves=12,
    )


# Hooks without side effects: converting twice gives the same value, so apply can be compared with apply_inplace.
CALM_HOOKS = st.builds(
    lambda cls, result, action: cls("calm", result, action),
    st.sampled_from([IndexHook, FloatHook]),
    st.integers(-3, 3),
    st.sampled_from([None, "raise"]),
)
CALM_VALUES = st.one_of(HOSTILE_SCALARS, CALM_HOOKS)
HOSTILE_VALUES = st.one_of(HOSTILE_SCALARS, UNCONVERTIBLE, CALM_HOOKS)
CALM_DOCUMENTS = hostile_trees(CALM_VALUES)
# "reenter" and "empty" mark where arm() puts hooks aimed at the call's own patch and container.
HOSTILE_DOCUMENTS = hostile_trees(st.one_of(HOSTILE_SCALARS, UNCONVERTIBLE, CALM_HOOKS, st.just("reenter"), st.just("empty")))
# Lists long enough for the interpreter to shrink their item array when they lose half of it.
IN_PLACE_DOCUMENTS = st.one_of(CALM_DOCUMENTS, st.lists(CALM_DOCUMENTS, min_size=5, max_size=9))


def arm(document, patch):
    """Replaces the "reenter" and "empty" markers by hooks aimed at `patch` and at the container holding them."""
    pending = [document]
    while pending:
        container = pending.pop()
        if not isinstance(container, (dict, list)):
            continue
        slots = list(container.items()) if isinstance(container, dict) else list(enumerate(container))
        for key, value in slots:
            if value == "reenter" and type(value) is str:
                container[key] = IndexHook("armed", 1, "reenter", patch)
            elif value == "empty" and type(value) is str:
                container[key] = IndexHook("armed", 2, "empty", container)
            else:
                pending.append(value)
    return document


POINTERS = ["", "/a", "/b", "/_", "/0", "/1", "/-", "/01", "/a/0", "/a/-", "/a/b", "/0/a", "/~0", "/~1", "/~2", "a", "/\u00e9"]


def operation_lists(values):
    """JSON Patch operations, now and then malformed: an unknown op, a missing member, a bad pointer,
    an element that is no object."""
    operation = st.fixed_dictionaries(
        {"op": st.sampled_from(["add", "remove", "replace", "move", "copy", "test", "bad"]), "path": st.sampled_from(POINTERS), "value": hostile_trees(values)},
        optional={"from": st.sampled_from(POINTERS)},
    )
    # In place, the whole document may be replaced by one of its own kind, keeping its identity.
    whole = st.fixed_dictionaries(
        {"op": st.sampled_from(["add", "replace"]), "path": st.just(""), "value": st.one_of(st.lists(values, max_size=3), st.dictionaries(st.sampled_from(PATCH_KEYS), values, max_size=3))}
    )
    return st.lists(st.one_of(operation, operation, whole, values), max_size=4)


@st.composite
def reordered_versions(draw):
    """(old, new): a list of records and a version of it with records removed, changed, moved and
    inserted anywhere (new serials "n0", "n1", ...), as a root or below one."""
    old = draw(serial_arrays(max_size=10))
    new = [dict(row, v=draw(SCALARS)) if draw(one_in(4)) else row for row in old if not draw(one_in(5))]
    new = draw(st.permutations(new)) if draw(st.booleans()) else new
    for i in range(draw(st.integers(0, 3))):
        new.insert(draw(st.integers(0, len(new))), {"_": "n%d" % i, "w": i})
    return (old, new) if draw(st.booleans()) else ({"rows": old}, {"rows": new})
