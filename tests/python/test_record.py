"""Recording with set and delete: the last recording at a key wins, and a failed call changes nothing."""

import pytest

from helpers import DELETE, nest, on_thread
from quillfen_patch import QuillfenPatch


class Key(str):
    pass


def test_last_recording_at_a_key_wins_and_every_string_is_its_own_key():
    p = QuillfenPatch()
    assert len(p) == 0 and not p
    p.set("a", 1)
    p.set("a", 2)
    p.set("b", {"x": [1]})
    p.delete("b")
    p.delete("c")
    p.set("c", None)  # a Set of null, not a Delete
    p.set("d", {"*": None})  # a Set of an object is written bare, even one that reads as a Delete
    p.set(Key("e"), 1)
    p.delete("e")
    for key in ["", "*", "_", "[0]", " a ", "a\0b", "\u00e9"]:
        p.set(key, key)
    out = p.to_json()
    assert out == {"a": 2, "b": DELETE, "c": None, "d": {"*": None}, "e": DELETE, "": "", "*": "*", "_": "_",
                   "[0]": "[0]", " a ": " a ", "a\0b": "a\0b", "\u00e9": "\u00e9"}
    assert len(p) == 12 and p
    assert all(type(key) is str for key in out)


class Unconvertible:
    pass


@pytest.mark.parametrize(
    "make, error",
    [(Unconvertible, TypeError), (lambda: nest(100_000, [], in_list=True), RecursionError)],
    ids=["unsupported", "too deep"],
)
def test_failed_set_leaves_the_patch_unchanged(make, error):
    p = QuillfenPatch()
    p.set("k", {"v": 1})
    p.delete("d")
    with pytest.raises(error):
        p.set("k", make())
    assert p.to_json() == {"d": DELETE, "k": {"v": 1}}
    p.set("k", 2)  # and the access was given back
    assert p.to_json()["k"] == 2


# Reentrancy: a conversion hook that calls back into the instance being recorded into is refused.


class CallsBack:
    """An integer whose __index__ calls `action(patch)` and keeps what it raised."""

    def __init__(self, patch, action):
        self.patch, self.action, self.seen = patch, action, []

    def __index__(self):
        try:
            self.action(self.patch)
            self.seen.append("ran")
        except RuntimeError as error:
            self.seen.append(str(error))
        return 7


@pytest.mark.parametrize(
    "action, text",
    [
        (len, "Already mutably borrowed"),
        (bool, "Already mutably borrowed"),
        (lambda p: p.to_json(), "Already mutably borrowed"),
        (lambda p: p.set("other", 1), "Already borrowed"),
        (lambda p: p.delete("k"), "Already borrowed"),
    ],
    ids=["len", "bool", "to_json", "set", "delete"],
)
def test_hook_calling_back_into_the_instance_is_refused(action, text):
    p = QuillfenPatch()
    hook = CallsBack(p, action)
    p.set("k", [hook])
    assert hook.seen == [text]
    assert p.to_json() == {"k": [7]}  # the outer call finished normally
    action(p)  # and afterwards the same call goes through


def test_hook_calling_into_another_instance_is_allowed():
    p, other = QuillfenPatch(), QuillfenPatch()
    hook = CallsBack(other, lambda q: q.set("x", q.to_json()))
    p.set("k", hook)
    assert hook.seen == ["ran"]
    assert other.to_json() == {"x": {}}


def test_another_thread_during_a_hook_is_refused():
    p = QuillfenPatch()
    seen = []

    def from_thread(patch):
        def run():
            for call in (lambda: patch.set("t", 1), lambda: len(patch)):
                try:
                    call()
                    seen.append("ran")
                except RuntimeError as error:
                    seen.append(str(error))

        on_thread(run)

    p.set("k", CallsBack(p, from_thread))
    assert seen == ["Already borrowed", "Already mutably borrowed"]
    assert p.to_json() == {"k": 7}
