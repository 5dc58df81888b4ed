"""A statement that kills the process analysing it costs that statement only:
the command as a process, its engine in worker processes killed for real.

The wrapper below runs the command with the catalog's `resolve` changed, so
that a statement reading the table `segv` crashes its process inside the
engine's call (a read of address 0: a real SIGSEGV), one reading `oom` is
killed by SIGKILL (as the kernel's out-of-memory killer would) and one
reading `hang` writes the process id to MARK and sleeps.  Each crash adds a
line to COUNT first, so a test can tell how often a statement ran.
"""
import csv
import io
import json
import os
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent

WRAPPER = """\
import ctypes, os, signal, sys, time
from keldra_lineage import Catalog
from keldra_lineage.cli import main

MARK, COUNT = {mark!r}, {count!r}
real = Catalog.resolve

def resolve(self, parts):
    name = parts[-1].lower()
    if name in ("segv", "oom", "raw_customers"):
        with open(COUNT, "a") as f:
            f.write(name + "\\n")
        if name == "oom":
            os.kill(os.getpid(), signal.SIGKILL)
        ctypes.string_at(0)
    if name == "hang":
        with open(MARK, "w") as f:
            f.write(str(os.getpid()))
        time.sleep(600)
    return real(self, parts)

if os.environ.get("DIE_AT_START"):
    import keldra_lineage.session
    keldra_lineage.session.Session.__init__ = lambda *a: os.kill(os.getpid(), signal.SIGKILL)
Catalog.resolve = resolve
if __name__ == "__main__":
    sys.exit(main())
"""

SEGV = "the worker process analysing this statement died (signal 11: SIGSEGV)"
KILLED = "the worker process analysing this statement died (signal 9: SIGKILL)"


class Command:
    def __init__(self, tmp_path):
        self.mark = tmp_path / "hanging.pid"
        self.count = tmp_path / "crashes"
        self.script = tmp_path / "wrapped.py"
        self.script.write_text(WRAPPER.format(mark=str(self.mark), count=str(self.count)))
        self.schema = tmp_path / "schema.json"
        self.schema.write_text(json.dumps({"db.src": ["a", "b"], "db.log_src": ["k", "v"]}))
        self.env = dict(os.environ)
        # under the sanitizer build a read of address 0 must stay a plain SIGSEGV
        if "ASAN_OPTIONS" in self.env:
            self.env["ASAN_OPTIONS"] += ":handle_segv=0"

    def argv(self, *args):
        return [sys.executable, str(self.script), *map(str, args)]

    def run(self, *args, env=None, plain=False):
        argv = [sys.executable, "-P", "-m", "keldra_lineage", *map(str, args)] if plain else self.argv(*args)
        return subprocess.run(argv, capture_output=True, text=True, cwd=ROOT, timeout=300,
                              env={**self.env, **(env or {})})

    def crashes(self):
        return self.count.read_text().splitlines() if self.count.exists() else []


@pytest.fixture
def command(tmp_path):
    return Command(tmp_path)


def jsonl(text):
    return [json.loads(line) for line in text.splitlines()]


# Five statements: the first creates a table that the fourth and a later
# file read (its star expands only through the session), the third crashes.
# Everything but the third is byte for byte what a run without the crash
# writes; the crashing statement ran twice (with its text, then alone).
FIVE = ("CREATE TABLE db.made AS SELECT a, b FROM db.src;\n"
        "SELECT a AS one FROM db.t1;\n"
        "SELECT x\n  FROM segv;\n"
        "SELECT * FROM db.made;\n"
        "SELECT b AS five FROM db.t2;\n")


