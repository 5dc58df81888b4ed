"""Lineage of queries over one source at a time: select list, FROM dispatch, unaliased sources."""
import sys

import pytest

import sqlparse_main
from keldra_var import Node
from sqlparse_main import Analyze, KeldraParseMain, parse

from conftest import lineage


@pytest.mark.parametrize("sql, expected", [
    ("SELECT a, b AS c FROM sales.orders", {("sales", "orders", "a", "a"), ("sales", "orders", "b", "c")}),
    ("SELECT a FROM orders", {(None, "orders", "a", "a")}),
    ("SELECT a AS b FROM db.tbl", {("db", "tbl", "a", "b")}),
    ("SELECT DISTINCT a FROM db.t", {("db", "t", "a", "a")}),
    ("SELECT DISTINCT a, b AS c FROM db.t", {("db", "t", "a", "a"), ("db", "t", "b", "c")}),
    # Literals and expressions are no columns; the columns beside them are.
    ("SELECT 1, a FROM t", {(None, "t", "a", "a")}),
    ("SELECT TRUE AS f, a FROM t", {(None, "t", "a", "a")}),
    ("SELECT NULL AS n, 'x' AS s, 2.5, a FROM t", {(None, "t", "a", "a")}),
    ("SELECT count(b) AS n, a FROM t", {(None, "t", "a", "a")}),
    # A single aliased table hands its alias to the unqualified column.
    ("SELECT a FROM db.tbl t", {("db", "tbl", "a", "a")}),
    ("SELECT a, b AS c FROM db.tbl AS t", {("db", "tbl", "a", "a"), ("db", "tbl", "b", "c")}),
    ("SELECT a", set()),
    ("SELECT 1", set()),
    ("SELECT a AS \"total amount\" FROM t", {(None, "t", "a", "total_amount")}),
    ("SELECT a FROM sales.dbo.orders", {("sales.dbo", "orders", "a", "a")}),
    ("SELECT a, * FROM t", {(None, "t", "a", "a"), (None, "t", "*", "*")}),
])
def test_single_source(sql, expected):
    assert lineage(sql) == expected


@pytest.mark.parametrize("sql, expected", [
    ("SELECT a FROM db.t UNION SELECT a FROM db.t", {("db", "t", "a", "a")}),
    ("SELECT a FROM db.t UNION ALL SELECT b AS a FROM db.u",
     {("db", "t", "a", "a"), ("db", "u", "b", "a")}),
    ("SELECT a FROM t UNION SELECT b FROM u UNION ALL SELECT c FROM v",
     {(None, "t", "a", "a"), (None, "u", "b", "b"), (None, "v", "c", "c")}),
    ("SELECT a FROM t UNION ALL SELECT b FROM u UNION SELECT c FROM v ORDER BY a",
     {(None, "t", "a", "a"), (None, "u", "b", "b"), (None, "v", "c", "c")}),
])
def test_set_operation_branches(sql, expected):
    assert lineage(sql) == expected


def test_comments_and_hints_do_not_change_the_lineage():
    plain = lineage("SELECT a, b FROM sales.orders")
    assert lineage("SELECT /*+ FULL(o) */ a, -- first\n b /* second */ FROM sales.orders -- end") == plain


def test_qualifier_carries_over_to_later_unqualified_items():
    # b has no qualifier of its own and takes u from the item before it, so it
    # is attributed through u instead of failing for want of a single source.
    assert lineage("SELECT t.x, u.a, b FROM db.t t JOIN db.u u ON t.id = u.id") == {
        ("db", "t", "x", "x"), ("db", "u", "a", "a"), ("db", "u", "b", "b")}
    analyzer = Analyze(parse("SELECT t.x, u.a, b FROM db.t t JOIN db.u u ON t.id = u.id"))
    analyzer.analyze_sql()
    assert {k: (r.value, r.master) for k, r in analyzer._var.result.items()} == {
        "x": ("x", "t"), "a": ("a", "u"), "b": ("b", "u")}


