"""Statements: kinds and targets, the output names of INSERT, CREATE ... AS and CREATE VIEW,
tables created earlier in the text, statement positions, and error records."""
import pytest

import keldra_lineage
from engine_support import agg, columns, group, ident, join, lineage, one, trans


@pytest.mark.parametrize("sql, kind, target", [
    ("SELECT a FROM t", "query", None),
    ("WITH c AS (SELECT a FROM t) SELECT a FROM c", "query", None),
    ("(SELECT a FROM t) UNION (SELECT a FROM u)", "query", None),
    ("INSERT INTO w.t2 SELECT a FROM t", "insert", "w.t2"),
    ("INSERT INTO t2 (x) VALUES (1)", "insert", "t2"),
    ("CREATE TABLE w.t3 AS SELECT a FROM t", "create_table_as", "w.t3"),
    ("CREATE TEMPORARY TABLE t3 AS SELECT a FROM t", "create_table_as", "t3"),
    ("CREATE VIEW v AS SELECT a FROM t", "create_view", "v"),
    ("CREATE OR REPLACE VIEW w.v AS SELECT a FROM t", "create_view", "w.v"),
    ("CREATE TABLE t4 (id INT, name TEXT)", "create_table", "t4"),
    ("DROP TABLE t", "other", None),
    ("UPDATE t SET a = 1", "update", "t"),
    ("DELETE FROM t WHERE a = 1", "delete", "t"),
    ("MERGE INTO t USING s ON t.id = s.id WHEN MATCHED THEN DELETE", "merge", "t"),
    ("INSERT OVERWRITE TABLE t SELECT a FROM s", "insert", "t"),
])
def test_kind_and_target(sql, kind, target):
    st = one(sql)
    assert (st.kind, st.target) == (kind, target)
    if kind == "other":
        assert st.columns == ()


@pytest.mark.parametrize("sql", ["DROP TABLE t", "SET search_path = x"])
def test_statements_without_column_lineage_say_nothing(sql):
    st = one(sql)
    assert (st.kind, st.error, st.warnings, st.columns) == ("other", None, (), ())


def test_every_kind_is_listed_once():
    assert len(set(keldra_lineage.KINDS)) == len(keldra_lineage.KINDS)
    assert {"query", "insert", "merge", "update", "delete", "other"} <= set(keldra_lineage.KINDS)


def test_create_table_declares_its_columns_without_sources():
    assert columns(one("CREATE TABLE w.t4 (id INT, name VARCHAR(20))")) == [("id", ()), ("name", ())]


@pytest.mark.parametrize("sql, schema, expected", [
    # The target's column list names the output, in its own order, over the schema's.
    ("INSERT INTO t2 (x, y) SELECT a, b + 1 FROM t", None,
     [("x", (ident("t", "a"),)), ("y", (trans("t", "b"),))]),
    ("INSERT INTO t2 (q, p) SELECT a, b FROM t", {"t2": ["p", "q"]},
     [("q", (ident("t", "a"),)), ("p", (ident("t", "b"),))]),
    # Without a list: the target's schema columns by position (nested schema form)...
    ("INSERT INTO w.t2 SELECT a, b AS c FROM t", {"w": {"t2": ["p", "q"]}},
     [("p", (ident("t", "a"),)), ("q", (ident("t", "b"),))]),
    # ...else the select list's own names.
    ("INSERT INTO t2 SELECT a, b AS c FROM t", None,
     [("a", (ident("t", "a"),)), ("c", (ident("t", "b"),))]),
    ("INSERT INTO t2 (x, y) VALUES (1, 2), (3, 4)", None, [("x", ()), ("y", ())]),
    # Every named column comes from the star that could not be expanded.
    pytest.param("INSERT INTO t2 (x, y) SELECT * FROM t", None,
                 [("x", (ident("t", "*"),)), ("y", (ident("t", "*"),))]),
    ("INSERT INTO t2 (x) WITH c AS (SELECT a + 1 AS k FROM t) SELECT k FROM c", None,
     [("x", (trans("t", "a"),))]),
    pytest.param("WITH c AS (SELECT a + 1 AS k FROM t) INSERT INTO t2 (x) SELECT k FROM c", None,
                 [("x", (trans("t", "a"),))]),
    # A star expanded through the schema, then named by the target.
    ("INSERT INTO t2 SELECT * FROM t", {"t": ["a", "b"], "t2": ["x", "y"]},
     [("x", (ident("t", "a"),)), ("y", (ident("t", "b"),))]),
])
def test_insert_output_names(sql, schema, expected):
    st = one(sql, schema=schema)
    assert st.kind == "insert" and st.target in ("t2", "w.t2")
    assert columns(st) == expected


@pytest.mark.parametrize("sql, expected, indirect", [
    ("CREATE TABLE w.s AS SELECT a, sum(b) AS total FROM t GROUP BY a",
     [("a", (ident("t", "a"),)), ("total", (agg("t", "b"),))], (group("t", "a"),)),
    ("CREATE TABLE s AS WITH c AS (SELECT a AS k FROM t) SELECT k FROM c",
     [("k", (ident("t", "a"),))], ()),
    ("CREATE VIEW v (x, y) AS SELECT a, b * 2 FROM t",
     [("x", (ident("t", "a"),)), ("y", (trans("t", "b"),))], ()),
    ("CREATE VIEW v AS SELECT t.a, u.b FROM t JOIN u ON t.id = u.id",
     [("a", (ident("t", "a"),)), ("b", (ident("u", "b"),))], (join("t", "id"), join("u", "id"))),
])
def test_create_as_select(sql, expected, indirect):
    st = one(sql)
    assert (columns(st), st.indirect, st.warnings) == (expected, indirect, ())


