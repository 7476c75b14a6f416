"""QuillfenPatch.diff: the patch that turns one document into another, held against the model's list
of changes that no patch makes."""

import copy

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import quillfen_model as model
from helpers import REFUSED, nest, on_thread, refused_or, unnest
from quillfen_patch import QuillfenPatch

diff = QuillfenPatch.diff

SERIALS = st.sampled_from(["a", "b", "c", "d", "e", "", "*", "_", "[0]", "+1"])
NEW_SERIALS = st.sampled_from(["f", "g", "a", "\u00e9"])  # mostly serials that are new where they are appended
KEYS = st.sampled_from(["a", "b", "x", "*", "_"])
scalars = st.one_of(
    st.none(),
    st.booleans(),
    st.integers(-2, 2),
    st.sampled_from([0.0, -0.0, 1.0, 2.5, 2**63 - 1, -(2**63)]),
    st.sampled_from(["", "a", "\u00e9"]),
)


def with_serial(serial, members):
    members["_"] = serial
    return members


def serial_objects(inner, serials=SERIALS):
    return st.builds(with_serial, serials, st.dictionaries(KEYS, inner, max_size=3))


def serial_lists(inner):
    return st.lists(serial_objects(inner), max_size=5, unique_by=lambda e: e["_"])


def elements_of(inner):
    """Mostly objects with a str serial; now and then one without, or with a serial of another kind."""
    return st.one_of(serial_objects(inner), st.dictionaries(KEYS, inner, max_size=2), st.builds(with_serial, st.integers(0, 1), st.just({})))


def containers(inner):
    return st.one_of(
        st.lists(inner, max_size=3),
        st.dictionaries(KEYS, inner, max_size=4),
        serial_lists(inner),  # pairable as they stand
        st.lists(elements_of(inner), max_size=4),
    )


values = st.recursive(scalars, containers, max_leaves=24)
elements = elements_of(values)


class Editor:
    """Random edits at every depth of a value: members changed, dropped and added; elements changed,
    dropped, reordered, inserted (serials may repeat) and appended. Decisions come from a Random
    that hypothesis seeds (its own small integers lean towards their bounds), new values from `draw`."""

    def __init__(self, data):
        self.draw = data.draw
        self.rnd = data.draw(st.randoms(use_true_random=True))

    def edited(self, value, top=False):
        rnd = self.rnd
        if not top and rnd.random() < 0.1:
            return self.draw(values)
        if isinstance(value, dict):
            out = {k: self.edited(v) if rnd.random() > 0.6 else v for k, v in value.items() if rnd.random() < 0.85}
            for key in self.draw(st.lists(KEYS, max_size=2)):
                out.setdefault(key, self.draw(values))
            return out
        if isinstance(value, list):
            out = [self.element(e) for e in value if rnd.random() < 0.85]
            if rnd.random() > 0.85:
                rnd.shuffle(out)
            if rnd.random() > 0.85:
                out.insert(rnd.randint(0, len(out)), self.draw(elements))
            return out + self.draw(st.lists(serial_objects(values, NEW_SERIALS), max_size=2, unique_by=lambda e: e["_"]))
        return value if rnd.random() < 0.8 else self.draw(scalars)

    def element(self, element):
        """Now and then `element` edited, mostly keeping its serial."""
        if self.rnd.random() < 0.6:
            return element
        changed = self.edited(element)
        if isinstance(element, dict) and isinstance(changed, dict) and "_" in element and self.rnd.random() < 0.85:
            changed["_"] = element["_"]
        return changed


# Objects and arrays of serial-carrying objects, nested in each other at several depths.
serial_trees = st.recursive(scalars, lambda inner: st.one_of(serial_lists(inner), st.dictionaries(KEYS, inner, max_size=3)), max_leaves=20)
serial_roots = st.dictionaries(st.sampled_from(["a", "b", "*"]), st.one_of(serial_lists(serial_trees), serial_trees), min_size=1, max_size=3)
other_roots = st.one_of(st.dictionaries(KEYS, values, max_size=5), containers(values), serial_lists(serial_trees), values)


