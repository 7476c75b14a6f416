"""JSON Patch written plainly in Python, as a second opinion on apply_json_patch.

apply(document, operations) returns the patched deep copy, or raises JsonPatchError."""

import copy
import re

OPS = ("add", "remove", "replace", "move", "copy", "test")
INDEX = re.compile(r"0|[1-9][0-9]*")  # ASCII digits, no sign, no leading zero


class JsonPatchError(Exception):
    """`malformed`: what the module refuses with ValueError (an operation it cannot read, a token that
    is no array index); otherwise what it refuses with RuntimeError("Patch error: ...")."""

    def __init__(self, reason, malformed=False):
        super().__init__(reason)
        self.malformed = malformed


def parse_pointer(pointer):
    if not isinstance(pointer, str) or pointer[:1] not in ("", "/") or re.search("~(?![01])", pointer):
        raise JsonPatchError(f"bad pointer {pointer!r}", malformed=True)
    return [token.replace("~1", "/").replace("~0", "~") for token in pointer.split("/")[1:]]


def read(operation):
    """(op, path tokens, from tokens or None, value) of a well-formed operation."""
    if not isinstance(operation, dict) or operation.get("op") not in OPS:
        raise JsonPatchError("no operation", malformed=True)
    op = operation["op"]
    needs = ["path"] + ["from"] * (op in ("move", "copy")) + ["value"] * (op in ("add", "replace", "test"))
    if any(member not in operation for member in needs):
        raise JsonPatchError("a member is missing", malformed=True)
    source = parse_pointer(operation["from"]) if "from" in needs else None
    return op, parse_pointer(operation["path"]), source, operation.get("value")


def index(token, array, past_end=False):
    """The position `token` names in `array`; "-" and the length only where `past_end` (add)."""
    if token == "-" and past_end:
        return len(array)
    if token == "-":
        raise JsonPatchError("- names no element")
    if not INDEX.fullmatch(token):
        raise JsonPatchError(f"{token!r} is no array index", malformed=True)
    if int(token) > len(array) or int(token) == len(array) and not past_end:
        raise JsonPatchError(f"{token} is out of range")
    return int(token)


def get(document, tokens):
    for token in tokens:
        if isinstance(document, list):
            document = document[index(token, document)]
        elif isinstance(document, dict) and token in document:
            document = document[token]
        else:
            raise JsonPatchError(f"nothing at {token!r}")
    return document


def locate(document, tokens, past_end=False):
    """(container, member or position) of the place `tokens` name: a value, or a new one where `past_end`."""
    parent, last = get(document, tokens[:-1]), tokens[-1]
    if isinstance(parent, list):
        return parent, index(last, parent, past_end)
    if not isinstance(parent, dict) or not past_end and last not in parent:
        raise JsonPatchError(f"nothing at {last!r}")
    return parent, last


def equal(a, b):
    """JSON equality: numbers by value, but a bool is no number; member order does not count."""
    if isinstance(a, (int, float)) and isinstance(b, (int, float)) and isinstance(a, bool) == isinstance(b, bool):
        return a == b
    if type(a) is not type(b):
        return False
    if isinstance(a, list):
        return len(a) == len(b) and all(map(equal, a, b))
    if isinstance(a, dict):
        return a.keys() == b.keys() and all(equal(a[key], b[key]) for key in a)
    return a == b


def apply(document, operations, in_place=False):
    """The document the operations make of a deep copy of `document`. `in_place`: the root is the
    caller's dict or list, which keeps its identity and so cannot become another kind of value."""
    steps = [read(operation) for operation in operations]  # every operation is read before any runs
    root = [copy.deepcopy(document)]

    def put(tokens, value, insert=True):
        if not tokens:
            if in_place and type(value) is not type(root[0]):
                raise JsonPatchError("in place, the document cannot become another kind of value")
            root[0] = value
            return
        parent, key = locate(root[0], tokens, past_end=insert)
        if insert and isinstance(parent, list):
            parent.insert(key, value)
        else:
            parent[key] = value

    def take(tokens):
        if not tokens:
            raise JsonPatchError("the whole document cannot be removed")
        parent, key = locate(root[0], tokens)
        return parent.pop(key)

    for op, path, source, value in steps:
        if op in ("add", "replace"):
            put(path, copy.deepcopy(value), insert=op == "add")
        elif op == "remove":
            take(path)
        elif op == "copy":
            put(path, copy.deepcopy(get(root[0], source)))
        elif op == "test" and not equal(get(root[0], path), value):
            raise JsonPatchError("test failed")
        elif op == "move" and len(path) > len(source) and path[: len(source)] == source:
            raise JsonPatchError("a value cannot be moved into its own child")
        elif op == "move" and path == source:
            get(root[0], source)  # it must exist; nothing moves
        elif op == "move":
            put(path, take(source))
    return root[0]