@pytest.mark.parametrize("jobs", ["1", "2"])
@pytest.mark.parametrize("fmt", ["jsonl", "csv"])
def test_a_crash_costs_its_statement_only(command, tmp_path, jobs, fmt):
    first, q, last = tmp_path / "a.sql", tmp_path / "q.sql", tmp_path / "r.sql"
    first.write_text("SELECT a AS before FROM db.src;\n")
    q.write_text(FIVE)
    last.write_text("SELECT * FROM db.made;\nSELECT v FROM db.log_src;\n")
    args = [first, q, last, "--schema", command.schema, "-f", fmt, "-j", jobs]
    done = command.run(*args)
    assert (done.returncode, done.stderr) == (1, f"{q}:3:1: {SEGV}\n")
    assert command.crashes() == ["segv", "segv"]

    # without the crash the third statement reads `segv` as an unknown table
    plain = command.run(*args, plain=True)
    assert plain.returncode == 0, plain.stderr
    third = (f"{q},3,", '"file": "%s", "statement": 3,' % q)
    kept = [line for line in plain.stdout.splitlines(keepends=True)
            if not any(line.startswith(("{" + t) if fmt == "jsonl" else t) for t in third)]
    assert len(kept) < len(plain.stdout.splitlines())
    assert done.stdout == "".join(kept)
    if fmt == "jsonl":
        made = {(r["file"], r["statement"], r["column"], r["source_column"])
                for r in jsonl(done.stdout) if r["source_table"] == "db.made"}
        assert made == {(str(q), 4, "a", "a"), (str(q), 4, "b", "b"),
                        (str(last), 1, "a", "a"), (str(last), 1, "b", "b")}


@pytest.mark.parametrize("jobs", ["1", "2"])
def test_a_killed_worker_and_positions_in_characters(command, tmp_path, jobs):
    # The statement is cut out of its text with the rest blanked: its line
    # and column stay those of the whole text, counted in characters.
    q = tmp_path / "q.sql"
    text = "SELECT a, 'ééé' AS e FROM db.src; SELECT k FROM oom;\nSELECT b FROM db.src;\n"
    q.write_text(text)
    done = command.run(q, "--schema", command.schema, "-f", "csv", "-j", jobs)
    assert (done.returncode, done.stderr) == (1, f"{q}:1:{text.index('SELECT k') + 1}: {KILLED}\n")
    rows = list(csv.reader(io.StringIO(done.stdout)))[1:]
    assert [(r[1], r[2], r[5], r[7]) for r in rows] == [("1", "1", "a", "a"), ("1", "1", "e", ""),
                                                        ("3", "2", "b", "b")]
    assert command.crashes() == ["oom", "oom"]


def test_every_crashing_statement_of_a_text_is_reported(command, tmp_path):
    q = tmp_path / "q.sql"
    q.write_text("SELECT 1 AS a FROM segv;\nSELECT k FROM oom;\nSELECT b FROM db.src;\nSELECT x FROM segv;\n")
    done = command.run(q, "--schema", command.schema, "-f", "jsonl")
    assert done.returncode == 1
    assert done.stderr.splitlines() == [f"{q}:1:1: {SEGV}", f"{q}:2:1: {KILLED}", f"{q}:4:1: {SEGV}"]
    assert [(r["statement"], r["column"]) for r in jsonl(done.stdout)] == [(3, "b")]
    # The text's run ended at its first statement; then each ran alone: the
    # first ran twice, the others once.
    assert sorted(command.crashes()) == ["oom", "segv", "segv", "segv"]


@pytest.mark.parametrize("source", ["stdin", "expression"])
def test_standard_input_and_expressions_are_supervised(command, source):
    sql = "SELECT a FROM db.src;\nSELECT z FROM segv;\nSELECT b FROM db.src"
    if source == "stdin":
        done = subprocess.run(command.argv("-", "--schema", command.schema, "-f", "jsonl"), input=sql,
                              capture_output=True, text=True, cwd=ROOT, timeout=300, env=command.env)
        where = "<stdin>"
    else:
        done = command.run("-e", sql, "--schema", command.schema, "-f", "jsonl")
        where = "<expr>"
    assert (done.returncode, done.stderr) == (1, f"{where}:2:1: {SEGV}\n")
    assert [(r["statement"], r["column"]) for r in jsonl(done.stdout)] == [(1, "a"), (3, "b")]


