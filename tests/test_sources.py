"""Aliased sources, subqueries and star expansion."""
import pytest

import sqlparse_main
from sqlparse_main import Analyze, KeldraParseMain, parse

from conftest import lineage

ORDERS = ("sales", "orders")
CUSTOMERS = ("crm", "customers")


def test_road_of_one_query():
    assert lineage("SELECT t.a AS b FROM db.tbl t") == {("db", "tbl", "a", "b")}
    analyzer = Analyze(parse("SELECT t.a AS b FROM db.tbl t"))
    assert analyzer.analyze_sql() == [("db.tbl", "a", "b")]
    assert analyzer._var.result.b == {"value": "a", "name": "b", "master": "t", "path": "$.select.value",
                                      "table": "db.tbl", "table_column": "a"}


@pytest.mark.parametrize("join", ["JOIN", "LEFT JOIN", "INNER JOIN", "RIGHT JOIN", "FULL OUTER JOIN",
                                  "LEFT OUTER JOIN", "CROSS JOIN"])
def test_joins_of_aliased_tables(join):
    on = "" if join == "CROSS JOIN" else " ON o.cid = c.id"
    sql = f"SELECT o.id, c.name AS customer FROM sales.orders o {join} crm.customers c{on}"
    assert lineage(sql) == {(*ORDERS, "id", "id"), (*CUSTOMERS, "name", "customer")}


def test_three_and_four_way_joins_with_a_subquery():
    sql = """
        SELECT o.id, c.name, p.title AS product, s.total
        FROM sales.orders o
        JOIN crm.customers c ON o.cid = c.id
        LEFT JOIN shop.products p ON p.id = o.pid
        INNER JOIN (SELECT oid, sum(amount) AS total, amount FROM sales.payments GROUP BY oid) s
            ON s.oid = o.id
    """
    # `total` is an expression in the subquery: it has no source column.
    assert lineage(sql) == {(*ORDERS, "id", "id"), (*CUSTOMERS, "name", "name"),
                            ("shop", "products", "title", "product")}
    assert lineage(sql.replace("s.total", "s.amount AS paid")) == {
        (*ORDERS, "id", "id"), (*CUSTOMERS, "name", "name"), ("shop", "products", "title", "product"),
        ("sales", "payments", "amount", "paid")}


def test_unqualified_table_names_as_qualifiers():
    assert lineage("SELECT tab2.col1 AS col2 FROM tab2") == {(None, "tab2", "col1", "col2")}
    assert lineage("SELECT t2.a, t3.b FROM t2 JOIN db.t3 ON t2.id = t3.id") == {
        (None, "t2", "a", "a"), ("db", "t3", "b", "b")}
    assert lineage("SELECT orders.id FROM sales.orders LEFT JOIN crm.c x ON 1 = 1") == {
        (*ORDERS, "id", "id")}
    # An alias wins over a table of the same name.
    assert lineage("SELECT t.a FROM db.x t JOIN t ON 1 = 1") == {("db", "x", "a", "a")}


@pytest.mark.parametrize("sql, expected", [
    # Renamed at each of three levels: the source column is the innermost one.
    ("SELECT x.c3 AS out FROM (SELECT y.c2 AS c3 FROM (SELECT z.c1 AS c2 FROM "
     "(SELECT a AS c1 FROM db.t) z) y) x", {("db", "t", "a", "out")}),
    ("SELECT s.b AS c FROM (SELECT a AS b FROM db.t) s", {("db", "t", "a", "c")}),
    ("SELECT b FROM (SELECT a AS b FROM db.t) s", {("db", "t", "a", "b")}),
    ("SELECT s.a FROM (SELECT * FROM db.t) s", {("db", "t", "a", "a")}),
    ("SELECT s.a AS z FROM (SELECT * FROM (SELECT * FROM db.t) q) s", {("db", "t", "a", "z")}),
    ("SELECT s.a FROM (SELECT t.* FROM db.t t) s", {("db", "t", "a", "a")}),
    ("SELECT s.a, s.b FROM (SELECT t.a, u.b FROM db.t t JOIN db.u u ON t.i = u.i) s",
     {("db", "t", "a", "a"), ("db", "u", "b", "b")}),
    # The same alias at two depths: both lead to the same table.
    ("SELECT t.a FROM (SELECT t.a FROM db.inner_t t) t", {("db", "inner_t", "a", "a")}),
    # A column the subquery does not expose has no lineage.
    ("SELECT s.z FROM (SELECT a FROM db.t) s", set()),
])
def test_subqueries(sql, expected):
    assert lineage(sql) == expected


