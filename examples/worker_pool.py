"""Apply one patch to many documents on a pool of worker processes.

A patch cannot be pickled, so it travels to each worker as plain data, its lossless document form
to_json_exact(), and each worker reads it back once with from_json_exact. The functions the pool runs are
defined at module level and the work starts under the __main__ guard, so this runs with any start
method (fork, forkserver, spawn).
"""

from concurrent.futures import ProcessPoolExecutor
from typing import Any, Dict, Optional

from quillfen_patch import QuillfenPatch

worker_patch: Optional[QuillfenPatch] = None  # each worker process's own copy


def load_patch(wire: Dict[str, Any]) -> None:
    global worker_patch
    worker_patch = QuillfenPatch.from_json_exact(wire)  # once per worker, not once per document


def apply_patch(document: Dict[str, Any]) -> Dict[str, Any]:
    assert worker_patch is not None
    return worker_patch.apply(document)


def main() -> None:
    patch = QuillfenPatch()
    patch.set("status", {"state": "archived"})  # a dict: to_json() would send it as a change inside
    patch.delete("draft")
    wire = patch.to_json_exact()  # {'draft': {'*': None}, 'status': {'*': {'state': 'archived'}}}

    documents = [{"id": n, "draft": True, "status": {"state": "open", "since": n}} for n in range(1000)]
    with ProcessPoolExecutor(max_workers=2, initializer=load_patch, initargs=(wire,)) as pool:
        results = list(pool.map(apply_patch, documents, chunksize=250))

    assert results == [patch.apply(document) for document in documents]  # as if applied here
    assert results[7] == {"id": 7, "status": {"state": "archived"}}
    print(f"patched {len(results)} documents on 2 processes, such as {results[7]}")


if __name__ == "__main__":  # the worker processes may import this file and must not run main()
    main()
