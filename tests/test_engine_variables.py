"""Variables and parameters are never columns, in any dialect's form."""
import pytest

from engine_support import columns, filt, ident, lineage, one, trans


@pytest.mark.parametrize("dialect, variable", [
    ("mssql", "@cutoff"), ("tsql", "@@ROWCOUNT"), ("mysql", "@cutoff"), ("bigquery", "@cutoff"),
    ("snowflake", ":cutoff"), ("postgres", "$1"), ("hive", "${hiveconf:cutoff}"),
])
def test_a_variable_is_no_column(dialect, variable):
    st = one(f"SELECT a, coalesce(b, {variable}) AS c FROM t WHERE d > {variable}", dialect)
    up = (lambda s: s.upper()) if dialect == "snowflake" else (lambda s: s)
    table = up("t")
    assert columns(st) == [(up("a"), (ident(table, up("a")),)), (up("c"), (trans(table, up("b")),))]
    assert st.indirect == (filt(table, up("d")),) and st.warnings == ()


def test_a_template_variable_the_parser_rejects_stays_an_error():
    # sqlglot would read ${x} after an operator as a struct of a column x: no recovery
    st, = lineage("SELECT b + ${cutoff} AS c FROM t")
    assert st.error is not None and st.columns == ()
