"""The keldra-lineage command line in --exact mode: the original analysis."""
import csv
import io
import json
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from keldra_lineage.cli import main

ROOT = Path(__file__).resolve().parent.parent
EXAMPLES = ROOT / "examples"


def run(*args, stdin=None):
    """The installed console command, as a user runs it."""
    exe = shutil.which("keldra-lineage", path=str(Path(sys.executable).parent))
    cmd = [exe] if exe else [sys.executable, "-m", "keldra_lineage"]
    return subprocess.run([*cmd, "--exact", *map(str, args)], input=stdin, capture_output=True, text=True,
                          timeout=300, cwd=ROOT)


@pytest.fixture
def cli(capsys):
    def call(*args):
        code = main(["--exact", *(str(a) for a in args)])
        out, err = capsys.readouterr()
        return code, out, err
    return call


def records(text):
    return [tuple(r.values()) for r in json.loads(text)]


def test_four_invocations():
    folder = run("examples/", "-f", "json")
    assert folder.returncode == 0, folder.stderr
    rows = records(folder.stdout)
    assert ("examples/orders_report.sql", 1, "crm", "customers", "full_name", "customer") in rows
    # etl.sql holds no SELECT statement: the original analysis skips it.
    assert {r[0] for r in rows} == {f"examples/{p.name}" for p in EXAMPLES.glob("*.sql")} - {"examples/etl.sql"}

    one = run("examples/orders_report.sql", "-f", "json")
    assert records(one.stdout) == [r for r in rows if r[0] == "examples/orders_report.sql"]

    piped = run("-", stdin="SELECT a, b AS c FROM sales.orders;\n")
    assert piped.returncode == 0
    assert piped.stdout.splitlines()[2:] == ["<stdin>  1          sales     orders  a    a",
                                             "<stdin>  1          sales     orders  b    c"]

    inline = run("-e", "SELECT t.a AS b FROM db.tbl t", "-f", "jsonl")
    assert [json.loads(line) for line in inline.stdout.splitlines()] == [
        {"file": "<expr>", "statement": 1, "database": "db", "table": "tbl", "src": "a", "tgt": "b"}]
    assert inline.stderr == ""


def test_formats_carry_the_same_records(cli):
    code, out, _ = cli(EXAMPLES, "-f", "json", "-j", "1")
    expected = records(out)
    assert code == 0 and len(expected) == 20

    _, out, _ = cli(EXAMPLES, "-f", "jsonl", "-j", "1")
    assert [tuple(json.loads(line).values()) for line in out.splitlines()] == expected

    _, out, _ = cli(EXAMPLES, "-f", "csv", "-j", "1")
    back = list(csv.DictReader(io.StringIO(out)))
    assert [(r["file"], int(r["statement"]), r["database"] or None, r["table"], r["src"], r["tgt"])
            for r in back] == expected

    _, out, _ = cli(EXAMPLES, "-j", "1")
    lines = out.splitlines()
    assert lines[0].split() == ["file", "statement", "database", "table", "src", "tgt"]
    assert len(lines) == 2 + len(expected)
    widths = {len(line.rstrip()) <= len(lines[1]) for line in lines}
    assert widths == {True}


def test_output_is_sorted_and_deterministic(cli):
    sql = "SELECT z, y AS b, x AS a FROM db.t; SELECT c FROM db.u"
    _, out, _ = cli("-e", sql, "-f", "csv", "-j", "1")
    assert out.splitlines()[1:] == ["<expr>,1,db,t,x,a", "<expr>,1,db,t,y,b", "<expr>,1,db,t,z,z",
                                    "<expr>,2,db,u,c,c"]


def test_jobs_give_identical_output():
    one = run("examples/", "--jobs", "1")
    two = run("examples/", "--jobs", "2")
    assert one.returncode == two.returncode == 0
    assert one.stdout == two.stdout and one.stdout