def test_subqueries_in_each_union_branch():
    sql = ("SELECT s.a FROM (SELECT a FROM db.t1) s UNION ALL "
           "SELECT s.b AS a FROM (SELECT x AS b FROM db.t2) s")
    assert lineage(sql) == {("db", "t1", "a", "a"), ("db", "t2", "x", "a")}


def test_nested_analyzer_runs_one_level_deeper(monkeypatch):
    levels = []

    class Spy(Analyze):
        def analyze_sql(self, level=0):
            levels.append(level)
            return super().analyze_sql(level)

    monkeypatch.setattr(sqlparse_main, "Analyze", Spy)
    KeldraParseMain()._parse_sql("SELECT x.a FROM (SELECT y.a FROM (SELECT a FROM db.t) y) x")
    assert levels == [0, 1, 2]


def test_hundred_deep_subqueries_resolve():
    tree = {"select": {"value": "a"}, "from": "db.t"}
    for i in range(100):
        tree = {"select": {"value": f"s{i}.a"}, "from": {"value": tree, "name": f"s{i}"}}
    assert Analyze(tree).analyze_sql() == [("db.t", "a", "a")]
    for i in range(100, 400):
        tree = {"select": {"value": f"s{i}.a"}, "from": {"value": tree, "name": f"s{i}"}}
    with pytest.raises(RecursionError):
        Analyze(tree).analyze_sql()


# --- stars --------------------------------------------------------------------------

@pytest.mark.parametrize("sql, expected", [
    ("SELECT * FROM db.t", {("db", "t", "*", "*")}),
    ("SELECT t.* FROM db.t t", {("db", "t", "*", "*")}),
    ("SELECT s.* FROM (SELECT a, b AS c FROM db.t) s", {("db", "t", "a", "a"), ("db", "t", "b", "c")}),
    ("SELECT u.* FROM (SELECT id, email AS mail FROM app.users) u",
     {("app", "users", "id", "id"), ("app", "users", "email", "mail")}),
    ("SELECT s.* FROM (SELECT t.a AS b FROM db.t t) s", {("db", "t", "a", "b")}),
    ("SELECT o.id, c.* FROM sales.orders o JOIN (SELECT name, tier AS level FROM crm.customers) c "
     "ON 1 = 1", {(*ORDERS, "id", "id"), (*CUSTOMERS, "name", "name"), (*CUSTOMERS, "tier", "level")}),
    # A qualifier that is no alias at all: no record and no error.
    ("SELECT x.* FROM db.t t", set()),
    ("SELECT a, x.* FROM db.t t", {("db", "t", "a", "a")}),
])
def test_stars(sql, expected):
    assert lineage(sql) == expected


def test_star_expansion_replaces_the_star_record():
    analyzer = Analyze(parse("SELECT s.* FROM (SELECT a, b AS c FROM db.t) s"))
    analyzer.analyze_sql()
    result = analyzer._var.result
    assert list(result) == ["a", "c"]
    # Read from the subquery under its output name, traced to its source column.
    assert (result.c.value, result.c.table, result.c.table_column) == ("c", "db.t", "b")


def test_nested_star_that_removes_the_outer_record_ends_quietly():
    # The inner star t.* replaces the record under "*" while the outer one is
    # being expanded, and removes it; the outer expansion then stops.
    assert lineage("SELECT q.* FROM (SELECT p.* FROM (SELECT a FROM db.t) p) q") == set()
    assert lineage("SELECT s.* FROM (SELECT t.* FROM db.t t) s") == set()


def test_star_over_two_entries_with_the_same_alias():
    tree = {"select": {"value": "s.*"},
            "from": [{"value": {"select": {"value": "a"}, "from": "db.t1"}, "name": "s"},
                     {"join": {"value": {"select": {"value": "b"}, "from": "db.t2"}, "name": "s"}}]}
    analyzer = Analyze(tree)
    assert sorted(analyzer.analyze_sql()) == [("db.t1", "a", "a"), ("db.t2", "b", "b")]
    assert list(analyzer._var.result) == ["a", "b"]