@pytest.mark.parametrize("jobs", ["1", "2"])
def test_a_query_log_row_that_crashes(command, tmp_path, jobs):
    log = tmp_path / "history.csv"
    with open(log, "w", newline="") as f:
        w = csv.writer(f)
        w.writerow(["query_id", "query_text"])
        w.writerows([("q1", "SELECT k FROM db.log_src"), ("q2", "SELECT s FROM segv"),
                     ("q3", "SELECT v FROM db.log_src WHERE k = 1"), ("q4", "SELECT s FROM segv"),
                     ("q5", "SELECT v FROM db.log_src WHERE k = 2")])
    done = command.run("--query-log", log, "--schema", command.schema, "-f", "jsonl", "-j", jobs)
    assert done.returncode == 1
    assert done.stderr.splitlines() == [f"{log}: row 2 (query q2): line 1, column 1: {SEGV}",
                                        f"{log}: row 4 (query q4): line 1, column 1: {SEGV}"]
    records = jsonl(done.stdout)
    assert [(r["query_id"], r["column"]) for r in records if r["column"]] == [("q1", "k"), ("q3", "v"), ("q5", "v")]
    assert [r["occurrence"] for r in records if r["query_id"] == "q5"] == [2, 2]
    # the copy of the crashing query shares its first analysis
    assert command.crashes() == ["segv", "segv"]


def test_a_dbt_model_that_crashes(command):
    done = command.run("--dbt", ROOT / "examples" / "dbt", "-f", "jsonl")
    assert done.returncode == 1
    assert f"models/staging/stg_customers.sql:1:1: {SEGV}" in done.stderr.splitlines()
    files = {r["file"] for r in jsonl(done.stdout)}
    assert files == {"models/staging/stg_orders.sql", "snapshots/orders_snapshot.sql",
                     "models/marts/customers.sql", "models/marts/big_spenders.sql"}
    customers = {(r["column"], r["source_table"], r["source_column"]) for r in jsonl(done.stdout)
                 if r["file"] == "models/marts/customers.sql"}
    # the crashed model's table still comes from catalog.json
    assert ("full_name", "keldra.main.stg_customers", "first_name") in customers


def test_a_database_view_that_crashes(command, tmp_path):
    import sqlite3

    db = tmp_path / "views.db"
    with sqlite3.connect(db) as c:
        c.executescript("CREATE TABLE src (a, b); CREATE TABLE segv (x);"
                        "CREATE VIEW v1 AS SELECT a FROM src; CREATE VIEW v2 AS SELECT x FROM segv;"
                        "CREATE VIEW v3 AS SELECT b FROM src;")
    done = command.run("--schema-url", f"sqlite:///{db}", "-e", "SELECT a FROM v1", "-e", "SELECT b FROM v3",
                       "-f", "jsonl")
    assert (done.returncode, done.stderr) == (1, f"<view main.v2>:1:1: {SEGV}\n")
    assert [(r["file"], r["column"], r["source_table"]) for r in jsonl(done.stdout)] == [
        ("<view main.v1>", "a", "main.src"), ("<view main.v3>", "b", "main.src"),
        ("<expr1>", "a", "v1"), ("<expr2>", "b", "v3")]


def test_a_worker_that_dies_at_start_up_is_one_error(command, tmp_path):
    q = tmp_path / "q.sql"
    q.write_text("SELECT a FROM db.src;\n" * 50)
    done = command.run(q, "-f", "csv", env={"DIE_AT_START": "1"})
    assert done.returncode == 1
    assert done.stderr == "keldra-lineage: error: the worker process died at start-up (signal 9: SIGKILL)\n"
    assert done.stdout == "file,statement,line,kind,target,column,source_table,source_column,type,subtype\n"


