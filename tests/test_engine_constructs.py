"""Constructs that used to lose or invent lineage: struct paths and subscripts, quoted mixed-case names
through CTEs, PIVOT / UNPIVOT, Hive strings, plural date parts, Postgres cast names, parenthesised
joins, and the clauses the reader reads (every other one named in a warning)."""
import json

import pytest

from engine_support import agg, columns, filt, group, ident, join, one, sort, trans
from test_cli_engine import run


@pytest.mark.parametrize("sql, dialect, schema, expected", [
    # struct paths: the record's column is the struct's root
    ("SELECT e.payload.user_id FROM events e", "bigquery", None, [("user_id", (ident("events", "payload"),))]),
    ("SELECT payload.user_id FROM events", "bigquery", {"events": ["id", "payload"]},
     [("user_id", (ident("events", "payload"),))]),
    ("SELECT events.payload.user.id AS uid FROM events", "bigquery", None,
     [("uid", (ident("events", "payload"),))]),
    # subscripts and slices on qualified columns read the column, not the qualifier
    ("SELECT t.payload['k'] AS k, t.arr[0] AS first, t.name[7:] AS rest FROM t", "duckdb", None,
     [("k", (trans("t", "payload"),)), ("first", (trans("t", "arr"),)), ("rest", (trans("t", "name"),))]),
    ("SELECT t.rec.items[1] AS i FROM t", "duckdb", None, [("i", (trans("t", "rec"),))]),
    ("SELECT payload['k'] AS k FROM t", "duckdb", None, [("k", (trans("t", "payload"),))]),
    # a struct's star: one column fed by the struct
    ("SELECT s.rec.* FROM s", "bigquery", None, [("*", (ident("s", "rec"),))]),
])
def test_struct_paths_and_subscripts(sql, dialect, schema, expected):
    st = one(sql, dialect, schema)
    assert (columns(st), st.warnings) == (expected, ())


@pytest.mark.parametrize("dialect", ["postgres", "snowflake", "generic", "duckdb"])
@pytest.mark.parametrize("sql", [
    'WITH c AS (SELECT * FROM t) SELECT "Home/Neutral" FROM c',
    'WITH c AS (SELECT * FROM t) SELECT c."Home/Neutral" FROM c',
    'WITH c AS (SELECT * FROM t), d AS (SELECT "Home/Neutral" FROM c) SELECT * FROM d',
])
def test_a_quoted_mixed_case_column_through_a_cte(sql, dialect):
    st = one(sql, dialect, {"t": ["id", "Home/Neutral"]})
    assert (columns(st), st.warnings) == ([("Home/Neutral", (ident("t", "Home/Neutral"),))], ())


PIVOT_SCHEMA = {"sales": ["region", "month", "amount"], "wide": ["region", "jan", "feb"]}


@pytest.mark.parametrize("sql, expected", [
    # the FOR column and the aggregated one are consumed; each value is a column of its own
    ("SELECT * FROM sales PIVOT (sum(amount) FOR month IN ('JAN', 'FEB')) AS p",
     [("region", (ident("sales", "region"),)), ("JAN", (agg("sales", "amount"),)), ("FEB", (agg("sales", "amount"),))]),
    ("SELECT * FROM sales PIVOT (sum(amount) FOR month IN ('JAN' AS jan, 'FEB' AS feb)) AS p",
     [("region", (ident("sales", "region"),)), ("jan", (agg("sales", "amount"),)), ("feb", (agg("sales", "amount"),))]),
    # over a derived table, with the alias's column list naming the value columns
    ("SELECT * FROM (SELECT region, month, amount FROM sales) PIVOT (sum(amount) FOR month IN ('JAN', 'FEB')) "
     "AS p (region, j, f)",
     [("region", (ident("sales", "region"),)), ("j", (agg("sales", "amount"),)), ("f", (agg("sales", "amount"),))]),
    # two aggregates: value_alias columns
    ("SELECT * FROM sales PIVOT (sum(amount) AS s, count(amount) AS c FOR month IN ('JAN')) AS p",
     [("region", (ident("sales", "region"),)), ("JAN_s", (agg("sales", "amount"),)),
      ("JAN_c", (agg("sales", "amount"),))]),
    # UNPIVOT: the value column is fed by the unpivoted columns, the name column by none
    ("SELECT * FROM wide UNPIVOT (amount FOR month IN (jan, feb)) AS u",
     [("region", (ident("wide", "region"),)), ("amount", (ident("wide", "feb"), ident("wide", "jan"))),
      ("month", ())]),
    ("SELECT region, month, amount FROM wide UNPIVOT (amount FOR month IN (jan, feb)) AS u",
     [("region", (ident("wide", "region"),)), ("month", ()),
      ("amount", (ident("wide", "feb"), ident("wide", "jan")))]),
])
def test_pivot_and_unpivot_output_columns(sql, expected):
    st = one(sql, "databricks", PIVOT_SCHEMA)
    assert (columns(st), st.warnings) == (expected, ())


def test_a_column_the_pivot_consumed_is_no_output():
    st = one("SELECT month FROM sales PIVOT (sum(amount) FOR month IN ('JAN')) AS p", "databricks", PIVOT_SCHEMA)
    assert columns(st) == [("month", (ident(None, "month"),))]
    assert any("consumed by the PIVOT" in w for w in st.warnings)


