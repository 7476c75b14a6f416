"""Python values into a patch and back out: the type rules, their order, and hostile hooks."""

import decimal
import math
import sys
import threading

import pytest

from quillfen_patch import QuillfenPatch


def round_trip(value):
    """The value as `set` records it and `to_json` gives it back."""
    p = QuillfenPatch()
    p.set("k", value)
    return p.to_json()["k"]


def fatal_error_type():
    """The class of the fatal error, found by provoking it once."""
    data = {"a": None, "b": 0}

    class Grows:
        def __index__(self):
            data["c"] = 0
            return 0

    data["a"] = Grows()
    with pytest.raises(BaseException) as info:
        QuillfenPatch().set("k", data)
    return type(info.value)


class Outer:
    class Key:
        pass


class StrSub(str):
    pass


class ListSub(list):
    pass


class DictSub(dict):
    pass


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Float:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


class Raises:
    def __index__(self):
        raise ValueError("no index")

    def __float__(self):
        raise ValueError("no float")


def numpy_like(name, truth, module="numpy", index=None):
    """An instance of a class that passes for a numpy boolean by its module and name alone."""
    body = {"__module__": module, "__bool__": truth}
    if index is not None:
        body["__index__"] = lambda self: index
    return type(name, (), body)()


def _raise(*_):
    raise ValueError("no truth")


# (input, expected output, expected type): the type is checked exactly, so 1 and True and 1.0 differ.
SCALARS = [
    (None, None, type(None)),
    (True, True, bool),
    (False, False, bool),
    (0, 0, int),
    (-1, -1, int),
    (1.5, 1.5, float),
    (2**63 - 1, 2**63 - 1, int),
    (-(2**63), -(2**63), int),
    (2**63, float(2**63), float),  # past the signed range: the float rule takes it
    (-(2**63) - 1, float(-(2**63) - 1), float),
    (2**64 + 1, float(2**64), float),
    (float("nan"), 0, int),
    (float("inf"), 0, int),
    (float("-inf"), 0, int),
    ("", "", str),
    ("z\u00e9\U0001f600\x00", "z\u00e9\U0001f600\x00", str),
]


@pytest.mark.parametrize("value, expected, kind", SCALARS, ids=[repr(s[0]) for s in SCALARS])
def test_scalar_table(value, expected, kind):
    result = round_trip(value)
    assert type(result) is kind
    assert result == expected


def test_negative_zero_keeps_its_sign():
    assert math.copysign(1.0, round_trip(-0.0)) == -1.0


HOOKED = [
    (decimal.Decimal("2.5"), 2.5, float),
    (Index(7), 7, int),
    (Index(-(2**63)), -(2**63), int),
    (Index(2**70), float(2**70), float),  # out of range for rule 3, the float rule reads __index__
    (Float(-1.0), -1.0, float),  # -1.0 with no error set is a value
    (Float(float("nan")), 0, int),
    (Float(float("-inf")), 0, int),
    (numpy_like("bool_", lambda self: True), True, bool),
    (numpy_like("bool", lambda self: False), False, bool),
    (numpy_like("bool_", lambda self: False, index=5), False, bool),  # the boolean rule comes first
    (numpy_like("bool_", _raise, index=5), 5, int),  # a failing truth slot falls through
    (numpy_like("bool_", lambda self: True, module="numpyish", index=5), 5, int),
    (numpy_like("int_", lambda self: True, index=5), 5, int),
]


@pytest.mark.parametrize("value, expected, kind", HOOKED, ids=[f"hooked{i}" for i in range(len(HOOKED))])
def test_objects_with_hooks(value, expected, kind):
    result = round_trip(value)
    assert type(result) is kind
    assert result == expected


def test_number_rules_come_before_the_container_and_string_rules():
    class IndexedStr(str):
        def __index__(self):
            return 3

    class FloatList(list):
        def __float__(self):
            return 2.0

    class IndexedDict(dict):
        def __index__(self):
            return -4

    assert round_trip(IndexedStr("text")) == 3
    assert round_trip(FloatList([1, 2])) == 2.0
    assert round_trip(IndexedDict(a=1)) == -4


