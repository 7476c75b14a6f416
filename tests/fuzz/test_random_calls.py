"""Random programs of calls on a few shared instances, with random, hostile and invalid arguments: hooks
that re-enter the instance, raise, or empty the container being read; subclasses; values and keys
that do not convert; nesting past the limit. Every call succeeds or raises one of the documented
errors; a failed set or delete leaves the patch as it was; an in-place call (apply_inplace,
apply_touched, the standard formats with in_place=True) makes its argument equal to what the copying
call returned, or leaves it exactly as it was. On documents that convert to themselves the computed
patches keep their promises: an undo undoes, a diff or a JSON Patch makes the new version, the exact
document form applies alike.

Run by scripts/ci-extra/fuzz-smoke.sh with --hypothesis-profile=fuzz-smoke (about a minute); run it
longer with --hypothesis-profile=fuzz-long (see the README)."""

import copy
import math

from hypothesis import given
from hypothesis import strategies as st

from helpers import containers
from quillfen_patch import QuillfenPatch
from strategies import CALM_DOCUMENTS, CALM_VALUES, HOSTILE_DOCUMENTS, HOSTILE_VALUES, IN_PLACE_DOCUMENTS, PATCH_KEYS, UNCONVERTIBLE, arm, operation_lists


def deep(levels):
    document = 1
    for _ in range(levels):
        document = [document]
    return document


def allowed(error):
    """The errors the module documents (FatalError: a dict that a hook resized while it was read)."""
    if type(error).__name__ == "FatalError":
        return "changed size" in str(error) or "keys changed" in str(error)
    if isinstance(error, RuntimeError):
        text = str(error)
        return isinstance(error, RecursionError) or text.startswith(("Patch error: ", "Parse error: ")) or text in (
            "Already borrowed",
            "Already mutably borrowed",
        )
    return isinstance(error, (TypeError, UnicodeEncodeError))


def outcome(call, documented=()):
    """What call() returns, or the error it raised, which must be documented (`documented`: errors
    the method documents besides those every method may raise)."""
    try:
        return call(), None
    except BaseException as error:  # noqa: B036: FatalError derives from BaseException
        assert allowed(error) or isinstance(error, documented), repr(error)
        return None, error


def same(error, other):
    return (type(error), str(error)) == (type(other), str(other))


def plain(*values):
    """Whether every value in `values` converts to itself (no subclass, hook, NaN, integer beyond
    64 bits or key that is no str), so that a copying call and an in-place one see the same data."""
    pending = list(values)
    while pending:
        value = pending.pop()
        kind = type(value)
        if kind is dict:
            if any(type(key) is not str for key in value):
                return False
            pending.extend(value.values())
        elif kind is list:
            pending.extend(value)
        elif not (kind in (str, bool, type(None)) or kind is int and -(2**63) <= value < 2**63 or kind is float and math.isfinite(value)):
            return False
    return True


def typed(value):
    """`value` with kinds kept apart (True, 1 and 1.0 differ; 0.0 and -0.0 do not) and dict order set aside."""
    if isinstance(value, dict):
        return "dict", sorted((key, typed(item)) for key, item in value.items())
    if isinstance(value, list):
        return "list", [typed(item) for item in value]
    return type(value).__name__, value + 0.0 if type(value) is float else value


KIND_CHANGE = "in place, the document cannot become another kind of value"  # copying, it can
Q = QuillfenPatch
# The in-place calls, each with its copying twin: (strategy of the argument after the data, copying
# call, in-place call, errors documented besides those every method may raise).
IN_PLACE = {
    "apply_touched": (st.none(), lambda p, data, _: p.apply(data), lambda p, data, _: p.apply_touched(data), ()),
    "apply_json_patch": (
        operation_lists(CALM_VALUES),
        lambda p, data, ops: Q.apply_json_patch(data, ops),
        lambda p, data, ops: Q.apply_json_patch(data, ops, in_place=True),
        ValueError,
    ),
    "apply_merge_patch": (
        CALM_DOCUMENTS,
        lambda p, data, merge: Q.apply_merge_patch(data, merge),
        lambda p, data, merge: Q.apply_merge_patch(data, merge, in_place=True),
        (),
    ),
}
# Calls on hostile data, which only succeed or raise what they document: (strategy of the argument
# after the data, call, errors documented besides those every method may raise).
HOSTILE = {
    "apply_touched": (st.none(), lambda p, data, _: p.apply_touched(data), ()),
    "inverse": (st.none(), lambda p, data, _: p.inverse(data), ValueError),
    "to_json_patch": (st.none(), lambda p, data, _: p.to_json_patch(data), ()),
    "diff": (HOSTILE_DOCUMENTS, lambda p, old, new: Q.diff(old, new), ValueError),
    "apply_json_patch": (operation_lists(HOSTILE_VALUES), lambda p, data, ops: Q.apply_json_patch(data, ops), ValueError),
    "apply_json_patch in place": (operation_lists(HOSTILE_VALUES), IN_PLACE["apply_json_patch"][2], ValueError),
    "apply_merge_patch": (HOSTILE_DOCUMENTS, lambda p, data, merge: Q.apply_merge_patch(data, merge), ()),
    "apply_merge_patch in place": (HOSTILE_DOCUMENTS, IN_PLACE["apply_merge_patch"][2], ()),
}


