"""The lineage() contract: argument checks, immutable result values, repr and to_dict, sorting;
robustness against huge, deep and odd input (in a child process, so a crash or hang is a failure)."""
import json
import re
import subprocess
import sys
import warnings

import pytest

import keldra_lineage
from keldra_lineage import Column, Source, Statement
from engine_support import columns, filt, ident, lineage, one, trans

DIALECTS = ["generic", "ansi", "bigquery", "clickhouse", "databricks", "duckdb", "hive", "mssql", "mysql",
            "oracle", "postgres", "redshift", "snowflake", "spark", "sqlite", "teradata", "trino", "tsql"]


@pytest.mark.parametrize("sql", [None, b"SELECT a FROM t", 5, ["SELECT a FROM t"]])
def test_sql_must_be_a_str(sql):
    with pytest.raises(TypeError):
        keldra_lineage.lineage(sql)


def test_unknown_dialect_lists_the_valid_ones():
    with pytest.raises(ValueError) as info:
        keldra_lineage.lineage("SELECT a FROM t", dialect="presto")
    assert all(name in str(info.value) for name in DIALECTS), str(info.value)


@pytest.mark.parametrize("dialect", DIALECTS)
def test_every_dialect_is_accepted(dialect):
    assert dialect in keldra_lineage.DIALECTS
    name, table = ("A", "T") if dialect in ("snowflake", "oracle") else ("a", "t")
    assert columns(one("SELECT a FROM t", dialect)) == [(name, (ident(table, name),))]


@pytest.mark.parametrize("schema, named", [
    ({"orders": 5}, "orders"),
    ({"orders": None}, "orders"),
    ({"orders": ["id", 3]}, "orders"),
    ({"orders": "id, amount"}, "orders"),
    ({"wh": {"sales": {"orders": 7}}}, "orders"),
    ({"a.b.c.d": ["x"]}, "a.b.c.d"),
    (["orders"], "list"),
])
def test_malformed_schema_is_a_value_error_naming_the_entry(schema, named):
    with pytest.raises(ValueError) as info:
        keldra_lineage.lineage("SELECT a FROM orders", schema=schema)
    assert named in str(info.value), str(info.value)


def test_a_catalog_is_accepted_as_the_schema():
    catalog = keldra_lineage.Catalog.from_mapping({"t": ["a", "b"]})
    assert columns(one("SELECT * FROM t", schema=catalog)) == [("a", (ident("t", "a"),)), ("b", (ident("t", "b"),))]


SIMPLE = "SELECT a AS x FROM t WHERE b > 0"


def test_results_are_immutable_values():
    first, second = lineage(SIMPLE), lineage(SIMPLE)
    assert type(first) is list
    st = first[0]
    assert st == Statement(1, 1, "query", None, (Column("x", (ident("t", "a"),)),), (filt("t", "b"),), (), None)
    assert first == second and hash(st) == hash(second[0])
    assert st != lineage("SELECT a AS y FROM t WHERE b > 0")[0]
    assert ident("t", "a") != trans("t", "a")
    for obj, field in [(st, "kind"), (st.columns[0], "name"), (st.columns[0].sources[0], "table")]:
        with pytest.raises(AttributeError):
            setattr(obj, field, "changed")
    assert all(type(v) is tuple for v in (st.columns, st.indirect, st.warnings, st.columns[0].sources))


def test_repr_is_readable_and_evaluates_back():
    st = lineage(SIMPLE)[0]
    text = repr(st)
    assert "Statement(" in text and "Column(" in text and "Source(" in text and "'FILTER'" in text
    assert eval(text, {"Statement": Statement, "Column": Column, "Source": Source}) == st


def test_to_dict_gives_plain_json():
    st, bad = lineage(SIMPLE + ";\nSELEC 1")
    expected = {
        "index": 1, "line": 1, "kind": "query", "target": None,
        "columns": [{"name": "x", "sources": [
            {"table": "t", "column": "a", "type": "DIRECT", "subtype": "IDENTITY"}]}],
        "indirect": [{"table": "t", "column": "b", "type": "INDIRECT", "subtype": "FILTER"}],
        "warnings": [], "error": None,
    }
    assert st.to_dict() == expected and json.loads(json.dumps(expected)) == st.to_dict()
    assert st.columns[0].to_dict() == expected["columns"][0]
    assert st.indirect[0].to_dict() == expected["indirect"][0]
    as_json = bad.to_dict()
    assert json.loads(json.dumps(as_json)) == as_json
    assert (as_json["index"], as_json["line"], as_json["columns"]) == (2, 2, [])
    assert as_json["error"].startswith("line 2, column 1: ")


@pytest.mark.parametrize("sql, expected", [
    # Sources sorted by (table or "", column, type, subtype), without duplicates.
    ("SELECT b + a + b AS s FROM t", [("s", (trans("t", "a"), trans("t", "b")))]),
    ("SELECT u.z + t.y AS s FROM u JOIN t ON t.k = u.k", [("s", (trans("t", "y"), trans("u", "z")))]),
    ("SELECT u.z + q.y AS s FROM t JOIN u ON t.k = u.k", [("s", (trans(None, "y"), trans("u", "z")))]),
])
def test_sources_are_sorted_without_duplicates(sql, expected):
    assert columns(one(sql)) == expected


