"""Scripts and procedures: the statements inside blocks, procedure and function bodies, T-SQL
batches and EXECUTE IMMEDIATE, each analysed as a statement at its own position; control flow
that is not lineage gives a warning naming it; variables are never columns; temporary tables
feed later statements and DROP forgets them."""
import json

import pytest
from hypothesis import given, strategies as st

from engine_support import columns, filt, ident, lineage, trans
from test_engine_fuzz import check_well_formed, fuzz


def summary(stmts):
    """(index, line, kind, target) of every statement."""
    return [(s.index, s.line, s.kind, s.target) for s in stmts]


def warnings(stmts):
    return [(w.kind, w.line, w.column, w.message) for s in stmts for w in s.warnings]


SNOWFLAKE_PROCEDURE = """\
CREATE OR REPLACE PROCEDURE mart.load_orders()
RETURNS VARCHAR
LANGUAGE SQL
AS
$$
DECLARE
  cutoff DATE DEFAULT '2024-01-01';
  recent CURSOR FOR SELECT id FROM raw.orders;
BEGIN
  CREATE TEMPORARY TABLE stage AS SELECT id, amount FROM raw.orders WHERE created > :cutoff;
  IF (cutoff > '2023-01-01') THEN
    INSERT INTO mart.orders (id, amount) SELECT id, amount * 2 FROM stage;
  ELSE
    LET n := (SELECT count(*) FROM stage);
  END IF;
  FOR r IN recent DO
    UPDATE mart.orders SET amount = 0 WHERE id = r.id;
  END FOR;
  RETURN 'done';
END;
$$;
SELECT id FROM stage;
"""


def test_a_snowflake_procedure_is_a_statement_and_so_is_each_statement_in_it():
    stmts = lineage(SNOWFLAKE_PROCEDURE, "snowflake")
    assert summary(stmts) == [
        (1, 1, "create_procedure", "MART.LOAD_ORDERS"),
        (2, 7, "other", None),                  # the declaration of cutoff
        (3, 8, "query", None),                  # the cursor's query
        (4, 10, "create_table_as", "STAGE"),
        (5, 11, "other", None),                 # IF: a warning
        (6, 12, "insert", "MART.ORDERS"),
        (7, 14, "query", None),                 # the query assigned to n
        (8, 16, "other", None),                 # FOR over a cursor: a warning
        (9, 17, "update", "MART.ORDERS"),
        (10, 19, "other", None),                # RETURN: a warning
        (11, 22, "query", None),
    ]
    assert all(s.error is None for s in stmts) and stmts[0].columns == ()
    assert columns(stmts[5]) == [("ID", (ident("STAGE", "ID"),)), ("AMOUNT", (trans("STAGE", "AMOUNT"),))]
    # the temporary table feeds the statements after it, inside the body and after the procedure
    assert columns(stmts[10]) == [("ID", (ident("STAGE", "ID"),))]
    # :cutoff is a variable and r is the loop's record: neither is a column
    assert stmts[3].indirect == (filt("RAW.ORDERS", "CREATED"),)
    assert stmts[8].indirect == (filt("MART.ORDERS", "ID"),)
    assert warnings(stmts) == [
        ("unsupported_construct", 11, 3, "the condition of IF is not read for lineage"),
        ("unsupported_construct", 16, 3, "the range of FOR is not read for lineage"),
        ("unsupported_construct", 19, 3, "RETURN is not read for lineage"),
    ]


def test_postgres_bodies_in_dollar_quotes():
    sql = ("CREATE FUNCTION add_one() RETURNS void AS $$ INSERT INTO t SELECT a + 1 AS a FROM s $$ LANGUAGE sql;\n"
           "CREATE OR REPLACE PROCEDURE refresh() LANGUAGE plpgsql AS $body$\n"
           "DECLARE\n"
           "  n int;\n"
           "BEGIN\n"
           "  INSERT INTO t2 SELECT a FROM s;\n"
           "  n := (SELECT count(*) FROM t2);\n"
           "  RETURN QUERY SELECT a FROM t2 WHERE a > n;\n"
           "END $body$;\n"
           "CREATE FUNCTION py(x int) RETURNS int AS $$ return x + 1 $$ LANGUAGE plpython3u;\n"
           "CREATE FUNCTION plus(x int) RETURNS int AS $$ x + 1 $$ LANGUAGE sql;")
    stmts = lineage(sql, "postgres")
    assert summary(stmts) == [
        (1, 1, "create_function", "add_one"), (2, 1, "insert", "t"),
        (3, 2, "create_procedure", "refresh"), (4, 4, "other", None), (5, 6, "insert", "t2"),
        (6, 7, "query", None), (7, 8, "query", None),
        (8, 10, "create_function", "py"), (9, 11, "create_function", "plus"),
    ]
    assert columns(stmts[1]) == [("a", (trans("s", "a"),))]
    assert columns(stmts[6]) == [("a", (ident("t2", "a"),))] and stmts[6].indirect == (filt("t2", "a"),)
    assert [w.message for w in stmts[7].warnings] == ["the body in LANGUAGE plpython3u is not read for lineage"]
    assert [w.message for w in stmts[8].warnings] == [
        "the function's body is an expression: it is not read for lineage"]