def test_graphs(cli):
    pydot = pytest.importorskip("pydot")
    _, out, _ = cli(EXAMPLES / "events.sql", "-f", "dot", "-j", "1")
    [graph] = pydot.graph_from_dot_data(out)
    edges = graph.get_edges()
    assert len(edges) == 9
    labels = {n.get_name(): n.get("label") for sub in graph.get_subgraphs() for n in sub.get_nodes()}
    pairs = {(labels[e.get_source()], labels[e.get_destination()]) for e in edges}
    assert ('"occurred_at"', '"event_time"') in pairs
    if shutil.which("dot"):
        rendered = subprocess.run(["dot", "-Tsvg"], input=out, capture_output=True, text=True)
        assert rendered.returncode == 0, rendered.stderr

    _, out, _ = cli("-e", 'SELECT t.a AS "x y" FROM db.t t', "-f", "mermaid")
    assert out.splitlines() == ["flowchart LR", '  subgraph src0["db.t"]', '    n0["a"]', "  end",
                                '  subgraph out0["<expr> #1"]', '    n1["x_y"]', "  end", "  n0 --> n1"]


# One reader for both graph formats: cluster labels, labelled nodes and edges.
GRAPH_SYNTAX = {
    "dot": (re.compile(r'    label="(.*)";'), re.compile(r'    (n\d+) \[label="(.*)"\];'),
            re.compile(r"  (n\d+) -> (n\d+);")),
    "mermaid": (re.compile(r'  subgraph \w+\["(.*)"\]'), re.compile(r'    (n\d+)\["(.*)"\]'),
                re.compile(r"  (n\d+) --> (n\d+)")),
}


def graph_edges(fmt, text):
    """(source table, column, statement, output column) of every edge, in order."""
    cluster, node, edge = GRAPH_SYNTAX[fmt]
    nodes, group = {}, None
    for line in text.splitlines():
        if m := cluster.fullmatch(line):
            group = m.group(1)
        elif m := node.fullmatch(line):
            assert m.group(1) not in nodes
            nodes[m.group(1)] = (group, m.group(2))
    assert len(set(nodes.values())) == len(nodes)  # one node per table or statement column
    return [(*nodes[a], *nodes[b]) for a, b in edge.findall(text)]


@pytest.mark.parametrize("fmt", ["dot", "mermaid"])
def test_graphs_of_many_records(fmt, cli):
    # 2,000 records over a few shared tables: each record is one edge, each
    # table column and each output column one node.
    sql = "".join(f"SELECT {', '.join(f'c{i} AS o{s}_{i}' for i in range(50))} FROM db{s % 3}.t{s % 5};\n"
                  for s in range(40))
    code, out, _ = cli("-e", sql, "-f", "json", "-j", "1")
    expected = [(f"{r[2]}.{r[3]}", r[4], f"{r[0]} #{r[1]}", r[5]) for r in records(out)]
    assert code == 0 and len(expected) == 2000
    code, out, _ = cli("-e", sql, "-f", fmt, "-j", "1")
    assert code == 0
    assert graph_edges(fmt, out) == expected