def test_records_of_a_query_level():
    analyzer = Analyze(parse("SELECT o.amount AS amt, status, x.y.z FROM db.o o"))
    analyzer.analyze_sql()
    result = analyzer._var.result
    assert list(result) == ["amt", "status", "y"]
    assert result.amt == {"value": "amount", "name": "amt", "master": "o", "path": "$.select.[0].value",
                          "table": "db.o", "table_column": "amount"}
    assert result.status.master == "o"
    assert (result.y.value, result.y.master) == ("y", "x")


def test_same_output_name_keeps_the_later_record_but_analyses_both():
    seen = []

    class Spy(Analyze):
        def _analyze_column(self, tree, column, level):
            seen.append((column, self._var.result.get(column).value))
            return super()._analyze_column(tree, column, level)

    analyzer = Spy(parse("SELECT a AS x, b AS x FROM db.t"))
    assert analyzer.analyze_sql() == [("db.t", "b", "x")]
    assert seen == [("x", "a"), ("x", "b")]


def test_star_record_reads_the_whole_tree():
    analyzer = Analyze(parse("SELECT * FROM db.t"))
    analyzer.analyze_sql()
    assert analyzer._var.result["*"] == {"value": "*", "name": "*", "master": None, "path": "$.select",
                                         "table": "db.t", "table_column": "*"}
    # A select clause "t.*" as a string gives the star record its qualifier.
    analyzer = Analyze({"select": "t.*"})
    analyzer.analyze_sql()
    assert (analyzer._var.result["*"].value, analyzer._var.result["*"].master) == ("*", "t")


# --- path rewriting -------------------------------------------------------------

class Recorder(Node):
    """A tree node that records the search paths asked of it."""

    def find(self, path, first=0):
        self.asked.append(path)
        return super().find(path, first)


def recorder(tree):
    node = Recorder(tree)
    node.asked = []
    return node


def test_one_search_other_cuts_by_length():
    tree = recorder(parse("SELECT a AS b FROM db.t t"))
    search = Analyze._one_search_other
    assert search(tree, "from.name", "name", "value") == "db.t"
    assert search(tree, "from.name", "xxxx", "value") == "db.t"  # only the length counts
    assert search(tree, full_path="select.value", one="value", other="name") == "b"
    search(tree, "a", "fivec", "name")    # "$.a"[:-2] + "name"
    search(tree, "x", "", "y")
    search(tree, "from", "from", 0)
    assert tree.asked[-3:] == ["$name", "$.xy", "$.0"]
    assert search(tree, "select.value", "value", "missing") is None
    with pytest.raises(AttributeError):
        search({}, "a", "b", "c")
    with pytest.raises(TypeError):
        search(tree, "a", 5, "c")


def test_one_replace_other_cuts_at_the_last_occurrence():
    analyzer = Analyze({})
    analyzer.tree = recorder({"from": [{"value": {"from": [{}, {"value": "db.t"}]}}]})
    assert analyzer._one_replace_other("from.[0].value.from.[1].name", "name", "value") == "db.t"
    analyzer._one_replace_other("from.[0].value.select.[1].value", "select", "from")
    analyzer._one_replace_other("from.name", "missing", "from")
    analyzer._one_replace_other(full_path="aXbXc", one="X", other="Y")
    assert analyzer.tree.asked == ["$.from.[0].value.from.[1].value", "$.from.[0].value.from",
                                   "$.from", "$.aXbY"]
    with pytest.raises(ValueError):
        analyzer._one_replace_other("a", "", "b")
    with pytest.raises(TypeError):
        analyzer._one_replace_other("a.b", "b", 1)
    with pytest.raises(AttributeError):
        analyzer._one_replace_other(5, "b", "c")


