"""apply: patch a copy of a dict or list. The addressing rules are tested on the core and against
the model in test_apply_model.py; here, what the binding adds."""

import sys

import pytest

from helpers import REFUSED, extreme_depth, on_thread, refused_or
from quillfen_patch import QuillfenPatch


def test_typical_request_traced():
    p = QuillfenPatch()
    p.set("b", {"v": 3})
    p.delete("[0]")
    p.set("c", 5)
    data = [{"_": "a", "v": 1}, {"_": "b", "v": 2}]
    result = p.apply(data)
    assert result == [{"_": "b", "v": 3}, 5]
    assert list(result[0]) == ["_", "v"]
    assert data == [{"_": "a", "v": 1}, {"_": "b", "v": 2}]


@pytest.mark.parametrize("method", ["apply", "apply_inplace"])
@pytest.mark.parametrize("data", [None, "text", 1.5])
def test_scalar_documents_are_refused(method, data):
    p = QuillfenPatch()
    p.set("a", 1)
    with pytest.raises(RuntimeError) as info:
        getattr(p, method)(data)
    assert str(info.value) == "Patch error: Invalid patch operation: Can only patch objects and arrays"


@pytest.mark.parametrize("method", ["apply", "apply_inplace"])
def test_conversion_fails_before_the_kind_check(method):
    with pytest.raises(TypeError, match="^Unsupported type for JSON conversion$"):
        getattr(QuillfenPatch(), method)((1, 2))


def test_hook_run_by_apply_cannot_record_into_the_same_patch():
    p = QuillfenPatch()
    p.set("a", 1)
    seen = []

    class Hook:
        def __index__(self):
            with pytest.raises(RuntimeError, match="^Already borrowed$"):
                p.set("b", 2)
            seen.append(p.to_json())  # reading is shared and allowed
            return 7

    assert p.apply({"h": Hook()}) == {"a": 1, "h": 7}
    assert seen == [{"a": 1}]
    p.set("b", 2)
    assert len(p) == 2


def deep_pair(levels):
    """A document and a patch `levels` containers deep; the patch sets "x" at the bottom."""
    data, patch_doc = {}, {"x": 1}
    for _ in range(levels):
        data, patch_doc = {"a": data}, {"a": patch_doc}
    return data, patch_doc


def test_ten_thousand_levels_apply():
    data, patch_doc = deep_pair(10_000)
    result = QuillfenPatch.from_json(patch_doc).apply(data)
    for _ in range(10_000):
        result = result["a"]
    assert result == {"x": 1}


@pytest.mark.parametrize("in_thread", [False, True])
def test_extreme_depth_is_refused_not_a_crash(in_thread):
    limit = sys.getrecursionlimit()
    data, patch_doc = deep_pair(extreme_depth())

    def body():
        return refused_or(lambda: QuillfenPatch.from_json(patch_doc).apply(data) and "applied")

    assert (on_thread(body) if in_thread else body()) in ("applied", REFUSED, "Patch error: " + REFUSED)
    assert sys.getrecursionlimit() == limit


def test_error_text_keeps_a_nul_in_the_key():
    p = QuillfenPatch()
    p.delete("x\x00y")
    with pytest.raises(RuntimeError) as info:
        p.apply([1, 2])
    assert str(info.value) == "Patch error: Invalid serial key: x\x00y"
