"""QuillfenPatch.diff, held against the model's list of the changes that no patch makes."""

import copy

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import quillfen_model as model
from helpers import REFUSED, nest, on_thread, refused_or, unnest
from quillfen_patch import QuillfenPatch

diff = QuillfenPatch.diff
KEYS = st.sampled_from(["a", "b", "x", "*", "_"])
SERIALS = st.sampled_from(["a", "b", "c", "d", "", "*", "_", "[0]", "+1"])
scalars = st.one_of(st.none(), st.booleans(), st.integers(-2, 2), st.sampled_from([0.0, -0.0, 1.0, 2.5, 2**63 - 1, "", "\u00e9"]))


def serial_objects(inner, serials=SERIALS):
    return st.builds(lambda s, d: {**d, "_": s}, serials, st.dictionaries(KEYS, inner, max_size=3))


def serial_lists(inner):
    return st.lists(serial_objects(inner), max_size=5, unique_by=lambda e: e["_"])


def elements(inner):  # now and then without a serial, or with one that is no str
    return st.one_of(serial_objects(inner), st.dictionaries(KEYS, inner, max_size=2), st.sampled_from([{"_": 0}, 1]))


def containers(inner):
    return st.one_of(st.lists(inner, max_size=3), st.dictionaries(KEYS, inner, max_size=4), serial_lists(inner),
                     st.lists(elements(inner), max_size=4))


values = st.recursive(scalars, containers, max_leaves=24)
# Objects and arrays of serial-carrying objects in each other, at several depths.
serial_trees = st.recursive(scalars, lambda inner: st.one_of(serial_lists(inner), st.dictionaries(KEYS, inner, max_size=3)),
                            max_leaves=20)
serial_roots = st.dictionaries(st.sampled_from(["a", "b", "*"]), st.one_of(serial_lists(serial_trees), serial_trees),
                               min_size=1, max_size=3)
other_roots = st.one_of(st.dictionaries(KEYS, values, max_size=5), containers(values), serial_lists(serial_trees), values)


class Editor:
    """Edits at every depth: members changed, dropped, added; elements changed (mostly keeping their
    serial), dropped, reordered, inserted (serials may repeat) and appended. Decisions come from a Random
    that hypothesis seeds (its own small integers lean to their bounds); new values from draws."""

    def __init__(self, data):
        self.draw, self.rnd = data.draw, data.draw(st.randoms(use_true_random=True))

    def edited(self, value, top=False):
        rnd = self.rnd
        if not top and rnd.random() < 0.1:
            return self.draw(values)
        if isinstance(value, dict):
            out = {k: self.edited(v) if rnd.random() > 0.6 else v for k, v in value.items() if rnd.random() < 0.85}
            return {**{k: self.draw(values) for k in self.draw(st.lists(KEYS, max_size=2))}, **out}
        if isinstance(value, list):
            out = [e if rnd.random() < 0.6 else self.keeping_serial(e) for e in value if rnd.random() < 0.85]
            if rnd.random() < 0.15:
                rnd.shuffle(out)
            if rnd.random() < 0.15:
                out.insert(rnd.randint(0, len(out)), self.draw(elements(values)))
            new = serial_objects(values, st.sampled_from(["f", "g", "a", "\u00e9"]))
            return out + self.draw(st.lists(new, max_size=2, unique_by=lambda e: e["_"]))
        return value if rnd.random() < 0.8 else self.draw(scalars)

    def keeping_serial(self, element):
        changed = self.edited(element)
        if isinstance(changed, dict) and isinstance(element, dict) and "_" in element and self.rnd.random() < 0.85:
            changed["_"] = element["_"]
        return changed


@settings(max_examples=200, deadline=None)
@given(st.data())
def test_diff_turns_old_into_new_exactly_or_refuses_as_listed(data):
    old = data.draw(serial_roots if data.draw(st.booleans()) else other_roots)  # one_of would flatten the weights
    new = data.draw(other_roots) if data.draw(st.integers(0, 7)) == 7 else Editor(data).edited(old, top=True)
    if model.diff_refusal(old, new):
        with pytest.raises(ValueError, match=r"^Cannot express the change at \["):
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
        assert set(patch.to_json()) == {k for k in old.keys() | new.keys() if not model.equal(old.get(k, absent), new.get(k, absent))}


ERRORS = [
    ((), {}, TypeError, "QuillfenPatch.diff() missing 2 required positional arguments: 'old' and 'new'"),
    (({},), {}, TypeError, "QuillfenPatch.diff() missing 1 required positional argument: 'new'"),
    (({}, {}, {}), {}, TypeError, "QuillfenPatch.diff() takes 2 positional arguments but 3 were given"),
    (({},), {"old": {}}, TypeError, "QuillfenPatch.diff() got multiple values for argument 'old'"),
    (({},), {"newer": {}}, TypeError, "QuillfenPatch.diff() got an unexpected keyword argument 'newer'"),
    (((), {1: 2}), {}, TypeError, "Unsupported type for JSON conversion"),  # old converts first
    (({}, {1: 2}), {}, TypeError, "'int' object cannot be converted to 'PyString'"),
    (({}, nest(1_000_000, 1)), {}, RecursionError, REFUSED),
    (({}, []), {}, ValueError, "Cannot express the change at []: a patch cannot turn an object into an array"),
    (([{"_": "\u00e9\0"}], [{"_": "x"}, {"_": "\u00e9\0"}]), {}, ValueError,  # the key path keeps every character
     'Cannot express the change at ["[1]"]: the added object\'s serial "\u00e9\\u0000" is carried by an old element, '
     "which its key would reach instead"),
]


@pytest.mark.parametrize("args, kwargs, error, text", ERRORS, ids=[e[3][:60] for e in ERRORS])
def test_error_texts(args, kwargs, error, text):
    with pytest.raises(error) as info:
        diff(*args, **kwargs)
    assert type(info.value) is error and str(info.value) == text


def test_keywords_in_any_order_and_on_an_instance():
    assert QuillfenPatch().diff(new={"a": 2}, **{"".join(["o", "ld"]): {"a": 1}}).to_json() == {"a": 2}


@pytest.mark.parametrize("in_thread", [False, True])
def test_ten_thousand_levels_go_through_every_step(in_thread):
    def body():
        old, new = nest(10_000, [{"_": "a"}]), nest(10_000, [{"_": "a", "v": {}}])
        patch = QuillfenPatch.from_json(diff(old, new).to_json_exact())
        return refused_or(lambda: unnest(patch.apply(old)))

    assert (on_thread(body) if in_thread else body()) == (10_001, {"_": "a", "v": {}})
