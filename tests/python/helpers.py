"""Helpers of the Python tests: deep documents built and taken apart without recursion (== on them
would recurse), calls that may be refused for depth, run here or on a thread of their own, and the
README's python blocks."""

import pathlib
import re
import threading

SOURCE_ROOT = pathlib.Path(__file__).resolve().parents[2]  # the checkout the tests run from
FULL = False  # set from pytest's --full by conftest.py: the expensive cases at their full size
DELETE = {"*": None}  # the document form of a Delete
REFUSED = "Recursion depth limit exceeded"


def readme_blocks():
    """(section heading, first line number, code) of each python block of README.md, in order."""
    readme = (SOURCE_ROOT / "README.md").read_text()
    blocks = []
    for match in re.finditer(r"^```python\n(.*?)^```$", readme, re.M | re.S):
        headings = re.findall(r"^## (.+)$", readme[: match.start()], re.M)
        line = readme.count("\n", 0, match.start(1)) + 1
        blocks.append((headings[-1] if headings else "top", line, match.group(1)))
    return blocks


def extreme_depth():
    """Far past any depth that is accepted, and deep enough that a walk with no depth guard overruns
    the stack: a million levels with --full; by default a fifth of that, which still overruns an
    8 MiB stack at 42 bytes a level or more."""
    return 1_000_000 if FULL else 200_000


def nest(depth, leaf, in_list=False):
    """A chain of `depth` containers ending in `leaf`: dicts whose only member is "k", or lists of one item."""
    for _ in range(depth):
        leaf = [leaf] if in_list else {"k": leaf}
    return leaf


def unnest(document):
    """The depth and the leaf of a chain made by `nest`."""
    depth = 0
    while isinstance(document, list) and len(document) == 1 or isinstance(document, dict) and list(document) == ["k"]:
        document = document[0] if isinstance(document, list) else document["k"]
        depth += 1
    return depth, document


def refused_or(call):
    """What call() returns, or the text of the RecursionError that it raised."""
    try:
        return call()
    except RecursionError as error:
        return str(error)


def on_thread(body, stack_size=0):
    """What body() returns, run on a new thread with a stack of `stack_size` bytes (0: the default)."""
    result = []
    previous = threading.stack_size(stack_size)
    try:
        worker = threading.Thread(target=lambda: result.append(body()))
        worker.start()
        worker.join()
    finally:
        threading.stack_size(previous)
    return result[0]


def containers(value):
    """Every dict and list in `value`, itself included, in one walk without recursion."""
    found, pending = [], [value]
    while pending:
        value = pending.pop()
        if isinstance(value, (dict, list)):
            found.append(value)
            pending.extend(value.values() if isinstance(value, dict) else value)
    return found
