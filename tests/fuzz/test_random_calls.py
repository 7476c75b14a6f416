"""Random programs of calls on a few shared instances, with random, hostile and invalid arguments: hooks
that re-enter the instance, raise, or empty the container being read; subclasses; values and keys
that do not convert; nesting past the limit. Every call succeeds or raises one of the documented
errors; a failed set or delete leaves the patch as it was; apply_inplace makes its argument equal to
what apply returned, or leaves it exactly as it was.

Run by scripts/ci-extra/fuzz-smoke.sh with --hypothesis-profile=fuzz-smoke (about a minute); run it
longer with --hypothesis-profile=fuzz-long (see the README)."""

import collections
import copy

from hypothesis import given
from hypothesis import strategies as st

from helpers import containers
from quillfen_patch import QuillfenPatch

KEYS = ["a", "b", "_", "*", "", "[0]", "[1]", "[+1]", "é", "s"]


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


DictSub = type("DictSub", (dict,), {})
ListSub = type("ListSub", (list,), {})
StrSub = type("StrSub", (str,), {})
IntSub = type("IntSub", (int,), {})

scalars = st.one_of(
    st.none(),
    st.booleans(),
    st.integers(min_value=-(2**64), max_value=2**64),
    st.sampled_from([2**1100, -(2**63) - 1, float("nan"), float("inf"), -0.0, 1e308]),
    st.floats(),
    st.sampled_from(KEYS),
    st.text(max_size=4),
    st.builds(StrSub, st.sampled_from(KEYS)),
    st.builds(IntSub, st.integers(-5, 5)),
)
invalid = st.sampled_from([b"x", (1, 2), {1}, object, "\ud800", 1j])


def documents(leaves):
    return st.recursive(
        leaves,
        lambda inner: st.one_of(
            st.lists(inner, max_size=4),
            st.builds(ListSub, st.lists(inner, max_size=3)),
            st.dictionaries(st.sampled_from(KEYS), inner, max_size=4),
            st.builds(DictSub, st.dictionaries(st.sampled_from(KEYS), inner, max_size=3)),
            st.builds(collections.OrderedDict, st.dictionaries(st.sampled_from(KEYS), inner, max_size=3)),
            st.builds(lambda d, s: {**d, "_": s}, st.dictionaries(st.sampled_from(KEYS), inner, max_size=3), st.sampled_from(KEYS)),
            st.dictionaries(st.sampled_from([1, None, b"k"]), inner, min_size=1, max_size=2),
        ),
        max_leaves=12,
    )


# Hooks without side effects: converting twice gives the same value, so apply can be compared with apply_inplace.
calm_hooks = st.builds(
    lambda cls, result, action: cls("calm", result, action),
    st.sampled_from([IndexHook, FloatHook]),
    st.integers(-3, 3),
    st.sampled_from([None, "raise"]),
)
calm_documents = documents(st.one_of(scalars, calm_hooks))
hostile_documents = documents(st.one_of(scalars, invalid, calm_hooks, st.just("reenter"), st.just("empty")))


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


def outcome(call):
    try:
        return call(), None
    except BaseException as error:  # noqa: B036: FatalError derives from BaseException
        assert allowed(error), repr(error)
        return None, error


steps = st.one_of(
    st.tuples(st.just("set"), st.integers(0, 2), st.one_of(st.sampled_from(KEYS), invalid, st.integers()), hostile_documents),
    st.tuples(st.just("delete"), st.integers(0, 2), st.one_of(st.sampled_from(KEYS), invalid)),
    st.tuples(st.just("apply"), st.integers(0, 2), hostile_documents),
    st.tuples(st.just("apply_inplace"), st.integers(0, 2), calm_documents),
    st.tuples(st.just("apply_inplace_hostile"), st.integers(0, 2), hostile_documents),
    st.tuples(st.just("from_json"), st.integers(0, 2), hostile_documents),
    st.tuples(st.just("to_json"), st.integers(0, 2)),
    st.tuples(st.just("merge"), st.integers(0, 2), st.one_of(st.integers(0, 2), invalid)),
    st.tuples(st.just("deep"), st.integers(0, 2), st.sampled_from(["set", "apply", "from_json"])),
    st.tuples(st.just("arguments"), st.integers(0, 2), st.sampled_from(["extra", "keyword", "missing", "both"])),
)


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


@given(st.lists(st.sampled_from(KEYS), max_size=3), st.lists(steps, min_size=1, max_size=12))
def test_random_programs_of_calls_only_succeed_or_raise_documented_errors(start_keys, program):
    patches = [QuillfenPatch() for _ in range(3)]
    for n, key in enumerate(start_keys):
        patches[n % 3].set(key, {"v": n})
    for step in program:
        run_step(patches, step)
    for p in patches:  # every instance is free again and whole
        QuillfenPatch.from_json(p.to_json())
        p.set("after", 1)