@pytest.mark.parametrize("sql, expected", [
    ("CREATE TABLE s.k (id INT, amt INT);\nSELECT * FROM s.k",
     [("id", (ident("s.k", "id"),)), ("amt", (ident("s.k", "amt"),))]),
    ("CREATE TABLE k AS SELECT a, b + 1 AS c FROM t;\nSELECT * FROM k",
     [("a", (ident("k", "a"),)), ("c", (ident("k", "c"),))]),
    ("CREATE VIEW v (x, y) AS SELECT a, b FROM t;\nSELECT * FROM v",
     [("x", (ident("v", "x"),)), ("y", (ident("v", "y"),))]),
    pytest.param("CREATE VIEW v (x, y) AS SELECT * FROM t;\nSELECT * FROM v",
                 [("x", (ident("v", "x"),)), ("y", (ident("v", "y"),))]),
    ("CREATE TABLE k (id INT, a INT);\nCREATE TABLE m (id INT, b INT);\n"
     "SELECT a, b FROM k JOIN m ON k.id = m.id",
     [("a", (ident("k", "a"),)), ("b", (ident("m", "b"),))]),
    ("CREATE TABLE k (p INT, q INT);\nINSERT INTO k SELECT a, b FROM t",
     [("p", (ident("t", "a"),)), ("q", (ident("t", "b"),))]),
])
def test_created_tables_join_the_schema_of_later_statements(sql, expected):
    last = lineage(sql)[-1]
    assert (last.error, columns(last), last.warnings) == (None, expected, ())


def test_created_tables_are_seen_only_later_and_only_in_the_same_call():
    first, _ = lineage("SELECT * FROM k;\nCREATE TABLE k (id INT)")
    assert columns(first) == [("*", (ident("k", "*"),))]
    lineage("CREATE TABLE k (id INT)")
    assert columns(one("SELECT * FROM k")) == [("*", (ident("k", "*"),))]


def test_created_tables_join_a_given_schema_without_changing_it():
    schema = {"t": ["a"]}
    *_, st = lineage("CREATE TABLE k (id INT);\nSELECT * FROM t, k", schema=schema)
    assert columns(st) == [("a", (ident("t", "a"),)), ("id", (ident("k", "id"),))]
    assert schema == {"t": ["a"]}
    catalog = keldra_lineage.Catalog.from_mapping({"t": ["a"]})
    lineage("CREATE TABLE k (id INT)", schema=catalog)
    assert catalog.resolve(("k",)) is None


@pytest.mark.parametrize("sql, dialect, expected", [
    # (index, line, output names) of every statement; comments and empty pieces are none.
    ("SELECT a FROM t;\n\n  SELECT b\nFROM u; SELECT c FROM v;\n-- note; not one\n/* x;\n y */ SELECT 'p;q' AS s;\r\n"
     "SELECT d FROM w;;  ;\n",
     "generic", [(1, 1, ["a"]), (2, 3, ["b"]), (3, 4, ["c"]), (4, 7, ["s"]), (5, 8, ["d"])]),
    ("SELECT 'a'';b' AS s; SELECT 1 AS \"x;y\"", "generic", [(1, 1, ["s"]), (2, 1, ["x;y"])]),
    ("SELECT $$a;b$$ AS s;\nSELECT $tag$ x; $$ y $tag$ AS r", "postgres", [(1, 1, ["s"]), (2, 2, ["r"])]),
    ("SELECT 'it\\'s;' AS s;\nSELECT 2 AS r", "mysql", [(1, 1, ["s"]), (2, 2, ["r"])]),
    pytest.param("\ufeffSELECT a FROM t", "generic", [(1, 1, ["a"])]),
    ("", "generic", []),
    ("  -- only a comment;\n ; /* ; */ ", "generic", []),
])
def test_statement_splitting_and_positions(sql, dialect, expected):
    stmts = lineage(sql, dialect)
    assert [(s.index, s.line, [c.name for c in s.columns]) for s in stmts] == expected
    assert all(s.error is None for s in stmts)


@pytest.mark.parametrize("sql, prefix, names", [
    # The position is in the whole text, in characters, whatever the piece's offset.
    ("SELECT a FROM t;\nSELECT b,\n  c FROM u WHERE );\nSELECT d FROM v",
     "line 3, column 18: ", [["a"], None, ["d"]]),
    ("SELECT 1 AS a; SELECT b FROM u WHERE ); SELECT d FROM v", "line 1, column 38: ", [["a"], None, ["d"]]),
    ("SELECT 'é' AS a; SELECT b FROM u WHERE ); SELECT d FROM v", "line 1, column 40: ", [["a"], None, ["d"]]),
    ("SELECT a FROM t;\nSELECT 'abc FROM u", "line 2, column 8: ", [["a"], None]),
    # The parser names no position at the end of input: the statement's end is it.
    ("SELECT a FROM t WHERE;\nSELECT b FROM u", "line 1, column 22: ", [None, ["b"]]),
    ("SELEC a FROM t", "line 1, column 1: ", [None]),
])
def test_a_bad_statement_is_an_error_record_and_loses_no_other(sql, prefix, names):
    stmts = lineage(sql)
    assert [s.index for s in stmts] == list(range(1, len(names) + 1))
    for st, expected in zip(stmts, names):
        if expected is None:
            assert st.error.startswith(prefix), st.error
            assert len(st.error) > len(prefix)
            assert (st.columns, st.indirect) == ((), ())
        else:
            assert st.error is None
            assert [c.name for c in st.columns] == expected
