"""Python values into a patch and back out: the type rules, their order, and hostile hooks."""

import decimal
import subprocess
import sys

import pytest

from helpers import REFUSED, nest, on_thread, refused_or, unnest
from quillfen_patch import QuillfenPatch


def round_trip(value):
    """The value as `set` records it and `to_json` gives it back."""
    p = QuillfenPatch()
    p.set("k", value)
    return p.to_json()["k"]


def made(base=object, *args, **methods):
    """An instance, made from `args`, of a new subclass of `base` with the given methods."""
    return type("Made" + base.__name__.capitalize(), (base,), methods)(*args)


def raising(exc):
    def hook(*_):
        raise exc

    return hook


def numpy_like(name, truth, module="numpy", **methods):
    """An instance of a class that passes for a numpy boolean by its module and name alone."""
    return type(name, (), {"__module__": module, "__bool__": truth, **methods})()


def index_of(value):
    return {"__index__": lambda self: value}


# (input, expected output): compared by repr, so 1, True, 1.0 and -0.0 and 0.0 all differ.
VALUES = [
    (None, None),
    (True, True),
    (False, False),
    (0, 0),
    (-1, -1),
    (1.5, 1.5),
    (-0.0, -0.0),
    (2**63 - 1, 2**63 - 1),
    (-(2**63), -(2**63)),
    (2**63, float(2**63)),  # past the signed range: the float rule takes it
    (-(2**63) - 1, float(-(2**63) - 1)),
    (float("nan"), 0),
    (float("inf"), 0),
    ("", ""),
    ("z\u00e9\U0001f600\x00", "z\u00e9\U0001f600\x00"),
    # objects that are no exact built-in go through every rule in order
    (decimal.Decimal("2.5"), 2.5),
    (made(**index_of(7)), 7),
    (made(**index_of(-(2**63))), -(2**63)),
    (made(**index_of(2**70)), float(2**70)),  # out of the integer rule's range, the float rule reads __index__
    (made(__index__=raising(ValueError), __float__=lambda self: 1.5), 1.5),  # a hook error: the rule does not apply
    (made(__float__=lambda self: -1.0), -1.0),  # -1.0 with no error set is a value
    (made(__float__=lambda self: float("-inf")), 0),
    (numpy_like("bool_", lambda self: True), True),
    (numpy_like("bool", lambda self: False), False),
    (numpy_like("bool_", lambda self: False, **index_of(5)), False),  # the boolean rule comes first
    (numpy_like("bool_", raising(ValueError), **index_of(5)), 5),  # a failing truth slot falls through
    (numpy_like("bool_", lambda self: True, module="numpyish", **index_of(5)), 5),
    (numpy_like("int_", lambda self: True, **index_of(5)), 5),
    (made(str, "text", **index_of(3)), 3),  # the number rules come before the string and container rules
    (made(list, [1, 2], __float__=lambda self: 2.0), 2.0),
    (made(dict, {"a": 1}, **index_of(-4)), -4),
    (made(int, 5, __float__=lambda self: 0.5, **index_of(99)), 5),  # an int subclass in range: its value, no hook
    (made(int, 2**70, __float__=lambda self: 0.5, **index_of(99)), 0.5),  # out of range: the float rule's __float__
]


@pytest.mark.parametrize("value, expected", VALUES, ids=[f"{i}:{type(v[0]).__name__}" for i, v in enumerate(VALUES)])
def test_value_table(value, expected):
    assert repr(round_trip(value)) == repr(expected)


def test_subclasses_come_back_as_plain_builtins():
    result = round_trip(made(dict, {"a": made(list, [made(str, "x")]), made(str, "b"): 1}))
    assert type(result) is dict and type(result["a"]) is list and type(result["a"][0]) is str
    assert [type(key) for key in result] == [str, str]
    assert result == {"a": ["x"], "b": 1}


def test_dict_keys_come_back_in_utf8_byte_order():
    result = round_trip({"\u00e9": 1, "z": 2, "b": 3, "B": 4, "ab": 5, "a": 6})
    assert list(result) == ["B", "a", "ab", "b", "z", "\u00e9"]


