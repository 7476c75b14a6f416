"""Live state: apply_touched changes only what a patch reaches, inverse gives the patch that undoes
it, and one patch gives one result in every process."""

import collections
import copy
import subprocess
import sys
import textwrap

import pytest
from hypothesis import given, settings

import helpers
import quillfen_model as model
from helpers import DELETE
from quillfen_model import exact
from quillfen_patch import QuillfenPatch
from strategies import patches_and_documents
from test_apply_paths import shape


def outcome(call):
    try:
        return ("ok", call())
    except (RuntimeError, ValueError) as error:
        return (type(error).__name__, str(error))


def removes_from_the_root(patch, document):
    """Whether applying removes an element of a list root: no patch can put it back in its place."""
    if not isinstance(document, list):
        return False
    index = model.serial_index(document)
    for key, entry in patch.items():
        position = model.parse_index_key(key)
        position = index.get(key) if position is None else position
        if entry[0] == "delete" and key != "_" and position is not None and position < len(document):
            return True
    return False


@settings(max_examples=300 if helpers.FULL else 80, deadline=None)
@given(patches_and_documents())
def test_apply_touched_gives_apply_and_inverse_undoes_it(case):
    patch, document = case
    p = QuillfenPatch.from_json(model.write_exact(patch))
    expected = outcome(lambda: p.apply(document))
    data = copy.deepcopy(document)
    before = shape(data)

    undo = outcome(lambda: p.inverse(data))
    assert shape(data) == before  # inverse changes nothing
    done = outcome(lambda: p.apply_touched(data))
    assert done[0] == expected[0] and (done[0] != "ok" or exact(data) == exact(expected[1]))
    if done[0] != "ok":
        assert done == expected and shape(data) == before
        assert undo == expected  # the same error as applying
        return
    if undo[0] == "ValueError":
        # Removals from a list root, or one element of it changed inside by two keys.
        assert removes_from_the_root(patch, document) or isinstance(document, list), undo
        return
    u = undo[1]
    assert exact(u.apply(expected[1])) == exact(document)
    assert exact(QuillfenPatch.from_json_exact(u.to_json_exact()).apply(expected[1])) == exact(document)
    u.apply_touched(data)
    assert exact(data) == exact(document)


def test_values_out_of_reach_are_neither_checked_nor_normalised():
    nan, tuple_ = float("nan"), (1, 2)
    data = {"nan": nan, "t": tuple_, "big": 2**70, 1: "int key", "a": {"b": 1}, "rows": [{"_": "r", "v": 1}, "x"]}
    QuillfenPatch.from_json({"a": {"b": 2}, "rows": {"r": {"v": 2}}, "new": {"*": {"z": 1}}}).apply_touched(data)
    assert data["nan"] is nan and data["t"] is tuple_ and data["big"] == 2**70 and data[1] == "int key"
    assert data["a"] == {"b": 2} and data["rows"] == [{"_": "r", "v": 2}, "x"] and data["new"] == {"z": 1}


class Indexed(dict):
    """A dict that the conversion reads as the integer 3: __index__ comes before the dict rule."""

    def __index__(self):
        return 3


@pytest.mark.parametrize(
    "document, data, error, message",
    [
        ({"a": 1}, 5, RuntimeError, "^Patch error: Invalid patch operation: Can only patch objects and arrays$"),
        ({"a": 1}, Indexed(a=1), RuntimeError, "^Patch error: Invalid patch operation: Can only patch objects and arrays$"),
        ({"a": 1}, (1,), TypeError, "^Unsupported type for JSON conversion$"),
        ({"a": {"b": 1}}, {"a": (1,)}, TypeError, "^Unsupported type for JSON conversion$"),  # a Nested reaches it
        ({"x": DELETE}, [{"_": "y"}], RuntimeError, "^Patch error: Invalid serial key: x$"),
        ({"t": {"test": 1}}, {"t": {"test": 2.0}}, None, None),  # below the top level: a member like any
        # Two keys reach element 0; the entry after them fails on what the first made of it.
        ({"[-0]": {"*": []}, "[0]": {"b": {}}, "a": DELETE}, [{"_": "[-0]"}, {"_": "b"}], RuntimeError,
         "^Patch error: Invalid serial key: b$"),
    ],
)
def test_apply_touched_errors_are_those_of_applying(document, data, error, message):
    p = QuillfenPatch.from_json(document)
    for method in ("apply_touched", "inverse", "to_json_patch"):
        snapshot = copy.deepcopy(data)
        if error is None:
            getattr(p, method)(copy.deepcopy(data))
            continue
        with pytest.raises(error, match=message):
            getattr(p, method)(data)
        assert repr(data) == repr(snapshot)


def test_subclass_roots_and_shared_members():
    shared = {"v": 1}
    data = collections.OrderedDict(a=shared, b=shared, z=0)
    QuillfenPatch.from_json({"a": {"v": 2}, "c": 3, "z": DELETE}).apply_touched(data)
    assert type(data) is collections.OrderedDict and list(data) == ["a", "b", "c"]
    assert data == {"a": {"v": 2}, "b": {"v": 1}, "c": 3} and shared == {"v": 1} and data["b"] is shared