@pytest.mark.parametrize("sql, dialect, expected", [
    # Hive reads "x" as a string
    ('SELECT concat(a, "-", b) AS ab FROM t', "hive", [("ab", (trans("t", "a"), trans("t", "b")))]),
    # plural and abbreviated date parts are keywords, not columns
    ("SELECT datediff(seconds, a, b) AS d FROM t", "snowflake", [("D", (trans("T", "A"), trans("T", "B")))]),
    ("SELECT dateadd(days, 1, a) AS d, datediff(hrs, a, b) AS h FROM t", "snowflake",
     [("D", (trans("T", "A"),)), ("H", (trans("T", "A"), trans("T", "B")))]),
    ("SELECT DATEDIFF(mcs, a, b) AS d FROM t", "tsql", [("d", (trans("t", "a"), trans("t", "b")))]),
    # Postgres names an unaliased cast of a column after the column
    ("SELECT x::date, CAST(t.y AS int), (z)::text::int FROM t", "postgres",
     [("x", (trans("t", "x"),)), ("y", (trans("t", "y"),)), ("z", (trans("t", "z"),))]),
    ("SELECT x::date FROM t", "duckdb", [("x::date", (trans("t", "x"),))]),
])
def test_names_that_are_no_columns_and_names_of_casts(sql, dialect, expected):
    assert columns(one(sql, dialect)) == expected


@pytest.mark.parametrize("sql, schema, expected, indirect", [
    # a parenthesised join keeps USING and NATURAL: the joined column comes out once, from both
    ("SELECT * FROM (a JOIN b USING (id))", {"a": ["id", "x"], "b": ["id", "y"]},
     [("id", (ident("a", "id"), ident("b", "id"))), ("x", (ident("a", "x"),)), ("y", (ident("b", "y"),))],
     (join("a", "id"), join("b", "id"))),
    ("SELECT id FROM (a NATURAL JOIN b)", {"a": ["id", "x"], "b": ["id", "y"]},
     [("id", (ident("a", "id"), ident("b", "id")))], (join("a", "id"), join("b", "id"))),
    ("SELECT id FROM ((a JOIN b USING (id)) JOIN c ON c.k = b.y)", {"a": ["id"], "b": ["id", "y"], "c": ["k"]},
     [("id", (ident("a", "id"), ident("b", "id")))],
     (join("a", "id"), join("b", "id"), join("b", "y"), join("c", "k"))),
])
def test_every_join_form_is_read_alike(sql, schema, expected, indirect):
    st = one(sql, schema=schema)
    assert (columns(st), st.indirect, st.warnings) == (expected, indirect, ())


def test_asof_join_reads_its_match_condition():
    st = one("SELECT a.v FROM a ASOF JOIN b MATCH_CONDITION (a.ts >= b.ts) ON a.id = b.id", "snowflake")
    assert st.indirect == (join("A", "ID"), join("A", "TS"), join("B", "ID"), join("B", "TS"))


@pytest.mark.parametrize("sql, dialect, indirect", [
    ("SELECT a FROM t PREWHERE b = 1 WHERE c = 2", "clickhouse", (filt("t", "b"), filt("t", "c"))),
    ("SELECT a FROM t DISTRIBUTE BY d SORT BY b", "hive", (sort("t", "b"), sort("t", "d"))),
    ("SELECT a FROM t CLUSTER BY c", "hive", (sort("t", "c"),)),
    ("SELECT DISTINCT ON (a) a, b FROM t ORDER BY a, c", "postgres", (group("t", "a"), sort("t", "a"), sort("t", "c"))),
    ("SELECT a FROM t START WITH p IS NULL CONNECT BY PRIOR id = p", "snowflake",
     (join("T", "ID"), filt("T", "P"), join("T", "P"))),
])
def test_clauses_that_are_read(sql, dialect, indirect):
    st = one(sql, dialect)
    assert (st.indirect, st.warnings) == (indirect, ())


@pytest.mark.parametrize("sql, dialect, clause", [
    ("SELECT a FROM t LIMIT 1 BY b", "clickhouse", "LIMIT BY"),
    ("SELECT AS STRUCT a, b FROM t", "bigquery", "AS STRUCT"),
    ("SELECT a FROM t FOR XML PATH('r')", "mssql", "FOR XML"),
])
def test_a_clause_that_is_not_read_is_named(sql, dialect, clause):
    st = one(sql, dialect)
    assert any(clause in w and "not read" in w for w in st.warnings), st.warnings


def test_constructs_on_the_command_line(tmp_path):
    script = tmp_path / "q.sql"
    script.write_text("SELECT f.value AS v, id FROM t, LATERAL FLATTEN(input => t.arr) f;\n"
                      "SELECT * FROM wide UNPIVOT (amount FOR month IN (jan, feb)) AS u;\n")
    schema = tmp_path / "schema.json"
    schema.write_text(json.dumps({"wide": ["region", "jan", "feb"]}))
    done = run(script, "--dialect", "snowflake", "--schema", schema, "-f", "json")
    assert done.returncode == 0, done.stderr
    seen = {(r["statement"], r["column"], r["source_table"], r["source_column"]) for r in json.loads(done.stdout)}
    assert {(1, "V", "T", "ARR"), (1, "ID", "T", "ID"), (2, "AMOUNT", "wide", "jan"),
            (2, "AMOUNT", "wide", "feb")} <= seen
    assert not any(r[0] == 1 and r[2] is None for r in seen)
