import pathlib
import re

import pytest

SRC = pathlib.Path(__file__).resolve().parents[2] / "src"
CORE = ["base", "json_value", "operations", "patch"]
SOURCES = sorted(SRC.rglob("*.[ch]*"))

RAW_COUNTING = re.compile(r"\bPy_(X?INCREF|X?DECREF|CLEAR|X?SETREF)\b")
COUNTING_OWNERS = {"py_ref.h", "errors.cpp"}
INDEX_DISPATCH = re.compile(r"\.index\(\)|\bget(_if)?<\d")
C_API_STRUCT = re.compile(r"\b(PyModuleDef|PyType_Spec|PyType_Slot|PyMethodDef|PyMemberDef|PyGetSetDef)\s+\w+\s*(\[\s*\])?\s*=\s*\{")


def code(path):
    """The file's text without its comments."""
    return re.sub(r"//[^\n]*|/\*.*?\*/", "", path.read_text(), flags=re.S)


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
    for path in sorted((SRC / folder).glob("*.[ch]*")):
        text = path.read_text()
        assert not re.search(r"\b(throw|try)\b", text), f"{path.name} throws or catches"
        assert "Python.h" not in text, f"{path.name} includes the interpreter"


def test_references_are_counted_by_their_owner_only():
    assert RAW_COUNTING.search(code(SRC / "python" / "py_ref.h"))  # the pattern finds what it is for
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


def test_private_c_api_only_behind_its_one_wrapper():
    used = {(path.name, name) for path in SOURCES for name in re.findall(r"\b_Py\w+", code(path))}
    assert used == {("convert.cpp", "_PyDict_NewPresized")}  # new_dict, with its fallback
