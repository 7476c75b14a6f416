"""Under a memory cap every call completes or raises MemoryError, changes nothing when it fails, and the
interpreter goes on. Each case runs in a child process that caps its own address space at its current
size plus some headroom, call after call, on the main thread or on a thread of its own."""

import os
import subprocess
import sys
import textwrap

import pytest

CHILD = textwrap.dedent(
    """
    import gc, resource, sys, threading
    from quillfen_patch import QuillfenPatch

    gc.disable()  # a million containers would otherwise keep the collector busy for seconds

    method, where, headrooms = sys.argv[1], sys.argv[2], [int(h) for h in sys.argv[3:]]
    N = 400_000

    def rows():
        return [[i, [i]] for i in range(N)]

    def address_space():
        with open("/proc/self/statm") as f:
            return int(f.read().split()[0]) * resource.getpagesize()

    one = QuillfenPatch()
    one.set("k", 1)
    data = rows()
    big = QuillfenPatch.from_json({"k": data}) if method in ("to_json", "merge") else None
    first = QuillfenPatch.from_json({"[0]": [0, [0]]})  # leaves `data` equal, with a new first row

    def case():
        # (the call, a check that what the call may change is as it was)
        if method == "apply":
            return lambda: one.apply(data), lambda: True
        if method == "apply_inplace":
            items = list(data)
            return lambda: first.apply_inplace(data), lambda: all(a is b for a, b in zip(data, items)) and len(data) == N
        if method in ("set", "delete"):
            fresh = QuillfenPatch()
            fresh.set("x", 1)
            call = (lambda: fresh.set("k", data)) if method == "set" else (lambda: fresh.delete("k"))
            return call, lambda: fresh.to_json() == {"x": 1}
        if method == "from_json":
            return lambda: QuillfenPatch.from_json({"k": data}), lambda: True
        if method == "to_json":
            return big.to_json, lambda: len(big) == 1
        return lambda: QuillfenPatch.merge(big, big), lambda: len(big) == 1

    def rounds():
        soft, hard = resource.getrlimit(resource.RLIMIT_AS)
        for headroom in headrooms:
            call, unchanged = case()
            resource.setrlimit(resource.RLIMIT_AS, (address_space() + headroom * 2**20, hard))
            try:
                call()
                outcome = "ok"
            except MemoryError:
                outcome = "MemoryError"
            finally:
                resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
            if outcome == "MemoryError" and not unchanged():
                outcome = "changed"
            print(headroom, outcome, flush=True)
        assert data == rows() and one.apply([]) == [1]  # the interpreter and the module go on
        print("after ok", flush=True)

    if where == "thread":  # started before any cap, so only the call meets it
        worker = threading.Thread(target=rounds)
        worker.start()
        worker.join()
    else:
        rounds()
    """
)

DEFAULT_HEADROOMS = [8, 24, 40]  # each aborted the process before the fix
FULL_HEADROOMS = list(range(8, 129, 16))
METHODS = ["set", "delete", "apply", "apply_inplace", "from_json", "to_json", "merge"]


def run_capped(method, where, headrooms):
    out = subprocess.run(
        [sys.executable, "-c", CHILD, method, where, *map(str, headrooms)], capture_output=True, text=True, timeout=600
    )
    assert out.returncode == 0, f"exit {out.returncode}: {out.stdout[-300:]} {out.stderr[-1500:]}"
    outcomes = dict(line.split(" ", 1) for line in out.stdout.splitlines())
    assert outcomes.pop("after") == "ok"
    assert outcomes.keys() == {str(h) for h in headrooms}
    assert set(outcomes.values()) <= {"ok", "MemoryError"}, outcomes


pytestmark = pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", ""), reason="the sanitizer needs its address space")


@pytest.mark.parametrize("where", ["main", "thread"])
def test_apply_under_a_memory_cap_raises_memory_error_instead_of_ending_the_process(where):
    run_capped("apply", where, DEFAULT_HEADROOMS)


@pytest.mark.parametrize("where", ["main", "thread"])
@pytest.mark.parametrize("method", METHODS)
def test_every_method_under_memory_caps_completes_or_changes_nothing(method, where, request):
    if not request.config.getoption("full", default=False):
        pytest.skip("runs with --full")
    run_capped(method, where, FULL_HEADROOMS)
