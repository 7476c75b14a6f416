"""Deep documents for tests, built and taken apart without recursion (== on them would recurse)."""


def nest(depth, leaf):
    """A chain of `depth` dicts, each the only member "k" of the one above, ending in `leaf`."""
    document = leaf
    for _ in range(depth):
        document = {"k": document}
    return document


def unnest(document):
    """The depth and the leaf of a chain made by `nest`."""
    depth = 0
    while isinstance(document, dict) and list(document) == ["k"]:
        document = document["k"]
        depth += 1
    return depth, document