U = "Unsupported type for JSON conversion"
# (value, exception type, exact text or None for the interpreter's own)
UNSUPPORTED = [
    ((1, 2), TypeError, U),
    ({1, 2}, TypeError, U),
    (b"x", TypeError, U),
    (object(), TypeError, U),
    (10**400, TypeError, U),  # an int beyond the double range
    ("\ud800", TypeError, U),
    ([1, {"a": (1,)}], TypeError, U),
    (made(__index__=raising(ValueError), __float__=raising(ValueError)), TypeError, U),
    # a dict key that is no str: no "argument" prefix, the fault is inside the value
    ([{"fine": 1, 1: 2}], TypeError, "'int' object cannot be converted to 'PyString'"),
    ({"\udc80": 1}, UnicodeEncodeError, None),
]


@pytest.mark.parametrize("value, error, text", UNSUPPORTED, ids=[type(u[0]).__name__ for u in UNSUPPORTED])
def test_unsupported_values(value, error, text):
    with pytest.raises(error) as info:
        QuillfenPatch().set("k", value)
    assert type(info.value) is error
    assert text is None or str(info.value) == text


def test_recorded_value_is_a_deep_copy():
    inner = {"x": [1]}
    value = [inner]
    p = QuillfenPatch()
    p.set("k", value)
    value.append(2)
    inner["x"].append(3)
    inner["y"] = 4
    first = p.to_json()
    assert first == {"k": [{"x": [1]}]}
    first["k"][0]["x"].append(5)  # nor does the result share with the patch
    assert p.to_json() == {"k": [{"x": [1]}]}


# Hostile hooks: each changes the container being converted while the conversion runs. The
# joined strs are fresh, owned by the list alone: reading one stale is a use-after-free under ASan.


def emptied():
    data = [made(__index__=lambda self: data.clear() or 7), "".join(["ta", "il"])]  # drops the list's references
    return data, [7]


def grown():
    data = [made(__index__=lambda self: data.append("more") or 1), 2]  # only the starting length is read
    return data, [1, 2]


def replaced():
    data = {"k": [made(__index__=lambda self: data.update(k=None) or 7), "".join(["ta", "il"])]}  # drops the list
    return data, {"k": [7, "tail"]}


@pytest.mark.parametrize("make", [emptied, grown, replaced])
def test_hook_that_changes_the_list_being_converted(make):
    data, expected = make()
    assert round_trip(data) == expected


def grow(data):
    data["".join(["c"])] = 1


def swap(data):
    del data["a"]  # same size afterwards, but the walk now meets a third pair
    data["c"] = 3


@pytest.mark.parametrize(
    "change, hook, text",
    [
        (grow, "__index__", "dictionary changed size during iteration"),
        (swap, "__index__", "dictionary keys changed during iteration"),
        (dict.clear, "__float__", "dictionary changed size during iteration"),
    ],
)
def test_hook_that_changes_the_dict_is_a_fatal_error(change, hook, text):
    data = {"a": None, "b": [1, 2]}
    data["a"] = made(**{hook: lambda self: change(data) or {"__index__": 1, "__float__": 1.0}[hook]})
    p = QuillfenPatch()
    p.set("k", "kept")
    with pytest.raises(BaseException) as info:
        p.set("k", data)
    assert type(info.value).__bases__ == (BaseException,)
    assert not isinstance(info.value, Exception)
    assert str(info.value) == text
    assert p.to_json() == {"k": "kept"}
    p.set("k", 1)  # the access was given back
    assert p.to_json() == {"k": 1}


def test_failed_conversion_leaves_reference_counts_as_they_were():
    item = "".join(["it", "em"])
    key = "".join(["ke", "y"])
    good = [item, {key: item}]
    bad = [item, {key: item}, object()]
    QuillfenPatch().set("k", good)
    before = (sys.getrefcount(item), sys.getrefcount(key))
    for _ in range(3):
        with pytest.raises(TypeError):
            QuillfenPatch().set("k", bad)
    assert (sys.getrefcount(item), sys.getrefcount(key)) == before


class ReadingModuleRaises(type):
    """A metaclass whose types raise when the numpy-boolean check reads their __module__."""

    def __getattribute__(cls, name):
        if name == "__module__":
            raise type.__getattribute__(cls, "exc")
        return type.__getattribute__(cls, name)


