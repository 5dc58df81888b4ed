"""The tree normalisation agrees with the JSON round trip it stands for."""
import enum
import json
import math
import types

import pytest
from hypothesis import given, settings, strategies as st

import sqlparse_main
from keldra_var import KeldraVar, Node
from sqlparse_main import Analyze


def through_json(tree, monkeypatch):
    """_check_union with the module's json replaced, which takes the JSON text road."""
    monkeypatch.setattr(sqlparse_main, "json", types.SimpleNamespace(dumps=json.dumps, loads=json.loads))
    try:
        return normalised(tree)
    finally:
        monkeypatch.undo()


def normalised(tree):
    analyzer = Analyze(tree)
    analyzer._check_union(0)
    return analyzer.tree


def same(a, b):
    """Equal values of equal types all the way down (NaN equal to NaN)."""
    if type(a) is not type(b):
        return False
    if isinstance(a, float) and math.isnan(a):
        return math.isnan(b)
    if isinstance(a, dict):
        return list(a) == list(b) and all(same(a[k], b[k]) for k in a)
    if isinstance(a, list):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    return a == b


def outcome(fn, tree):
    try:
        return fn(tree)
    except Exception as e:  # compare the failure itself
        return (type(e), str(e))


class Color(enum.IntEnum):
    RED = 1


class Text(str):
    pass


class Items(dict):
    def items(self):
        return [("overridden key", 1)]


scalars = st.one_of(
    st.none(), st.booleans(), st.integers(), st.floats(allow_nan=True, allow_infinity=True),
    st.text(st.sampled_from("ab _\u00e9\ud800\"\\\n")), st.sampled_from([Color.RED, Text("x y"), 10 ** 30]))
keys = st.one_of(st.text(st.sampled_from("ab _"), max_size=4), st.integers(-3, 3), st.booleans(),
                 st.none(), st.floats(allow_nan=True), st.just((1, 2)))
trees = st.recursive(
    scalars,
    lambda inner: st.one_of(
        st.lists(inner, max_size=4),
        st.lists(inner, max_size=3).map(tuple),
        st.dictionaries(keys, inner, max_size=4),
        st.dictionaries(st.text("ab ", max_size=3), inner, max_size=3).map(Node),
        st.dictionaries(st.text("ab ", max_size=3), inner, max_size=3).map(lambda d: KeldraVar(**d)),
        st.sampled_from([Items(), Items(k=1)]),
        st.sets(st.integers(), max_size=1),
    ),
    max_leaves=20)


@settings(max_examples=800, deadline=None)
@given(trees)
def test_agrees_with_the_json_round_trip(tree):
    mp = pytest.MonkeyPatch()
    native = outcome(normalised, {"select": tree})
    text = outcome(lambda t: through_json(t, mp), {"select": tree})
    if isinstance(text, tuple):
        assert native == text
    else:
        assert same(native, text), (native, text)


def test_real_parser_trees_and_failures(monkeypatch):
    from sqlparse_main import parse
    for sql in ["SELECT a AS \"x y\" FROM db.t WHERE b = 'p q' UNION ALL SELECT c FROM u LIMIT 3",
                "SELECT s.* FROM (SELECT a, 1.5 AS f, NULL AS n, TRUE AS b FROM t) s"]:
        tree = parse(sql)
        assert same(normalised(tree), through_json(tree, monkeypatch))
    cyclic = []
    cyclic.append(cyclic)
    with pytest.raises(ValueError, match="Circular reference detected"):
        normalised({"select": cyclic})
    with pytest.raises(TypeError, match="Object of type set is not JSON serializable"):
        normalised({"select": {1}})
    with pytest.raises(TypeError, match="keys must be str, int, float, bool or None, not tuple"):
        normalised({(1,): 1})
    deep = []
    for _ in range(100_000):
        deep = [deep]
    with pytest.raises(RecursionError):
        normalised({"select": deep})
