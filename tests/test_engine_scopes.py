"""Scopes: CTEs (column lists, nesting, RECURSIVE, self-naming), derived tables, set operations,
scalar and correlated subqueries, LATERAL, and table functions, UNNEST and VALUES as sources."""
import pytest

from engine_support import agg, columns, filt, ident, join, one, sort, trans


@pytest.mark.parametrize("sql, expected, indirect", [
    # CTE column lists rename the select list by position.
    ("WITH c (x, y) AS (SELECT a, b + 1 FROM t) SELECT x, y FROM c",
     [("x", (ident("t", "a"),)), ("y", (trans("t", "b"),))], ()),
    pytest.param("WITH c (x, y) AS (SELECT * FROM t) SELECT x, y FROM c",
                 [("x", (ident("t", "*"),)), ("y", (ident("t", "*"),))], ()),
    ("WITH c AS (WITH d AS (SELECT a FROM t) SELECT a AS b FROM d) SELECT b FROM c",
     [("b", (ident("t", "a"),))], ()),
    # Several per WITH; a later one reads an earlier one.
    ("WITH c AS (SELECT a FROM t), d AS (SELECT a * 2 AS b FROM c) SELECT c.a, d.b FROM c, d",
     [("a", (ident("t", "a"),)), ("b", (trans("t", "a"),))], ()),
    # A CTE hides the base table of the same name.
    ("WITH t AS (SELECT x AS a FROM u) SELECT a FROM t", [("a", (ident("u", "x"),))], ()),
    ("WITH c AS (SELECT a FROM t) SELECT x FROM (SELECT a AS x FROM c) AS d", [("x", (ident("t", "a"),))], ()),
    # An inner WITH hides the outer CTE of the same name.
    ("WITH c AS (SELECT a FROM t) SELECT a FROM (WITH c AS (SELECT b AS a FROM u) SELECT a FROM c) AS d",
     [("a", (ident("u", "b"),))], ()),
    # Derived tables: aliased, unaliased, parenthesised, nested; parenthesised joins.
    ("SELECT d.x FROM (SELECT a AS x FROM t) AS d", [("x", (ident("t", "a"),))], ()),
    ("SELECT x FROM (SELECT a AS x FROM t)", [("x", (ident("t", "a"),))], ()),
    ("SELECT x FROM ((SELECT a AS x FROM t)) AS d", [("x", (ident("t", "a"),))], ()),
    ("SELECT x FROM (SELECT a FROM t) AS d(x)", [("x", (ident("t", "a"),))], ()),
    pytest.param("SELECT x, y FROM (SELECT * FROM t) AS d(x, y)",
                 [("x", (ident("t", "*"),)), ("y", (ident("t", "*"),))], ()),
    # One CTE read twice under two aliases.
    ("WITH c AS (SELECT a, k FROM t) SELECT x.a, y.a AS a2 FROM c x JOIN c y ON x.k = y.k",
     [("a", (ident("t", "a"),)), ("a2", (ident("t", "a"),))], (join("t", "k"),)),
    ("SELECT y * 2 AS z FROM (SELECT x + 1 AS y FROM (SELECT a AS x FROM t) AS d1) AS d2",
     [("z", (trans("t", "a"),))], ()),
    ("SELECT t.a, u.b FROM (t JOIN u ON t.id = u.id)",
     [("a", (ident("t", "a"),)), ("b", (ident("u", "b"),))], (join("t", "id"), join("u", "id"))),
    ("SELECT d.k FROM (SELECT t.k, u.v FROM t JOIN u ON t.id = u.id) AS d WHERE d.v > 0",
     [("k", (ident("t", "k"),))], (join("t", "id"), join("u", "id"), filt("u", "v"))),
])
def test_ctes_and_derived_tables(sql, expected, indirect):
    st = one(sql)
    assert (columns(st), st.indirect, st.warnings) == (expected, indirect, ())


@pytest.mark.parametrize("sql, expected, indirect", [
    # The anchor and the recursive branch both feed the output; the recursion ends.
    ("WITH RECURSIVE r (n) AS (SELECT id FROM t UNION ALL SELECT n + 1 FROM r WHERE n < 10) SELECT n FROM r",
     [("n", (ident("t", "id"), trans("t", "id")))], (filt("t", "id"),)),
    ("WITH RECURSIVE r (n, p) AS (SELECT id, parent FROM tree UNION ALL "
     "SELECT tree.id, r.p FROM tree JOIN r ON tree.parent = r.n) SELECT n, p FROM r",
     [("n", (ident("tree", "id"),)), ("p", (ident("tree", "parent"),))],
     (join("tree", "id"), join("tree", "parent"))),
    # Without RECURSIVE a CTE naming itself reads the base table.
    ("WITH t AS (SELECT a + 1 AS a FROM t) SELECT a FROM t", [("a", (trans("t", "a"),))], ()),
    ("WITH orders AS (SELECT * FROM orders WHERE ok) SELECT id FROM orders",
     [("id", (ident("orders", "id"),))], (filt("orders", "ok"),)),
])
def test_recursive_and_self_naming_ctes(sql, expected, indirect):
    st = one(sql)
    assert (columns(st), st.indirect) == (expected, indirect)


def test_a_recursive_cte_without_anchor_ends():
    st = one("WITH RECURSIVE t AS (SELECT a FROM t) SELECT a FROM t")
    assert [c.name for c in st.columns] == ["a"]


@pytest.mark.parametrize("op", [
    "UNION", "UNION ALL", "UNION DISTINCT", "INTERSECT", "INTERSECT ALL", "EXCEPT", "EXCEPT ALL"])