@pytest.mark.parametrize("exc", [KeyboardInterrupt, SystemExit])
@pytest.mark.parametrize("where", ["hook", "type name"])
def test_an_interruption_in_a_hook_is_never_swallowed(exc, where):
    p = QuillfenPatch()
    p.set("k", 1)
    if where == "hook":
        value = made(__index__=raising(exc), __float__=lambda self: 1.5)
    else:
        value = ReadingModuleRaises("bool_", (), {"exc": exc, "__index__": lambda self: 1})()
    with pytest.raises(exc):
        p.set("k", [value])
    assert p.to_json() == {"k": 1}


# Depth: 10,000 levels work both ways; far deeper input is refused cleanly, on any thread.


@pytest.mark.parametrize("in_list", [True, False])
def test_ten_thousand_levels_convert_both_ways(in_list):
    assert unnest(round_trip(nest(10_000, 1, in_list))) == (10_000, 1)


def test_whatever_set_accepts_comes_back():
    p = QuillfenPatch()
    with pytest.raises(RecursionError, match=REFUSED):
        p.set("k", nest(20_001, 1, in_list=True))
    p.set("k", nest(20_000, 1, in_list=True))
    for document in (p.to_json(), QuillfenPatch.merge(p, p).to_json(), p.apply({"x": 1})):
        assert unnest(document["k"]) == (20_000, 1)


def deep_sets():
    """What `set` does with lists a million and 5,000 levels deep: None (it worked) or the error text."""
    return [refused_or(lambda: QuillfenPatch().set("k", nest(n, [], in_list=True))) for n in (1_000_000, 5_000)]


@pytest.mark.parametrize("stack_size", [None, 0, 512 * 1024], ids=["main thread", "default stack", "small stack"])
def test_deep_input_is_refused_on_any_thread(stack_size):
    outcome = deep_sets() if stack_size is None else on_thread(deep_sets, stack_size)
    assert outcome[0] == REFUSED
    assert outcome[1] in (None, REFUSED)
    if stack_size != 512 * 1024:
        assert outcome[1] is None


HOOK_DEEP_ON_A_SMALL_STACK = """
import threading
from quillfen_patch import QuillfenPatch

inner = []
for _ in range(3000):
    inner = [inner]

def recurse(n):
    return 0 if n == 0 else recurse(n - 1) + 1

class Hook:
    def __index__(self):
        recurse(900)  # C stack on 3.9 and 3.10
        try:
            repr(inner)  # C stack on every version
        except RecursionError:
            pass
        return 7

def main():
    Hook().__index__()  # fits the thread's stack at its top
    value = Hook()
    for _ in range(6900):
        value = [value]
    try:
        QuillfenPatch().set("k", value)
        print("stored")
    except RecursionError:
        print("refused")

threading.stack_size(1024 * 1024)
thread = threading.Thread(target=main)
thread.start()
thread.join()
"""


FINALIZER_DEEP_IN_A_WALK = """
import gc, threading
from quillfen_patch import QuillfenPatch

def recurse(n):
    return 0 if n == 0 else recurse(n - 1) + 1

running = True

class Garbage:
    def __init__(self):
        self.cycle = self

    def __del__(self):
        recurse(550)  # most of a 256 KiB thread's C stack on 3.9 and 3.10
        if running:
            Garbage()  # garbage for the next collection, a level deeper in the walk

def main():
    global running
    recurse(550)  # fits at the top of this thread
    data = 0
    for i in range(1690):
        data = [data, i]
    p = QuillfenPatch()
    p.set("x", 1)
    gc.set_threshold(1, 100000, 100000)  # a collection at almost every allocation
    Garbage()
    p.apply(data)
    p.set("k", data)
    p.to_json()
    running = False
    print("done")

threading.stack_size(256 * 1024)
thread = threading.Thread(target=main)
thread.start()
thread.join()
"""


def test_a_finalizer_run_deep_inside_a_walk_has_the_stack_it_needs():
    out = subprocess.run([sys.executable, "-c", FINALIZER_DEEP_IN_A_WALK], capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "done"


def test_hook_deep_in_the_data_on_a_small_thread_stack_is_refused_not_a_crash():
    # The walk itself fits, but a hook started at its bottom would run the Python code above in
    # what little stack is left; the conversion must refuse instead of letting it overrun.
    out = subprocess.run([sys.executable, "-c", HOOK_DEEP_ON_A_SMALL_STACK], capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() in ("stored", "refused")
