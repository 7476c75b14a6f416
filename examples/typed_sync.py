"""Keep a task board in step between two copies, with type annotations throughout.

The tests run this script and check it with `mypy --strict`: the stubs must accept plain dicts and
lists, TypedDicts and JSON that came off the wire, and `apply` must give back the type it was given.
"""

import json
from typing import Any, Dict, List, TypedDict

from quillfen_patch import QuillfenPatch


class Task(TypedDict):
    _: str  # the serial: patches find the task by it wherever it stands in the list
    title: str
    done: bool


def board() -> List[Task]:
    return [
        {"_": "t1", "title": "Write the plan", "done": True},
        {"_": "t2", "title": "Review the plan", "done": False},
    ]


def changes(finished: List[str], added: Dict[str, str]) -> Dict[str, Any]:
    """The document form of a patch that ticks off `finished` and appends `added` (serial -> title)."""
    document: Dict[str, Any] = {serial: {"done": True} for serial in finished}  # a change inside the task
    for serial, title in added.items():
        task: Task = {"_": serial, "title": title, "done": False}
        document[serial] = {"*": task}  # a whole value; no task carries the serial yet, so it is appended
    return document


def receive(wire: str) -> QuillfenPatch:
    received: Any = json.loads(wire)
    return QuillfenPatch.from_json(received)


def main() -> None:
    local = board()
    remote: List[Dict[str, Any]] = [dict(task) for task in board()]

    # The document form is what travels: plain JSON.
    patch = receive(json.dumps(changes(["t2"], {"t3": "Ship it"})))
    reopened: Task = {"_": "t1", "title": "Write the plan again", "done": False}
    patch.set("t1", reopened)  # replaces the task that carries the serial t1
    patch.apply_inplace(local)  # changes `local` itself
    remote = patch.apply(remote)  # a new list
    assert remote == local, (remote, local)

    theme: Dict[str, str] = {"theme": "sepia"}
    mine, theirs = QuillfenPatch.from_json({"settings": {"theme": "dark"}, "draft": {"*": None}}), QuillfenPatch()
    theirs.set("settings", theme)  # a whole new value: it replaces the settings, font and all
    state: Dict[str, Any] = {"settings": {"theme": "light", "font": "serif"}, "draft": "..."}
    state = QuillfenPatch.merge(mine, theirs).apply(state)  # theirs prevails at "settings"
    assert state == {"settings": {"theme": "sepia"}}, state

    titles: List[str] = [task["title"] for task in local]
    print("tasks:", ", ".join(titles))
    print("settings:", state["settings"])


if __name__ == "__main__":
    main()