@pytest.mark.parametrize("path, searched", [
    ("$.select.value", "$.from"),
    ("$.select", "$.from"),
    ("$.xoney", "$.$.xfrom"),
    ("$.aonebonec", "$.$.aselectbfrom"),
    ("$.xone", "$.$.xfrom"),
])
def test_unaliased_resolution_derives_the_from_path(path, searched):
    analyzer = Analyze({})
    analyzer._var.result = {"c": {"value": "c", "name": "c", "master": None, "path": path}}
    tree = recorder({"from": "db.t", "$": {"xfrom": "db.x"}})
    analyzer._none_master_from_value(tree, "c", 0)
    assert tree.asked == [searched]
    expected = {"$.from": "db.t", "$.$.xfrom": "db.x"}.get(searched)
    assert analyzer._var.result.c.get("table") == expected


# --- FROM dispatch ----------------------------------------------------------------

def test_dispatch_by_record():
    calls = []

    class Spy(Analyze):
        def _master_from_value(self, tree, column, level):
            calls.append(("master", column, level))

        def _none_master_from_value(self, tree, column, level):
            calls.append(("none", column, level))

    spy = Spy({})
    spy._var.result = {
        "done": {"table": "t", "master": "x"},
        "aliased": {"master": "x"},
        "empty_master": {"master": "", "table": ""},
        "plain": {"master": None},
    }
    spy._analyze_from_value({}, 7)
    assert calls == [("master", "aliased", 7), ("none", "empty_master", 7), ("none", "plain", 7)]


def test_map_changing_size_during_dispatch_is_an_error():
    class Grow(Analyze):
        def _none_master_from_value(self, tree, column, level):
            self._var.result.add(extra={"master": None})

    grow = Grow({})
    grow._var.result = {"a": {"master": None}}
    with pytest.raises(RuntimeError, match="changed size"):
        grow._analyze_from_value({}, 0)


# --- what cannot be attributed ------------------------------------------------------

@pytest.mark.parametrize("sql", [
    "SELECT a FROM db.t1 JOIN db.t2 ON t1.id = t2.id",
    "SELECT a FROM t1, t2",
])
def test_unqualified_column_over_several_sources(sql, capsys):
    with pytest.raises(RuntimeError, match=r"unqualified column 'a'.*several sources"):
        lineage(sql)
    assert capsys.readouterr().out.startswith("[")  # the FROM node is printed
    # A caller handling another exception gets this error, not the other one.
    try:
        raise KeyError("unrelated")
    except KeyError:
        with pytest.raises(RuntimeError, match="several sources"):
            lineage(sql)
    assert lineage("SELECT a FROM db.t") == {("db", "t", "a", "a")}


@pytest.mark.parametrize("headroom", [40, 1000, 1_000_000])
def test_unaliased_subquery_ends_cleanly_at_any_recursion_limit(headroom):
    import inspect

    tree = parse("SELECT a FROM (SELECT a FROM db.t)")
    old = sys.getrecursionlimit()
    sys.setrecursionlimit(len(inspect.stack()) + headroom)
    try:
        with pytest.raises(RuntimeError, match=r"column 'a'.*FROM entry \{'value': \{'select'"):
            Analyze(tree).analyze_sql()
    finally:
        sys.setrecursionlimit(old)
    assert lineage("SELECT a FROM db.t") == {("db", "t", "a", "a")}


def test_no_reference_leaks(monkeypatch):
    import gc
    import tracemalloc

    sql = ("SELECT o.id, o.amount AS amt, c.name FROM sales.orders o "
           "JOIN crm.customers c ON o.cid = c.id")
    tree = parse(sql)
    # The parser is not ours: feed the same tree to measure our own code.
    monkeypatch.setattr(sqlparse_main, "parse", lambda text: tree)
    kpm = KeldraParseMain()

    def work(n):
        for _ in range(n):
            assert len(kpm._parse_sql(sql)) == 3
        gc.collect()

    work(2_000)
    tracemalloc.start()
    work(1)
    before = tracemalloc.get_traced_memory()[0]
    work(20_000)
    after = tracemalloc.get_traced_memory()[0]
    tracemalloc.stop()
    assert after - before < 64 * 1024, (before, after)
    assert sys.getrefcount(tree) < 10
