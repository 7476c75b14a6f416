"""Record a few changes, apply them to a document, and send the patch around as plain data."""

from quillfen_patch import QuillfenPatch

patch = QuillfenPatch()
patch.set("title", "Second draft")
patch.delete("obsolete")
print("entries recorded:", len(patch))

document = {"title": "First draft", "obsolete": True, "tags": ["a", "b"]}
print("patched:", patch.apply(document))
print("unchanged original:", document)

# Array elements can be addressed by serial: the string in an element's "_" member.
rows = [{"_": "r1", "v": 1}, {"_": "r2", "v": 2}]
row_patch = QuillfenPatch()
row_patch.set("r2", {"v": 20})
row_patch.set("r3", {"v": 30})  # no element carries r3: appended, stamped with its serial
print("rows:", row_patch.apply(rows))

# The document form travels as plain data and reads back into an equal patch.
wire = patch.to_json()
print("document form:", wire)
again = QuillfenPatch.from_json(wire)

# Merging: the second patch prevails where both record a change.
later = QuillfenPatch()
later.set("title", "Final draft")
merged = QuillfenPatch.merge(again, later)
print("merged:", merged.to_json())
print("merged, applied:", merged.apply(document))