steps = st.one_of(
    st.tuples(st.just("set"), st.integers(0, 2), st.one_of(st.sampled_from(PATCH_KEYS), UNCONVERTIBLE, st.integers()), HOSTILE_DOCUMENTS),
    st.tuples(st.just("delete"), st.integers(0, 2), st.one_of(st.sampled_from(PATCH_KEYS), UNCONVERTIBLE)),
    st.tuples(st.just("apply"), st.integers(0, 2), HOSTILE_DOCUMENTS),
    st.tuples(st.just("apply_inplace"), st.integers(0, 2), CALM_DOCUMENTS),
    st.tuples(st.just("apply_inplace_hostile"), st.integers(0, 2), HOSTILE_DOCUMENTS),
    st.tuples(st.just("from_json"), st.integers(0, 2), HOSTILE_DOCUMENTS),
    st.tuples(st.just("to_json"), st.integers(0, 2)),
    st.tuples(st.just("merge"), st.integers(0, 2), st.one_of(st.integers(0, 2), UNCONVERTIBLE)),
    st.tuples(st.just("compose"), st.integers(0, 2), st.one_of(st.integers(0, 2), UNCONVERTIBLE), st.booleans()),
    st.tuples(st.just("deep"), st.integers(0, 2), st.sampled_from(["set", "apply", "from_json"])),
    st.tuples(st.just("arguments"), st.integers(0, 2), st.sampled_from(["extra", "keyword", "missing", "both"])),
    st.sampled_from(list(IN_PLACE)).flatmap(lambda n: st.tuples(st.just("in_place"), st.integers(0, 2), st.just(n), IN_PLACE_DOCUMENTS, IN_PLACE[n][0])),
    st.sampled_from(list(HOSTILE)).flatmap(lambda n: st.tuples(st.just("hostile"), st.integers(0, 2), st.just(n), HOSTILE_DOCUMENTS, HOSTILE[n][0])),
    st.tuples(st.just("computed"), st.integers(0, 2), st.sampled_from(["inverse", "to_json_patch", "diff", "to_json_exact"]), CALM_DOCUMENTS),
)


def check_computed(p, method, data):
    """A patch that `p` computes on the calm `data` leaves the data as it was, and where the data
    converts to itself it keeps its promise."""
    converts_to_itself = plain(data)
    expected, error = outcome(lambda: p.apply(data))
    snapshot, inner = repr(copy.deepcopy(data)), [id(c) for c in containers(data)]
    if method == "to_json_exact":
        wire, _ = outcome(p.to_json_exact, ValueError)
        if wire is not None:  # read back, it applies alike (where it fails, maybe at another place)
            again, again_error = outcome(lambda: Q.from_json(wire).apply(data))
            assert (again_error is None) == (error is None), (error, again_error)
            assert error is not None or typed(again) == typed(expected)
        return
    if method == "diff":
        if error is None and converts_to_itself:
            made, _ = outcome(lambda: Q.diff(data, expected), ValueError)
            for patch in [made, Q.from_json(made.to_json_exact())] if made is not None else []:
                assert typed(patch.apply(data)) == typed(expected)
        return
    made, made_error = outcome(lambda: getattr(p, method)(data), ValueError if method == "inverse" else ())
    assert repr(data) == snapshot and [id(c) for c in containers(data)] == inner  # only read
    if not converts_to_itself:
        return
    if error is not None:  # what applying raises
        assert same(made_error, error), (made_error, error)
    elif made_error is not None:
        assert method == "inverse" and type(made_error) is ValueError, made_error
    elif method == "to_json_patch":
        assert typed(Q.apply_json_patch(data, made)) == typed(expected)
    else:  # the undo, in its lossless form, after apply; and after apply_touched
        assert typed(Q.from_json(made.to_json_exact()).apply(expected)) == typed(data)
        live = copy.deepcopy(data)
        p.apply_touched(live)
        made.apply_touched(live)
        assert typed(live) == typed(data)


