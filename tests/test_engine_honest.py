"""Honest output: for expressions whose words are not all columns, every source the engine reports is
a column of the one input table's schema (nothing invented from a date part, a string, a field name,
a lambda parameter or an argument's name)."""
import pytest

from engine_support import one

SCHEMA = ["a", "b", "ts", "arr", "payload", "name", "doc", "m"]

EXPRESSIONS = [
    # date parts, bare, abbreviated, plural, quoted, last
    ("snowflake", "datediff(day, ts, ts)"),
    ("snowflake", "datediff(seconds, ts, ts)"),
    ("snowflake", "dateadd(mins, a, ts)"),
    ("snowflake", "date_trunc(month, ts)"),
    ("snowflake", "date_part(epoch, ts)"),
    ("snowflake", "timeadd(hrs, 1, ts)"),
    ("mssql", "datediff(dd, ts, ts)"),
    ("mssql", "datepart(iso_week, ts)"),
    ("bigquery", "date_diff(ts, ts, DAY)"),
    ("bigquery", "timestamp_trunc(ts, HOUR)"),
    ("postgres", "date_trunc('week', ts)"),
    ("postgres", "extract(year from ts)"),
    ("mysql", "timestampdiff(minute, ts, ts)"),
    # strings in every quoting style
    ("generic", "concat(a, 'x')"),
    ("hive", 'concat(a, "x")'),
    ("bigquery", 'concat(a, "x", r"y")'),
    ("mysql", "concat(a, \"x\", 'it\\'s')"),
    ("postgres", "concat(a, $$x$$, E'y', U&'z')"),
    ("mssql", "concat(a, N'x')"),
    ("snowflake", "concat(a, $$x$$)"),
    # subscripts and slices
    ("duckdb", "arr[1]"),
    ("duckdb", "t.arr[1]"),
    ("duckdb", "t.name[2:]"),
    ("duckdb", "t.payload['k']"),
    ("databricks", "m['k']"),
    ("snowflake", "payload:user.id::string"),
    ("snowflake", "t.payload['k']"),
    ("postgres", "doc->'k'->>'j'"),
    # struct paths
    ("bigquery", "t.payload.user_id"),
    ("bigquery", "payload.user.id"),
    ("databricks", "payload.user_id"),
    # lambdas
    ("databricks", "transform(arr, x -> x.a + 1)"),
    ("databricks", "filter(arr, x -> x > b)"),
    ("databricks", "aggregate(arr, 0, (acc, x) -> acc + x)"),
    ("duckdb", "list_transform(arr, x -> x * 2)"),
    # named arguments
    ("snowflake", "parse_json(input => doc)"),
    ("postgres", "make_interval(days => a)"),
    ("bigquery", "struct(a AS k, b AS v)"),
    ("mssql", "cast(a AS varchar(10))"),
    ("generic", "CASE WHEN a > 0 THEN b ELSE 0 END"),
    ("generic", "interval '1' day + ts"),
    ("postgres", "ts AT TIME ZONE 'UTC'"),
    ("snowflake", "iff(a > 0, b, null)"),
    ("bigquery", "safe_cast(a AS INT64)"),
]


@pytest.mark.parametrize("dialect, expression", EXPRESSIONS)
def test_every_reported_source_is_a_column_of_the_input(dialect, expression):
    st = one(f"SELECT {expression} AS out FROM t", dialect, {"t": SCHEMA})
    sources = [s for c in st.columns for s in c.sources] + list(st.indirect)
    assert sources, "the expression reads columns of t"
    for s in sources:
        assert s.table == "t" and s.column in SCHEMA, (s, st.warnings)


@pytest.mark.parametrize("dialect, expression", EXPRESSIONS)
def test_without_a_schema_nothing_but_the_input_is_named(dialect, expression):
    # without a schema a path's root cannot be told from a qualifier: such a source stays
    # unattributed, with a warning; every attributed one is a column of t
    st = one(f"SELECT {expression} AS out FROM t", dialect)
    for s in (s for c in st.columns for s in c.sources):
        if s.table is None:
            assert st.warnings, s
            continue
        assert s.table in ("t", "T") and s.column.lower() in SCHEMA, s
