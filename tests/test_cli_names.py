"""Names written safely in every format: a control character in an alias
or a file name keeps a table row and a message one line, and a file name
that is not UTF-8 is written as valid UTF-8 that shows its bytes."""
import csv
import io
import json
import os
import subprocess
import sys
from pathlib import Path

import pytest

from test_cli_engine import FIELDS

EXE = Path(sys.executable).parent / "keldra-lineage"
TRICKY = "x\n\x1b[31mred\u202e.sql"     # a newline, a terminal's colour code, a right-to-left override


def command(*args, cwd):
    """The command, with its output as bytes: what a reader of it gets."""
    return subprocess.run([str(EXE), *map(os.fspath, args)], capture_output=True, timeout=300, cwd=cwd)


def test_control_characters_stay_inside_their_row_and_line(tmp_path):
    (tmp_path / TRICKY).write_text('SELECT a AS "two\nlines", b AS "fake\nfile  1  1  query" FROM t;\nSELEC;\n')
    table = command(TRICKY, cwd=tmp_path)
    assert table.returncode == 1
    lines = table.stdout.decode().splitlines()
    assert len(lines) == 2 + 2 and not any("\x1b" in line or "\u202e" in line for line in lines)
    assert lines[2].split()[:6] == ["x\\n\\x1b[31mred\\u202e.sql", "1", "1", "query", "two\\nlines", "t"]
    assert lines[3].split()[4] == "fake\\nfile"
    # the error is one line naming the file as the table does
    assert table.stderr.decode().splitlines() == [
        "x\\n\\x1b[31mred\\u202e.sql:4:1: Expected: an SQL statement, found: SELEC"]

    # the quoting formats keep the names as they are
    as_csv = list(csv.reader(io.StringIO(command(TRICKY, "-f", "csv", cwd=tmp_path).stdout.decode())))
    assert [r[FIELDS.index("column")] for r in as_csv[1:]] == ["two\nlines", "fake\nfile  1  1  query"]
    assert as_csv[1][0] == TRICKY
    records = json.loads(command(TRICKY, "-f", "json", cwd=tmp_path).stdout)
    assert [r["file"] for r in records] == [TRICKY, TRICKY]
    # a mermaid label holds no line break either
    drawn = command(TRICKY, "-f", "mermaid", cwd=tmp_path).stdout.decode()
    assert '["two#10;lines"]' in drawn and "#27;[31mred" in drawn and "\x1b" not in drawn
    assert all(line.startswith(("flowchart", "  ")) for line in drawn.splitlines())


@pytest.mark.parametrize("fmt", ["table", "csv", "json", "jsonl", "openlineage", "html", "dot", "mermaid"])
def test_a_file_name_that_is_not_utf8_is_written_by_its_bytes(tmp_path, fmt):
    folder = os.fsencode(tmp_path)
    with open(folder + b"/caf\xe9\xff.sql", "wb") as f:
        f.write(b"SELECT a FROM t WHERE nosuch.b = 1;\n")
    done = command(".", "-f", fmt, cwd=tmp_path)
    assert done.returncode == 0
    out = done.stdout.decode("utf-8")   # valid UTF-8, or this raises
    shown = "caf\\xe9\\xff.sql"
    if fmt == "json":
        assert json.loads(out)[0]["file"] == shown
    elif fmt == "jsonl":
        assert json.loads(out.splitlines()[0])["file"] == shown
    elif fmt == "csv":
        assert next(csv.DictReader(io.StringIO(out)))["file"] == shown
    elif fmt == "openlineage":
        assert json.loads(out.splitlines()[0])["job"]["name"] == shown + "#1"
    else:
        assert shown in out or shown.replace("\\", "\\\\") in out   # dot doubles a backslash
    # and so is the warning about it
    assert done.stderr.decode("utf-8").startswith(shown + ":1:")
    # the same name given on the command line
    alone = command(os.fsdecode(folder + b"/caf\xe9\xff.sql"), "-f", "csv", "-q", cwd=tmp_path)
    assert alone.returncode == 0 and "caf\\xe9\\xff.sql" in alone.stdout.decode("utf-8")


@pytest.mark.parametrize("suffix", [".csv", ".jsonl.gz", ".parquet"])
def test_a_query_log_whose_name_is_not_utf8_is_read_and_named_by_its_bytes(tmp_path, suffix):
    import gzip

    import pyarrow as pa
    import pyarrow.parquet as pq

    log = b"log\xff" + suffix.encode()   # in tmp_path, where the command runs
    if suffix == ".csv":
        Path(os.fsdecode(os.fsencode(tmp_path) + b"/" + log)).write_bytes(b"query_id,query_text\nq1,SELECT a FROM t\nq2,SELECT b FROM\n")
    elif suffix == ".jsonl.gz":
        with gzip.open(os.fsencode(tmp_path) + b"/" + log, "wb") as f:
            f.write(b'{"query_id": "q1", "query_text": "SELECT a FROM t"}\n'
                    b'{"query_id": "q2", "query_text": "SELECT b FROM"}\n')
    else:
        pq.write_table(pa.table({"query_id": ["q1", "q2"], "query_text": ["SELECT a FROM t", "SELECT b FROM"]}),
                       str(tmp_path / "p.parquet"))
        os.rename(tmp_path / "p.parquet", os.fsencode(tmp_path) + b"/" + log)
    done = command("--query-log", log, "-f", "jsonl", cwd=tmp_path)
    assert done.returncode == 1          # the second row does not parse
    shown = "log\\xff" + suffix
    rows = [json.loads(line) for line in done.stdout.decode("utf-8").splitlines()]
    assert [(r["file"], r["query_id"], r["column"], r["source_table"]) for r in rows] == [(shown, "q1", "a", "t")]
    assert done.stderr.decode("utf-8").startswith(shown + ":")
