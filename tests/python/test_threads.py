"""Eight threads share instances and documents and call every method for a few seconds (30 with
--full). Conversion hooks in the documents give the interpreter's lock away in mid-call, so calls on
one instance overlap: each is refused at once with the access errors, or completes with the result
it has alone; nothing crashes and no result is torn."""

import random
import threading
import time

from helpers import DELETE
from quillfen_patch import QuillfenPatch

REFUSALS = {"Already borrowed", "Already mutably borrowed"}


class Yields:
    """Converts as its number, letting other threads run meanwhile."""

    def __init__(self, n):
        self.n = n

    def __index__(self):
        time.sleep(0)
        return self.n


FIXED = {"s": {"v": 9}, "[2]": DELETE, "n": [1, "x"]}  # and "a" set to {"b": 2}: it fits objects and arrays alike


def document():
    return {"a": {"b": Yields(1), "gone": 0}, "rows": [{"_": "s", "v": Yields(3)}], "n": Yields(4)}


def rows():
    return [{"_": "s", "v": Yields(1)}, {"_": "t", "v": 2}, Yields(5)]


def worker(seed, stop, fixed, shared, expected, problems, refusals):
    rng = random.Random(seed)
    key = f"t{seed}"
    while not stop.is_set():
        p = rng.choice(shared)
        step = rng.randrange(9)
        try:
            if step == 0:
                p.set(key, {"n": Yields(rng.randrange(100))})
            elif step == 1:
                p.delete(key)
            elif step == 2:
                result = fixed.apply(document())
                if result != expected["object"]:
                    problems.append(("apply", result))
            elif step == 3:
                data = rows()
                fixed.apply_inplace(data)
                if data != expected["array"]:
                    problems.append(("apply_inplace", data))
            elif step == 4:
                if fixed.to_json() != expected["document"]:
                    problems.append(("to_json", fixed.to_json()))
            elif step == 5:
                merged = QuillfenPatch.merge(fixed, p).to_json()
                if any(k not in merged for k in [*FIXED, "a"]):
                    problems.append(("merge", merged))
            elif step == 6:
                for k, v in p.to_json().items():  # each entry is one that some thread recorded whole
                    if not (k == "base" and v == 0 or v == DELETE or isinstance(v, dict) and list(v) == ["n"] and 0 <= v["n"] < 100):
                        problems.append(("to_json", k, v))
            elif step == 7:
                p.apply(document())
                len(p), bool(p)
            else:
                data = {"x": rows()}
                QuillfenPatch.from_json({key: {"n": Yields(1)}, "x": DELETE}).apply_inplace(data)
                if data != {}:
                    problems.append(("apply_inplace", data))
        except RuntimeError as error:
            if str(error) not in REFUSALS:
                problems.append(("error", repr(error)))
            refusals.append(1)
        except BaseException as error:  # noqa: B036: anything else is a fault
            problems.append(("error", repr(error)))


def test_eight_threads_sharing_instances_get_whole_results_or_access_errors(request):
    seconds = 30 if request.config.getoption("full", default=False) else 2
    fixed = QuillfenPatch.from_json(FIXED)
    fixed.set("a", {"b": 2})
    shared = [QuillfenPatch.from_json({"base": 0}) for _ in range(2)]
    expected = {"object": fixed.apply(document()), "array": fixed.apply(rows()), "document": fixed.to_json()}
    stop = threading.Event()
    problems, refusals = [], []
    threads = [threading.Thread(target=worker, args=(n, stop, fixed, shared, expected, problems, refusals)) for n in range(8)]
    for t in threads:
        t.start()
    time.sleep(seconds)
    stop.set()
    for t in threads:
        t.join()
    assert problems == []
    assert refusals  # the calls did overlap
    for p in shared:  # every access was given back
        p.set("after", 1)
    assert fixed.to_json() == expected["document"]
