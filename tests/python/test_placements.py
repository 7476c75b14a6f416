"""Placements: where an element reached by serial stands when its array pass ends. One table of the
rules through every applying method and the model, then random patches against the model."""

import copy
import os
import subprocess
import sys

import pytest
from hypothesis import given, settings

import helpers
import quillfen_model as model
from helpers import DELETE
from quillfen_model import exact
from quillfen_patch import QuillfenPatch
from strategies import PLACE_ROWS, RECORDING_CALLS, patches_and_documents, placing_patches_and_documents, recorded_placements, reordered_versions
from test_apply_paths import shape


def rows(serials, **members):
    """Rows carrying the one-letter serials in `serials`; `members` adds members to the row of a serial."""
    return [{"_": s, **members.get(s, {})} for s in serials]


def placing(form, *placements):
    """The lossless form `form` with the placements table: (path, after) pairs, in byte order of the paths."""
    return {**form, "_": {"*": None, "placements": [[path, after] for path, after in placements]}}


def outcome(call):
    try:
        return ("ok", call())
    except RuntimeError as error:
        return ("error", str(error))


def in_place(method, data):
    """What `method` leaves in a copy of `data`, or its error with the copy unchanged."""
    data = copy.deepcopy(data)
    before = shape(data)
    done = outcome(lambda: method(data))
    assert done[0] == "ok" or shape(data) == before
    return ("ok", data) if done[0] == "ok" else done


def applied(patch, data):
    """The outcome of each applying method; they must agree."""
    results = [outcome(lambda: patch.apply(data))] + [in_place(method, data) for method in (patch.apply_inplace, patch.apply_touched)]
    assert [r[0] for r in results] == [results[0][0]] * 3 and len({exact(r[1]) for r in results}) == 1, results
    return results[0]


def modelled(patch, data):
    result, error = model.apply(patch, data)
    return ("error", "Patch error: " + error) if error else ("ok", result)


R = rows("abcd")
NEW = {"*": {"v": 1}}
TABLE = [
    # (document, the patch's lossless form, the result or the error)
    ("anchor present", R, placing({"d": {}}, (["d"], "a")), rows("adbc")),
    ("first", R, placing({"d": {}}, (["d"], None)), rows("dabc")),
    ("anchor absent", R, placing({"a": {}}, (["a"], "zz")), R),
    ("anchor deleted in the pass", R, placing({"a": {}, "b": DELETE, "n": NEW}, (["a"], "b"), (["n"], "b")), rows("acdn", n={"v": 1})),
    ("anchor is the element itself", R, placing({"b": {}, "n": NEW}, (["b"], "b"), (["n"], "n")), rows("abcdn", n={"v": 1})),
    ("element absent", R, placing({"zz": {}}, (["zz"], "a")), "Patch error: Invalid serial key: zz"),
    ("two after one, depth first", R, placing({"a": {}, "b": {}, "c": {}}, (["a"], "d"), (["b"], "d"), (["c"], "a")), rows("dacb")),
    ("a loop: its first entry stays", R, placing({"a": {}, "c": {}, "d": {}}, (["a"], "c"), (["c"], "a"), (["d"], "a")), rows("acdb")),
    ("a loop of new elements", R, placing({"m": NEW, "n": NEW}, (["m"], "n"), (["n"], "m")), rows("abcdmn", m={"v": 1}, n={"v": 1})),
    ("insert", R, placing({"n": NEW}, (["n"], "a")), rows("anbcd", n={"v": 1})),
    ("insert after an insert", R, placing({"m": NEW, "n": NEW}, (["m"], None), (["n"], "m")), rows("mnabcd", m={"v": 1}, n={"v": 1})),
    ("a scalar carries no serial", R, placing({"m": 5, "n": NEW}, (["m"], None), (["n"], "m")), [5] + rows("abcdn", n={"v": 1})),
    ("set and move", R, placing({"b": {"*": {"v": 2}}}, (["b"], "d")), rows("acdb", b={"v": 2})),
    ("change and move", R, placing({"b": {"v": 2}}, (["b"], None)), rows("bacd", b={"v": 2})),
    ("index key: no effect", R, placing({"[0]": {"*": {"v": 2}}}, (["[0]"], "d")), [{"v": 2}] + rows("bcd")),
    ("object member: no effect", {"x": 1}, placing({"x": 2, "y": {}}, (["x"], None), (["y"], "x")), {"x": 2}),
    ("below an object", {"o": {"rows": R}}, placing({"o": {"rows": {"c": {}}}}, (["o", "rows", "c"], None)), {"o": {"rows": rows("cabd")}}),
    ("below an element", [{"_": "e", "l": R}], placing({"e": {"l": {"a": {}, "n": NEW}}}, (["e", "l", "a"], "n"), (["e", "l", "n"], "d")),
     [{"_": "e", "l": rows("bcdna", n={"v": 1})}]),
    ("absent below the top level", {"o": R}, placing({"o": {"zz": {}}}, (["o", "zz"], None)), "Patch error: Invalid serial key: zz"),
]


