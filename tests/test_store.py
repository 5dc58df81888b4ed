"""The lineage store on a real DuckDB file, SQLite file and Parquet folder."""
import json

import pytest

from keldra_lineage import lineage
from keldra_lineage.querylog import LogAnalyser, read_query_log
from keldra_lineage.store import FEEDS_QUERY, LineageStore, connect, store_kind

ETL = """
CREATE TABLE stg.orders AS SELECT o.id, o.amount * f.rate AS amount FROM raw.orders o JOIN raw.fx f ON o.cur = f.cur;
INSERT INTO mart.revenue (total) SELECT sum(amount) FROM stg.orders;
"""
LOG = [
    {"query_id": "a1", "query_text": "CREATE VIEW mart.report AS SELECT total AS revenue FROM mart.revenue WHERE total > 5",
     "user_name": "ann"},
    {"query_id": "a2", "query_text": "create view mart.report as select total as revenue from mart.revenue where total > 9",
     "user_name": "bob"},
    {"query_id": "a3", "query_text": "SELECT nosuch.x FROM mart.report", "user_name": "bob"},
    {"query_id": "a4", "query_text": None, "user_name": "cy"},
]


def write_jsonl(path, rows):
    path.write_text("".join(json.dumps(r) + "\n" for r in rows))
    return path


def run(store_path, sql_files=(), logs=()):
    with LineageStore(store_path) as store:
        for name, text in sql_files:
            store.add_statements(name, lineage(text))
        for log in logs:
            for result in LogAnalyser().run(read_query_log(log)):
                store.add_log_result(result)


def query(path, sql, params=()):
    con = connect(path)
    try:
        return [tuple(r) for r in con.execute(sql, list(params)).fetchall()]
    finally:
        con.close()


KINDS = [("store.duckdb", "duckdb"), ("store.sqlite", "sqlite"), ("store", "parquet")]


@pytest.mark.parametrize("name, kind", KINDS)
def test_a_run_fills_the_documented_tables(tmp_path, name, kind):
    path = tmp_path / name
    assert store_kind(path) == kind
    log = write_jsonl(tmp_path / "h.jsonl", LOG)
    run(path, [("etl.sql", ETL)], [log])
    sts = query(path, "SELECT file, log_row, query_id, statement, kind, target, occurrences, error "
                      "FROM statements ORDER BY query_id IS NOT NULL, file, log_row, statement")
    assert sts == [("etl.sql", None, None, 1, "create_table_as", "stg.orders", 1, None),
                   ("etl.sql", None, None, 2, "insert", "mart.revenue", 1, None),
                   (str(log), 1, "a1", 1, "create_view", "mart.report", 2, None),
                   (str(log), 3, "a3", 1, "query", None, 1, None)]
    assert ("stg.orders", "amount", "raw.fx", "rate", "DIRECT", "TRANSFORMATION") in query(
        path, "SELECT target_table, target_column, source_table, source_column, type, subtype FROM lineage")
    warnings = query(path, "SELECT log_row, query_id, kind, at_line, at_column FROM warnings ORDER BY log_row")
    assert warnings == [(3, "a3", "unknown_qualifier", 1, 8), (4, "a4", "missing_query", None, None)]
    queries = query(path, "SELECT log_row, first_query_id, occurrence, first_row, fields FROM queries ORDER BY log_row")
    assert [q[:4] for q in queries] == [(1, "a1", 1, 1), (2, "a1", 2, 1), (3, "a3", 1, 3), (4, None, 0, None)]
    assert json.loads(queries[1][4]) == {"user_name": "bob"}


@pytest.mark.parametrize("name, kind", KINDS)
def test_what_feeds_a_column_across_statements(tmp_path, name, kind):
    path = tmp_path / name
    run(path, [("etl.sql", ETL)], [write_jsonl(tmp_path / "h.jsonl", LOG)])
    feeds = query(path, FEEDS_QUERY, ["mart.report", "revenue"])
    assert feeds == [("mart.revenue", "total", 1), ("stg.orders", "amount", 2),
                     ("raw.fx", "rate", 3), ("raw.orders", "amount", 3)]


@pytest.mark.parametrize("name, kind", KINDS)
def test_a_second_run_replaces_its_files_and_query_ids_only(tmp_path, name, kind):
    path = tmp_path / name
    log = write_jsonl(tmp_path / "h.jsonl", LOG)
    run(path, [("etl.sql", ETL), ("keep.sql", "SELECT k FROM kept")], [log])
    # etl.sql changed; query a3 moved to another log; the first log is not read again
    other = write_jsonl(tmp_path / "other.jsonl", [{"query_id": "a3", "query_text": "SELECT y FROM mart.report"}])
    run(path, [("etl.sql", "CREATE VIEW stg.orders AS SELECT id FROM raw.orders")], [other])
    sts = query(path, "SELECT file, query_id, target FROM statements "
                      "ORDER BY query_id IS NOT NULL, file, log_row, statement")
    assert sts == [("etl.sql", None, "stg.orders"), ("keep.sql", None, None),
                   (str(log), "a1", "mart.report"), (str(other), "a3", None)]
    assert query(path, "SELECT count(DISTINCT run_id) FROM lineage") == [(2,)]
    assert query(path, "SELECT source_column FROM lineage WHERE file = 'etl.sql'") == [("id",)]
    # a run that fails part way leaves the store as it was
    with pytest.raises(RuntimeError):
        with LineageStore(path) as store:
            store.add_statements("keep.sql", lineage("SELECT changed FROM t"))
            raise RuntimeError("stopped")
    assert query(path, "SELECT source_column FROM lineage WHERE file = 'keep.sql'") == [("k",)]


def test_a_file_that_is_no_store_is_refused(tmp_path):
    f = tmp_path / "notes.txt"
    f.write_text("x")
    with pytest.raises(ValueError, match="not a lineage store"):
        LineageStore(f)


def test_a_duckdb_run_killed_part_way_is_removed_by_the_next(tmp_path):
    path = tmp_path / "store.duckdb"
    run(path, [("keep.sql", "SELECT k FROM kept")])
    store = LineageStore(path)
    store.add_statements("half.sql", lineage("SELECT h FROM half"))
    store.flush()              # this batch is committed ...
    store._con.close()         # ... and the process dies before the end of the run
    assert query(path, "SELECT count(*) FROM runs WHERE finished IS NULL") == [(1,)]
    assert query(path, "SELECT file FROM statements ORDER BY file") == [("half.sql",), ("keep.sql",)]
    run(path, [("other.sql", "SELECT o FROM other")])
    assert query(path, "SELECT file FROM statements ORDER BY file") == [("keep.sql",), ("other.sql",)]
    assert query(path, "SELECT count(*) FROM runs WHERE finished IS NOT NULL") == [(2,)]
