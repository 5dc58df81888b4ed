"""The state holder KeldraVar and the tree search find."""
import gc
import json
import pickle

import pytest

import keldra_var
from keldra_var import KeldraVar, Node, find
from sqlparse_main import parse

from conftest import run_python


# --- KeldraVar -----------------------------------------------------------------

def test_fields_are_items_and_attributes():
    sqls = []
    var = KeldraVar(sqls=sqls)
    assert isinstance(var, dict)
    assert var.sqls is sqls and var["sqls"] is sqls
    var.result = {}
    assert type(var.result) is KeldraVar and var.result == {}
    var.result.add(**{"*": {"value": "*", "name": "*"}})
    record = var.result.get("*")
    assert type(record) is KeldraVar and record.value == "*"
    # The stored object is live: writes through it stay in the map.
    record.table = "db.t"
    assert var.result["*"]["table"] == "db.t"
    assert var.result.get("missing") is None
    assert list(var.items())[0][0] == "sqls"


def test_conversion_applies_to_plain_dicts_only():
    node = Node(a=1)
    inner = KeldraVar(x=1)
    lst = [{"a": 1}]
    var = KeldraVar(node=node, inner=inner, lst=lst, text="t", none=None, nested={"deep": {"x": 1}})
    assert var.node is node and var.inner is inner and var.lst is lst
    assert type(var.lst[0]) is dict  # lists are stored as they are
    assert type(var.nested.deep) is KeldraVar and var.nested.deep.x == 1
    var.add(later={"y": 2})
    assert var.later.y == 2


def test_methods_win_over_fields_and_missing_fields_raise():
    var = KeldraVar(items="field", get="field", value="v")
    assert callable(var.items) and callable(var.get)
    assert var["items"] == "field"
    assert var.value == "v"
    with pytest.raises(AttributeError, match="'nope'"):
        var.nope
    del var.value
    assert "value" not in var
    with pytest.raises(AttributeError, match="'value'"):
        del var.value


def test_json_encodes_fields_even_when_named_like_methods():
    var = KeldraVar(items=1, keys=[1, 2], sub={"get": None})
    assert json.loads(json.dumps(var)) == {"items": 1, "keys": [1, 2], "sub": {"get": None}}


def test_truth_construction_and_errors():
    assert not KeldraVar() and KeldraVar(a=None)
    assert KeldraVar({"a": {"b": 1}}).a.b == 1
    assert KeldraVar([("a", 1)]).a == 1
    with pytest.raises(TypeError):
        KeldraVar({}, {})
    with pytest.raises(TypeError):
        KeldraVar().add(1)
    cyclic = {}
    cyclic["self"] = cyclic
    with pytest.raises(RecursionError):
        KeldraVar(c=cyclic)


def test_pickle_and_subclass():
    var = KeldraVar(database="db", table="t", src="a", tgt="b")
    back = pickle.loads(pickle.dumps(var))
    assert type(back) is KeldraVar and back == var and back.tgt == "b"

    class Record(KeldraVar):
        @property
        def qualified(self):
            return f"{self.database}.{self.table}"

    rec = Record(database="db", table="t")
    assert rec.qualified == "db.t"
    rec.src = {"x": 1}
    assert rec.src.x == 1


# --- find ------------------------------------------------------------------------

def paths(matches):
    return [str(m.full_path) for m in matches]


def test_find_on_real_parser_trees():
    tree = Node(json.loads(json.dumps(parse(
        "SELECT o.id, c.name AS n FROM sales.orders o JOIN crm.customers c ON o.cid = c.id")),
        object_pairs_hook=Node))
    items = tree.find("$.select..value")
    assert [m.value for m in items] == ["o.id", "c.name"]
    assert paths(items) == ["select.[0].value", "select.[1].value"]
    names = tree.find("$..from..name")
    assert [(m.value, str(m.full_path)) for m in names] == [
        ("o", "from.[0].name"), ("c", "from.[1].join.name")]
    # A path text leads back to its match; with the last key replaced, to the sibling.
    assert tree.find("$.from.[1].join.value", 1) == "crm.customers"
    assert tree.find("$." + paths(items)[1][: -len("value")] + "name", 1) == "n"


def test_select_as_single_mapping_and_values_unconverted():
    tree = Node(json.loads(json.dumps(parse("SELECT count(a) AS n FROM t")), object_pairs_hook=Node))
    matches = tree.find("$.select..value")
    assert paths(matches) == ["select.value"]
    assert matches[0].value == {"count": "a"}
    assert tree.find("$.select.value", 1) is matches[0].value


