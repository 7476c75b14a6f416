"""Recording with set and delete: the last recording at a key wins, and a failed call changes nothing."""

import threading

import pytest

from quillfen_patch import QuillfenPatch

DELETED = {"*": None}


@pytest.mark.parametrize(
    "calls, expected",
    [
        ([("set", 1)], 1),
        ([("set", 1), ("set", 2)], 2),
        ([("set", 1), ("delete",)], DELETED),
        ([("delete",), ("set", 1)], 1),
        ([("delete",), ("delete",)], DELETED),
        ([("set", {"a": [1]}), ("set", None)], None),
        ([("set", None)], None),  # a Set of null, not a Delete
    ],
)
def test_last_recording_at_a_key_wins(calls, expected):
    p = QuillfenPatch()
    for name, *args in calls:
        getattr(p, name)("k", *args)
    assert p.to_json() == {"k": expected}
    assert len(p) == 1


@pytest.mark.parametrize("key", ["", "_", "[0]", "a.b", "a/b", " a ", "\u00e9", "*"])
def test_every_string_is_one_key_stored_verbatim(key):
    p = QuillfenPatch()
    p.set(key, 1)
    p.set("other", 2)
    assert p.to_json() == {key: 1, "other": 2}


def test_str_subclass_key_is_stored_as_its_text():
    class Key(str):
        pass

    p = QuillfenPatch()
    p.set(Key("k"), 1)
    p.delete(Key("j"))
    out = p.to_json()
    assert out == {"j": DELETED, "k": 1}
    assert all(type(key) is str for key in out)


def test_length_and_truth_follow_the_entries():
    p = QuillfenPatch()
    assert len(p) == 0 and not p
    p.set("a", 1)
    p.delete("b")
    p.delete("a")
    assert len(p) == 2 and p


def test_many_keys_each_keep_their_last_recording():
    p = QuillfenPatch()
    for i in range(5000):
        p.set(str(i), i)
    for i in range(0, 5000, 3):
        p.delete(str(i))
    out = p.to_json()
    assert len(p) == len(out) == 5000
    assert all(out[str(i)] == (DELETED if i % 3 == 0 else i) for i in range(5000))


class Unconvertible:
    pass


def failing_calls():
    surrogate = "\ud800"
    grows = {"a": None, "b": 0}

    class Grows:
        def __index__(self):
            grows["c"] = 0
            return 0

    grows["a"] = Grows()
    return [
        ("unsupported value", lambda p: p.set("k", Unconvertible()), TypeError),
        ("int dict key", lambda p: p.set("k", {1: 2}), TypeError),
        ("nested failure", lambda p: p.set("k", [1, [2, (3,)]]), TypeError),
        ("key not a str", lambda p: p.set(5, 1), TypeError),
        ("delete key not a str", lambda p: p.delete(5), TypeError),
        ("key with lone surrogate", lambda p: p.set(surrogate, 1), UnicodeEncodeError),
        ("dict grows under a hook", lambda p: p.set("k", grows), BaseException),
        ("too deep", lambda p: p.set("k", deep_list(100_000)), RecursionError),
    ]


def deep_list(depth):
    value = []
    for _ in range(depth):
        value = [value]
    return value


@pytest.mark.parametrize("name, call, error", failing_calls(), ids=[c[0] for c in failing_calls()])
def test_failed_call_leaves_the_patch_unchanged(name, call, error):
    p = QuillfenPatch()
    p.set("k", {"v": 1})
    p.delete("d")
    before = p.to_json()
    with pytest.raises(error):
        call(p)
    assert p.to_json() == before
    assert len(p) == 2
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

        worker = threading.Thread(target=run)
        worker.start()
        worker.join()

    p.set("k", CallsBack(p, from_thread))
    assert seen == ["Already borrowed", "Already mutably borrowed"]
    assert p.to_json() == {"k": 7}
