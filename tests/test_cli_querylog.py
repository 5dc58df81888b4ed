"""keldra-lineage --query-log and --output, run as a user runs them."""
import csv
import gzip
import io
import json
import sqlite3
import subprocess
import sys

import duckdb
import pytest

ID, TEXT = "QUERY_ID", "QUERY_TEXT"


def run(*args):
    return subprocess.run([sys.executable, "-P", "-m", "keldra_lineage", *map(str, args)],
                          capture_output=True, text=True, timeout=300)


def write_csv_gz(path, rows, header=(ID, TEXT, "USER_NAME", "SCHEMA_NAME")):
    out = io.StringIO()
    w = csv.writer(out)
    w.writerow(header)
    w.writerows(rows)
    path.write_bytes(gzip.compress(out.getvalue().encode()))
    return path


@pytest.fixture
def log(tmp_path):
    return write_csv_gz(tmp_path / "history.csv.gz", [
        ("q1", "INSERT INTO mart.t SELECT id, amount FROM orders WHERE day = '2024-01-01'", "ann", "SALES"),
        ("q2", "insert into mart.t select id, amount from orders where day = '2024-02-02'", "bob", "SALES"),
        ("q3", "", "bob", "SALES"),
        ("q4", "SELECT x FROM WHERE )", "cy", ""),
        ("q5", "SELECT q.a FROM t", "cy", ""),
    ])


def test_query_log_records_carry_the_row_and_the_distinct_query(log):
    done = run("--query-log", log, "-f", "jsonl")
    assert done.returncode == 1   # q4 cannot be parsed
    records = [json.loads(line) for line in done.stdout.splitlines()]
    first = [r for r in records if r["query_id"] == "q1" and r["column"]]
    second = [r for r in records if r["query_id"] == "q2"]
    assert [(r["column"], r["source_table"], r["source_column"]) for r in first] == [
        ("id", "SALES.orders", "id"), ("amount", "SALES.orders", "amount")]
    assert first[0]["target"] == "mart.t"   # already qualified: left as it is
    assert {(r["row"], r["fingerprint"] == first[0]["fingerprint"], r["first_query_id"], r["occurrence"])
            for r in second} == {(2, True, "q1", 2)}
    assert second[0]["fields"] == {"USER_NAME": "bob"}
    lines = done.stderr.splitlines()
    assert f"{log}: row 3 (query q3): warning: an empty query text" in lines or \
        f"{log}: row 3 (query q3): warning: no query text" in lines
    assert any(line.startswith(f"{log}: row 4 (query q4): line 1, column ") for line in lines)
    assert f"{log}: row 5 (query q5): warning: line 1, column 8: unknown qualifier 'q' of column 'a'" in lines


def test_a_bad_log_is_one_error_and_the_run_goes_on(tmp_path, log):
    no_query = tmp_path / "other.jsonl"
    no_query.write_text('{"id": 1, "text": "SELECT 1"}\n')
    missing = tmp_path / "gone.parquet"
    done = run("--query-log", missing, "--query-log", no_query, "--query-log", log, "-f", "csv")
    errors = [line for line in done.stderr.splitlines() if "row" not in line]
    assert errors == [f"{missing}: no such file",
                      f"{no_query}: no query column (looked for query_text, query, querytxt, sql, statement, "
                      "sql_text, query_string): its columns are id, text; name it with --query-column"]
    rows = list(csv.DictReader(io.StringIO(done.stdout)))
    assert {r["query_id"] for r in rows} == {"q1", "q2", "q5"} and done.returncode == 1
    done = run("--query-log", no_query, "--query-column", "TEXT", "--id-column", "id", "-f", "jsonl")
    assert done.returncode == 0 and json.loads(done.stdout)["query_id"] == "1"
    assert run("--query-column", "x", "-e", "SELECT 1").returncode == 2


def test_warnings_are_summed_up_by_kind(tmp_path):
    rows = [(f"w{k}", f"SELECT q{k}.a FROM t{k}" if k % 2 else f"SELECT a FROM t{k} JOIN u{k} ON x = y", "u", "")
            for k in range(30)]
    log = write_csv_gz(tmp_path / "w.csv.gz", rows)
    default = run("--query-log", log, "-f", "jsonl").stderr.splitlines()
    assert len(default) == 21
    assert default[-1].startswith("keldra-lineage: ")
    summary = default[-1]
    counts = dict(part.rsplit(" ", 1) for part in summary[summary.index("(") + 1:summary.index(")")].split(", "))
    everything = run("--query-log", log, "-f", "jsonl", "--warnings", "all").stderr.splitlines()
    assert sum(map(int, counts.values())) == len(everything) > 20
    from keldra_lineage import MESSAGE_KINDS

    assert set(counts) <= set(MESSAGE_KINDS)
    assert int(counts["unknown_qualifier"]) == 15
    assert run("--query-log", log, "--warnings", "none").stderr == ""
    assert run("--query-log", log, "-q").stderr == ""