def test_document_order_and_each_position_once():
    sub = {"value": {"select": {"value": "a"}, "from": {"value": "db.t", "name": "t"}}, "name": "s"}
    tree = Node(select={"value": "s.a"}, **{"from": [sub, {"join": {"value": "u", "name": "u"}}]})
    names = tree.find("$..from..name")
    # The inner alias is below two `from` keys but matched once, in pre-order.
    assert paths(names) == ["from.[0].value.from.name", "from.[0].name", "from.[1].join.name"]
    assert [m.value for m in names] == ["t", "s", "u"]


def test_steps_and_lists():
    tree = Node(a=[{"b": 1}, [{"b": 2}]], b=3)
    assert [m.value for m in tree.find("$..b")] == [1, 2, 3]
    assert tree.find("$.a.b") == []  # a direct key does not enter a list
    assert tree.find("$.a.[1].[0].b", 1) == 2
    assert paths(tree.find("$.a.[1]")) == ["a.[1]"]
    assert tree.find("$.a.[7]", 1) is None
    assert find([{"x": 1}], "$.[0].x", 1) == 1  # the function form takes any tree


@pytest.mark.parametrize("path", ["", "a", "$.", "$..", "$.a.", "$a", "$.a..", "x.$"])
def test_malformed_paths_find_nothing(path):
    tree = Node(a={"b": 1})
    assert tree.find(path) == []
    assert tree.find(path, 1) is None


def test_dollar_keys_and_non_str_paths():
    tree = Node({"$": {"xfrom": "t"}, "xfrom": "u"})
    assert tree.find("$.$.xfrom", 1) == "t"
    # Keys that are no str are never matched by name, but paths show them.
    odd = KeldraVar({1: {"é": [{"a": 2}]}, (2, 3): {"a": 3}})
    assert paths(odd.find("$..a")) == ["1.é.[0].a", "(2, 3).a"]
    with pytest.raises(TypeError):
        tree.find(b"$.a")
    with pytest.raises(TypeError):
        tree.find(None, 1)


def test_cycles_and_depth_do_not_hurt():
    var = KeldraVar(name="top")
    var.add(child=var, other=[var])
    assert [m.value for m in var.find("$..name")] == ["top"]
    # Depth costs heap, not C stack, in the search and in deallocation.
    deep = Node(name="bottom")
    for _ in range(100_000):
        deep = Node(x=[deep])
    found = deep.find("$..name")
    assert [m.value for m in found] == ["bottom"]
    assert str(found[0].full_path).startswith("x.[0].x.[0].")
    del deep, found
    gc.collect()


def test_match_type():
    m = keldra_var.Match("v", "a.b")
    assert (m.value, m.full_path) == ("v", "a.b")
    assert "a.b" in repr(m)
    with pytest.raises(AttributeError):
        m.value = 1


# --- matches whose keys run code ------------------------------------------------

def test_repr_of_a_match_whose_key_cannot_be_written_raises():
    # A key whose __str__ raises, and a key whose text runs out of memory:
    # repr() raises the error; the process goes on.
    code = """
import keldra_var

class Bad:
    def __init__(self, error):
        self.error = error
    def __str__(self):
        raise self.error
    def __hash__(self):
        return 1

for error in (ValueError("no text"), MemoryError()):
    m, = keldra_var.find({Bad(error): {"x": 1}}, "$..x")
    for show in (repr, lambda m: m.full_path):
        try:
            show(m)
        except type(error):
            pass
        else:
            raise SystemExit("no error")
print("alive")
"""
    done = run_python(code)
    assert done.returncode == 0, done.stderr
    assert done.stdout == "alive\n"


def test_full_path_read_again_by_a_key_of_its_own_path():
    # The key's __str__ reads the same match's full_path while the path text is
    # being built: the chain stays alive, both reads agree, and the text built
    # inside is the one kept (none is leaked).  The debug allocator makes a
    # read of freed memory fail at once.
    code = """
import sys, tracemalloc
import keldra_var

class Key:
    match = None
    def __hash__(self):
        return 7
    def __str__(self):
        m, Key.match = Key.match, None
        if m is not None:
            Key.inner = m.full_path
        return "key"

def once():
    k = Key()
    found = keldra_var.find({"a": [{k: {"b": 1}}]}, "$..b")
    Key.match = found[0]
    outer = found[0].full_path
    assert outer == Key.inner == "a.[0].key.b", (outer, Key.inner)
    assert outer is Key.inner

for _ in range(200):
    once()
tracemalloc.start()
before = tracemalloc.get_traced_memory()[0]
for _ in range(5000):
    once()
after = tracemalloc.get_traced_memory()[0]
assert after - before < 16 * 1024, after - before
print("ok")
"""
    done = run_python(code, env={"PYTHONMALLOC": "debug"})
    assert done.returncode == 0, done.stderr
    assert done.stdout == "ok\n"
