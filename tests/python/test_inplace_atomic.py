"""A failed in-place call leaves the caller's data exactly as it was (values, key order, container
identities), whatever it had done before failing: long lists mostly emptied, then grown, with a failure
forced after every step, through each of apply_inplace, apply_touched and the formats in place."""

import pickle

import pytest
from hypothesis import Phase, given, settings
from hypothesis import strategies as st

import helpers
from helpers import DELETE
from quillfen_patch import QuillfenPatch
from strategies import long_array_edits
from test_json_patch import A, M, R, T, snapshot

apply_json_patch = QuillfenPatch.apply_json_patch
# No shrinking: every example costs one call per step, and a failure names its step already.
EXAMPLES = settings(max_examples=50 if helpers.FULL else 10, deadline=None, phases=set(Phase) - {Phase.shrink})


def placed(rows, nested, extra):
    """The document holding `rows` at the root or under "rows", and the pointer to them."""
    return ({"rows": rows, **extra}, "/rows") if nested else (rows, "")


def check_each_failure(document, calls, error):
    """Each call must raise `error` and leave its own fresh copy of `document` exactly as it was. A copy
    each: a list that a rollback has shrunk and grown back has room to spare, which hides faults."""
    for k, call in enumerate(calls):
        data = pickle.loads(pickle.dumps(document))  # a deep copy, five times as fast as copy.deepcopy
        state = snapshot(data)
        with pytest.raises(error):
            call(data)
        assert snapshot(data) == state, f"failing after step {k}"


@EXAMPLES
@given(long_array_edits(), st.booleans())
def test_json_patch_failing_after_any_step(edit, nested):
    rows, kept, front_first, inserted = edit
    data, at = placed(rows, nested, {"keep": {"a": [1]}})
    order = range(len(rows)) if front_first else reversed(range(len(rows)))
    ops = [R(f"{at}/{sum(j < i for j in kept) if front_first else i}") for i in order if i not in kept]
    ops += [A(f"{at}/{min(p, len(kept) + n)}", {"_": f"n{n}"}) for n, p in enumerate(inserted)]
    ops += [A(f"{at}/-", {"_": "end"}), M(f"{at}/0", f"{at}/-"), A(f"{at}/0/v", 1)]
    failures = [T("", None), R(f"{at}/01"), R(f"{at}/999999")]  # a failed test, a malformed index, no such element
    calls = [lambda data, k=k: apply_json_patch(data, ops[:k] + [failures[k % 3]], True) for k in range(len(ops) + 1)]
    check_each_failure(data, calls, (RuntimeError, ValueError))
    expected = apply_json_patch(data, ops)
    apply_json_patch(data, ops, in_place=True)
    assert data == expected


@pytest.mark.parametrize("method", ["apply_inplace", "apply_touched"])
@EXAMPLES
@given(edit=long_array_edits(), nested=st.booleans())
def test_patch_failing_after_any_entry(method, edit, nested):
    rows, kept, _, inserted = edit
    entries = [(row["_"], {"v": "changed"} if i in kept else DELETE) for i, row in enumerate(rows)]
    # Sets at serials no element carries append; "r007+1" goes between the deletions of "r007" and "r008".
    entries = sorted(entries + [("r%03d+%d" % (p, n), {"*": {"v": p}}) for n, p in enumerate(inserted)])
    data, _ = placed(rows, nested, {"zz": [{"_": "a"}]})
    # A change at a serial that no element carries fails; the top level goes in byte order of its keys,
    # the level below in the order read.
    failing = {"zz": {"missing": {"v": 1}}} if nested else {"zz": {"v": 1}}
    document = lambda k: {"rows": dict(entries[:k]), **failing} if nested else {**dict(entries[:k]), **failing}  # noqa: E731
    calls = [lambda data, k=k: getattr(QuillfenPatch.from_json(document(k)), method)(data) for k in range(len(entries) + 1)]
    check_each_failure(data, calls, RuntimeError)
    whole = QuillfenPatch.from_json({"rows": dict(entries)} if nested else dict(entries))
    expected = whole.apply(data)
    getattr(whole, method)(data)
    assert data == expected


@EXAMPLES
@given(long_array_edits(), st.booleans())
def test_merge_patch_failing_after_the_list_is_replaced(edit, deeper):
    rows, kept, _, inserted = edit
    new_rows = [{**row, "v": "changed"} for i, row in enumerate(rows) if i in kept]
    for n, p in enumerate(inserted):
        new_rows.insert(min(p, len(new_rows)), {"_": f"n{n}"})
    # Members go in byte order: "zz" after "rows", and merging into an object() fails with TypeError.
    data, merge = {"rows": rows, "zz": object()}, {"rows": new_rows + [{"_": "end"}], "zz": {"x": 1}}
    if deeper:
        data, merge = {"doc": data}, {"doc": merge}
    check_each_failure(data, [lambda data: QuillfenPatch.apply_merge_patch(data, merge, True)], TypeError)


SERIAL_PATCH = {"rows": {**{"r%02d" % i: DELETE for i in range(15)}, "zz": {"*": {"v": 1}}}, "s": {"missing": {"v": 2}}}
SERIAL_ROWS = {"rows": [{"_": "r%02d" % i} for i in range(20)], "s": [{"_": "a"}]}
REGRESSIONS = [
    pytest.param({"rows": list(range(20))}, lambda data: apply_json_patch(data, [R("/rows/0")] * 15 + [A("/rows/-", "x"), R("/nowhere")], True),
                 id="json-patch-removals-then-append"),
    pytest.param(SERIAL_ROWS, lambda data: QuillfenPatch.from_json(SERIAL_PATCH).apply_touched(data), id="apply-touched-deletions-by-serial"),
    pytest.param(SERIAL_ROWS, lambda data: QuillfenPatch.from_json(SERIAL_PATCH).apply_inplace(data), id="apply-inplace-deletions-by-serial"),
    pytest.param(list(range(20)), lambda data: apply_json_patch(data, [{"op": "replace", "path": "", "value": [1, 2, 3, 4, 5]}, R("/9")], True),
                 id="json-patch-root-replaced-by-a-shorter-list"),
    pytest.param([[7], 1, 2, 3, 4], lambda data: apply_json_patch(data, [M("/0", ""), T("", 0)], True),
                 id="json-patch-root-replaced-by-a-move"),
]


@pytest.mark.parametrize("document, call", REGRESSIONS)
def test_failed_in_place_call_loses_no_elements(document, call):
    check_each_failure(document, [call], RuntimeError)
