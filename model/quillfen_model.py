"""A small model of quillfen_patch's rules, written in plain Python: recording, reading and writing the
document form, merging, and applying. The property tests hold the module against it, and the
benchmarks time it as the pure-Python baseline.

A patch of the model is a dict from top-level key to entry; an entry is ("set", value), ("delete",)
or ("nested", [(key, entry), ...]), the children in list order. A Set or Nested may carry a
placement as a third item, the serial its element goes right after, or None for first:
("set", value, after) and ("nested", children, after); `placement` reads it. A placement counts
only where its entry reaches an array element by serial; `placed_order` gives the order of an array
when its pass ends. The exact form carries placements in a table at the top-level key "_", which
`read` (as from_json) takes for a Delete at "_", passed over when applying.
"""

import copy
import json


def byte_order(keys):
    """Keys in ascending order of their UTF-8 bytes, as the module orders object members."""
    return sorted(keys, key=lambda k: k.encode())


def exact(value):
    """A text that tells 1, 1.0 and True apart, for comparing documents exactly."""
    return json.dumps(value, sort_keys=True)


def placement(entry):
    """(after,) for an entry that carries a placement (after None: first), else None."""
    return entry[2:] or None


def with_placement(entry, held):
    """`entry` without its own placement, given `held` (a placement or None) if it may carry one."""
    return entry[:2] + (held or ()) if entry[0] != "delete" else entry


# Recording, as set, delete and place do.


def record_set(patch, key, value):
    """set: a Set, keeping the placement recorded at the key."""
    held = patch.get(key)
    patch[key] = with_placement(("set", value), held and placement(held))


def record_delete(patch, key):
    """delete: a Delete, the placement dropped."""
    patch[key] = ("delete",)


def record_place(patch, key, after=None):
    """place: a Set or Nested at the key takes the placement; anything else becomes a pure move."""
    held = patch.get(key)
    patch[key] = with_placement(held if held and held[0] != "delete" else ("nested", []), (after,))


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


def placement_table(patch):
    """[[path, after], ...] of every placement at any depth, in byte order of the paths."""
    found, pending = [], [([key], entry) for key, entry in patch.items()]
    while pending:
        path, entry = pending.pop()
        if placement(entry):
            found.append([path, placement(entry)[0]])
        if entry[0] == "nested":  # of repeated child keys, the last is written
            pending.extend((path + [key], child) for key, child in dict(entry[1]).items())
    return sorted(found, key=lambda row: [key.encode() for key in row[0]])


def write_exact(patch):
    """The document form that reads back as `patch` itself: a Set of an object is {"*": object}, and
    the placements go in one top-level member "_": {"*": None, "placements": placement_table}."""
    written = {key: write_entry(entry, exact_sets=True) for key, entry in patch.items()}
    table = placement_table(patch)
    if table:
        written["_"] = {"*": None, "placements": table}
    return written


def is_placement_table(value):
    """Whether `value` has the shape of the table that write_exact writes; its rows may be malformed."""
    return isinstance(value, dict) and value.keys() == {"*", "placements"} and value["*"] is None


def read_exact(document):
    """The patch that from_json_exact reads: the placements table put back on its entries; any other
    document as `read`. A malformed table raises ValueError."""
    if not isinstance(document, dict) or not is_placement_table(document.get("_")):
        return read(document)
    patch = read({key: value for key, value in document.items() if key != "_"})
    table = document["_"]["placements"]
    if not isinstance(table, list):
        raise ValueError("placements is no list")
    for item in table:
        if not isinstance(item, list) or len(item) != 2:
            raise ValueError("a placement is no [path, after] pair")
        path, after = item
        if not isinstance(path, list) or not path or not all(isinstance(key, str) for key in path):
            raise ValueError("a placement path is no non-empty list of str")
        if after is not None and not isinstance(after, str):
            raise ValueError("a placement's after is no str or None")
        level, slot, held = patch, path[0], patch.get(path[0])
        for key in path[1:]:
            level = held[1] if held is not None and held[0] == "nested" else []
            slot = max((i for i, child in enumerate(level) if child[0] == key), default=None)
            held = None if slot is None else level[slot][1]
        if held is None or held[0] == "delete":
            raise ValueError("a placement path that reaches no Set or Nested")
        placed = with_placement(held, (after,))
        level[slot] = placed if level is patch else (level[slot][0], placed)
    return patch


# Merging.


def merge_entry(held, entry):
    """Major's `entry` over minor's `held` (or None): two Nested merge level by level, else major's
    operation wins; the placement is major's, else minor's, if the result may carry one."""
    if held is None:
        return entry
    merged = ("nested", merge_children(held[1], entry[1])) if held[0] == entry[0] == "nested" else entry[:2]
    return with_placement(merged, placement(entry) or placement(held))


def merge_children(minor, major):
    first = {}
    for key, entry in minor:
        first.setdefault(key, entry)
    out = [(key, merge_entry(first.get(key), entry)) for key, entry in major]
    major_keys = {key for key, _ in major}
    return out + [(key, entry) for key, entry in minor if key not in major_keys]


