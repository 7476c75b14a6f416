"""QuillfenPatch.diff, held against the model's list of the changes that no patch makes."""

import copy

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import quillfen_model as model
from helpers import REFUSED, nest, on_thread, refused_or, unnest
from quillfen_patch import QuillfenPatch
from strategies import diff_pair

diff = QuillfenPatch.diff


@settings(max_examples=200, deadline=None)
@given(st.data())
def test_diff_turns_old_into_new_exactly_or_refuses_as_listed(data):
    old, new = diff_pair(data)
    if model.diff_refusal(old, new):
        with pytest.raises(ValueError, match=r"^Cannot express the change at \["):
            diff(old, new)
        return
    patch = diff(old=old, new=new)
    assert model.equal(patch.apply(old), new)
    read_back = QuillfenPatch.from_json_exact(patch.to_json_exact())
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
    (([{"_": "\u00e9\0"}], [{"_": "\u00e9\0"}, {"_": "\u00e9\0"}]), {}, ValueError,  # the key path keeps every character
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
        patch = QuillfenPatch.from_json_exact(diff(old, new).to_json_exact())
        return refused_or(lambda: unnest(patch.apply(old)))

    assert (on_thread(body) if in_thread else body()) == (10_001, {"_": "a", "v": {}})
