import pathlib
import re

import pytest

SRC = pathlib.Path(__file__).resolve().parents[2] / "src"
CORE = ["json_value", "operations", "patch"]


@pytest.mark.parametrize("folder", CORE)
def test_core_neither_throws_nor_sees_python(folder):
    for path in sorted((SRC / folder).glob("*.[ch]*")):
        text = path.read_text()
        assert not re.search(r"\b(throw|try)\b", text), f"{path.name} throws or catches"
        assert "Python.h" not in text, f"{path.name} includes the interpreter"
