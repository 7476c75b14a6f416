"""Each method's result handed straight to the next, with no annotation or cast between them, and
values of other number types given as they come. test_typing.py checks this file with mypy --strict
(and pyright, where installed), then runs it: the stubs must take what the module returns and what
it converts, and what they take must run."""

from decimal import Decimal
from fractions import Fraction
from typing import List, TypedDict

from quillfen_patch import QuillfenPatch


class Count:
    """A number of another library, as numpy's scalars are: it converts through __index__."""

    def __index__(self) -> int:
        return 7


class Row(TypedDict):
    _: str
    v: int


def documents() -> None:
    old = {"title": "Draft", "rows": [{"_": "r1", "v": 1}, {"_": "r2", "v": 2}]}
    new = {"title": "Final", "rows": [{"_": "r1", "v": 10}, {"_": "r3", "v": 3}]}
    patch = QuillfenPatch.diff(old, new)
    undo = QuillfenPatch.from_json_exact(patch.inverse(old).to_json_exact())
    assert undo.apply(patch.apply(old)) == old
    assert QuillfenPatch.apply_json_patch(old, patch.to_json_patch(old)) == new
    for in_place in (False, True):  # a bool known only at run time
        data = undo.apply(new)
        done = QuillfenPatch.apply_json_patch(data, patch.to_json_patch(data), in_place=in_place)
        assert (data, done) == (new, None) if in_place else (data, done) == (old, new)


def rows() -> None:
    old: List[Row] = [{"_": "r1", "v": 1}, {"_": "r2", "v": 2}]
    patch = QuillfenPatch.merge(QuillfenPatch.from_json({"r1": {"v": 5}}), QuillfenPatch.diff(old, old[:1]))
    new = patch.apply(old)
    assert new == [{"_": "r1", "v": 5}]
    assert QuillfenPatch.diff(old, new).to_json_exact() == patch.to_json_exact()
    QuillfenPatch.apply_json_patch(old, patch.to_json_patch(old), in_place=True)
    assert old == new


def numbers() -> None:
    p = QuillfenPatch()
    p.set("price", Decimal("2.5"))
    p.set("share", Fraction(1, 4))
    p.set("count", Count())
    p.set("list", [Decimal("12"), Count()])
    assert QuillfenPatch.apply_merge_patch({}, Decimal("1.5")) == 1.5  # a merge patch that is no dict replaces
    assert p.apply({}) == {"count": 7, "list": [12.0, 7], "price": 2.5, "share": 0.25}


if __name__ == "__main__":
    documents()
    rows()
    numbers()
