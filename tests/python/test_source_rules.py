import pathlib
import re

import pytest

SRC = pathlib.Path(__file__).resolve().parents[2] / "src"
CORE = ["base", "json_value", "operations", "patch", "walks"]
SOURCES = sorted(SRC.rglob("*.[ch]*"))

RAW_COUNTING = re.compile(r"\bPy_(X?INCREF|X?DECREF|CLEAR|X?SETREF)\b")
COUNTING_OWNERS = {"py_ref.h", "errors.cpp"}
INDEX_DISPATCH = re.compile(r"\.index\(\)|\bget(_if)?<\d")
C_API_STRUCT = re.compile(r"\b(PyModuleDef|PyType_Spec|PyType_Slot|PyMethodDef|PyMemberDef|PyGetSetDef)\s+\w+\s*(\[\s*\])?\s*=\s*\{")
GROWS = re.compile(
    r"\.(push_back|emplace_back|emplace|try_emplace|insert|append|reserve|resize|assign)\s*\("
    r"|\bstd::(to_string|make_unique|make_shared)\b|\bnew\b"
    r"|\bstd::(vector|map|set|unordered_map|unordered_set|deque)\s*<|\bstd::string\b\s*(\w+\s*)?[({=]"
)
# Growth that cannot allocate: the room was reserved before (reserve_change).
GROWS_INTO_RESERVED_ROOM = {("caller_edit.cpp", "CallerEdit::log")}


def code(path):
    """The file's text without its comments."""
    return re.sub(r"//[^\n]*|/\*.*?\*/", "", path.read_text(), flags=re.S)


def noexcept_bodies(text):
    """(function name, body) of every function defined noexcept in `text`, constructor initialisers
    included; declarations, `= default` and noexcept(...) expressions have no body."""
    for match in re.finditer(r"\bnoexcept\b(\s*\((?:[^()]|\([^()]*\))*\))?\s*", text):
        at = match.end()
        if text.startswith("->", at):  # a trailing return type, up to the body
            at = text.find("{", at)
        elif text[at] == ":" and text[at + 1] != ":":  # initialisers, name(...) or name{...}, then the body
            at += 1
            while True:
                at = skip_group(text, min(i for i in (text.find("(", at), text.find("{", at)) if i != -1))
                at = re.compile(r"\s*").match(text, at).end()
                if text[at] != ",":
                    break
        if text[at] == "{":
            line = text[text.rfind("\n", 0, match.start()) + 1 : match.start()]
            name = re.findall(r"(operator\W+|[\w:~]+)\s*\(", line)
            yield (name[0] if name else "?"), braced(text, at)


def skip_group(text, start):
    """The position after the bracketed group that opens at text[start]."""
    close = {"(": ")", "{": "}"}[text[start]]
    depth = 0
    for end in range(start, len(text)):
        depth += (text[end] == text[start]) - (text[end] == close)
        if depth == 0:
            return end + 1
    raise AssertionError("unbalanced brackets")


def offenders(pattern, allowed):
    return {path.name for path in SOURCES if path.name not in allowed and pattern.search(code(path))}


def braced(text, start):
    """The text inside the braces that open at text[start]."""
    depth = 0
    for end in range(start, len(text)):
        depth += {"{": 1, "}": -1}.get(text[end], 0)
        if depth == 0:
            return text[start + 1 : end]
    raise AssertionError("unbalanced braces")


def entries(body):
    """The top-level braced entries of a table's initialiser."""
    found, at = [], body.find("{")
    while at != -1:
        found.append(braced(body, at))
        at = body.find("{", at + len(found[-1]) + 2)
    return found


@pytest.mark.parametrize("folder", CORE)
def test_core_neither_throws_nor_sees_python(folder):
    for path in sorted((SRC / folder).rglob("*.[ch]*")):
        text = path.read_text()
        assert not re.search(r"\b(throw|try)\b", text), f"{path.name} throws or catches"
        assert "Python.h" not in text, f"{path.name} includes the interpreter"


@pytest.mark.parametrize(
    "source, growing",
    [
        ("bool operator==(const V& a, const V& b) noexcept {\n  std::vector<P> pending{{&a, &b}};\n  return true;\n}", {"operator=="}),
        ("V() noexcept : kind_(K::Null), payload_{.bits = 0} {}\nvoid add() noexcept { items_.push_back(1); }", {"add"}),
        ("S(S&&) noexcept = default;\nbool f() noexcept;\nstatic_assert(noexcept(g()));\nint h() { return std::to_string(1).size(); }", set()),
    ],
)
def test_noexcept_scan_finds_growth_in_bodies_only(source, growing):
    assert {name for name, body in noexcept_bodies(source) if GROWS.search(body)} == growing


def test_noexcept_functions_do_not_grow_containers():
    """std::bad_alloc leaving a noexcept function ends the process. This sees growth written in the
    body itself only, not in what the body calls."""
    found = {(path.name, name) for path in SOURCES for name, body in noexcept_bodies(code(path)) if GROWS.search(body)}
    assert found - GROWS_INTO_RESERVED_ROOM == set()


def test_references_are_counted_by_their_owner_only():
    assert RAW_COUNTING.search(code(SRC / "python" / "objects" / "py_ref.h"))  # the pattern finds what it is for
    assert offenders(RAW_COUNTING, COUNTING_OWNERS) == set()


def test_variants_are_dispatched_by_visit_not_by_number():
    assert offenders(INDEX_DISPATCH, {"patch_error.h"}) == set()  # Result's own storage may use numbers


def test_c_api_structs_are_built_with_named_fields():
    kinds = set()
    for path in SOURCES:
        text = code(path)
        for match in C_API_STRUCT.finditer(text):
            kinds.add(match.group(1))
            body = braced(text, match.end() - 1)
            for entry in entries(body) if match.group(2) else [body]:
                assert entry.strip() == "" or entry.lstrip().startswith("."), f"{path.name}: {match.group(1)} {{{entry.strip()}}}"
    assert {"PyModuleDef", "PyType_Spec", "PyType_Slot", "PyMethodDef"} <= kinds


def test_a_lists_item_array_is_touched_by_the_owner_of_caller_writes_only():
    # Only there is the room an undo needs secured before a list changes in its structure.
    item_array = re.compile(r"\bob_item\b|\ballocated\b|\bPy_SET_SIZE\b")
    assert item_array.search(code(SRC / "python" / "edit" / "caller_edit.cpp"))
    assert offenders(item_array, {"caller_edit.h", "caller_edit.cpp"}) == set()


def test_private_c_api_only_behind_its_one_wrapper():
    used = {(path.name, name) for path in SOURCES for name in re.findall(r"\b_Py\w+", code(path))}
    assert used == {("convert.cpp", "_PyDict_NewPresized")}  # new_dict, with its fallback


# The rooms of the house, lowest first: a file includes from its own room and the rooms below only.
FLOORS = ["base", "json_value", "operations", "patch", "walks", "python/objects", "python/edit", "python/walks", "python/shell"]


def room_of(path):
    relative = path.relative_to(SRC).as_posix()
    return max((room for room in FLOORS if relative.startswith(room + "/")), key=len)


def test_includes_run_down_the_floors_only():
    upward = set()
    for path in SOURCES:
        if path.suffix not in (".h", ".cpp"):
            continue
        floor = FLOORS.index(room_of(path))
        for included in re.findall(r'#include "([^"]+)"', path.read_text()):
            target = SRC / included
            if target.exists() and FLOORS.index(room_of(target)) > floor:
                upward.add((path.relative_to(SRC).as_posix(), included))
    assert upward == set()
