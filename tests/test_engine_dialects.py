"""Dialects: the list comes from the engine; trino, oracle, spark, teradata and tsql are read by the
parser's closest dialect and fold names their own way."""
import pytest

import keldra_lineage
from engine_support import columns, ident, one
from test_cli_engine import run


def test_the_dialect_list_is_the_engines():
    assert keldra_lineage.DIALECTS == keldra_lineage._engine.DIALECTS
    assert list(keldra_lineage.DIALECTS) == sorted(set(keldra_lineage.DIALECTS))
    assert {"trino", "oracle", "spark", "teradata", "tsql"} <= set(keldra_lineage.DIALECTS)


@pytest.mark.parametrize("dialect, expected", [
    # Trino folds every identifier to lower case, quoted ones too
    ("trino", [("mixedcase", (ident("sales", "mixedcase"),)), ("plain", (ident("sales", "plain"),))]),
    # Oracle folds unquoted names to upper case and keeps quoted ones
    ("oracle", [("MixedCase", (ident("SALES", "MixedCase"),)), ("PLAIN", (ident("SALES", "PLAIN"),))]),
    # Teradata and T-SQL keep names as written
    ("teradata", [("MixedCase", (ident("Sales", "MixedCase"),)), ("Plain", (ident("Sales", "Plain"),))]),
    ("tsql", [("MixedCase", (ident("Sales", "MixedCase"),)), ("Plain", (ident("Sales", "Plain"),))]),
    # Spark reads "MixedCase" as a string
    ("spark", [('"MixedCase"', ()), ("Plain", (ident("Sales", "Plain"),))]),
])
def test_identifier_folding(dialect, expected):
    assert columns(one('SELECT "MixedCase", Plain FROM Sales', dialect)) == expected


@pytest.mark.parametrize("dialect, other", [("trino", "trino"), ("teradata", "teradata")])
def test_case_insensitive_quoted_names_match_unquoted_ones(dialect, other):
    st = one('WITH c AS (SELECT "Amount" FROM t) SELECT amount FROM c', dialect)
    assert [s.column.lower() for c in st.columns for s in c.sources] == ["amount"] and st.warnings == ()


def test_tsql_is_mssql():
    sql = "SELECT TOP 5 [Order Id], o.amount FROM dbo.orders AS o WITH (NOLOCK)"
    assert one(sql, "tsql") == one(sql, "mssql")


@pytest.mark.parametrize("dialect, sql", [
    ("oracle", "SELECT e.ename FROM emp e START WITH e.mgr IS NULL CONNECT BY PRIOR e.empno = e.mgr"),
    ("spark", "SELECT col FROM t LATERAL VIEW explode(arr) e"),
    ("trino", "SELECT x FROM t CROSS JOIN UNNEST(t.arr) AS u(x)"),
    ("teradata", "SELECT a FROM t"),
])
def test_new_dialects_parse_their_sql(dialect, sql):
    st = one(sql, dialect)
    assert st.columns and all(s.table is not None for c in st.columns for s in c.sources), st


def test_dialect_on_the_command_line():
    done = run("-e", 'SELECT "Amount" FROM Sales', "--dialect", "trino", "-f", "jsonl")
    assert done.returncode == 0, done.stderr
    assert '"source_table": "sales", "source_column": "amount"' in done.stdout
    bad = run("-e", "SELECT 1", "--dialect", "presto")
    assert bad.returncode == 2 and "trino" in bad.stderr
