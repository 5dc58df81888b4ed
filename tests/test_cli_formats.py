"""The output formats as the command line offers them: what each says it
goes with holds when a user runs it, and a new format is one module."""
import json

import pytest

from keldra_lineage import output
from keldra_lineage.cli import main
from test_cli_engine import run

FORMATS = list(output.formats().values())


def test_the_registry_holds_every_format_the_command_names():
    assert list(output.formats()) == ["csv", "dot", "html", "json", "jsonl", "mermaid", "openlineage", "table"]
    helped = run("--help").stdout
    for fmt in FORMATS:
        assert f"{fmt.name} (" in " ".join(helped.split())


@pytest.mark.parametrize("fmt", FORMATS, ids=lambda f: f.name)
def test_each_format_goes_with_what_it_says(fmt):
    plain = run("examples/", "--schema", "examples/schema.yaml", "-f", fmt.name)
    assert plain.returncode == 0 and "mart.top_customers" in plain.stdout, plain.stderr

    traced = run("examples/", "--schema", "examples/schema.yaml", "-f", fmt.name,
                 "--trace", "sales.orders.amount", "--downstream")
    if fmt.trace:
        assert traced.returncode == 0, traced.stderr
        # the traced part of the lineage only: what the amount feeds, not what it does not
        assert "mart.top_customers" in traced.stdout and "contact_email" not in traced.stdout
        assert "contact_email" in plain.stdout
    else:
        assert traced.returncode == 2 and f"another format than {fmt.name}" in traced.stderr
        assert traced.stdout == ""

    exact = run("--exact", "examples/", "-f", fmt.name)
    if fmt.exact is not None:
        assert exact.returncode == 0 and "customers" in exact.stdout
    else:
        assert exact.returncode == 2 and f"-f {fmt.name} needs the lineage engine" in exact.stderr


SHOUT = '''
from keldra_lineage.output import RecordFormat


class Shout(RecordFormat):
    def render(self, rows, fields):
        return "".join("|".join(str(v).upper() for v in r) + "\\n" for r in rows)


FORMAT = Shout("shout", "the records, loudly")
'''


@pytest.fixture
def shout_format(tmp_path, monkeypatch):
    """A format that is one module, in a folder of the output package's path."""
    (tmp_path / "shout.py").write_text(SHOUT)
    monkeypatch.setattr(output, "__path__", [*output.__path__, str(tmp_path)])
    output.formats.cache_clear()
    yield
    monkeypatch.undo()
    output.formats.cache_clear()


def test_a_new_format_is_one_module(shout_format, capsys):
    assert main(["-e", "SELECT a FROM t", "-f", "shout"]) == 0
    assert capsys.readouterr().out == "<EXPR>|1|1|QUERY|NONE|A|T|A|DIRECT|IDENTITY\n"
    # a record format writes what --trace reaches with the fields of a reached column
    assert main(["-e", "CREATE TABLE s AS SELECT a FROM t", "-f", "shout", "--trace", "t.a", "--downstream"]) == 0
    assert capsys.readouterr().out == "S|A|1|DIRECT|IDENTITY|<EXPR>:1\n"
    # it writes no records of the original analysis
    with pytest.raises(SystemExit) as refused:
        main(["--exact", "-e", "SELECT a FROM t", "-f", "shout"])
    assert refused.value.code == 2 and "-f shout needs the lineage engine" in capsys.readouterr().err


def test_emit_and_a_format_share_each_statements_event(tmp_path):
    """--emit and -f openlineage send and write the same event (one run id) for
    each statement."""
    sent = tmp_path / "sent.jsonl"
    (tmp_path / "openlineage.yml").write_text(f"transport:\n  type: file\n  log_file_path: {sent}\n"
                                              "  append: true\n")
    done = run("-e", "SELECT a FROM t; SELECT b FROM u", "-f", "openlineage", "--emit", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    written = [json.loads(line) for line in done.stdout.splitlines()]
    emitted = [json.loads(line) for line in sent.read_text().splitlines()]
    assert len(written) == 2 and [e["run"]["runId"] for e in written] == [e["run"]["runId"] for e in emitted]


def test_a_query_logs_statements_carry_their_sql(tmp_path):
    """The events' `sql` facet and the page's statements hold each log row's query."""
    log = tmp_path / "history.csv"
    log.write_text("query_id,query_text\nq1,SELECT a FROM t WHERE c = 1\nq2,INSERT INTO s SELECT b FROM u\n")
    events = [json.loads(line) for line in run("--query-log", log, "-f", "openlineage").stdout.splitlines()]
    assert [e["job"]["facets"]["sql"]["query"] for e in events] == [
        "SELECT a FROM t WHERE c = 1", "INSERT INTO s SELECT b FROM u"]
    page = run("--query-log", log, "-f", "html").stdout
    data = json.loads(page.split('<script id="lineage-data" type="application/json">', 1)[1].split("</script>", 1)[0])
    assert data["statements"] == [[f"{log}:row 1:1", "SELECT a FROM t WHERE c = 1"],
                                  [f"{log}:row 2:1", "INSERT INTO s SELECT b FROM u"]]