BIGQUERY_SCRIPT = """\
DECLARE cutoff DATE DEFAULT '2024-01-01';
CREATE OR REPLACE PROCEDURE ds.refresh(x INT64)
BEGIN
  CREATE TEMP TABLE recent AS SELECT id, v FROM ds.events WHERE day > cutoff;
  IF x > 1 THEN
    INSERT INTO ds.out (id, v) SELECT id, v FROM recent;
  ELSEIF x < 0 THEN
    DELETE FROM ds.out WHERE id IN (SELECT id FROM recent);
  END IF;
  WHILE x < 10 DO
    SET x = x + 1;
  END WHILE;
  LOOP
    LEAVE;
  END LOOP;
  REPEAT
    SET x = x - 1;
  UNTIL x < 0 END REPEAT;
  FOR row IN (SELECT id FROM recent) DO
    SELECT row.id;
  END FOR;
  EXECUTE IMMEDIATE 'INSERT INTO ds.log SELECT id FROM recent WHERE v = ''x''';
END;
"""


def test_a_bigquery_script_with_every_control_construct():
    stmts = lineage(BIGQUERY_SCRIPT, "bigquery")
    assert summary(stmts) == [
        (1, 1, "other", None), (2, 2, "create_procedure", "ds.refresh"),
        (3, 4, "create_table_as", "recent"), (4, 5, "other", None), (5, 6, "insert", "ds.out"),
        (6, 7, "other", None), (7, 8, "delete", "ds.out"), (8, 10, "other", None),
        (9, 11, "other", None), (10, 17, "other", None), (11, 18, "other", None),
        (12, 19, "query", None), (13, 20, "query", None), (14, 22, "insert", "ds.log"),
    ]
    assert all(s.error is None for s in stmts)
    assert columns(stmts[4]) == [("id", (ident("recent", "id"),)), ("v", (ident("recent", "v"),))]
    assert columns(stmts[11]) == [("id", (ident("recent", "id"),))]
    # the loop's record is no column of anything
    assert [c.sources for c in stmts[12].columns] == [()]
    # the literal's statement, its escaped quotes read as one
    assert columns(stmts[13]) == [("id", (ident("recent", "id"),))]
    assert stmts[13].indirect == (filt("recent", "v"),)
    # cutoff is declared: a variable, not a column of ds.events
    assert stmts[2].indirect == (filt("ds.events", "day"),)
    assert [(w.line, w.column, w.message.split(" is ")[0]) for w in (w for s in stmts for w in s.warnings)] == [
        (5, 3, "the condition of IF"), (7, 3, "the condition of ELSEIF"), (10, 3, "the condition of WHILE"),
        (18, 3, "the condition of UNTIL")]


TSQL_BATCHES = """\
CREATE PROCEDURE dbo.load_sales @since DATE AS
BEGIN
  SET NOCOUNT ON
  IF OBJECT_ID('tempdb..#recent') IS NOT NULL DROP TABLE #recent
  SELECT id, amount INTO #recent FROM dbo.sales WHERE day > @since
  INSERT INTO dbo.totals (id, amount) SELECT id, sum(amount) FROM #recent GROUP BY id
  UPDATE TOP (100) dbo.totals SET amount = 0 WHERE id < 0
END
GO
SELECT id FROM #recent;
DROP TABLE #recent;
SELECT * FROM #recent
GO 2
"""


