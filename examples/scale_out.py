"""Apply one patch to every document of a JSON-lines data set on worker processes, with Dask.

A patch cannot be pickled, so it travels to the workers as its lossless document form,
to_json_exact(), and each partition reads it back once with from_json_exact. Needs dask
(python -m pip install dask); without it the example says so and stops.
"""

import json
import pathlib
import sys
import tempfile

try:
    import dask
    import dask.bag
except ImportError:
    print("dask is not installed (python -m pip install dask): nothing to show")
    sys.exit(0)

from quillfen_patch import QuillfenPatch


def patch_partition(documents, wire):
    # Imported here, on the worker: Dask sends a function of the main script by value, with the
    # globals it uses, and the class itself does not pickle.
    from quillfen_patch import QuillfenPatch

    patch = QuillfenPatch.from_json_exact(wire)  # once per partition
    return [patch.apply(document) for document in documents]


def write_data_set(folder, files=4, per_file=250):
    for part in range(files):
        with open(folder / f"part-{part}.jsonl", "w") as out:
            for n in range(part * per_file, (part + 1) * per_file):
                out.write(json.dumps({"id": n, "draft": True, "status": {"state": "open", "since": n}}) + "\n")


def main():
    patch = QuillfenPatch()
    # A dict: to_json() would write it bare, and the workers would merge it into the old "status"
    # ({"state": "archived", "since": 7}) instead of replacing it.
    patch.set("status", {"state": "archived"})
    patch.delete("draft")
    wire = patch.to_json_exact()  # {'draft': {'*': None}, 'status': {'*': {'state': 'archived'}}}

    with tempfile.TemporaryDirectory() as tmp:
        source, target = pathlib.Path(tmp, "in"), pathlib.Path(tmp, "out")
        source.mkdir()
        write_data_set(source)

        documents = dask.bag.read_text(str(source / "*.jsonl")).map(json.loads)
        patched = documents.map_partitions(patch_partition, wire).map(json.dumps)
        with dask.config.set(scheduler="processes", num_workers=2):
            patched.to_textfiles(str(target / "*.jsonl"))

        originals = [json.loads(line) for path in sorted(source.glob("*.jsonl")) for line in path.open()]
        results = [json.loads(line) for path in sorted(target.glob("*.jsonl")) for line in path.open()]

    assert results == [patch.apply(document) for document in originals]  # as if applied here, one by one
    assert results[7] == {"id": 7, "status": {"state": "archived"}}
    print(f"patched {len(results)} documents, such as {results[7]}")


if __name__ == "__main__":  # the worker processes import this file and must not run main()
    main()
