"""A small model of quillfen_patch's rules, written in plain Python: reading and writing the document
form, merging, and applying. The property tests hold the module against it, and the benchmarks time
it as the pure-Python baseline.

A patch of the model is a dict from top-level key to entry; an entry is ("set", value), ("delete",)
or ("nested", [(key, entry), ...]), the children in list order.
"""

import copy
import json


def byte_order(keys):
    """Keys in ascending order of their UTF-8 bytes, as the module orders object members."""
    return sorted(keys, key=lambda k: k.encode())


def exact(value):
    """A text that tells 1, 1.0 and True apart, for comparing documents exactly."""
    return json.dumps(value, sort_keys=True)


# The document form.


def read_entry(value):
    if not isinstance(value, dict):
        return ("set", value)
    if "*" in value:
        return ("delete",) if value["*"] is None else ("set", value["*"])
    return ("nested", [(key, read_entry(value[key])) for key in byte_order(value)])


def read(document):
    """The patch that from_json reads from `document`."""
    if not isinstance(document, dict):
        return {}
    return {key: read_entry(value) for key, value in document.items()}


def write_entry(entry, exact_sets=False):
    if entry[0] == "set":
        return {"*": entry[1]} if exact_sets and isinstance(entry[1], dict) else entry[1]
    if entry[0] == "delete":
        return {"*": None}
    written = {}
    for key, child in entry[1]:
        written[key] = write_entry(child, exact_sets)  # a later repeated key replaces an earlier one
    return written


def write(patch):
    """The document that to_json writes: a Set of an object is the bare object."""
    return {key: write_entry(entry) for key, entry in patch.items()}


def write_exact(patch):
    """The document form that reads back as `patch` itself: a Set of an object is {"*": object}."""
    return {key: write_entry(entry, exact_sets=True) for key, entry in patch.items()}


# Merging.


def merge_children(minor, major):
    first = {}
    for key, entry in minor:
        first.setdefault(key, entry)
    out = []
    for key, entry in major:
        partner = first.get(key)
        if partner is not None and partner[0] == entry[0] == "nested":
            entry = ("nested", merge_children(partner[1], entry[1]))
        out.append((key, entry))
    major_keys = {key for key, _ in major}
    return out + [(key, entry) for key, entry in minor if key not in major_keys]


def merge(minor, major):
    result = dict(minor)
    for key, entry in major.items():
        held = result.get(key)
        if held is not None and held[0] == entry[0] == "nested":
            entry = ("nested", merge_children(held[1], entry[1]))
        result[key] = entry
    return result


# Applying.


def parse_index_key(key):
    if len(key) < 3 or key[0] != "[" or key[-1] != "]":
        return None
    digits = key[1:-1]
    if digits.startswith("+"):
        digits = digits[1:]
    if not digits or any(c not in "0123456789" for c in digits):
        return None
    position = int(digits)
    return position if position < 2**64 else None


def serial_index(array):
    return {e["_"]: i for i, e in enumerate(array) if isinstance(e, dict) and isinstance(e.get("_"), str)}


def stamped(value, key):
    """A copy of `value`; an object also gets "_" holding `key`, unless that is None."""
    value = copy.deepcopy(value)
    if isinstance(value, dict) and key is not None:
        value["_"] = key
    return value


class Failure(Exception):
    pass


def apply_level(target, children, top):
    """Applies `children` to `target` in list order; the first failure ends the whole application."""
    if not isinstance(target, (dict, list)):
        return  # a Nested that meets a scalar changes nothing
    index = serial_index(target) if isinstance(target, list) else {}
    length, deletes, appends = len(target), set(), []
    for key, entry in children:
        if top and key == "_":
            continue
        if isinstance(target, dict):
            if entry[0] == "set":
                target[key] = copy.deepcopy(entry[1])
            elif entry[0] == "delete":
                target.pop(key, None)
            elif key in target:
                apply_level(target[key], entry[1], False)
            continue
        position = parse_index_key(key) if top else None
        if position is not None and position >= length:
            continue  # beyond the end: passed over
        serial = key if position is None else None  # no stamp at an index key
        position = index.get(key) if position is None else position
        if position is None:
            if entry[0] == "set":
                appends.append(stamped(entry[1], key))
            elif top or entry[0] == "nested":
                raise Failure("Invalid serial key: " + key)
        elif entry[0] == "set":
            target[position] = stamped(entry[1], serial)
        elif entry[0] == "delete":
            deletes.add(position)
        else:
            apply_level(target[position], entry[1], False)
    if isinstance(target, dict):
        return
    for position in sorted(deletes, reverse=True):
        del target[position]
    target.extend(appends)


def apply(patch, document):
    """(result, error): the patched copy, or None and the message of the failure that ends the
    application. The top level is taken in byte order of its keys."""
    result = copy.deepcopy(document)
    try:
        apply_level(result, [(key, patch[key]) for key in byte_order(patch)], True)
    except Failure as failure:
        return None, str(failure)
    return result, None


# Diffing and the exact document form.


def equal(a, b):
    """The module's value equality: kinds kept apart (True, 1 and 1.0 differ); 0.0 equals -0.0."""
    if type(a) is not type(b):
        return False
    if isinstance(a, dict):
        return a.keys() == b.keys() and all(equal(a[key], b[key]) for key in a)
    if isinstance(a, list):
        return len(a) == len(b) and all(map(equal, a, b))
    return a == b


def diff_refusal(old, new):
    """Why diff(old, new) raises ValueError, or None: every case in which no patch makes the change."""
    if not isinstance(old, (dict, list)) or not isinstance(new, (dict, list)):
        return "a root that is no dict or list"
    if type(old) is not type(new):
        return "a root that changes kind"
    if isinstance(old, dict):
        changed = ("_" in old) != ("_" in new) or "_" in old and not equal(old["_"], new["_"])
        return 'a changed top-level "_"' if changed else None
    added = new[len(old) :]
    dicts = [e for e in added if isinstance(e, dict)]
    if dicts and len(dicts) != len(added):
        return "a list root that grows by dicts and other values together"
    serials = [e.get("_") for e in dicts]
    for serial in serials:
        if not isinstance(serial, str) or serial == "_" or parse_index_key(serial) is not None or serial in serial_index(old):
            return "a list root that grows by a dict that no key appends"
    if [s.encode() for s in serials] != sorted({s.encode() for s in serials}):
        return "a list root that grows by dicts whose serials do not ascend in byte order"
    return None


def write_exact_refusal(patch):
    """Why to_json_exact refuses `patch`, or None. Of the shapes it refuses, the model builds one:
    a Nested whose Set children are out of byte order (merge puts major's children first)."""
    pending = list(patch.values())
    while pending:
        entry = pending.pop()
        if entry[0] != "nested":
            continue
        sets = [key.encode() for key, child in entry[1] if child[0] == "set"]
        if sets != sorted(sets):
            return "Set children out of byte order"
        pending.extend(child for _, child in entry[1])
    return None
