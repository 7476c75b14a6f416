"""Calls that fail at run time and that the stubs must refuse as well. Never run: mypy --strict (and
pyright, where installed) checks it, and reports each `type: ignore` below as unused when the stubs
let its call through."""

from typing import Any, Dict, List

from quillfen_patch import QuillfenPatch

p = QuillfenPatch()
p.set(1, "value")  # type: ignore[arg-type]
p.set("k", (1, 2))  # type: ignore[arg-type]
p.set("k", b"bytes")  # type: ignore[arg-type]
p.set("k", {1, 2})  # type: ignore[arg-type]
p.set("k", {1: "int key"})  # type: ignore[dict-item]
p.set("k", object())  # type: ignore[arg-type]
p.set("k", 1j)  # type: ignore[arg-type]
p.delete(None)  # type: ignore[arg-type]
p.apply("text")  # type: ignore[call-overload]
p.apply((1, 2))  # type: ignore[call-overload]
p.apply_inplace(b"bytes")  # type: ignore[call-overload]
QuillfenPatch.merge(p, {})  # type: ignore[arg-type]
QuillfenPatch.from_json('{"a": 1}')  # type: ignore[arg-type]
QuillfenPatch.diff({}, [])  # type: ignore[call-overload]
QuillfenPatch.apply_json_patch({}, ({"op": "remove", "path": "/a"},))  # type: ignore[call-overload]
QuillfenPatch.apply_json_patch({}, {"op": "remove", "path": "/a"})  # type: ignore[call-overload]
QuillfenPatch.apply_json_patch({}, [], in_place=None)  # type: ignore[call-overload]
QuillfenPatch(p)  # type: ignore[call-arg]
from_dict: List[Any] = p.apply({"a": 1})  # type: ignore[assignment]
from_list: Dict[str, Any] = p.apply([1])  # type: ignore[assignment]