def test_tsql_batches_and_statements_without_semicolons():
    stmts = lineage(TSQL_BATCHES, "tsql")
    assert summary(stmts) == [
        (1, 1, "create_procedure", "dbo.load_sales"), (2, 3, "other", None), (3, 4, "other", None),
        (4, 4, "other", None), (5, 5, "create_table_as", "#recent"), (6, 6, "insert", "dbo.totals"),
        (7, 7, "update", "dbo.totals"), (8, 10, "query", None), (9, 11, "other", None), (10, 12, "query", None),
    ]
    assert all(s.error is None for s in stmts)
    assert [w.message for w in stmts[2].warnings] == ["the condition of IF is not read for lineage"]
    assert columns(stmts[5])[1][1][0].table == "#recent"
    # UPDATE TOP (n) writes its table, TOP is no table
    assert [c.name for c in stmts[6].columns] == ["amount"] and stmts[6].indirect == (filt("dbo.totals", "id"),)
    # the temporary table feeds the next batch; once dropped, its columns are unknown again
    assert columns(stmts[7]) == [("id", (ident("#recent", "id"),))]
    assert columns(stmts[9]) == [("*", (ident("#recent", "*"),))]


@pytest.mark.parametrize("sql, dialect, expected", [
    # a GO line ends a batch only on its own line, in T-SQL
    ("SELECT a FROM t\nGO\nSELECT b FROM u", "mssql", [["a"], ["b"]]),
    ("SELECT a FROM t\n  go  -- next\nSELECT b FROM u", "tsql", [["a"], ["b"]]),
    ("SELECT a AS go FROM t", "tsql", [["go"]]),
    # BEGIN alone starts a transaction; BEGIN with statements opens a block
    ("BEGIN;\nINSERT INTO t SELECT a FROM s;\nCOMMIT;", "postgres", [[], ["a"], []]),
    ("BEGIN TRANSACTION;\nSELECT a FROM t;\nCOMMIT", "generic", [[], ["a"], []]),
    ("BEGIN\n  SELECT a FROM t;\n  SELECT b FROM u;\nEND;", "snowflake", [["A"], ["B"]]),
    # PostgreSQL's anonymous block
    ("DO $$\nBEGIN\n  INSERT INTO t SELECT a FROM s;\nEND $$;\nSELECT b FROM u", "postgres", [["a"], ["b"]]),
    # EXECUTE IMMEDIATE of a dollar-quoted literal holding two statements
    ("EXECUTE IMMEDIATE $$ SELECT a FROM t; SELECT b FROM u $$;", "snowflake", [["A"], ["B"]]),
])
def test_what_ends_a_statement_in_a_script(sql, dialect, expected):
    stmts = lineage(sql, dialect)
    assert [None if s.error else [c.name for c in s.columns] for s in stmts] == expected


def test_positions_inside_bodies_are_those_of_the_whole_text():
    sql = ("SELECT 1 AS one;\n"
           "CREATE PROCEDURE p() LANGUAGE plpgsql AS $$ BEGIN\n"
           "    INSERT INTO t SELECT x, y FROM s, u;\n"
           "    SELECT a FROM t WHERE;\n"
           "    SELECT 'never closed FROM s;\n"
           "END $$;\n"
           "SELECT 2 AS two;")
    stmts = lineage(sql, "postgres", schema={"s": ["x", "y"], "u": ["y"]})
    assert summary(stmts) == [(1, 1, "query", None), (2, 2, "create_procedure", "p"), (3, 3, "insert", "t"),
                              (4, 4, "other", None), (5, 5, "other", None), (6, 7, "query", None)]
    [ambiguous] = stmts[2].warnings
    assert (ambiguous.kind, ambiguous.line, ambiguous.column) == ("ambiguous_column", 3, 29)
    assert (stmts[3].error.kind, stmts[3].error.line) == ("parse_error", 4)
    # the body's unclosed quote is an error where it opened, and costs nothing after the body
    assert (stmts[4].error.kind, stmts[4].error.line, stmts[4].error.column) == ("unterminated", 5, 12)
    assert [c.name for c in stmts[5].columns] == ["two"]