# --- the aliased resolver's own rules ---------------------------------------------

def test_two_entries_with_the_same_alias_both_count():
    analyzer = Analyze(parse("SELECT t.a FROM db.x t JOIN db.y t ON 1 = 1"))
    assert sorted(analyzer.analyze_sql()) == [("db.x", "a", "a"), ("db.y", "a", "a")]
    assert analyzer._var.result.a.table == "db.y"


def test_qualifier_rewritten_to_a_later_alias_matches_it():
    # The subquery's star has no table and hands back its own qualifier q,
    # which a later FROM entry uses as its alias: with the dispatcher held back,
    # the same loop follows that entry.
    class OneRound(Analyze):
        inside = False

        def _master_from_value(self, tree, column, level):
            self.inside = True
            try:
                return super()._master_from_value(tree, column, level)
            finally:
                self.inside = False

        def _analyze_from_value_master(self, tree, column, level):
            if not self.inside:
                return super()._analyze_from_value_master(tree, column, level)

    sql = "SELECT s.a FROM (SELECT * FROM (SELECT a FROM db.t) q) s JOIN db.u q ON 1 = 1"
    assert OneRound(parse(sql)).analyze_sql() == [("db.u", "a", "a")]
    # With the dispatcher, the qualifier is resolved where it belongs.
    assert lineage(sql) == {("db", "t", "a", "a")}


@pytest.mark.parametrize("sql, expected", [
    ("SELECT s.a FROM (SELECT q.a FROM db.t q) s JOIN db.u q ON 1 = 1", {("db", "t", "a", "a")}),
    ("SELECT p.line_name AS product_line FROM sales.orders o "
     "LEFT JOIN (SELECT pl.name AS line_name FROM catalog.product_lines pl) p ON p.id = o.pid",
     {("catalog", "product_lines", "name", "product_line")}),
])
def test_inner_qualifier_of_a_resolved_column_is_not_followed_outside(sql, expected):
    # Once the subquery has given the column its table, the qualifier it hands
    # back belongs to the subquery: an alias of the same text elsewhere in the
    # list names another source and adds no lineage.
    assert lineage(sql) == expected


def test_subquery_star_without_table_hands_back_its_qualifier():
    analyzer = Analyze(parse("SELECT s.a FROM (SELECT * FROM (SELECT a FROM db.t) p) s"))
    assert analyzer.analyze_sql() == [("db.t", "a", "a")]


@pytest.mark.parametrize("node", [["a", "list"], None, 5])
def test_alias_of_something_else(node, capsys):
    tree = {"select": {"value": "s.a"}, "from": {"value": node, "name": "s"}}
    with pytest.raises(RuntimeError, match=r"column 'a'.*alias 's' is " + repr(node).replace("[", r"\[")):
        Analyze(tree).analyze_sql()
    assert capsys.readouterr().out == f"a {node}\n"
    try:
        raise KeyError("unrelated")
    except KeyError:
        with pytest.raises(RuntimeError, match="neither a table nor a subquery"):
            Analyze(tree).analyze_sql()


def test_column_that_never_reaches_a_table_ends_cleanly():
    with pytest.raises(RuntimeError, match=r"column 'a'.*alias 's'"):
        KeldraParseMain()._parse_sql("SELECT s.a FROM (SELECT s.a FROM db.t) s")
    assert lineage("SELECT s.a FROM (SELECT a FROM db.t) s") == {("db", "t", "a", "a")}


@pytest.mark.parametrize("sql, expected", [
    # The nested select list has a star of its own, which replaces the outer
    # star's record under "*" while the outer star is being expanded: the
    # entry left under "*" is removed all the same, and b reaches a.
    ("SELECT a FROM (SELECT *, b AS a, o.* FROM (SELECT b FROM sales.orders s) o) x",
     {("sales", "orders", "b", "a")}),
    ("SELECT x.a FROM (SELECT *, b AS a, o.* FROM (SELECT b FROM sales.orders s) o) x",
     {("sales", "orders", "b", "a")}),
])
def test_star_entry_left_by_a_nested_star_is_removed(sql, expected):
    assert lineage(sql) == expected