@pytest.mark.parametrize("document, form, expected", [row[1:] for row in TABLE], ids=[row[0] for row in TABLE])
def test_placement_rules(document, form, expected):
    p = QuillfenPatch.from_json_exact(form)
    want = ("error", expected) if isinstance(expected, str) else ("ok", expected)
    assert modelled(model.read_exact(form), document) == want
    assert applied(p, document) == want
    assert p.to_json_exact() == form == model.write_exact(model.read_exact(form))
    assert applied(QuillfenPatch.from_json_exact(p.to_json_exact()), document) == want
    # The plain form writes no placements; read plainly, the table is an inert Delete at "_".
    assert p.to_json() == model.write(model.read_exact(form))
    plain = QuillfenPatch.from_json(form)
    assert plain.to_json() == {**p.to_json(), "_": DELETE}
    assert applied(plain, document) == modelled(model.read(form), document)
    # The methods that follow applying: the JSON Patch makes the same change, the undo takes it back.
    if want[0] == "ok":
        assert exact(QuillfenPatch.apply_json_patch(document, p.to_json_patch(document))) == exact(want[1])
        assert exact(p.inverse(document).apply(want[1])) == exact(document)
    else:
        for method in (p.to_json_patch, p.inverse):
            with pytest.raises(RuntimeError, match=expected):
                method(document)


def test_recording_keeps_and_drops_placements():
    p = QuillfenPatch()
    p.place("a", "c")  # a pure move
    p.place("b", None)
    p.set("b", {"v": 1})  # keeps its placement
    p.set("c", 1)
    p.place("c", "x")  # a Set takes a placement
    p.place("c", after="b")  # the later one counts
    p.place("d", None)
    p.delete("d")  # drops it
    assert p.to_json_exact() == placing({"a": {}, "b": {"*": {"v": 1}}, "c": 1, "d": DELETE}, (["a"], "c"), (["b"], None), (["c"], "b"))
    assert p.to_json() == {"a": {}, "b": {"v": 1}, "c": 1, "d": DELETE}
    assert p.apply(rows("abcd")) == [{"v": 1, "_": "b"}, 1] + rows("a")


def test_merge_keeps_majors_placement_else_minors():
    minor = QuillfenPatch.from_json_exact(placing({"a": {}, "b": {}, "c": {}, "d": {}}, (["a"], "x"), (["b"], "x"), (["c"], "x"), (["d"], "x")))
    major = QuillfenPatch.from_json_exact(placing({"a": {"v": 1}, "b": 2, "c": DELETE}, (["a"], "y")))
    assert QuillfenPatch.merge(minor, major).to_json_exact() == placing(
        {"a": {"v": 1}, "b": 2, "c": DELETE, "d": {}}, (["a"], "y"), (["b"], "x"), (["d"], "x")
    )


def test_argument_errors():
    p = QuillfenPatch()
    for args, kwargs in [((1,), {}), ((b"a",), {}), (("a", 1), {}), (("a",), {"after": b"x"})]:
        with pytest.raises(TypeError):
            p.place(*args, **kwargs)
    assert not p
    p.set("_", 1)
    p.place("a")
    with pytest.raises(ValueError):  # the table would take the member of the "_" entry
        p.to_json_exact()
    assert len(p) == 2 and p.to_json() == {"_": 1, "a": {}}
    for table in [None, {}, [["a"]], [[["a"], None, 1]], [[[], None]], [["a", None]], [[["a", 1], None]], [[["a"], 1]],
                  [[["zz"], None]], [[["d"], None]], [[["s", "x"], None]], [[["a", "zz"], None]], [[["a", "x"], "b"]]]:
        with pytest.raises(ValueError):
            QuillfenPatch.from_json_exact({"a": {"x": DELETE}, "s": 1, "d": DELETE, "_": {"*": None, "placements": table}})


@pytest.mark.parametrize("table", [{"*": 1, "placements": []}, {"*": None, "placements": [], "x": 1}, {"placements": []}])
def test_a_member_that_is_no_table_reads_as_from_json_reads_it(table):
    assert QuillfenPatch.from_json_exact({"_": table}).to_json() == QuillfenPatch.from_json({"_": table}).to_json()