@pytest.mark.parametrize("sql, dialect", [
    ("DECLARE cutoff DATE;\nSELECT a FROM t WHERE d > cutoff", "bigquery"),
    ("DECLARE cutoff, floor INT64 DEFAULT 0;\nSELECT a FROM t WHERE d > cutoff AND d > floor", "bigquery"),
    ("DO $$\nDECLARE\n  cutoff int := 5;\nBEGIN\n  INSERT INTO w SELECT a FROM t WHERE d > cutoff;\nEND $$", "postgres"),
    ("BEGIN\n  LET cutoff := 5;\n  SELECT a FROM t WHERE d > :cutoff;\nEND", "snowflake"),
    ("DECLARE @cutoff INT = 5;\nSELECT a FROM t WHERE d > @cutoff", "tsql"),
])
def test_declared_names_are_variables_never_columns(sql, dialect):
    *_, st = lineage(sql, dialect, schema={"t": ["a", "d"]})
    name = (lambda s: s.upper()) if dialect == "snowflake" else (lambda s: s)
    assert columns(st) == [(name("a"), (ident("t", "a"),))]   # the schema's names, the dialect's output name
    assert st.indirect == (filt("t", "d"),) and st.warnings == ()


def test_drop_forgets_a_created_table_and_the_catalog_answers_again():
    sql = ("CREATE TEMP TABLE k AS SELECT a, b FROM t;\n"
           "SELECT * FROM k;\n"
           "DROP TABLE IF EXISTS k;\n"
           "SELECT * FROM k;\n"
           "CREATE TABLE k (z INT);\n"
           "SELECT * FROM k")
    stmts = lineage(sql, schema={"k": ["c"], "t": ["a", "b"]})
    assert [[c.name for c in s.columns] for s in stmts] == [["a", "b"], ["a", "b"], [], ["c"], ["z"], ["z"]]


def test_a_script_through_the_command_line(tmp_path):
    from test_cli_engine import run

    script = tmp_path / "load.sql"
    script.write_text(BIGQUERY_SCRIPT)
    done = run(script, "--dialect", "bigquery", "-f", "jsonl")
    assert done.returncode == 0, done.stderr
    records = [json.loads(line) for line in done.stdout.splitlines()]
    written = sorted({(r["statement"], r["line"], r["kind"], r["target"] or "", r["column"])
                      for r in records if r["column"] and r["source_table"]})
    assert written == [
        (3, 4, "create_table_as", "recent", "id"), (3, 4, "create_table_as", "recent", "v"),
        (5, 6, "insert", "ds.out", "id"), (5, 6, "insert", "ds.out", "v"),
        (12, 19, "query", "", "id"), (14, 22, "insert", "ds.log", "id"),
    ]
    assert f"{script}:18:3: warning: the condition of UNTIL is not read for lineage" in done.stderr.splitlines()


def test_a_snowflake_block_declares_a_section_up_to_begin():
    sql = ("DECLARE\n"
           "  total INT DEFAULT 0;\n"
           "  c1 CURSOR FOR SELECT a FROM t;\n"
           "BEGIN\n"
           "  SELECT b FROM u WHERE b > :total;\n"
           "END;\n"
           "SELECT total FROM v;")
    stmts = lineage(sql, "snowflake", schema={"t": ["a"], "u": ["b"], "v": ["total"]})
    assert summary(stmts) == [(1, 2, "other", None), (2, 3, "query", None), (3, 5, "query", None),
                              (4, 7, "query", None)]
    assert columns(stmts[1]) == [("A", (ident("t", "a"),))]
    assert columns(stmts[2]) == [("B", (ident("u", "b"),))] and stmts[2].indirect == (filt("u", "b"),)
    # Snowflake's statements name a variable with a colon (:total): a bare name is a column
    assert columns(stmts[3]) == [("TOTAL", (ident("v", "total"),))]


@pytest.mark.parametrize("sql, dialect, note", [
    ("CREATE PROCEDURE p() RETURNS STRING LANGUAGE JAVASCRIPT AS $$ return 'x;y'; $$", "snowflake",
     "the body in LANGUAGE JAVASCRIPT is not read for lineage"),
    ("CREATE TEMP FUNCTION plus(x INT64) AS (x + 1)", "bigquery", "the body is not read for lineage"),
    ("DO LANGUAGE plperl $$ print 'x;y'; $$", "postgres", "the block in LANGUAGE plperl is not read for lineage"),
    ("EXECUTE IMMEDIATE query_text", "bigquery", "EXECUTE IMMEDIATE of an expression is not read for lineage"),
])
def test_a_body_that_is_not_sql_is_named_in_a_warning(sql, dialect, note):
    [st] = lineage(sql, dialect)
    assert st.error is None and st.columns == ()
    assert [(w.kind, w.line, w.column, w.message) for w in st.warnings] == [("unsupported_construct", 1, 1, note)]