@settings(max_examples=200, deadline=None)
@given(st.data())
def test_diff_turns_old_into_new_exactly_or_refuses_as_listed(data):
    old = data.draw(serial_roots if data.draw(st.booleans()) else other_roots)  # one_of would flatten the weights
    new = data.draw(other_roots) if data.draw(st.integers(0, 7)) == 7 else Editor(data).edited(old, top=True)
    if model.diff_refusal(old, new):
        with pytest.raises(ValueError):
            diff(old, new)
        return
    patch = diff(old=old, new=new)
    assert model.equal(patch.apply(old), new)
    read_back = QuillfenPatch.from_json(patch.to_json_exact())
    assert model.equal(read_back.apply(old), new)
    assert model.equal(read_back.to_json_exact(), patch.to_json_exact())  # nothing lost either way
    in_place = copy.deepcopy(old)
    patch.apply_inplace(in_place)
    assert model.equal(in_place, new)
    if isinstance(old, dict):  # unchanged members get no entry
        absent = object()
        changed = {k for k in old.keys() | new.keys() if not model.equal(old.get(k, absent), new.get(k, absent))}
        assert set(patch.to_json()) == changed


def test_small_patches_pair_elements_by_serial():
    old = {"rows": [{"_": "r1", "v": 1}, {"_": "r2", "v": 2}, {"_": "r3", "v": 3}], "title": "t", "n": 1}
    new = {"rows": [{"_": "r1", "v": 1}, {"_": "r3", "v": 30}, {"_": "r4", "v": 4}], "title": "t", "n": 1.0}
    patch = diff(old, new)
    assert patch.to_json_exact() == {"n": 1.0, "rows": {"r2": {"*": None}, "r3": {"v": 30}, "r4": {"*": {"_": "r4", "v": 4}}}}
    assert len(diff(new, new)) == 0
    undo = diff(new, old)
    assert model.equal(undo.apply(patch.apply(old)), old)


# Texts of the cases that no patch expresses; the core tests hold the rest of them.
REFUSALS = [
    ({}, [], "Cannot express the change at []: a patch cannot turn an object into an array"),
    ("s", "s", "Cannot express the change at []: only objects and arrays can be patched"),
    ({"_": 1}, {"_": True}, 'Cannot express the change at ["_"]: applying passes over the member "_" at the top level of an object'),
    ([], [1, 2], 'Cannot express the change at ["[0]"]: the array root grows by 2 elements, and the top level of a patch appends in no set order'),
    ([{"_": "\u00e9\0"}], [{"_": "x"}, {"_": "\u00e9\0"}],
     'Cannot express the change at ["[1]"]: the added object\'s serial "\u00e9\\u0000" is carried by an old element, which its key would reach instead'),
]


@pytest.mark.parametrize("old, new, text", REFUSALS)
def test_refusal_texts(old, new, text):
    with pytest.raises(ValueError) as info:
        diff(old, new)
    assert type(info.value) is ValueError and str(info.value) == text


ARGUMENTS = [
    ((), {}, TypeError, "QuillfenPatch.diff() missing 2 required positional arguments: 'old' and 'new'"),
    (({},), {}, TypeError, "QuillfenPatch.diff() missing 1 required positional argument: 'new'"),
    (({}, {}, {}), {}, TypeError, "QuillfenPatch.diff() takes 2 positional arguments but 3 were given"),
    (({},), {"old": {}}, TypeError, "QuillfenPatch.diff() got multiple values for argument 'old'"),
    (({},), {"newer": {}}, TypeError, "QuillfenPatch.diff() got an unexpected keyword argument 'newer'"),
    (((), {1: 2}), {}, TypeError, "Unsupported type for JSON conversion"),  # old converts first
    (({}, {1: 2}), {}, TypeError, "'int' object cannot be converted to 'PyString'"),
    (({}, nest(1_000_000, 1)), {}, RecursionError, REFUSED),
]


@pytest.mark.parametrize("args, kwargs, error, text", ARGUMENTS, ids=[a[3][:60] for a in ARGUMENTS])
def test_argument_and_conversion_errors(args, kwargs, error, text):
    with pytest.raises(error) as info:
        diff(*args, **kwargs)
    assert type(info.value) is error and str(info.value) == text


def test_keywords_in_any_order_and_on_an_instance():
    expected = {"a": 2}
    assert QuillfenPatch().diff(new={"a": 2}, **{"".join(["o", "ld"]): {"a": 1}}).to_json() == expected


@pytest.mark.parametrize("in_thread", [False, True])
def test_ten_thousand_levels_go_through_every_step(in_thread):
    def body():
        old, new = nest(10_000, [{"_": "a"}]), nest(10_000, [{"_": "a", "v": {}}])
        patch = QuillfenPatch.from_json(diff(old, new).to_json_exact())
        return refused_or(lambda: unnest(patch.apply(old)))

    assert (on_thread(body) if in_thread else body()) == (10_001, {"_": "a", "v": {}})
