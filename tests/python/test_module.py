import gc
import os
import subprocess
import sys
import textwrap
import weakref

import pytest

import quillfen_patch
from quillfen_patch import QuillfenPatch


def test_module_attributes_and_their_order():
    assert quillfen_patch.__doc__ == ""
    assert quillfen_patch.__version__ == "0.1.0"
    assert quillfen_patch.__all__ == ["QuillfenPatch", "__version__"]
    public = [name for name in vars(quillfen_patch) if not name.startswith("__") or name == "__version__"]
    assert public == ["QuillfenPatch", "__version__"]


def test_class_identity():
    assert QuillfenPatch.__name__ == "QuillfenPatch"
    assert QuillfenPatch.__qualname__ == "QuillfenPatch"
    assert QuillfenPatch.__module__ == "builtins"
    assert QuillfenPatch.__bases__ == (object,)
    assert QuillfenPatch.__doc__ == ""
    assert QuillfenPatch.__text_signature__ == "()"


@pytest.mark.parametrize(
    "name, signature",
    [
        ("set", "($self, key, value)"),
        ("delete", "($self, key)"),
        ("apply", "($self, data)"),
        ("apply_inplace", "($self, data)"),
        ("from_json", "(data)"),
        ("to_json", "($self)"),
        ("merge", "(minor, major)"),
    ],
)
def test_methods_show_a_signature_and_no_docstring(name, signature):
    method = getattr(QuillfenPatch, name)
    assert method.__text_signature__ == signature
    assert method.__doc__ is None


def test_method_order_in_the_class():
    own = [name for name in vars(QuillfenPatch) if not name.startswith("__")]
    assert own == ["set", "delete", "apply", "apply_inplace", "from_json", "to_json", "merge"]


def test_new_instance_is_empty_and_false():
    p = QuillfenPatch()
    assert len(p) == 0
    assert not p
    assert bool(p) is False


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


def test_equality_and_hash_are_by_identity():
    a, b = QuillfenPatch(), QuillfenPatch()
    assert a != b and a == a
    assert hash(a) != hash(b) or a is b


def test_instances_are_released():
    # Many instances made and dropped: a leaked or doubly released instance shows up under the sanitizer
    # build, and the type's reference count must come back to where it was.
    before = sys.getrefcount(QuillfenPatch)
    for _ in range(1000):
        QuillfenPatch()
    assert sys.getrefcount(QuillfenPatch) == before


def test_second_initialisation_returns_the_same_module():
    code = textwrap.dedent(
        """
        import importlib.util, sys
        import quillfen_patch as first
        spec = importlib.util.find_spec("quillfen_patch")
        del sys.modules["quillfen_patch"]
        second = importlib.util.module_from_spec(spec)
        print(second is first, second.QuillfenPatch is first.QuillfenPatch)
        """
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=dict(os.environ), check=True)
    assert out.stdout.split() == ["True", "True"]


def test_second_interpreter_is_refused_with_import_error(tmp_path):
    testcapi = pytest.importorskip("_testcapi")
    if not hasattr(testcapi, "run_in_subinterp"):
        pytest.skip("this interpreter cannot start a subinterpreter")
    result = tmp_path / "result.txt"
    module_dir = os.path.dirname(quillfen_patch.__file__)
    inner = textwrap.dedent(
        f"""
        import sys
        sys.path.insert(0, {module_dir!r})
        try:
            import quillfen_patch
            outcome = "imported"
        except ImportError as e:
            outcome = "ImportError: " + str(e)
        with open({str(result)!r}, "w") as f:
            f.write(outcome)
        """
    )
    code = f"import quillfen_patch, _testcapi; _testcapi.run_in_subinterp({inner!r})"
    subprocess.run([sys.executable, "-c", code], check=True, env=dict(os.environ))
    assert result.read_text().startswith("ImportError: ")