def run_step(patches, step):
    name, i = step[0], step[1]
    p = patches[i]
    if name in ("set", "delete"):
        before = p.to_json()
        value = arm(step[3], p) if name == "set" else None
        _, error = outcome(lambda: p.set(step[2], value) if name == "set" else p.delete(step[2]))
        if error is not None:
            assert p.to_json() == before
    elif name == "apply":
        outcome(lambda: p.apply(arm(step[2], p)))
    elif name == "apply_inplace":
        data = step[2]
        expected, error = outcome(lambda: p.apply(data))
        snapshot, inner = repr(copy.deepcopy(data)), [id(c) for c in containers(data)]
        _, inplace_error = outcome(lambda: p.apply_inplace(data))
        assert (inplace_error is None) == (error is None), (error, inplace_error)
        if inplace_error is None:
            assert data == expected
        else:
            assert type(inplace_error) is type(error) and str(inplace_error) == str(error)
            assert repr(data) == snapshot and [id(c) for c in containers(data)] == inner
    elif name == "in_place":
        _, copying, in_place, documented = IN_PLACE[step[2]]
        data, argument = step[3], step[4]
        same_data = plain(data, argument)  # then both calls read the same: the same outcome
        expected, error = outcome(lambda: copying(p, data, argument), documented)
        snapshot, inner = repr(copy.deepcopy(data)), [id(c) for c in containers(data)]
        _, in_place_error = outcome(lambda: in_place(p, data, argument), documented)
        if in_place_error is not None:  # exactly as it was: value, key order, containers
            assert repr(data) == snapshot and [id(c) for c in containers(data)] == inner, in_place_error
        if same_data:
            if in_place_error is None:
                assert error is None and typed(data) == typed(expected), error
            elif KIND_CHANGE not in str(in_place_error):
                assert same(in_place_error, error), (in_place_error, error)
    elif name == "hostile":
        _, call, documented = HOSTILE[step[2]]
        outcome(lambda: call(p, arm(step[3], p), arm(step[4], p)), documented)
    elif name == "computed":
        check_computed(p, step[2], step[3])
    elif name == "apply_inplace_hostile":
        outcome(lambda: p.apply_inplace(arm(step[2], p)))
    elif name == "from_json":
        made, _ = outcome(lambda: QuillfenPatch.from_json(arm(step[2], p)))
        if made is not None:
            patches[i] = made
    elif name == "to_json":
        outcome(p.to_json)
    elif name == "merge":
        other = patches[step[2]] if isinstance(step[2], int) else step[2]
        made, _ = outcome(lambda: QuillfenPatch.merge(p, other))
        if made is not None:
            patches[i] = made
    elif name == "compose":
        other = patches[step[2]] if isinstance(step[2], int) else step[2]
        made, _ = outcome(lambda: QuillfenPatch.compose(p, other, objects=step[3]), ValueError)
        if made is not None:
            patches[i] = made
    elif name == "deep":
        document = deep(20_050)
        if step[2] == "set":
            _, error = outcome(lambda: p.set("deep", document))
        elif step[2] == "apply":
            _, error = outcome(lambda: p.apply(document))
        else:
            _, error = outcome(lambda: QuillfenPatch.from_json({"k": document}))
        assert isinstance(error, RecursionError), error
    else:
        call = {
            "extra": lambda: p.set("k", 1, 2),
            "keyword": lambda: p.apply(document={}),
            "missing": lambda: QuillfenPatch.merge(p),
            "both": lambda: p.delete("k", key="k"),
        }[step[2]]
        _, error = outcome(call)
        assert isinstance(error, TypeError)


@given(st.lists(st.sampled_from(PATCH_KEYS), max_size=3), st.lists(steps, min_size=1, max_size=12))
def test_random_programs_of_calls_only_succeed_or_raise_documented_errors(start_keys, program):
    patches = [QuillfenPatch() for _ in range(3)]
    for n, key in enumerate(start_keys):
        patches[n % 3].set(key, {"v": n})
    for step in program:
        run_step(patches, step)
    for p in patches:  # every instance is free again and whole
        QuillfenPatch.from_json(p.to_json())
        p.set("after", 1)
