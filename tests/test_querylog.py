"""Query logs: CSV, JSON lines and Parquet histories, compressed or not, read in
batches; each distinct query analysed once."""
import gzip
import json

import pyarrow as pa
import pyarrow.parquet as pq
import pytest

from keldra_lineage import Message, lineage
from keldra_lineage.fingerprint import fingerprint
from keldra_lineage.querylog import LogAnalyser, LogRow, QueryLogError, read_query_log

ROWS = [
    {"QUERY_ID": "q1", "QUERY_TEXT": "SELECT a, b\nFROM t WHERE x = 5", "DATABASE_NAME": "DB",
     "SCHEMA_NAME": "SC", "USER_NAME": "ann", "START_TIME": "2024-01-01 10:00:00"},
    {"QUERY_ID": "q2", "QUERY_TEXT": "select a, b from t -- again\n where x = 'seven'",
     "DATABASE_NAME": "DB", "SCHEMA_NAME": "SC", "USER_NAME": "bob", "START_TIME": "2024-01-01 10:01:00"},
    {"QUERY_ID": "q3", "QUERY_TEXT": None, "DATABASE_NAME": "DB", "SCHEMA_NAME": "SC",
     "USER_NAME": "bob", "START_TIME": "2024-01-01 10:02:00"},
    {"QUERY_ID": "q4", "QUERY_TEXT": "INSERT INTO out SELECT c FROM other.u WHERE );",
     "DATABASE_NAME": "DB", "SCHEMA_NAME": None, "USER_NAME": "cy", "START_TIME": "2024-01-01 10:03:00"},
    {"QUERY_ID": "q5", "QUERY_TEXT": "SELECT 'it''s FROM u", "DATABASE_NAME": None,
     "SCHEMA_NAME": None, "USER_NAME": "cy", "START_TIME": "2024-01-01 10:04:00"},
    {"QUERY_ID": "q6", "QUERY_TEXT": "INSERT INTO out SELECT c FROM other.u", "DATABASE_NAME": "DB",
     "SCHEMA_NAME": None, "USER_NAME": "cy", "START_TIME": "2024-01-01 10:05:00"},
]


def write_log(path, rows=ROWS):
    """The rows in the format the file name says."""
    table = pa.Table.from_pylist(rows)
    name = str(path)
    if ".parquet" in name:
        pq.write_table(table, path)
    elif ".jsonl" in name:
        text = "".join(json.dumps(r) + "\n" for r in rows)
        path.write_bytes(gzip.compress(text.encode()) if name.endswith(".gz") else text.encode())
    else:
        import pyarrow.csv as pc

        with pa.CompressedOutputStream(name, "zstd") if name.endswith(".zst") else \
                (pa.CompressedOutputStream(name, "gzip") if name.endswith(".gz") else pa.OSFile(name, "wb")) as f:
            pc.write_csv(table, f)
    return path


@pytest.mark.parametrize("name", ["h.csv", "h.csv.gz", "h.csv.zst", "h.jsonl", "h.jsonl.gz", "h.parquet"])
def test_every_format_gives_the_same_rows(tmp_path, name):
    rows = list(read_query_log(write_log(tmp_path / name)))
    assert [r.row for r in rows] == [1, 2, 3, 4, 5, 6]
    assert [r.id for r in rows] == ["q1", "q2", "q3", "q4", "q5", "q6"]
    assert rows[0].query == ROWS[0]["QUERY_TEXT"]   # newlines inside a quoted CSV value survive
    assert rows[2].query is None
    assert (rows[0].database, rows[0].schema, rows[3].schema) == ("DB", "SC", None)
    assert rows[1].fields == {"USER_NAME": "bob", "START_TIME": "2024-01-01 10:01:00"}


def test_analysis_once_per_distinct_query_with_names_completed(tmp_path):
    analyser = LogAnalyser("snowflake")
    results = list(analyser.run(read_query_log(write_log(tmp_path / "h.csv"))))
    first, second, missing, bad, stray, insert = results
    # q2 differs from q1 in literals, whitespace, comments and keyword case only
    assert first.fingerprint == second.fingerprint
    assert (second.first_id, second.occurrence) == ("q1", 2)
    assert second.statements is first.statements
    assert analyser.analysed == 4 and analyser.rows == 6
    [st] = first.statements
    assert [(c.name, [s.table for s in c.sources]) for c in st.columns] == [("A", ["DB.SC.T"]), ("B", ["DB.SC.T"])]
    # a missing query is one warning, not an analysis
    assert missing.statements == () and [m.kind for m in missing.problems] == ["missing_query"]
    assert isinstance(missing.problems[0], Message)
    # a query that cannot be parsed is an error of its row; a stray quote takes nothing else with it
    assert bad.statements[0].error.kind == "parse_error"
    assert stray.statements[0].error.kind == "unterminated"
    # with a database and no schema: a schema.table name is completed, a bare name is not
    [ins] = insert.statements
    assert ins.target == "OUT"
    assert ins.columns[0].sources[0].table == "DB.OTHER.U"


def test_defaults_reach_the_catalog(tmp_path):
    rows = [{"query_id": "1", "query": "SELECT * FROM orders", "database_name": "shop", "schema_name": "sales"},
            {"query_id": "2", "query": "SELECT * FROM orders", "database_name": "shop", "schema_name": "crm"}]
    schema = {"shop.sales.orders": ["id", "amount"], "shop.crm.orders": ["id", "email"]}
    results = list(LogAnalyser("generic", schema).run(read_query_log(write_log(tmp_path / "h.parquet", rows))))
    cols = [[(c.name, c.sources[0].table) for c in r.statements[0].columns] for r in results]
    assert cols == [[("id", "shop.sales.orders"), ("amount", "shop.sales.orders")],
                    [("id", "shop.crm.orders"), ("email", "shop.crm.orders")]]
    assert results[1].occurrence == 1   # another default schema: another query


