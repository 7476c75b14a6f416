import gc
import importlib.metadata
import os
import pathlib
import re
import subprocess
import sys
import textwrap
import weakref

import pytest

import quillfen_patch
from helpers import SOURCE_ROOT
from quillfen_patch import QuillfenPatch

METHODS = {
    "set": "($self, key, value)",
    "delete": "($self, key)",
    "apply": "($self, data)",
    "apply_inplace": "($self, data)",
    "from_json": "(data)",
    "to_json": "($self)",
    "merge": "(minor, major)",
    "diff": "(old, new)",
    "compose": "(first, second, *more, objects=False)",
    "to_json_exact": "($self)",
    "apply_touched": "($self, data)",
    "inverse": "($self, data)",
    "apply_json_patch": "(data, operations, in_place=False)",
    "apply_merge_patch": "(data, merge_patch, in_place=False)",
    "to_json_patch": "($self, data)",
    "place": "($self, key, after=None)",
    "from_json_exact": "(data)",
}


def test_module_and_class_attributes():
    assert quillfen_patch.__doc__ == ""
    assert quillfen_patch.__version__ == "0.1.0"
    assert quillfen_patch.__all__ == ["QuillfenPatch", "__version__"]
    public = [name for name in vars(quillfen_patch) if not name.startswith("__") or name == "__version__"]
    assert public == ["QuillfenPatch", "__version__"]
    cls = QuillfenPatch
    identity = (cls.__name__, cls.__qualname__, cls.__module__, cls.__bases__)
    assert identity == ("QuillfenPatch", "QuillfenPatch", "builtins", (object,))
    assert (cls.__doc__, cls.__text_signature__) == ("", "()")  # 3.9 drops the signature unless it is given back
    assert [name for name in vars(cls) if not name.startswith("__")] == list(METHODS)
    assert {name: (getattr(cls, name).__text_signature__, getattr(cls, name).__doc__) for name in METHODS} == {
        name: (signature, None) for name, signature in METHODS.items()
    }


def test_the_version_is_written_once_and_read_everywhere():
    cmake = (SOURCE_ROOT / "CMakeLists.txt").read_text()
    (written,) = re.findall(r"project\(quillfen_patch VERSION ([0-9.]+)", cmake)
    assert quillfen_patch.__version__ == written
    try:
        dist = importlib.metadata.distribution("quillfen_patch")
    except importlib.metadata.PackageNotFoundError:
        dist = None  # a build tree on the path: no package metadata
    module = pathlib.Path(quillfen_patch.__file__).resolve()
    if dist is not None and any(pathlib.Path(dist.locate_file(f)).resolve() == module for f in dist.files or []):
        assert dist.version == written
    stubs = [SOURCE_ROOT / "python" / "quillfen_patch.pyi", module.parent / "quillfen_patch-stubs" / "__init__.pyi"]
    for stub in filter(pathlib.Path.exists, stubs):
        assert re.findall(r"^__version__.*$", stub.read_text(), re.M) == ["__version__: str"]  # no copy of it


def test_instances_are_sealed():
    p = QuillfenPatch()
    with pytest.raises(TypeError):
        type("Sub", (QuillfenPatch,), {})
    with pytest.raises(AttributeError):
        p.anything = 1
    with pytest.raises(TypeError):
        weakref.ref(p)
    assert not hasattr(p, "__dict__")
    assert not gc.is_tracked(p)


def test_instances_release_their_reference_to_the_type():
    before = sys.getrefcount(QuillfenPatch)
    for _ in range(1000):
        QuillfenPatch()
    assert sys.getrefcount(QuillfenPatch) == before


def run_python(code):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, check=True)


def test_second_initialisation_returns_the_same_module():
    out = run_python(
        """
        import importlib.util, sys
        import quillfen_patch as first
        found = importlib.util.find_spec("quillfen_patch")
        del sys.modules["quillfen_patch"]
        second = importlib.util.module_from_spec(found)
        print(second is first, second.QuillfenPatch is first.QuillfenPatch)
        """
    )
    assert out.stdout.split() == ["True", "True"]


def test_second_interpreter_is_refused_with_import_error():
    testcapi = pytest.importorskip("_testcapi")
    if not hasattr(testcapi, "run_in_subinterp"):
        pytest.skip("this interpreter cannot start a subinterpreter")
    inner = textwrap.dedent(
        f"""
        import sys
        sys.path.insert(0, {os.path.dirname(quillfen_patch.__file__)!r})
        try:
            import quillfen_patch
            print("imported")
        except ImportError as e:
            print("ImportError:", e)
        """
    )
    out = run_python(f"import quillfen_patch, _testcapi; _testcapi.run_in_subinterp({inner!r})")
    assert out.stdout.startswith("ImportError: ")