def test_set_operations_name_by_first_branch_and_merge_by_position(op):
    st = one(f"SELECT a, b AS x FROM t {op} SELECT c, d + 1 FROM u")
    assert columns(st) == [("a", (ident("t", "a"), ident("u", "c"))),
                           ("x", (ident("t", "b"), trans("u", "d")))]


@pytest.mark.parametrize("sql, expected, indirect", [
    ("SELECT a FROM t UNION (SELECT b FROM u EXCEPT SELECT c FROM v)",
     [("a", (ident("t", "a"), ident("u", "b"), ident("v", "c")))], ()),
    ("(SELECT a AS x FROM t) UNION ALL (SELECT b FROM u)", [("x", (ident("t", "a"), ident("u", "b")))], ()),
    ("SELECT a FROM t UNION SELECT sum(b) FROM u UNION ALL SELECT c FROM v",
     [("a", (ident("t", "a"), agg("u", "b"), ident("v", "c")))], ()),
    ("SELECT x FROM (SELECT a AS x FROM t UNION SELECT b FROM u) AS d",
     [("x", (ident("t", "a"), ident("u", "b")))], ()),
    ("WITH c AS (SELECT a FROM t UNION ALL SELECT b FROM u) SELECT * FROM c",
     [("a", (ident("t", "a"), ident("u", "b")))], ()),
    # ORDER BY of a set operation sorts by the output column, i.e. by every branch's source.
    ("SELECT a FROM t WHERE k > 0 UNION SELECT b FROM u WHERE m > 0 ORDER BY a",
     [("a", (ident("t", "a"), ident("u", "b")))],
     (sort("t", "a"), filt("t", "k"), sort("u", "b"), filt("u", "m"))),
])
def test_nested_and_parenthesised_set_operations(sql, expected, indirect):
    st = one(sql)
    assert (columns(st), st.indirect, st.warnings) == (expected, indirect, ())


@pytest.mark.parametrize("sql, expected, indirect", [
    ("SELECT a, (SELECT max(b) FROM u) AS m FROM t",
     [("a", (ident("t", "a"),)), ("m", (agg("u", "b"),))], ()),
    ("SELECT a - (SELECT avg(a) FROM u) AS d FROM t", [("d", (trans("t", "a"), agg("u", "a")))], ()),
    ("SELECT a, (SELECT max(b) FROM u WHERE u.k = t.k) AS m FROM t",
     [("a", (ident("t", "a"),)), ("m", (agg("u", "b"),))], (filt("t", "k"), filt("u", "k"))),
    ("SELECT a FROM t WHERE EXISTS (SELECT 1 FROM u WHERE u.k = t.k)",
     [("a", (ident("t", "a"),))], (filt("t", "k"), filt("u", "k"))),
    ("SELECT a FROM t WHERE b IN (SELECT c FROM u)", [("a", (ident("t", "a"),))], (filt("t", "b"), filt("u", "c"))),
    # LATERAL sees the items before it.
    ("SELECT t.a, l.x FROM t, LATERAL (SELECT t.b + 1 AS x) AS l",
     [("a", (ident("t", "a"),)), ("x", (trans("t", "b"),))], ()),
    ("SELECT t.a, l.m FROM t CROSS JOIN LATERAL (SELECT max(u.c) AS m FROM u WHERE u.k = t.k) AS l",
     [("a", (ident("t", "a"),)), ("m", (agg("u", "c"),))], (filt("t", "k"), filt("u", "k"))),
])
def test_subqueries_and_lateral(sql, expected, indirect):
    st = one(sql)
    assert (columns(st), st.indirect, st.warnings) == (expected, indirect, ())


@pytest.mark.parametrize("sql, dialect, expected, indirect", [
    ("SELECT x FROM unnest(ARRAY[1, 2]) AS u(x)", "postgres", [("x", ())], ()),
    ("SELECT t.a, s.n FROM t CROSS JOIN generate_series(1, 3) AS s(n)", "postgres",
     [("a", (ident("t", "a"),)), ("n", ())], ()),
    ("SELECT v.a, v.b FROM (VALUES (1, 2), (3, 4)) AS v(a, b)", "generic", [("a", ()), ("b", ())], ()),
    ("SELECT * FROM (VALUES (1, 2)) AS v(a, b)", "generic", [("a", ()), ("b", ())], ()),
    ("SELECT t.x, v.a FROM t JOIN (VALUES (1, 'p')) AS v(a, b) ON t.k = v.a", "generic",
     [("x", (ident("t", "x"),)), ("a", ())], (join("t", "k"),)),
])
def test_sources_without_table_lineage(sql, dialect, expected, indirect):
    st = one(sql, dialect)
    assert (columns(st), st.indirect, st.warnings) == (expected, indirect, ())


def test_unnest_of_a_column_is_not_mistaken_for_a_table_column():
    st = one("SELECT t.id, x FROM t, UNNEST(t.arr) AS x", "bigquery")
    (id_name, id_sources), (x_name, x_sources) = columns(st)
    assert (id_name, id_sources, x_name) == ("id", (ident("t", "id"),), "x")
    assert set(x_sources) <= {ident("t", "arr"), trans("t", "arr")}
    assert st.warnings == ()


@pytest.mark.parametrize("sql, construct", [
    ("SELECT * FROM t PIVOT (sum(v) FOR k IN ('a', 'b')) AS p", "pivot"),
    ("SELECT * FROM t UNPIVOT (v FOR k IN (a, b)) AS p", "unpivot"),
])
def test_a_construct_not_resolved_is_named_in_a_warning(sql, construct):
    st = one(sql, "snowflake")
    resolved = any(c.sources for c in st.columns)
    assert resolved or any(construct in w.lower() for w in st.warnings), (st.columns, st.warnings)