def test_a_long_loop_of_placements():
    # Each row after the next and the last after the first: the first entry's row stays, the rest
    # follow it in reverse, at a depth no recursion could take.
    serials = ["s%06d" % i for i in range(200_000 if helpers.FULL else 20_000)]
    patch = {s: ("nested", [], serials[i - 1]) for i, s in enumerate(serials)}
    expected = [{"_": s} for s in serials]
    document = expected[::-1]
    assert model.apply(patch, document) == (expected, None)
    assert QuillfenPatch.from_json_exact(model.write_exact(patch)).apply(document) == expected


# Random rows and patches: the module against the model, and against itself.

EXAMPLES = settings(max_examples=300 if helpers.FULL else 40, deadline=None)


@EXAMPLES
@given(placing_patches_and_documents() | patches_and_documents(placements=True))
def test_apply_matches_the_model(case):
    patch, document = case
    p = QuillfenPatch.from_json_exact(model.write_exact(patch))
    expected = modelled(patch, document)
    assert applied(p, document) == expected
    assert model.equal(p.to_json_exact(), model.write_exact(patch))
    assert p.to_json() == model.write(patch)
    if expected[0] == "ok":  # the JSON Patch makes the same change; the inverse undoes it, where one can
        assert exact(QuillfenPatch.apply_json_patch(document, p.to_json_patch(document))) == exact(expected[1])
        try:
            assert exact(p.inverse(document).apply(expected[1])) == exact(document)
        except ValueError as refused:
            assert any(reason in str(refused) for reason in ("cannot be put back", "to put it back after", "reached by two entries", "give its serial"))


@EXAMPLES
@given(PLACE_ROWS, RECORDING_CALLS)
def test_recorded_patches_match_the_model(document, calls):
    p, patch = recorded_placements(calls)
    assert applied(p, document) == modelled(patch, document)
    if model.write_exact_refusal(patch):
        with pytest.raises(ValueError):
            p.to_json_exact()
    else:
        assert model.equal(p.to_json_exact(), model.write_exact(patch))


@settings(max_examples=300 if helpers.FULL else 25, deadline=None)
@given(placing_patches_and_documents(), placing_patches_and_documents())
def test_merge_matches_the_model(minor, major):
    merged = model.merge(minor[0], major[0])
    p = QuillfenPatch.merge(*(QuillfenPatch.from_json_exact(model.write_exact(patch)) for patch, _ in (minor, major)))
    if model.write_exact_refusal(merged):
        with pytest.raises(ValueError):
            p.to_json_exact()
    else:
        assert model.equal(p.to_json_exact(), model.write_exact(merged))
    assert applied(p, minor[1]) == modelled(merged, minor[1])


# diff places what moved or came in the middle: every route gives new back, and the undo old.

@settings(max_examples=200 if helpers.FULL else 60, deadline=None)
@given(reordered_versions())
def test_diff_with_placements_turns_old_into_new_every_way(versions):
    old, new = versions
    p = QuillfenPatch.diff(old, new)
    wire = p.to_json_exact()
    # As diff compares: kinds apart, 0.0 and -0.0 alike.
    assert model.equal(p.apply(old), new) and model.equal(QuillfenPatch.from_json_exact(wire).apply(old), new)
    assert applied(p, old) == ("ok", p.apply(old))
    assert model.equal(QuillfenPatch.apply_json_patch(old, p.to_json_patch(old)), new)
    undo = p.inverse(old)
    assert model.equal(QuillfenPatch.from_json_exact(undo.to_json_exact()).apply(p.apply(old)), old)


def test_diff_and_apply_give_the_same_in_every_process():
    script = (
        "import json, random\nfrom quillfen_patch import QuillfenPatch as Q\n"
        "r = random.Random(5); old = [{'_': 's%d' % i, 'v': i} for i in range(300)]\nnew = old[:]\n"
        "for _ in range(40): new.insert(r.randrange(300), new.pop(r.randrange(300)))\n"
        "new[7:7] = [{'_': 'n%d' % i} for i in range(5)]\np = Q.diff(old, new)\n"
        "print(json.dumps([p.to_json_exact(), p.to_json_patch(old), p.inverse(old).to_json_exact()], sort_keys=True))\n"
    )
    outputs = {subprocess.run([sys.executable, "-c", script], env={**os.environ, "PYTHONHASHSEED": seed}, capture_output=True,
                              text=True, check=True).stdout for seed in ("1", "2", "random")}
    assert len(outputs) == 1