def merge(minor, major):
    result = dict(minor)
    for key, entry in major.items():
        result[key] = merge_entry(result.get(key), entry)
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
    placed, added = {}, {}  # element -> (entry order, after); serial -> the last new element carrying it
    for order, (key, entry) in enumerate(children):
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
        element = position
        if position is None:
            if entry[0] == "set":
                element = length + len(appends)
                appends.append(stamped(entry[1], key))
                if isinstance(appends[-1], dict):
                    added[key] = element
            elif top or entry[0] == "nested":
                raise Failure("Invalid serial key: " + key)
        elif entry[0] == "set":
            target[position] = stamped(entry[1], serial)
        elif entry[0] == "delete":
            deletes.add(position)
        else:
            apply_level(target[position], entry[1], False)
        if serial is not None and element is not None and placement(entry):
            placed[element] = (order, placement(entry)[0])  # of two entries placing one element, the later counts
    if isinstance(target, dict):
        return
    if placed:
        target[:] = placed_order(target + appends, deletes, index, added, placed, len(children))
        return
    for position in sorted(deletes, reverse=True):
        del target[position]
    target.extend(appends)


def placed_order(elements, deletes, index, added, placed, entry_count):
    """The elements of an array pass in their order at its end: first those placed first, then the
    others as they stood (those in `deletes` gone), then the new ones, each directly followed by those
    placed after it, in entry order, depth first. `elements` are those as the pass began, then the new
    ones in entry order; `placed` maps an element to (entry order, after). O(n + k), without recursion."""
    first, unplaced = -1, None
    anchor = [unplaced] * len(elements)
    for element, (order, after) in placed.items():
        if element in deletes:
            continue
        if after is None:
            anchor[element] = first
            continue
        found = index.get(after)
        found = found if found is not None and found not in deletes else added.get(after)
        if found is not None and found != element:
            anchor[element] = found  # otherwise unresolved: passed over
    # In a loop of placements, the element placed by the earliest entry is passed over.
    state = [0] * len(elements)  # 0 not seen, 1 on the current walk, 2 done
    for start in range(len(elements)):
        walk, element = [], start
        while state[element] == 0:
            state[element] = 1
            walk.append(element)
            if anchor[element] is unplaced or anchor[element] == first:
                break
            element = anchor[element]
        else:
            if state[element] == 1:
                loop = walk[walk.index(element) :]
                anchor[min(loop, key=lambda e: placed[e][0])] = unplaced
        for element in walk:
            state[element] = 2
    by_entry = [None] * entry_count
    for element, (order, _) in placed.items():
        by_entry[order] = element
    firsts, followers = [], [[] for _ in elements]
    for element in by_entry:
        if element is not None and anchor[element] is not unplaced:
            (firsts if anchor[element] == first else followers[anchor[element]]).append(element)
    roots = firsts + [e for e in range(len(elements)) if anchor[e] is unplaced and e not in deletes]
    out, pending = [], roots[::-1]
    while pending:
        element = pending.pop()
        out.append(elements[element])
        pending.extend(reversed(followers[element]))
    return out


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


def placeable(old, new):
    """Whether diff turns the list root `old` into `new` by serial with placements: every element of
    both carries a serial unique in its list, and each of new's is a top-level serial key."""
    serials = []
    for elements in (old, new):
        found = [e.get("_") if isinstance(e, dict) else None for e in elements]
        if not all(isinstance(s, str) for s in found) or len(set(found)) != len(found):
            return False
        serials.append(found)
    return all(s != "_" and parse_index_key(s) is None for s in serials[1])


def diff_refusal(old, new):
    """Why diff(old, new) raises ValueError, or None: every case in which no patch makes the change."""
    if not isinstance(old, (dict, list)) or not isinstance(new, (dict, list)):
        return "a root that is no dict or list"
    if type(old) is not type(new):
        return "a root that changes kind"
    if isinstance(old, dict):
        changed = ("_" in old) != ("_" in new) or "_" in old and not equal(old["_"], new["_"])
        return 'a changed top-level "_"' if changed else None
    if placeable(old, new):
        return None  # by serial, with placements where the order changes
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
    """Why to_json_exact refuses `patch`, or None. Of the shapes it refuses, the model builds two: a
    Nested whose children that are Sets or carry placements are out of byte order (merge puts major's
    children first), and placements beside a top-level "_" entry, whose member the table takes."""
    if "_" in patch and placement_table(patch):
        return 'placements beside a top-level "_" entry'
    pending = list(patch.values())
    while pending:
        entry = pending.pop()
        if entry[0] != "nested":
            continue
        ordered = [key.encode() for key, child in entry[1] if child[0] == "set" or placement(child)]
        if ordered != sorted(ordered):
            return "Set or placed children out of byte order"
        pending.extend(child for _, child in entry[1])
    return None