def test_columns_found_or_named_and_errors_say_what_is_there(tmp_path):
    path = tmp_path / "h.csv"
    path.write_text("Job_Id,SQL,who\n7,SELECT a FROM t,me\n")
    [row] = read_query_log(path)
    assert (row.id, row.query, row.fields) == ("7", "SELECT a FROM t", {"who": "me"})
    [row] = read_query_log(path, query_column="sql", id_column="WHO")
    assert row.id == "me"
    path.write_text("id,text,who\n1,SELECT 1,me\n")
    with pytest.raises(QueryLogError, match=r"h\.csv: no query column .*its columns are id, text, who"):
        list(read_query_log(path))
    with pytest.raises(QueryLogError, match="no query column 'body': its columns are id, text, who"):
        list(read_query_log(path, query_column="body"))
    [row] = read_query_log(path, query_column="TEXT")
    assert row.query == "SELECT 1"


def test_unreadable_and_malformed_logs_are_one_error(tmp_path):
    with pytest.raises(QueryLogError, match="no such file"):
        list(read_query_log(tmp_path / "missing.csv"))
    with pytest.raises(QueryLogError, match="not a query log"):
        list(read_query_log(tmp_path / "h.txt"))
    bad = tmp_path / "bad.parquet"
    bad.write_bytes(b"PAR1 this is not parquet")
    with pytest.raises(QueryLogError, match="cannot read it as parquet"):
        list(read_query_log(bad))
    # malformed part way: the rows before the fault come first
    broken = tmp_path / "broken.jsonl"
    broken.write_text('{"query": "SELECT a FROM t"}\n' * 3 + '{"query": "SELECT b FROM u"\n')
    got = []
    with pytest.raises(QueryLogError, match="broken.jsonl: cannot read it as json"):
        for row in read_query_log(broken):
            got.append(row.query)
    assert got in ([], ["SELECT a FROM t"] * 3)
    trunc = tmp_path / "t.csv.gz"
    trunc.write_bytes(gzip.compress(b"query\n" + b"SELECT 1\n" * 1000)[:-20])
    with pytest.raises(QueryLogError, match="t.csv.gz"):
        list(read_query_log(trunc))


def test_large_logs_are_read_in_batches(tmp_path):
    path = tmp_path / "big.jsonl"
    n = 20000
    path.write_text("".join(json.dumps({"id": k, "query": f"SELECT a FROM t WHERE x = {k}"}) + "\n"
                            for k in range(n)))
    analyser = LogAnalyser()
    last = None
    for last in analyser.run(read_query_log(path)):
        pass
    assert (last.row.row, last.row.id, last.occurrence, last.first_id) == (n, str(n - 1), n, "0")
    assert analyser.analysed == 1


@pytest.mark.parametrize("a, b, same", [
    ("SELECT a FROM t WHERE x = 5", "select  a\nfrom t /* c */ where x = 'y'", True),
    ("SELECT a FROM t WHERE x = 5", "SELECT a FROM T WHERE x = 5", False),        # names as written
    ('SELECT a FROM t', 'SELECT "a" FROM t', False),
    ("SELECT a, b FROM t GROUP BY 1", "SELECT a, b FROM t GROUP BY 2", False),    # ordinals name columns
    ("SELECT a FROM t ORDER BY a, 1", "SELECT a FROM t ORDER BY a, 2", False),
    ("SELECT a FROM t ORDER BY a LIMIT 10", "SELECT a FROM t ORDER BY a LIMIT 20", True),
    ("SELECT a FROM t GROUP BY a HAVING count(*) > 1", "SELECT a FROM t GROUP BY a HAVING count(*) > 9", True),
    ("SELECT 'abc FROM t", "SELECT 'abc FROM u", False),                          # unterminated: the text counts
])
def test_fingerprint_ignores_what_does_not_change_lineage(a, b, same):
    assert (fingerprint(a) == fingerprint(b)) is same
    if same:
        strip = lambda sts: [[(c.sources) for c in s.columns] for s in sts]  # noqa: E731
        assert strip(lineage(a)) == strip(lineage(b))


def test_records_that_quote_the_text_are_not_shared_across_literals(tmp_path):
    path = tmp_path / "h.csv"
    path.write_text("query\n\"SELECT coalesce(y, 'z') FROM t\"\n\"SELECT coalesce(y, 'w') FROM t\"\n"
                    "\"SELECT coalesce(y, 'w') FROM t\"\nSELECT x FROM WHERE 4\nSELECT x FROM WHERE 22\n")
    analyser = LogAnalyser()
    results = list(analyser.run(read_query_log(path)))
    assert [r.statements[0].columns[0].name for r in results[:3]] == ["coalesce(y, 'z')", "coalesce(y, 'w')",
                                                                       "coalesce(y, 'w')"]
    assert [r.occurrence for r in results] == [1, 1, 2, 1, 1]
    assert [r.statements[0].error.message.rsplit(" ", 1)[-1] for r in results[3:]] == ["4", "22"]
    assert analyser.analysed == 4


def test_expression_names_without_literals_are_shared():
    analyser = LogAnalyser()
    rows = [LogRow("l", k, str(k), f"SELECT sum(x1) AS s, max(y) FROM t WHERE z > {k}", None, None, {})
            for k in range(3)]
    results = [analyser.analyse(r) for r in rows]
    assert [r.occurrence for r in results] == [1, 2, 3] and analyser.analysed == 1
    assert [c.name for c in results[2].statements[0].columns] == ["s", "max(y)"]
