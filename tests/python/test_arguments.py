"""Argument matching and typed arguments: every error text byte for byte, and which failure comes first."""

import pytest

from quillfen_patch import QuillfenPatch


def kw(*parts):
    """A keyword name built at run time, so it is not the interned literal."""
    return "".join(parts)


P = QuillfenPatch()
CANNOT = "' object cannot be converted to 'QuillfenPatch'"

# (callable, positional arguments, keyword arguments, expected TypeError text)
TEXTS = [
    (QuillfenPatch, (1,), {}, "QuillfenPatch.__new__() takes 0 positional arguments but 1 was given"),
    (QuillfenPatch, (), {"x": 1}, "QuillfenPatch.__new__() got an unexpected keyword argument 'x'"),
    (QuillfenPatch, (1,), {"x": 1}, "QuillfenPatch.__new__() takes 0 positional arguments but 1 was given"),
    (QuillfenPatch, (), {1: 2}, "QuillfenPatch.__new__() got an unexpected keyword argument '1'"),  # reaches us unchecked
    (P.set, (), {}, "QuillfenPatch.set() missing 2 required positional arguments: 'key' and 'value'"),
    (P.set, ("k",), {}, "QuillfenPatch.set() missing 1 required positional argument: 'value'"),
    (P.set, (), {"value": 1}, "QuillfenPatch.set() missing 1 required positional argument: 'key'"),
    (P.set, ("k", 1, 2), {}, "QuillfenPatch.set() takes 2 positional arguments but 3 were given"),
    (P.set, ("k", 1, 2), {"bogus": 1}, "QuillfenPatch.set() takes 2 positional arguments but 3 were given"),
    (P.set, ("k",), {"key": "k"}, "QuillfenPatch.set() got multiple values for argument 'key'"),
    (P.set, (), {"\u00e9": 1}, "QuillfenPatch.set() got an unexpected keyword argument '\u00e9'"),
    # keywords are checked in the order given, before anything is reported missing
    (P.set, ("k",), {"bogus": 1, "key": "j"}, "QuillfenPatch.set() got an unexpected keyword argument 'bogus'"),
    (P.set, ("k",), {"key": "j", "bogus": 1}, "QuillfenPatch.set() got multiple values for argument 'key'"),
    (P.delete, (), {}, "QuillfenPatch.delete() missing 1 required positional argument: 'key'"),
    (P.delete, ("a", "b"), {}, "QuillfenPatch.delete() takes 1 positional arguments but 2 were given"),
    (P.apply, (), {}, "QuillfenPatch.apply() missing 1 required positional argument: 'data'"),
    (P.apply_inplace, (), {}, "QuillfenPatch.apply_inplace() missing 1 required positional argument: 'data'"),
    (QuillfenPatch.from_json, (), {}, "QuillfenPatch.from_json() missing 1 required positional argument: 'data'"),
    (QuillfenPatch.merge, (), {}, "QuillfenPatch.merge() missing 2 required positional arguments: 'minor' and 'major'"),
    (P.merge, (P, P, P), {}, "QuillfenPatch.merge() takes 2 positional arguments but 3 were given"),
    (QuillfenPatch.merge, (P, {}), {}, "argument 'major': 'dict" + CANNOT),
    (QuillfenPatch.merge, (1, "x"), {}, "argument 'minor': 'int" + CANNOT),  # both wrong: minor is named
]


@pytest.mark.parametrize("func, args, kwargs, text", TEXTS, ids=[t[3] for t in TEXTS])
def test_error_texts(func, args, kwargs, text):
    with pytest.raises(TypeError) as info:
        func(*args, **kwargs)
    assert type(info.value) is TypeError
    assert str(info.value) == text


def test_keywords_built_at_run_time_match_like_literals():
    by_position, by_keyword, mixed = QuillfenPatch(), QuillfenPatch(), QuillfenPatch()
    by_position.set("k", [1])
    by_keyword.set(**{kw("ke", "y"): "k", kw("va", "lue"): [1]})
    mixed.set("k", **{kw("val", "ue"): [1]})
    by_position.delete("d")
    by_keyword.delete(**{kw("k", "ey"): "d"})
    mixed.delete(key="d")
    assert by_position.to_json() == by_keyword.to_json() == mixed.to_json() == {"d": {"*": None}, "k": [1]}


class Outer:
    class Inner:
        pass


class NamelessMeta(type):
    def __getattribute__(cls, name):
        if name == "__qualname__":
            raise AttributeError(name)
        return super().__getattribute__(name)


class NumberNamedMeta(type):
    def __getattribute__(cls, name):
        return 5 if name == "__qualname__" else super().__getattribute__(name)


@pytest.mark.parametrize(
    "key, type_name",
    [
        (1, "int"),
        (Outer.Inner(), "Outer.Inner"),
        (NamelessMeta("Nameless", (), {})(), "<failed to extract type name>"),
        (NumberNamedMeta("NumberNamed", (), {})(), "<failed to extract type name>"),
    ],
)
@pytest.mark.parametrize("method", ["set", "delete"])
def test_key_of_the_wrong_type_changes_nothing(method, key, type_name):
    p = QuillfenPatch()
    p.set("k", 1)
    with pytest.raises(TypeError) as info:
        getattr(p, method)(key, 2) if method == "set" else p.delete(key)
    assert type(info.value) is TypeError
    assert str(info.value) == f"argument 'key': '{type_name}' object cannot be converted to 'PyString'"
    assert p.to_json() == {"k": 1}  # unchanged, and the access was given back


@pytest.mark.parametrize("method", ["set", "delete"])
def test_key_with_lone_surrogate_raises_the_encoding_error_unprefixed(method):
    p = QuillfenPatch()
    p.set("k", 1)
    with pytest.raises(UnicodeEncodeError) as info:
        getattr(p, method)("a\udfffb", 1) if method == "set" else p.delete("a\udfffb")
    assert "argument" not in str(info.value)
    assert p.to_json() == {"k": 1}


def test_matching_comes_before_access_and_access_before_the_key():
    p = QuillfenPatch()
    seen = []

    class Hook:
        def __index__(self):
            for call in (lambda: p.set("only a key"), lambda: p.set(1, 2)):
                try:
                    call()
                except (TypeError, RuntimeError) as error:
                    seen.append((type(error), str(error)))
            return 0

    p.set("k", Hook())
    assert seen == [
        (TypeError, "QuillfenPatch.set() missing 1 required positional argument: 'value'"),
        (RuntimeError, "Already borrowed"),
    ]