def test_plpgsql_labels_and_exception_handlers():
    sql = ("CREATE FUNCTION f() RETURNS void LANGUAGE plpgsql AS $$\n"
           "<<outer>>\n"
           "BEGIN\n"
           "  INSERT INTO t SELECT a FROM s;\n"
           "EXCEPTION WHEN unique_violation THEN\n"
           "  INSERT INTO errors SELECT a FROM s;\n"
           "END $$;")
    stmts = lineage(sql, "postgres")
    assert summary(stmts) == [(1, 1, "create_function", "f"), (2, 4, "insert", "t"), (3, 6, "insert", "errors")]
    assert all(s.error is None and s.warnings == () for s in stmts)


fragments = st.sampled_from([
    "BEGIN", "END", "END IF", "END LOOP", "END WHILE", "END FOR", "ELSE", "LOOP", "REPEAT", "DO", "GO",
    "IF a > 1 THEN", "IF EXISTS (SELECT 1 FROM t)", "ELSEIF b THEN", "WHILE x < 3 DO", "UNTIL x END REPEAT",
    "FOR r IN (SELECT a FROM t) DO", "FOR i IN 1..3 LOOP", "DECLARE x INT DEFAULT (SELECT max(a) FROM t)",
    "DECLARE", "c CURSOR FOR SELECT b FROM u", "LET y := (SELECT a FROM t)", "y := 2", "RETURN",
    "RETURN QUERY SELECT a FROM t", "LEAVE lbl", "lbl: BEGIN", "<<lbl>>", "EXCEPTION WHEN OTHERS THEN",
    "EXECUTE IMMEDIATE 'SELECT a FROM t; SELECT ''x'''", "EXECUTE IMMEDIATE $$ SELECT b FROM u $$",
    "EXECUTE IMMEDIATE", "CREATE PROCEDURE p() AS $$ BEGIN SELECT a FROM t; END $$",
    "CREATE OR REPLACE FUNCTION f() RETURNS int LANGUAGE sql AS 'SELECT 1'", "CREATE PROCEDURE q @a INT AS",
    "CREATE FUNCTION", "SELECT a FROM t", "INSERT INTO w SELECT a, r.b FROM t", "UPDATE TOP (2) t SET a = 1",
    "DROP TABLE w", "CREATE TEMP TABLE w AS SELECT a FROM t", "'open", "$$ open", "/* open",
])


@fuzz
@given(st.lists(st.tuples(fragments, st.sampled_from([";\n", "\n", " ", ";", "\r"])), max_size=12),
       st.sampled_from(["snowflake", "bigquery", "postgres", "tsql", "generic", "mysql"]))
def test_any_arrangement_of_script_fragments_is_well_formed(parts, dialect):
    text = "".join(f + sep for f, sep in parts)
    check_well_formed(lineage(text, dialect), text)


def test_tsql_statements_over_many_lines_without_semicolons():
    sql = ("CREATE PROCEDURE p AS\n"
           "BEGIN\n"
           "  INSERT INTO w (a, b)\n"
           "  SELECT a, b\n"
           "  FROM s WHERE c > 1\n"
           "  UNION ALL\n"
           "  SELECT a, b FROM u\n"
           "  UPDATE w SET b = 2\n"
           "  WHERE a IN (\n"
           "    SELECT a FROM s)\n"
           "  SELECT FROM FROM\n"
           "  DELETE FROM w WHERE b = 0\n"
           "END")
    stmts = lineage(sql, "tsql")
    assert summary(stmts) == [(1, 1, "create_procedure", "p"), (2, 3, "insert", "w"), (3, 8, "update", "w"),
                              (4, 11, "other", None), (5, 12, "delete", "w")]
    assert columns(stmts[1]) == [("a", (ident("s", "a"), ident("u", "a"))), ("b", (ident("s", "b"), ident("u", "b")))]
    assert [s.column for s in stmts[2].indirect] == ["a", "a"]
    # a bad statement among them is an error of its own
    assert stmts[3].error.kind == "parse_error" and stmts[3].error.line == 11
    assert stmts[4].error is None