def test_int_subclass_is_read_by_value_not_through_its_hooks():
    class Odd(int):
        def __index__(self):
            return 99

        def __float__(self):
            return 0.5

    assert round_trip(Odd(5)) == 5  # in range: its own value, no __index__
    assert round_trip(Odd(2**70)) == 0.5  # out of range: the float rule calls its __float__


def test_subclasses_come_back_as_plain_builtins():
    result = round_trip(DictSub(a=ListSub([StrSub("x")])))
    assert type(result) is dict
    assert type(result["a"]) is list
    assert type(result["a"][0]) is str
    assert result == {"a": ["x"]}


def test_dict_keys_come_back_in_utf8_byte_order():
    result = round_trip({"\u00e9": 1, "z": 2, "b": 3, "B": 4, "ab": 5, "a": 6, StrSub("c"): 7})
    assert list(result) == ["B", "a", "ab", "b", "c", "z", "\u00e9"]
    assert result["c"] == 7


def test_empty_containers_are_new_objects():
    empty_list, empty_dict = [], {}
    p = QuillfenPatch()
    p.set("l", empty_list)
    p.set("d", empty_dict)
    out = p.to_json()
    assert out == {"d": {}, "l": []}
    assert out["l"] is not empty_list and out["d"] is not empty_dict


@pytest.mark.parametrize(
    "value",
    [(1, 2), {1, 2}, frozenset(), b"x", bytearray(b"x"), object(), 10**400, "\ud800", [1, {"a": (1,)}], range(3), Raises()],
    ids=["tuple", "set", "frozenset", "bytes", "bytearray", "object", "huge int", "lone surrogate", "nested tuple",
         "range", "failing hooks"],
)
def test_unsupported_values(value):
    with pytest.raises(TypeError) as info:
        QuillfenPatch().set("k", value)
    assert str(info.value) == "Unsupported type for JSON conversion"


@pytest.mark.parametrize(
    "key, text",
    [
        (1, "'int' object cannot be converted to 'PyString'"),
        (b"k", "'bytes' object cannot be converted to 'PyString'"),
        (Outer.Key(), "'Outer.Key' object cannot be converted to 'PyString'"),
    ],
)
def test_dict_key_that_is_not_a_str(key, text):
    with pytest.raises(TypeError) as info:
        QuillfenPatch().set("k", [{"fine": 1, key: 2}])
    assert str(info.value) == text  # no "argument" prefix: the fault is inside the value


def test_dict_key_with_lone_surrogate_raises_the_encoding_error():
    with pytest.raises(UnicodeEncodeError):
        QuillfenPatch().set("k", {"\udc80": 1})


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


# Hostile hooks: each changes the container being converted while the conversion runs.


def test_hook_that_empties_the_list_being_converted():
    class EmptiesList:
        def __index__(self):
            data.clear()  # drops the list's references while it is being converted
            return 7

    data = [EmptiesList(), "".join(["ta", "il"])]
    assert round_trip(data) == [7]


def test_hook_that_grows_the_list_reads_only_the_starting_length():
    class Grows:
        def __index__(self):
            data.append("more")
            return 1

    data = [Grows(), 2]
    assert round_trip(data) == [1, 2]


def test_hook_that_replaces_the_list_in_its_dict_keeps_converting_the_old_one():
    class Replaces:
        def __index__(self):
            data["k"] = None  # the list now has no owner but the conversion
            return 7

    data = {"k": [Replaces(), "".join(["ta", "il"])]}
    assert round_trip(data) == {"k": [7, "tail"]}


def test_hook_that_changes_the_dict_size_is_a_fatal_error():
    data = {"a": None, "b": 1}

    class Grows:
        def __index__(self):
            data["".join(["c"])] = 1
            return 1

    data["a"] = Grows()
    p = QuillfenPatch()
    p.set("k", "kept")
    with pytest.raises(BaseException) as info:
        p.set("k", data)
    assert type(info.value).__bases__ == (BaseException,)
    assert not isinstance(info.value, Exception)
    assert str(info.value) == "dictionary changed size during iteration"
    assert p.to_json() == {"k": "kept"}
    p.set("k", 1)  # the access was given back
    assert p.to_json() == {"k": 1}