@pytest.mark.parametrize("fmt", ["csv", "json", "jsonl", "table"])
def test_streamed_formats_hold_every_record_past_a_chunk(tmp_path, fmt):
    rows = [(f"r{k}", f"SELECT c{k % 700} AS x{k % 700}, d FROM t{k % 700}", "u", "") for k in range(1500)]
    log = write_csv_gz(tmp_path / "big.csv.gz", rows)
    done = run("--query-log", log, "-f", fmt)
    assert done.returncode == 0
    if fmt == "csv":
        got = list(csv.DictReader(io.StringIO(done.stdout)))
    elif fmt == "json":
        got = json.loads(done.stdout)
    elif fmt == "jsonl":
        got = [json.loads(line) for line in done.stdout.splitlines()]
    else:
        lines = done.stdout.splitlines()
        assert lines[0].split()[:3] == ["file", "statement", "line"] and set(lines[1]) <= {"-", " "}
        got = lines[2:]
    assert len(got) == 3000
    if fmt != "table":
        assert [r["query_id"] for r in got[::2]] == [f"r{k}" for k in range(1500)]   # input order
        assert got[-1]["source_table"] == "t99" and str(got[-1]["occurrence"]) == "3"


@pytest.mark.parametrize("store", ["lineage.duckdb", "lineage.sqlite"])
def test_output_writes_the_store_and_nothing_else(tmp_path, log, store):
    sql = tmp_path / "etl.sql"
    sql.write_text("CREATE VIEW mart.report AS SELECT id AS key FROM mart.t;\n")
    path = tmp_path / store
    done = run(sql, "--query-log", log, "--output", path, "-q")
    assert done.stdout == "" and done.returncode == 1
    con = duckdb.connect(str(path), read_only=True) if store.endswith("duckdb") else sqlite3.connect(path)
    try:
        assert con.execute("SELECT count(*) FROM queries").fetchall()[0][0] == 5
        assert con.execute("SELECT occurrences FROM statements WHERE query_id = 'q1'").fetchall() == [(2,)]
        assert con.execute("SELECT error_kind FROM statements WHERE query_id = 'q4'").fetchall() == [("parse_error",)]
        from keldra_lineage.store import FEEDS_QUERY

        feeds = con.execute(FEEDS_QUERY, ["mart.report", "key"]).fetchall()
        assert [tuple(f) for f in feeds] == [("mart.t", "id", 1), ("SALES.orders", "id", 2)]
    finally:
        con.close()
    # -f as well: the records on standard output too
    done = run(sql, "--output", path, "-f", "jsonl")
    assert json.loads(done.stdout.splitlines()[0])["target"] == "mart.report"


def test_shared_json_lines_are_the_jsonl_format_byte_for_byte(tmp_path):
    from keldra_lineage.formats import RECORD_WRITERS
    from keldra_lineage.querylog import LogAnalyser, read_query_log
    from keldra_lineage.records import FIELDS, LOG_FIELDS, log_records_of, log_tail, records_of
    from keldra_lineage.streaming import SharedLines

    log = write_csv_gz(tmp_path / "s.csv.gz", [
        ("é1", 'SELECT "naïve" AS "a""b", x FROM t WHERE y = \'ü\'', "zoë", "S"),
        ("é2", 'SELECT "naïve" AS "a""b", x FROM t WHERE y = \'v\'', "zoë", "S")])
    shared = SharedLines(FIELDS, LOG_FIELDS[len(FIELDS):])
    for result in LogAnalyser().run(read_query_log(log)):
        def head(result=result):
            return [r for st in result.statements for r in records_of(result.row.file, st)]

        fast = shared.lines(id(result.statements), result.statements, head, log_tail(result))
        assert fast and "".join(line + "\n" for line in fast) == RECORD_WRITERS["jsonl"](
            log_records_of(result), LOG_FIELDS)