def test_nothing_is_printed(capfd):
    sql = ("SELECT region FROM orders, customers; SELECT zz.a FROM t; SELECT * FROM t; SELEC 1;\n"
           "SELECT * FROM t PIVOT (sum(v) FOR k IN ('a')) AS p")
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        stmts = keldra_lineage.lineage(sql, dialect="snowflake")
    assert len(stmts) == 5
    assert capfd.readouterr() == ("", "")


CHILD = """
import json, sys, keldra_lineage
sql = eval(sys.argv[1])
try:
    out = {"statements": [s.to_dict() for s in keldra_lineage.lineage(sql, dialect=sys.argv[2])]}
except Exception as e:
    out = {"exception": [c.__name__ for c in type(e).__mro__], "message": str(e)}
out["after"] = [s.to_dict() for s in keldra_lineage.lineage("SELECT a FROM t")]
with open(sys.argv[3], "w") as f:
    json.dump(out, f)
"""


def source_dicts(*sources):
    return [s.to_dict() for s in sources]


def only_columns(expected):
    """A check that the text gave one statement with exactly these (name, sources) columns."""
    def check(out):
        (st,) = out["statements"]
        assert st["error"] is None
        assert [(c["name"], c["sources"]) for c in st["columns"]] == expected
    return check


def error_or_clear_exception(out):
    """An error record (or a parsed statement), else a ValueError or RecursionError."""
    if "exception" in out:
        assert {"ValueError", "RecursionError"} & set(out["exception"]), out
    else:
        for st in out["statements"]:
            assert st["error"] is None or re.match(r"line \d+, column \d+: ", st["error"]), st["error"]


def one_sum_or_error(out):
    if "statements" in out and out["statements"][0]["error"] is None:
        (st,) = out["statements"]
        assert [s["column"] for s in st["columns"][0]["sources"]] == sorted(f"c{i}" for i in range(10_000))
    else:
        error_or_clear_exception(out)


@pytest.mark.parametrize("build, dialect, check", [
    ('"SELECT " + "(" * 1000 + "a" + ")" * 1000 + " FROM t"', "generic", error_or_clear_exception),
    ('"SELECT a FROM (" * 1000 + "SELECT a FROM t" + ") AS d" * 1000', "generic", error_or_clear_exception),
    ('"WITH " + ", ".join(["c0 AS (SELECT a FROM t)"] + [f"c{i} AS (SELECT a FROM c{i - 1})" for i in range(1, 1000)])'
     ' + " SELECT a FROM c999"', "generic", only_columns([("a", source_dicts(ident("t", "a")))])),
    ('" UNION ALL ".join(f"SELECT a FROM t{i}" for i in range(1000))', "generic",
     only_columns([("a", source_dicts(*sorted(ident(f"t{i}", "a") for i in range(1000))))])),
    ('"SELECT " + " + ".join(f"c{i}" for i in range(10_000)) + " FROM t"', "generic", one_sum_or_error),
    ('"SELECT a FROM t WHERE s = \'" + "x" * 10_000_000 + "\'"', "generic",
     only_columns([("a", source_dicts(ident("t", "a")))])),
    ('"SELECT " + ", ".join(f"c{i}" for i in range(10_000)) + " FROM t"', "generic",
     only_columns([(f"c{i}", source_dicts(ident("t", f"c{i}"))) for i in range(10_000)])),
    ('"WITH RECURSIVE x AS (SELECT k FROM y), y AS (SELECT k FROM x) SELECT k FROM x"', "generic",
     error_or_clear_exception),
    ('"WITH RECURSIVE r AS (SELECT a FROM r UNION SELECT a FROM r) SELECT a FROM r; SELECT b FROM u"', "generic",
     error_or_clear_exception),
    ('"SELECT a FROM t WHERE b = \'\\x00\'"', "generic", error_or_clear_exception),
    ('"SELECT\\x00a FROM t; SELECT b FROM u"', "generic", error_or_clear_exception),
    ('"SELECT \'\\ud800\' AS s FROM t"', "generic", error_or_clear_exception),
    ('"SELECT \\ud800 FROM t"', "postgres", error_or_clear_exception),
], ids=["deep-parentheses", "deep-subqueries", "cte-chain", "union-chain", "long-sum", "10MB", "10k-columns",
        "mutual-recursion", "recursion-without-anchor", "nul-in-string", "nul", "surrogate-in-string",
        "surrogate"])
def test_huge_deep_and_odd_input_never_crashes_hangs_or_prints(tmp_path, build, dialect, check):
    result = tmp_path / "out.json"
    proc = subprocess.run([sys.executable, "-c", CHILD, build, dialect, str(result)], capture_output=True,
                          text=True, timeout=300, cwd=tmp_path)
    assert (proc.returncode, proc.stdout, proc.stderr) == (0, "", "")
    out = json.loads(result.read_text())
    check(out)
    assert out["after"][0]["columns"] == [{"name": "a", "sources": source_dicts(ident("t", "a"))}]