def test_hook_that_swaps_dict_keys_is_a_fatal_error():
    data = {"a": None, "b": 1}

    class Swaps:
        def __index__(self):
            del data["a"]  # same size afterwards, but the walk now meets a third pair
            data["c"] = 3
            return 1

    data["a"] = Swaps()
    with pytest.raises(fatal_error_type()) as info:
        QuillfenPatch().set("k", data)
    assert str(info.value) == "dictionary keys changed during iteration"


def test_hook_that_shrinks_the_dict_is_a_fatal_error():
    data = {"a": None, "b": [1, 2]}

    class Shrinks:
        def __float__(self):
            data.clear()
            return 1.0

    data["a"] = Shrinks()
    with pytest.raises(fatal_error_type()) as info:
        QuillfenPatch().set("k", data)
    assert str(info.value) == "dictionary changed size during iteration"


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


# Depth: 10,000 levels work both ways; far deeper input is refused cleanly, on any thread.


def nested_lists(depth):
    value = []
    for _ in range(depth - 1):
        value = [value]
    return value


def nested_dicts(depth):
    value = {}
    for _ in range(depth - 1):
        value = {"k": value}
    return value


def measure_depth(value):
    depth = 0
    while isinstance(value, (list, dict)):
        depth += 1
        if not value:
            break
        value = value[0] if isinstance(value, list) else value["k"]
    return depth


@pytest.mark.parametrize("build", [nested_lists, nested_dicts])
def test_ten_thousand_levels_convert_both_ways(build):
    assert measure_depth(round_trip(build(10_000))) == 10_000


def deep_set_outcome(depth):
    """What `set` with a list `depth` levels deep does: 'ok' or the RecursionError's text."""
    try:
        QuillfenPatch().set("k", nested_lists(depth))
    except RecursionError as error:
        return str(error)
    return "ok"


def test_a_million_levels_raise_recursion_error():
    assert deep_set_outcome(1_000_000) == "Recursion depth limit exceeded"


@pytest.mark.parametrize("stack_size", [0, 512 * 1024], ids=["default stack", "small stack"])
def test_deep_input_on_a_thread(stack_size):
    outcome = []
    previous = threading.stack_size(stack_size)
    try:
        worker = threading.Thread(target=lambda: outcome.extend([deep_set_outcome(1_000_000), deep_set_outcome(5_000)]))
        worker.start()
        worker.join()
    finally:
        threading.stack_size(previous)
    assert outcome[0] == "Recursion depth limit exceeded"
    assert outcome[1] in ("ok", "Recursion depth limit exceeded")
    if stack_size == 0:
        assert outcome[1] == "ok"


class RaisingIndex:
    def __init__(self, exc):
        self.exc = exc

    def __index__(self):
        raise self.exc

    def __float__(self):
        return 1.5


def test_an_ordinary_hook_error_only_means_the_rule_does_not_apply():
    assert round_trip(RaisingIndex(ValueError("no"))) == 1.5


@pytest.mark.parametrize("exc", [KeyboardInterrupt, SystemExit])
def test_an_interruption_in_a_hook_is_never_swallowed(exc):
    p = QuillfenPatch()
    p.set("k", 1)
    with pytest.raises(exc):
        p.set("k", [RaisingIndex(exc())])
    assert p.to_json() == {"k": 1}


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


def test_hook_deep_in_the_data_on_a_small_thread_stack_is_refused_not_a_crash():
    # The walk itself fits, but a hook started at its bottom would run the Python code above in
    # what little stack is left; the conversion must refuse instead of letting it overrun.
    import subprocess

    out = subprocess.run([sys.executable, "-c", HOOK_DEEP_ON_A_SMALL_STACK], capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() in ("stored", "refused")