def gone(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return True
    return False


# The engine never runs in the command's own process: Ctrl-C reaches the
# command, which ends its workers (the one hanging too) and dies by SIGINT.
@pytest.mark.parametrize("jobs", ["1", "2"])
def test_interrupt_ends_the_workers(command, tmp_path, jobs):
    q = tmp_path / "q.sql"
    q.write_text("SELECT a FROM db.src;\n" * 5 + "SELECT h FROM hang;\n")
    proc = subprocess.Popen(command.argv(q, "--schema", command.schema, "-f", "csv", "-j", jobs),
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                            start_new_session=True, env=command.env)
    try:
        while not command.mark.exists() or not command.mark.read_text():
            assert proc.poll() is None, proc.communicate()
            time.sleep(0.05)
        hanging = int(command.mark.read_text())
        assert hanging != proc.pid
        os.killpg(proc.pid, signal.SIGINT)
        out, err = proc.communicate(timeout=60)
    finally:
        if proc.poll() is None:
            os.killpg(proc.pid, signal.SIGKILL)
    assert proc.returncode == -signal.SIGINT
    assert err == "keldra-lineage: interrupted\n"
    deadline = time.monotonic() + 30
    while not gone(hanging) and time.monotonic() < deadline:
        time.sleep(0.05)
    assert gone(hanging)


@pytest.mark.parametrize("jobs", ["1", "2"])
def test_crashes_among_many_queued_rows(command, tmp_path, jobs):
    # 300 distinct queries go to the workers in batches, dozens ahead of the
    # row being written: the two that crash cost their rows only, each ran
    # twice, and every other row keeps its records, in order.
    log = tmp_path / "history.csv"
    crashing = {37, 150}
    with open(log, "w", newline="") as f:
        w = csv.writer(f)
        w.writerow(["query_id", "query_text"])
        w.writerows((f"q{k}", f"SELECT s AS c{k} FROM segv" if k in crashing else
                     f"SELECT v AS c{k} FROM db.log_src WHERE k = {k}") for k in range(300))
    done = command.run("--query-log", log, "--schema", command.schema, "-f", "jsonl", "-j", jobs)
    assert done.returncode == 1
    assert done.stderr.splitlines() == [f"{log}: row {k + 1} (query q{k}): line 1, column 1: {SEGV}"
                                        for k in sorted(crashing)]
    records = [(r["query_id"], r["column"], r["source_column"]) for r in jsonl(done.stdout) if r["column"]]
    assert records == [(f"q{k}", f"c{k}", "v") for k in range(300) if k not in crashing]
    assert command.crashes() == ["segv"] * 4


@pytest.mark.parametrize("jobs", ["1", "2"])
def test_large_texts_and_results_pass_between_the_processes(command, tmp_path, jobs):
    # Texts and results far larger than a pipe holds, many at once, both
    # ways: the run ends (a pipe each way full at once would hang it) with
    # every column of every file and row.
    columns = 4000
    select = "SELECT " + ", ".join(f"a AS c{k}" for k in range(columns)) + " FROM db.src"
    files = []
    for n in range(12):
        f = tmp_path / f"wide{n:02}.sql"
        f.write_text(f"{select} WHERE b = {n};\n")
        files.append(f)
    log = tmp_path / "wide.csv"
    with open(log, "w", newline="") as f:
        w = csv.writer(f)
        w.writerow(["query_id", "query_text"])
        w.writerows((f"q{k}", f"{select} WHERE b = 'x{k}' OR a = {k}") for k in range(12))
    done = command.run(*files, "--query-log", log, "--schema", command.schema, "-f", "csv", "-j", jobs,
                       plain=True)
    assert done.returncode == 0, done.stderr
    named = {}
    for r in csv.DictReader(io.StringIO(done.stdout)):
        if r["column"]:
            named.setdefault((r["file"], r.get("row")), []).append(r["column"])
    expected = [f"c{k}" for k in range(columns)]
    assert list(named) == [(str(f), "") for f in files] + [(str(log), str(k + 1)) for k in range(12)]
    assert all(names == expected for names in named.values())


def test_a_crash_in_a_text_with_old_mac_line_ends(command, tmp_path):
    # Lone carriage returns end lines for the statement-by-statement re-run
    # as for the whole text: every position is the one a run without the
    # crash gives.
    q = tmp_path / "mac.sql"
    q.write_bytes(b"SELECT a FROM db.src\rWHERE b = 1; SELECT x\r FROM segv;\r SELECT zz FROM db.src;\r")
    done = command.run(q, "--schema", command.schema, "-f", "jsonl", "--warnings", "all")
    assert done.returncode == 1
    assert done.stderr.splitlines() == [f"{q}:2:14: {SEGV}",
                                        f"{q}:4:9: warning: column 'zz' is not in the schema of db.src"]
    plain = command.run(q, "--schema", command.schema, "-f", "jsonl", "--warnings", "all", plain=True)
    assert [r for r in jsonl(plain.stdout) if r["statement"] != 2] == jsonl(done.stdout)
