"""Parser recovery: a statement that sqloxide rejects is rewritten by sqlglot's parser into a form
sqloxide accepts; the statement says which parser read it. A statement neither reads keeps
sqloxide's error."""
import pytest

from engine_support import columns, ident, lineage, trans
from test_cli_engine import run


@pytest.mark.parametrize("sql, dialect, kind, expected", [
    # a Spark CTE without AS
    ("WITH c (SELECT a, b + 1 AS d FROM t) SELECT a, d FROM c", "databricks", "query",
     [("a", (ident("t", "a"),)), ("d", (trans("t", "b"),))]),
    # Redshift's DISTSTYLE / DISTKEY / SORTKEY before AS
    ("CREATE TABLE t2 DISTSTYLE KEY DISTKEY (a) SORTKEY (a) AS SELECT a, b + 1 AS c FROM t", "redshift",
     "create_table_as", [("a", (ident("t", "a"),)), ("c", (trans("t", "b"),))]),
])
def test_a_rejected_statement_is_recovered_and_says_by_whom(sql, dialect, kind, expected):
    st, = lineage(sql, dialect)
    assert (st.error, st.kind, columns(st)) == (None, kind, expected)
    note, = st.warnings
    assert "sqlglot" in note and "rejected" in note and "line 1, column" in note


def test_a_recovered_table_feeds_later_statements():
    *_, last = lineage("CREATE TABLE t2 DISTSTYLE EVEN AS SELECT a FROM t;\nSELECT * FROM t2", "redshift")
    assert columns(last) == [("a", (ident("t2", "a"),))]


@pytest.mark.parametrize("sql, dialect", [
    ("SELECT (rec).* FROM t", "postgres"),
    ("SELEC a FROM t", "generic"),
    # a lone surrogate (a str decoded with surrogateescape) that the rewriting keeps
    ('SELECT b AS "\udcff" FROM src JOIN t', "generic"),
    ('SELECT "\udcff" FROM src, t WHERE a = x', "generic"),
])
def test_a_statement_no_parser_reads_keeps_the_parsers_error(sql, dialect):
    st, = lineage(sql, dialect)
    assert st.error.startswith("line 1, column ") and "sqlglot" not in st.error
    assert (st.columns, st.warnings) == ((), ())


def test_a_statement_sqloxide_parses_is_not_rewritten():
    # sqlglot would write this differently (upper-case INTERVAL parts); sqloxide reads it as it is
    st, = lineage("SELECT a + interval '1 day' AS b FROM t", "postgres")
    assert st.warnings == () and [c.name for c in st.columns] == ["b"]


def test_recovery_on_the_command_line(tmp_path, capfd):
    script = tmp_path / "spark.sql"
    script.write_text("WITH c (SELECT a FROM t) SELECT a FROM c;\n")
    done = run(script, "--dialect", "spark", "-f", "jsonl")
    assert done.returncode == 0, done.stderr
    assert '"source_table": "t", "source_column": "a"' in done.stdout
    assert "sqlglot" in done.stderr and "warning" in done.stderr


@pytest.mark.parametrize("sql", ["SELECT a,, b FROM t", "CREATE TABLE b (y int, , z int)"])
def test_an_empty_list_item_is_an_error_though_sqlglot_would_read_it(sql):
    st, = lineage(sql)
    assert st.error is not None and st.warnings == ()