def test_broken_statement_among_good_ones(tmp_path, cli):
    (tmp_path / "sub").mkdir()
    (tmp_path / "good.sql").write_text("SELECT a FROM db.t;\nSELECT b FROM db.u;\n")
    (tmp_path / "sub" / "mixed.sql").write_text(
        "-- leading comment\nSELECT c FROM db.v;\n\nSELECT FROM WHERE;\nCREATE TABLE x (a INT);\n"
        "SELECT d FROM db.w; SELECT e FROM t1 JOIN t2 ON t1.i = t2.i;\n")
    (tmp_path / "notes.txt").write_text("SELECT ignored FROM elsewhere")
    code, out, err = cli(tmp_path, "-f", "csv", "-j", "2")
    assert code == 1
    rows = list(csv.reader(io.StringIO(out)))[1:]
    assert [r[4] for r in rows] == ["a", "b", "c", "d"]
    errors = [line for line in err.splitlines() if not line.startswith("    ")]
    mixed = tmp_path / "sub" / "mixed.sql"
    assert errors == [
        f"{mixed}:5: statement 3: skipped, not a SELECT: CREATE TABLE x (a INT);",
        f"{mixed}:4: statement 2: ParseException: cannot parse the statement near \"FROM WHERE\" "
        "(line 1, column 8 of the cleaned text)",
        f"{mixed}:6: statement 5: RuntimeError: cannot attribute the unqualified column 'e': the FROM "
        "clause has several sources ['t1', {'join': 't2', 'on': {'eq': ['t1.i', 't2.i']}}]; qualify "
        "the column with its table or alias (printed: ['t1', {'join': 't2', 'on': {'eq': ['t1.i', "
        "'t2.i']}}])"]
    assert "    SELECT FROM WHERE;" in err.splitlines()
    assert "[" not in out  # nothing the library printed reaches standard output

    for jobs in ("1", "2"):
        code, out, err = cli(tmp_path, "-f", "csv", "--fail-fast", "-q", "-j", jobs)
        assert code == 1
        assert [r[4] for r in list(csv.reader(io.StringIO(out)))[1:]] == ["a", "b", "c"]
        assert "ParseException" in err and "RuntimeError" not in err and "skipped" not in err


def test_identical_statements_are_analysed_once(monkeypatch, cli):
    import keldra_lineage.analysis as analysis
    seen = []
    real = analysis.analyse
    monkeypatch.setattr(analysis, "analyse", lambda sql: seen.append(sql) or real(sql))
    code, out, _ = cli("-e", "SELECT a FROM db.t; SELECT a FROM db.t; SELECT b FROM db.t", "-j", "1",
                       "-f", "csv")
    assert code == 0 and len(seen) == 2
    assert [line.split(",")[1] for line in out.splitlines()[1:]] == ["1", "2", "3"]


@pytest.mark.parametrize("args, message", [
    (["missing.sql"], "missing.sql: no such file or directory"),
    (["-f", "yaml", "-e", "SELECT 1"], "invalid choice: 'yaml'"),
    ([], "give a PATH"),
    (["-j", "0", "-e", "SELECT 1"], "--jobs must be at least 1"),
])
def test_usage_errors(args, message):
    done = run(*args)
    assert done.returncode == 2
    assert message in done.stderr and done.stdout == ""


def test_version_and_help():
    assert run("--version").stdout.startswith("keldra-lineage ")
    helped = run("--help")
    assert helped.returncode == 0 and "examples:" in helped.stdout and "--fail-fast" in helped.stdout


def test_progress_bar_only_on_a_terminal(tmp_path):
    import fcntl
    import os
    import pty
    import struct
    import termios

    for i in range(3):
        (tmp_path / f"q{i}.sql").write_text(f"SELECT a{i} FROM db.t{i}")
    exe = shutil.which("keldra-lineage", path=str(Path(sys.executable).parent))
    cmd = [exe] if exe else [sys.executable, "-m", "keldra_lineage"]
    # Standard error on a terminal: the bar is drawn there, the records still
    # go to standard output alone.
    parent, child = pty.openpty()
    fcntl.ioctl(child, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 100, 0, 0))
    done = subprocess.run([*cmd, str(tmp_path), "-f", "csv", "-j", "1"], stdout=subprocess.PIPE,
                          stderr=child, timeout=300)
    os.close(child)
    drawn = b""
    while True:
        try:
            chunk = os.read(parent, 65536)
        except OSError:
            break
        if not chunk:
            break
        drawn += chunk
    os.close(parent)
    assert done.returncode == 0
    # the bar counts bytes of SQL text (the three files' 60) and statements
    assert b"/60.0" in drawn and b"B/s" in drawn
    assert done.stdout.decode().count("\n") == 4
    # In a pipe, nothing but errors is written there.
    piped = run(tmp_path, "-f", "csv", "-j", "1")
    assert piped.returncode == 0 and piped.stderr == ""
