"""Warehouse idioms the lineage engine must read right: stars of several
blocks, date-part keywords, GROUP BY aliases and ALL, PIVOT, LATERAL VIEW,
SELECT INTO, table functions, and a catalog that fails."""
import pytest

import keldra_lineage
from engine_support import agg, columns, group, ident, one, trans


@pytest.mark.parametrize("sql, dialect, expected", [
    # Two qualified stars without a schema: the column could be either table's.
    ("SELECT s.x FROM (SELECT t1.*, t2.* FROM t1 JOIN t2 ON t1.id = t2.id) s", "generic",
     [("x", (ident(None, "x"),))]),
    # A star of a set operation: every branch's table feeds the column.
    ("WITH u AS (SELECT * FROM t1 UNION ALL SELECT * FROM t2) SELECT a FROM u", "generic",
     [("a", (ident("t1", "a"), ident("t2", "a")))]),
    # Date parts are keywords, first (T-SQL, Snowflake) or last (BigQuery).
    ("SELECT datediff(day, s, e) AS dur, dateadd(month, 1, d) AS nd FROM t", "snowflake",
     [("DUR", (trans("T", "E"), trans("T", "S"))), ("ND", (trans("T", "D"),))]),
    ("SELECT datepart(yyyy, d) AS y FROM t", "mssql", [("y", (trans("t", "d"),))]),
    ("SELECT date_diff(a, b, DAY) AS n, timestamp_trunc(ts, HOUR) AS h FROM t", "bigquery",
     [("n", (trans("t", "a"), trans("t", "b"))), ("h", (trans("t", "ts"),))]),
    # A column that happens to be called like a date part, in another place, stays.
    ("SELECT datediff(day, day, e) AS dur FROM t", "snowflake", [("DUR", (trans("T", "DAY"), trans("T", "E")))]),
    # PIVOT: the value columns are aggregates of the pivoted table.
    ("SELECT empid, jan FROM sales PIVOT (sum(amount) FOR month IN ('JAN', 'FEB')) AS p (empid, jan, feb)",
     "snowflake", [("EMPID", (ident("SALES", "EMPID"),)), ("JAN", (agg("SALES", "AMOUNT"),))]),
    # a value named like the aggregated column: the column, not the value
    ("SELECT * FROM kv PIVOT (max(value) FOR key IN ('value', 'other'))", "snowflake",
     [("VALUE", (agg("KV", "VALUE"),)), ("OTHER", (agg("KV", "VALUE"),)), ("*", (ident("KV", "*"),))]),
    # Hive's LATERAL VIEW
    ("SELECT c.id, i.item FROM raw.carts c LATERAL VIEW explode(c.items) i AS item", "databricks",
     [("id", (ident("raw.carts", "id"),)), ("item", (trans("raw.carts", "items"),))]),
    # ClickHouse's camel-case aggregates
    ("SELECT uniqExact(user_id) AS u FROM events", "clickhouse", [("u", (agg("events", "user_id"),))]),
])
def test_idioms_resolve(sql, dialect, expected):
    assert columns(one(sql, dialect)) == expected


@pytest.mark.parametrize("sql, dialect, expected", [
    # GROUP BY an output alias over a table of unknown columns: the alias.
    ("SELECT date(ts) AS d, count(*) AS n FROM events GROUP BY d", "bigquery", (group("events", "ts"),)),
    ("SELECT t.a AS x FROM t GROUP BY x", "generic", (group("t", "a"),)),
    # GROUP BY ALL groups by every output that is no aggregate.
    ("SELECT user_id, max(ts) AS last_ts FROM events GROUP BY ALL", "snowflake", (group("EVENTS", "USER_ID"),)),
])
def test_grouping_by_aliases_and_all(sql, dialect, expected):
    assert one(sql, dialect).indirect == expected


def test_select_into_creates_its_table():
    st = one("SELECT id, name INTO #tmp FROM dbo.orders", "mssql")
    assert (st.kind, st.target) == ("create_table_as", "#tmp")
    assert columns(st) == [("id", (ident("dbo.orders", "id"),)), ("name", (ident("dbo.orders", "name"),))]


def test_a_star_over_a_table_function_keeps_its_arguments_and_says_so():
    st = one("SELECT f.* FROM t, LATERAL my_udtf(input => t.arr) f", "snowflake")
    assert columns(st) == [("*", (trans("T", "ARR"),))]
    assert any("not known" in w for w in st.warnings)


def test_errors_of_the_catalog_are_its_own():
    class Endless(keldra_lineage.Catalog):
        __slots__ = ()

        def resolve(self, parts):
            return self.resolve(parts)

    with pytest.raises(RecursionError):
        keldra_lineage.lineage("SELECT a FROM t", schema=Endless())


@pytest.mark.parametrize("sql", [
    "SELECT " + ", ".join(f"c{i} + 1" for i in range(4000)) + " FROM t",
    " UNION ALL ".join(f"SELECT c{i} FROM t{i}" for i in range(3000)),
])
def test_wide_and_long_statements_are_resolved_whole(sql):
    [st] = keldra_lineage.lineage(sql)
    assert st.error is None
    assert len(st.columns) in (1, 4000)
    assert sum(len(c.sources) for c in st.columns) in (3000, 4000)


@pytest.mark.parametrize("answer", [("t", "abc"), ("t", [1]), "t", ("t",)])
def test_a_catalog_answer_of_the_wrong_shape_is_a_type_error(answer):
    class Odd(keldra_lineage.Catalog):
        __slots__ = ()

        def resolve(self, parts):
            return answer

    with pytest.raises(TypeError):
        keldra_lineage.lineage("SELECT a FROM t", schema=Odd())
