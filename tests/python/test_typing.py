"""The stubs against the module: stubtest, mypy --strict on a realistic script and on calls the
stubs must refuse, and the examples in the stubs' docstrings. Skipped where mypy is not installed."""

import ast
import doctest
import os
import pathlib
import subprocess
import sys

import pytest

import quillfen_patch
from helpers import SOURCE_ROOT
from quillfen_patch import QuillfenPatch

pytest.importorskip("mypy")

MODULE_DIR = pathlib.Path(quillfen_patch.__file__).resolve().parent
INSTALLED_STUBS = MODULE_DIR / "quillfen_patch-stubs" / "__init__.pyi"
# A build tree on the path has no stubs of its own: the source stub stands in for them.
STUB = INSTALLED_STUBS if INSTALLED_STUBS.exists() else SOURCE_ROOT / "python" / "quillfen_patch.pyi"


def run(module, *args, cwd):
    """python -m module args, in `cwd`, where its cache goes; the output when it fails."""
    env = dict(os.environ)
    if STUB != INSTALLED_STUBS:  # the module comes from a build tree, which may be a relative path
        env["MYPYPATH"] = str(STUB.parent)
        env["PYTHONPATH"] = os.pathsep.join([str(MODULE_DIR), env.get("PYTHONPATH", "")])
    out = subprocess.run([sys.executable, "-m", module, *map(str, args)], capture_output=True, text=True, env=env, cwd=cwd)
    return out.stdout + out.stderr if out.returncode else None


def test_stubs_match_the_module(tmp_path):
    assert run("mypy.stubtest", "quillfen_patch", cwd=tmp_path) is None


def test_typed_example_passes_strict_and_the_stubs_refuse_what_fails(tmp_path):
    # --strict reports a `type: ignore` that nothing needs: each refused call in stub_rejects.py has one.
    files = [SOURCE_ROOT / "examples" / "typed_sync.py", pathlib.Path(__file__).parent / "stub_rejects.py"]
    assert run("mypy", "--strict", *files, cwd=tmp_path) is None


def stub_docstrings():
    tree = ast.parse(STUB.read_text())
    (cls,) = [node for node in tree.body if isinstance(node, ast.ClassDef)]
    return [(f"{cls.name}.{node.name}", ast.get_docstring(node)) for node in cls.body if isinstance(node, ast.FunctionDef)]


def test_every_method_in_the_stubs_has_help():
    # The runtime docstrings are empty: editors show these instead.
    assert [name for name, doc in stub_docstrings() if not doc] == []


@pytest.mark.parametrize("name, docstring", [case for case in stub_docstrings() if ">>>" in case[1]])
def test_stub_docstring_examples_hold(name, docstring):
    test = doctest.DocTestParser().get_doctest(docstring, {"QuillfenPatch": QuillfenPatch}, name, str(STUB), 0)
    runner, report = doctest.DocTestRunner(), []
    runner.run(test, out=report.append)
    assert runner.failures == 0, "".join(report)
