"""Record, merge and apply patches to JSON-like data.

The module converts dicts (keys str) and lists, and their subclasses, holding None, bool, int, float
and str. Other objects with __index__ or __float__ (Decimal, Fraction, numpy scalars) become an int or a
float; NaN and the infinities become 0 (Decimal("1E+400") too), integers beyond 64 bits floats. The
parameter types below let Mapping, TypedDict and list values through, and anything that declares
__index__ or __float__; at run time a mapping that is not a dict, a tuple, a set or bytes raises
TypeError, and so does a hook that fails (a numpy array of one or more dimensions, Decimal("sNaN")).
"""

from typing import Any, Dict, List, Literal, Mapping, Optional, SupportsFloat, SupportsIndex, Union, final, overload

# Names with a leading underscore exist only here, for the signatures below.
# A value that converts: the protocols take Decimal, Fraction and numpy scalars, as the run time does.
_Json = Union[None, bool, int, float, str, SupportsIndex, SupportsFloat, List[Any], Mapping[str, object]]

__version__: str
__all__ = ["QuillfenPatch", "__version__"]

@final
class QuillfenPatch:
    """A recorded set of changes to a JSON-like document (a dict or a list).

    Keys address dict members by name and list elements by position ("[3]", top level only) or by
    serial: the str an element dict carries in its member "_". Instances cannot be subclassed, hold no
    attributes and compare by identity; copy and pickle refuse them (TypeError): from_json of
    to_json_exact() is the copy, and to_json_exact() the plain data to send.

    Besides the errors each method names, any call may raise MemoryError (and leaves the patch and
    the caller's data as they were); KeyboardInterrupt and SystemExit raised in a conversion hook end
    the call; a key holding a lone surrogate raises UnicodeEncodeError wherever it is read; and a dict
    that a hook resizes while it is read, or a list that a finalizer changes under an in-place call,
    ends the call with the module's FatalError, a direct subclass of BaseException.
    """

    def __new__(cls) -> "QuillfenPatch":
        """A new, empty patch. Takes no arguments (TypeError otherwise).

        >>> len(QuillfenPatch()), bool(QuillfenPatch())
        (0, False)
        """
    def __len__(self) -> int:
        """The number of top-level entries: one per key, the later recording replacing the earlier.

        Raises RuntimeError "Already mutably borrowed" while the instance is being changed.

        >>> p = QuillfenPatch(); p.set("a", 1); p.delete("a"); len(p)
        1
        """
    def __bool__(self) -> bool:
        """True when the patch holds at least one entry.

        Raises RuntimeError "Already mutably borrowed" while the instance is being changed.

        >>> p = QuillfenPatch(); p.delete("a"); bool(p)
        True
        """
    def set(self, key: str, value: _Json) -> None:
        """Record that the member or element named by `key` receives `value` (a deep copy).

        The last recording at a key wins. Raises TypeError when `key` is not a str ("argument 'key':
        ...") or `value` does not convert, UnicodeEncodeError for a lone surrogate in `key` or in a key
        of `value`, RecursionError for nesting too deep, RuntimeError "Already borrowed" when the
        instance is in use by another call. A failed call changes nothing.

        >>> p = QuillfenPatch(); p.set("title", "Draft"); p.apply({"title": "Old"})
        {'title': 'Draft'}
        """
    def delete(self, key: str) -> None:
        """Record that the member or element named by `key` is removed.

        Raises TypeError when `key` is not a str, UnicodeEncodeError for a lone surrogate in it;
        RuntimeError "Already borrowed" when the instance is in use by another call. A failed call
        changes nothing.

        >>> p = QuillfenPatch(); p.delete("old"); p.apply({"old": 1, "new": 2})
        {'new': 2}
        """
    def place(self, key: str, after: Optional[str] = None) -> None:
        """Record where the element carrying the serial `key` stands once a list is patched: right
        after the element carrying the serial `after`, or first when `after` is None.

        A set recorded at `key` keeps its value and inserts the new element there (or replaces and
        moves the element); with nothing else recorded at `key`, the element moves alone. A later
        set keeps the placement, a later delete drops it. Where `after` names no element the list
        keeps (absent, or deleted by the same patch), the placement is passed over: the element
        stays where it is, a new one is appended. Only the lossless form (to_json_exact,
        from_json_exact) carries placements. Raises TypeError when `key` or `after` is not a str;
        RuntimeError "Already borrowed" when the instance is in use by another call.

        >>> p = QuillfenPatch(); p.place("c", after="a"); p.apply([{"_": "a"}, {"_": "b"}, {"_": "c"}])
        [{'_': 'a'}, {'_': 'c'}, {'_': 'b'}]
        """
    @overload
    def apply(self, data: Mapping[str, object]) -> Dict[str, Any]:
        """Return a patched copy of `data`, a dict or a list; `data` itself is never changed.

        The top-level entries apply in ascending byte order of their keys. Dict keys come back in
        ascending UTF-8 byte order, subclasses as plain dict, list and str. Raises TypeError when
        `data` does not convert (UnicodeEncodeError for a lone surrogate in a key); RuntimeError
        "Patch error: ..." when `data` is not a dict or list, or an entry fails (a serial that no
        element carries, say), "Already mutably borrowed" while the instance is being changed;
        RecursionError for nesting too deep.

        >>> p = QuillfenPatch(); p.set("r2", {"v": 20}); p.apply([{"_": "r1"}, {"_": "r2", "v": 2}])
        [{'_': 'r1'}, {'_': 'r2', 'v': 20}]
        """
    @overload
    def apply(self, data: List[Any]) -> List[Any]:
        """Return a patched copy of the list `data`; see the dict form for the rules and errors.

        >>> p = QuillfenPatch(); p.delete("[0]"); p.apply([1, 2])
        [2]
        """
    @overload
    def apply_inplace(self, data: Mapping[str, object]) -> None:
        """Patch the dict or list `data` itself, making it equal to what apply(data) returns.

        The errors are those of apply; on any failure `data` is left exactly as it was.

        >>> d = {"a": 1}; p = QuillfenPatch(); p.set("b", 2); p.apply_inplace(d); d
        {'a': 1, 'b': 2}
        """
    @overload
    def apply_inplace(self, data: List[Any]) -> None:
        """Patch the list `data` itself; see the dict form for the rules and errors.

        >>> rows = [1, 2]; p = QuillfenPatch(); p.set("[1]", 5); p.apply_inplace(rows); rows
        [1, 5]
        """
    @staticmethod
    def from_json(data: Mapping[str, object]) -> "QuillfenPatch":
        """Make a patch from its document form: {"*": None} deletes, {"*": value} sets, a dict
        without "*" changes members inside, any other value sets. Data that is not a dict gives an
        empty patch, JSON text included: parse it first (json.loads).

        Raises TypeError when `data` does not convert (UnicodeEncodeError for a lone surrogate in a
        key), RecursionError for nesting too deep.

        >>> QuillfenPatch.from_json({"a": {"*": None}, "b": {"c": 1}}).apply({"a": 0, "b": {"d": 2}})
        {'b': {'c': 1, 'd': 2}}
        """
    def to_json(self) -> Dict[str, Any]:
        """Return the document form of this patch as a new dict, keys in ascending byte order.

        A recorded dict value is written as the bare dict, which from_json reads back as changes
        inside the member, not as a set. Raises RuntimeError "Already mutably borrowed" when the
        instance is being changed by another call.

        >>> p = QuillfenPatch(); p.set("a", 1); p.delete("b"); p.to_json()
        {'a': 1, 'b': {'*': None}}
        """
    @staticmethod
    def merge(minor: "QuillfenPatch", major: "QuillfenPatch") -> "QuillfenPatch":
        """Return a new patch in which `major` prevails over `minor` at every key; where both hold
        changes inside one member, those are merged level by level. Neither argument changes.

        This is not "apply minor, then major": a change inside a member that `minor` deletes
        survives, and the deletion does not. Raises TypeError "argument 'minor': ..." (or 'major')
        for an argument that is not a QuillfenPatch; RuntimeError "Already mutably borrowed" while
        either is being changed.

        >>> a = QuillfenPatch(); a.set("x", 1); b = QuillfenPatch(); b.set("x", 2)
        >>> QuillfenPatch.merge(a, b).to_json()
        {'x': 2}
        """
    @staticmethod
    def compose(first: "QuillfenPatch", second: "QuillfenPatch", *more: "QuillfenPatch", objects: bool = False) -> "QuillfenPatch":
        """Return one patch that applies as `first` and then `second` do (and then each of `more`):
        the same result where that sequence succeeds (the order of members added to a dict aside), a
        failure where it fails. No argument changes, and no document is read: the cost is that of the
        patches, so compose(*history) folds a long history in one call.

        A patch does not say whether a level meets a dict or a list, so by default the result is
        exact on every document, and compose raises ValueError, naming the key path, wherever the
        two readings part: for instance where `first` sets a value that is no dict at a key that
        `second` reaches again (on a list that element loses its serial), or deletes a key that
        `second` reaches again. With objects=True the result is exact on data whose containers that
        the patches reach are dicts, and compose refuses only where `second` fails on a value that
        `first` sets. TypeError for an argument that is not a QuillfenPatch or a flag that is not a
        bool; RuntimeError "Already mutably borrowed" while either is being changed.

        >>> a = QuillfenPatch(); a.set("x", 1); b = QuillfenPatch(); b.delete("x")
        >>> QuillfenPatch.compose(a, b, objects=True).to_json()
        {'x': {'*': None}}
        """
    @overload
    @staticmethod
    def diff(old: Mapping[str, object], new: Mapping[str, object]) -> "QuillfenPatch":
        """Return the patch that turns `old` into `new`: only what changed, members changed inside
        where both values are dicts, list elements paired by their serial where every element carries
        one of its own, with placements for the elements inserted or moved (else the list is set
        whole). diff(new, old) undoes it. Send the result with to_json_exact, which keeps placements.

        Raises ValueError, naming the key path, where no patch can make the change: two numbers that
        differ but convert alike (integers beyond 64 bits that round to one float, NaN or an infinity
        against 0), roots that differ in kind or are no dict or list, a change of a top-level "_",
        a list root that grows by dicts that cannot be appended at their serials in ascending byte
        order, or by dicts and other values together. TypeError, UnicodeEncodeError and RecursionError
        as for `set`'s value, except where old and new hold the very same object.

        >>> QuillfenPatch.diff({"a": 1, "b": 2}, {"a": 1, "b": 3}).to_json()
        {'b': 3}
        """
    @overload
    @staticmethod
    def diff(old: List[Any], new: List[Any]) -> "QuillfenPatch":
        """Return the patch that turns the list `old` into the list `new`; see the dict form. A dict
        and a list together raise ValueError.

        >>> QuillfenPatch.diff([1, 2], [1, 3]).apply([1, 2])
        [1, 3]
        """
    def to_json_exact(self) -> Dict[str, Any]:
        """Return the document form that from_json reads back as this very patch: like to_json, but a
        dict recorded with `set` is written {"*": value}, so it replaces rather than merges. Its
        placements (see place) go into the top-level member "_", which from_json_exact reads back
        and from_json reads as nothing to do.

        Raises ValueError for a patch that no document carries unchanged (a merge whose recorded
        values would come back in another order, placements beside an entry at "_");
        RuntimeError "Already mutably borrowed" while the instance is being changed.

        >>> p = QuillfenPatch(); p.set("a", {"x": 1}); p.to_json_exact()
        {'a': {'*': {'x': 1}}}
        """
    @staticmethod
    def from_json_exact(data: Mapping[str, object]) -> "QuillfenPatch":
        """Make a patch from the lossless form that to_json_exact writes, placements included; any
        other document reads as with from_json.

        The placements travel in the top-level member "_": {"*": None, "placements": [[path,
        after], ...]}, each path the list of keys from the top level to the entry. Raises ValueError
        for a table of placements that is malformed or names no set or nested entry, and the errors
        of from_json.

        >>> p = QuillfenPatch(); p.place("b"); QuillfenPatch.from_json_exact(p.to_json_exact()).apply([{"_": "a"}, {"_": "b"}])
        [{'_': 'b'}, {'_': 'a'}]
        """
    @overload
    def apply_touched(self, data: Mapping[str, object]) -> None:
        """Patch the dict or list `data` itself, reading and changing only what the patch reaches.

        Where `data` converts to itself everywhere, it ends equal to what apply(data) returns; values
        the patch does not reach are neither checked nor normalised. The errors of the patch are
        those of apply; on any failure `data` is left exactly as it was.

        >>> d = {"a": 1, "t": (1, 2)}; p = QuillfenPatch(); p.set("b", 2); p.apply_touched(d); d
        {'a': 1, 't': (1, 2), 'b': 2}
        """
    @overload
    def apply_touched(self, data: List[Any]) -> None:
        """Patch the list `data` itself; see the dict form for the rules and errors.

        >>> rows = [{"_": "r1"}]; p = QuillfenPatch(); p.delete("r1"); p.apply_touched(rows); rows
        []
        """
    def inverse(self, data: Union[Mapping[str, object], List[Any]]) -> "QuillfenPatch":
        """Return the patch that undoes this one on `data`: applied to what this patch makes of
        `data`, it gives `data` back. Reads only what this patch reaches and changes nothing.

        Raises what applying would raise; ValueError, naming the key path, where no patch can undo
        the change (an element removed from or moved in a list root without a serial of its own, or
        after one without; an element of a list root that two entries reach, a position and its
        serial, where the first changed it inside).

        >>> p = QuillfenPatch(); p.set("a", 2); p.inverse({"a": 1, "b": 0}).to_json()
        {'a': 1}
        """
    # `operations` takes any list, whatever its items were inferred as: list is invariant, so a narrower
    # item type would refuse to_json_patch's own result, or a literal of operations with mixed values.
    # The run time takes a list and nothing else (TypeError); an item that is no dict is a malformed
    # operation, a ValueError as for one without "op".
    @overload
    @staticmethod
    def apply_json_patch(
        data: Union[Mapping[str, object], List[Any]], operations: List[Any], in_place: Literal[False] = False
    ) -> Any:
        """Return a patched copy of `data` (a dict or list) after JSON Patch `operations` (RFC 6902):
        dicts with "op" ("add", "remove", "replace", "move", "copy" or "test"), "path" and, as the op
        needs them, "from" and "value"; other members are ignored. `data` itself never changes.

        The copy is normalised as apply makes it; members the operations add come after the others.
        The operations may replace the whole document ("path": ""), with a value of any kind. Values
        convert as for `set` (TypeError, RecursionError); `operations` must be a list (TypeError). A
        malformed operation raises ValueError; one that cannot be carried out (a missing location, an
        index out of range, a failed test) RuntimeError "Patch error: ...". Both name the operation's
        position and its pointers. Data that is no dict or list raises RuntimeError "Patch error: ...".

        >>> QuillfenPatch.apply_json_patch({"a": [1]}, [{"op": "add", "path": "/a/-", "value": 2}])
        {'a': [1, 2]}
        """
    @overload
    @staticmethod
    def apply_json_patch(
        data: Union[Mapping[str, object], List[Any]], operations: List[Any], in_place: Literal[True]
    ) -> None:
        """Apply JSON Patch `operations` to `data` itself; see the copying form for the rules and errors.

        `in_place` must be True or False (TypeError otherwise). Only what the operations reach is
        read and changed. The root keeps its kind: replacing a dict by anything but a dict, or a list
        by anything but a list, raises RuntimeError. On any failure `data` is left exactly as it was.

        >>> rows = [1, 2]; QuillfenPatch.apply_json_patch(rows, [{"op": "remove", "path": "/0"}], in_place=True); rows
        [2]
        """
    @overload
    @staticmethod
    def apply_json_patch(data: Union[Mapping[str, object], List[Any]], operations: List[Any], in_place: bool) -> Any:
        """With `in_place` a bool known only at run time: the patched copy for False, None for True."""
    @overload
    @staticmethod
    def apply_merge_patch(data: Union[Mapping[str, object], List[Any]], merge_patch: _Json, in_place: Literal[False] = False) -> Any:
        """Return a copy of `data` (a dict or list) with `merge_patch` merged in (RFC 7386): a None
        member removes, a dict member merges into the member (made a dict where it is absent or no
        dict), any other member replaces; a merge patch that is no dict replaces the whole document.

        The copy is normalised as apply makes it. Raises TypeError and RecursionError as `set` does
        for either argument; RuntimeError "Patch error: ..." when `data` is no dict or list.

        >>> QuillfenPatch.apply_merge_patch({"a": 1, "b": {"c": 2}}, {"a": None, "b": {"d": 3}})
        {'b': {'c': 2, 'd': 3}}
        """
    @overload
    @staticmethod
    def apply_merge_patch(data: Union[Mapping[str, object], List[Any]], merge_patch: _Json, in_place: Literal[True]) -> None:
        """Merge `merge_patch` into `data` itself; see the copying form for the rules.

        `in_place` must be True or False. The root keeps its kind: a merge patch that would make a
        dict anything but a dict, or a list anything but a list, raises RuntimeError. On any failure
        `data` is left exactly as it was.

        >>> d = {"a": 1}; QuillfenPatch.apply_merge_patch(d, {"b": 2}, in_place=True); d
        {'a': 1, 'b': 2}
        """
    @overload
    @staticmethod
    def apply_merge_patch(data: Union[Mapping[str, object], List[Any]], merge_patch: _Json, in_place: bool) -> Any:
        """With `in_place` a bool known only at run time: the merged copy for False, None for True."""
    def to_json_patch(self, data: Union[Mapping[str, object], List[Any]]) -> List[Dict[str, Any]]:
        """Return the JSON Patch operations (RFC 6902) that turn `data` into what apply(data) returns,
        member order aside: "add", "replace" and "remove" dicts with "op", "path" and "value".

        Serials and positions are resolved against `data` as applying resolves them; removals from a
        list come highest position first, appends at "-". Reads only what the patch reaches and
        changes nothing; raises what apply would raise.

        >>> p = QuillfenPatch(); p.set("a", 1); p.delete("b"); p.to_json_patch({"b": 0})
        [{'op': 'add', 'path': '/a', 'value': 1}, {'op': 'remove', 'path': '/b'}]
        """
