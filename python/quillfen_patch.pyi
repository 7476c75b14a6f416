"""Record, merge and apply patches to JSON-like data."""

from typing import Dict, List, Union, final

JsonScalar = Union[None, bool, int, float, str]
JsonValue = Union[JsonScalar, List["JsonValue"], Dict[str, "JsonValue"]]
Document = Union[Dict[str, JsonValue], List[JsonValue]]

__version__: str
__all__ = ["QuillfenPatch", "__version__"]

@final
class QuillfenPatch:
    """A recorded set of changes to a JSON-like document."""

    def __new__(cls) -> "QuillfenPatch": ...
    def __len__(self) -> int: ...
    def __bool__(self) -> bool: ...
    def set(self, key: str, value: JsonValue) -> None:
        """Record that the member or element named by `key` receives `value`."""
    def delete(self, key: str) -> None:
        """Record that the member or element named by `key` is removed."""
    def apply(self, data: Document) -> Document:
        """Return a patched copy of `data`; `data` itself is unchanged."""
    def apply_inplace(self, data: Document) -> None:
        """Patch `data` itself; on any failure it is left as it was."""
    @staticmethod
    def from_json(data: object) -> "QuillfenPatch":
        """Make a patch from its document form."""
    def to_json(self) -> Dict[str, JsonValue]:
        """Return the document form of this patch."""
    @staticmethod
    def merge(minor: "QuillfenPatch", major: "QuillfenPatch") -> "QuillfenPatch":
        """Return a new patch in which `major` prevails over `minor`."""
    @staticmethod
    def diff(old: Document, new: Document) -> "QuillfenPatch":
        """Return the patch that turns `old` into `new` (both dicts or both lists), holding only what
        changed, with list elements paired by serial. Raises ValueError, naming the key path, where
        no patch can make the change."""
    def to_json_exact(self) -> Dict[str, JsonValue]:
        """Return the document form that from_json reads back as this very patch: like to_json, but a
        recorded dict is written as {"*": value}. Raises ValueError for a patch no document carries."""
