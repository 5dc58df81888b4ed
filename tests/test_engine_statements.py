"""Statements: kinds and targets, the output names of INSERT, CREATE ... AS and CREATE VIEW,
tables created earlier in the text, statement positions, and error records."""
import json

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


# ---------------------------------------------------------------- unclosed quotes and comments

FIVE = ("SELECT a FROM t;\n"
        "{bad}\n"
        "SELECT 'x' AS b FROM u;\n"
        "SELECT c FROM v WHERE d = 'it''s';\n"
        "SELECT e AS \"E\" FROM w;\n")


@pytest.mark.parametrize("bad, dialect, column", [
    # the opening character's column on line 2, in characters
    ("SELECT 'oops FROM s;", "generic", 8),
    ("SELECT \"oops FROM s;", "generic", 8),
    ("SELECT `oops FROM s;", "mysql", 8),
    ("SELECT [oops FROM s;", "mssql", 8),
    ("SELECT 'é', 'oops FROM s;", "generic", 13),
    # [O'Brien] in generic: the parser reads a bracket and then a string, and so does the splitter
    ("SELECT [O'Brien] FROM s;", "generic", 10),
    ("SELECT $body$ oops FROM s;", "postgres", 8),
    ("SELECT 1 /* oops FROM s;", "generic", 10),
])
def test_a_stray_quote_loses_only_its_statement(bad, dialect, column):
    stmts = lineage(FIVE.format(bad=bad), dialect)
    assert [(s.index, s.line) for s in stmts] == [(1, 1), (2, 2), (3, 3), (4, 4), (5, 5)]
    error = stmts[1].error
    assert (error.kind, error.line, error.column) == ("unterminated", 2, column)
    assert stmts[1].columns == ()
    assert [s.error for s in stmts if s.index != 2] == [None] * 4
    names = [[c.name for c in s.columns] for s in stmts if s.index != 2]
    assert [n[0].lower() for n in names] == ["a", "b", "c", "e"]


def test_a_stray_quote_paired_with_a_later_one_is_named_with_where_it_closed():
    stmts = lineage(FIVE.format(bad="SELECT 'oops FROM s;"))
    # the stray quote closes at the first quote of line 3, past the line that ends statement 2
    assert "closes only at line 3, column 8" in stmts[1].error.message
    # line 5 has no quote: a quote that runs to the end of the text is never closed
    stmts = lineage("SELECT a FROM t;\nSELECT 'oops FROM s;\nSELECT b FROM u;")
    assert "never closed" in stmts[1].error.message
    assert [s.error for s in (stmts[0], stmts[2])] == [None, None]


@pytest.mark.parametrize("sql, expected", [
    # the statement ends only at a line whose last non-blank character is ';'
    ("SELECT a FROM t;\nSELECT 'x FROM s; SELECT b FROM u;   \nSELECT c FROM v",
     [(1, None), (2, "unterminated"), (3, None)]),
    # ... and without one, the rest of the text is the unclosed statement
    ("SELECT a FROM t;\nSELECT 'x FROM s; SELECT b FROM u", [(1, None), (2, "unterminated")]),
    # a string over lines that end with ';' is fine when the statement parses ...
    ("SELECT 'one;\ntwo;\n' AS s FROM t;\nSELECT b FROM u", [(1, None), (2, None)]),
    # ... and when it does not, before the string closes, the parser's error stands
    ("SELECT a FROM WHERE 'one;\ntwo' = b;\nSELECT b FROM u", [(1, "parse_error"), (2, None)]),
    # a closed block comment holds semicolons and whole statements
    ("SELECT a FROM t;\n/*\nSELECT x FROM y;\n*/\nSELECT b FROM u", [(1, None), (2, None)]),
])
def test_where_an_unclosed_statement_ends(sql, expected):
    stmts = lineage(sql)
    assert [(s.index, s.error and s.error.kind) for s in stmts] == expected


NESTING = {"ansi", "clickhouse", "databricks", "generic", "mssql", "postgres", "spark", "teradata",
           "trino", "tsql"}


@pytest.mark.parametrize("dialect", keldra_lineage.DIALECTS)
def test_block_comments_nest_where_the_parser_nests_them(dialect):
    stmts = lineage("SELECT 1 AS a /* x /* y */ ;\nSELECT 2 AS b */;\nSELECT 3 AS c", dialect)
    if dialect in NESTING:
        assert [(s.line, [c.name.lower() for c in s.columns]) for s in stmts] == [(1, ["a"]), (3, ["c"])]
    else:
        # the comment ends at its first */: `SELECT 2 AS b */` is a statement, and no good one
        assert [s.line for s in stmts] == [1, 2, 3]
        assert [s.error is None for s in stmts] == [True, False, True]
        assert stmts[1].error.kind == "parse_error"


def test_an_unclosed_nested_comment_is_reported_where_it_opened():
    stmts = lineage("SELECT 1 AS a;\n  /* x /* y */ still open;\nSELECT 2 AS b;", "postgres")
    assert [(s.index, s.error and (s.error.kind, s.error.line, s.error.column)) for s in stmts] == [
        (1, None), (2, ("unterminated", 2, 3)), (3, None)]


@pytest.mark.parametrize("ending", ["\n", "\r\n", "\r"])
def test_positions_count_every_kind_of_line_end(ending):
    sql = ending.join(["SELECT a FROM t;", "SELECT", "  x FROM t, u;", "SELECT b,", "  c FROM u WHERE );",
                       "SELECT 'oops FROM v;", "SELECT d FROM w"])
    stmts = lineage(sql, schema={"t": ["a", "x"], "u": ["b", "c", "x"]})
    assert [s.line for s in stmts] == [1, 2, 4, 6, 7]
    # from the parser's spans (a warning at a column, an error) and from the splitter
    [ambiguous] = stmts[1].warnings
    assert (ambiguous.kind, ambiguous.line, ambiguous.column) == ("ambiguous_column", 3, 3)
    assert (stmts[2].error.kind, stmts[2].error.line, stmts[2].error.column) == ("parse_error", 5, 18)
    assert (stmts[3].error.kind, stmts[3].error.line, stmts[3].error.column) == ("unterminated", 6, 8)
    assert [c.name for c in stmts[4].columns] == ["d"]


def test_the_command_line_reports_an_unclosed_quote_where_it_opened(tmp_path):
    from test_cli_engine import run

    script = tmp_path / "old_mac.sql"
    script.write_bytes(b"SELECT a FROM t;\rSELECT [O'Brien] FROM u;\rSELECT 'x' AS b FROM v;\r")
    done = run(script, "-f", "jsonl")
    assert done.returncode == 1
    records = [json.loads(line) for line in done.stdout.splitlines()]
    assert [(r["statement"], r["line"], r["column"]) for r in records] == [(1, 1, "a"), (3, 3, "b")]
    assert done.stderr.startswith(f"{script}:2:10: this string closes only at line 3, column 8")