@pytest.mark.parametrize(
    "document, data, message",
    [
        ({"[1]": DELETE}, [1, 2, 3], 'at ["[1]"]: an element without a serial of its own cannot be put back at its position'),
        ({"[1]": DELETE, "[0]": 0}, [{"_": "a"}, {"_": "b"}], 'at ["[1]"]: the element before it has no serial of its own to put it back after'),
        ({"[0]": {"v": 1}, "s": {"w": 1}}, [{"_": "s"}], 'at ["s"]: the element is reached by two entries'),
        # The element set at position 1 takes the serial of the one removed: "s" would name it.
        ({"[1]": {"*": {"_": "s"}}, "s": DELETE}, [{"_": "s"}, {"t": 5}], 'at ["s"]: the change may give its serial, or its predecessor\'s, to another element'),
    ],
)
def test_inverse_refuses_what_no_patch_undoes(document, data, message):
    with pytest.raises(ValueError, match="^Cannot undo the change " + message.replace("[", r"\[").replace("]", r"\]") + "$"):
        QuillfenPatch.from_json(document).inverse(data)


@pytest.mark.parametrize(
    "document, data, undo",
    [
        # Set back at the serial, deleted at the serial, set back at the position.
        ({"r1": {"*": {"v": 9}}, "r3": {"*": {"v": 3}}, "[2]": 0, "n": 5}, [{"_": "r1", "v": 1}, {"_": "r2"}, 7],
         {"[2]": 7, "[3]": DELETE, "r1": {"*": {"_": "r1", "v": 1}}, "r3": DELETE}),
        # Below the top level: element by element, a removed one set back after its old predecessor
        # (here first), or the whole list where serials cannot say it.
        ({"rows": {"a": {"v": 2}, "b": {"*": {"w": 1}}}}, {"rows": [{"_": "a", "v": 1}]}, {"rows": {"a": {"v": 1}, "b": DELETE}}),
        ({"rows": {"a": DELETE}}, {"rows": [{"_": "a", "v": 1}, {"_": "c"}]},
         {"_": {"*": None, "placements": [[["rows", "a"], None]]}, "rows": {"a": {"*": {"_": "a", "v": 1}}}}),
        ({"rows": {"a": DELETE}}, {"rows": [{"_": "a", "v": 1}, 3]}, {"rows": [{"_": "a", "v": 1}, 3]}),
        ({"rows": {"a": {"_": "z"}}}, {"rows": [{"_": "a"}]}, {"rows": [{"_": "a"}]}),  # the serial changed
    ],
)
def test_inverse_shapes(document, data, undo):
    p = QuillfenPatch.from_json(document)
    u = p.inverse(data)
    assert u.to_json_exact() == undo
    assert u.apply(p.apply(data)) == data


# On a list root two keys may reach one element (two spellings of a position, or a position and a
# serial), and the second meets what the first made of it; in byte order "[+0]" < "[0]" < "s".
REACHED_TWICE = [
    ([5], {"[0]": {"to": 1}, "[+0]": {"*": {}}}),  # a dict set where a number stood, then changed inside
    ([None, None], {"[+1]": {"*": []}, "[1]": {"": None}}),  # a list set, then appended to
    ([{"_": "s"}, {}, {}], {"[2]": {"*": {"_": "s"}}, "s": {"v": 1}}),  # "s" still reaches element 0 when applied,
    ([{"_": "s"}, {}, {}], {"[2]": {"*": {"_": "s"}}, "s": {"*": {"w": 1}}}),  # but element 2 afterwards
]


@pytest.mark.parametrize("data, document", REACHED_TWICE)
def test_an_element_reached_twice_is_written_and_undone_as_applied(data, document):
    p = QuillfenPatch.from_json(document)
    after, before = p.apply(data), copy.deepcopy(data)
    assert QuillfenPatch.apply_json_patch(data, p.to_json_patch(data)) == after
    assert p.inverse(data).apply(after) == data == before


def test_one_patch_gives_one_result_in_every_process():
    program = textwrap.dedent(
        """
        from quillfen_patch import QuillfenPatch
        p = QuillfenPatch()
        for key in ["k%d" % i for i in range(40)]:
            p.set(key, {"v": key})
        rows, state = [], {"z": 0}
        p.apply_inplace(rows)
        p.apply_touched(state)
        try:
            QuillfenPatch.from_json({"x%d" % i: {"*": None} for i in range(40)}).apply([])
        except RuntimeError as error:
            failed = str(error)
        print(repr((rows, state, p.apply([]), failed)))
        """
    )
    results = {subprocess.run([sys.executable, "-c", program], capture_output=True, text=True, check=True).stdout for _ in range(4)}
    assert len(results) == 1 and "x0" in results.pop()
