"""OpenLineage run events: `--emit` through openlineage-python's transports
to a local HTTP server (127.0.0.1) and to a file, and `-f openlineage`;
every event checked against the JSON schemas written from the published
OpenLineage objects (tests/data, each naming its source)."""
import json
import os
import shutil
import subprocess
import sys
import threading
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path

import jsonschema
import pytest
from referencing import Registry, Resource

ROOT = Path(__file__).resolve().parent.parent
DATA = ROOT / "tests" / "data"


def validator():
    """RunEvent 2-0-2 with SchemaDatasetFacet 1-2-0, SQLJobFacet 1-1-0 and
    ColumnLineageDatasetFacet 1-2-0 (https://openlineage.io/spec/2-0-2/OpenLineage.json)."""
    event = json.loads((DATA / "run_event.schema.json").read_text())
    facet = json.loads((DATA / "column_lineage_facet.schema.json").read_text())
    registry = Registry().with_resource("column_lineage_facet.schema.json", Resource.from_contents(facet))
    return jsonschema.Draft202012Validator(event, registry=registry, format_checker=jsonschema.FormatChecker())


def run(*args, cwd=ROOT, env=None):
    exe = shutil.which("keldra-lineage", path=str(Path(sys.executable).parent))
    # no OpenLineage settings of the machine's leak in: HOME is the test's
    base = {k: v for k, v in os.environ.items() if not k.startswith("OPENLINEAGE")}
    base["HOME"] = str(cwd)
    return subprocess.run([exe, *map(str, args)], capture_output=True, text=True, timeout=300, cwd=cwd,
                          env={**base, **(env or {})})


class Collector(BaseHTTPRequestHandler):
    def do_POST(self):
        body = self.rfile.read(int(self.headers["Content-Length"]))
        self.server.received.append((self.path, self.headers.get("Content-Type"), json.loads(body)))
        self.send_response(self.server.status)
        self.end_headers()

    def log_message(self, *args):  # quiet
        pass


@pytest.fixture
def server():
    httpd = ThreadingHTTPServer(("127.0.0.1", 0), Collector)
    httpd.received, httpd.status = [], 201
    thread = threading.Thread(target=httpd.serve_forever, daemon=True)
    thread.start()
    yield httpd
    httpd.shutdown()
    httpd.server_close()


def url(server):
    return f"http://127.0.0.1:{server.server_address[1]}"


def by_output(events):
    return {e["outputs"][0]["name"]: e for e in events}


def test_emit_delivers_one_valid_event_per_statement(server):
    done = run("examples/", "--emit", "--namespace", "warehouse", "-f", "json", env={"OPENLINEAGE_URL": url(server)})
    assert done.returncode == 0, done.stderr
    assert done.stderr == ""
    # the output asked for is still there
    assert {r["target"] for r in json.loads(done.stdout)} >= {"staging.daily_orders", "mart.top_customers"}
    events = [body for path, kind, body in server.received]
    assert {path for path, _, _ in server.received} == {"/api/v1/lineage"}
    assert {kind for _, kind, _ in server.received} == {"application/json"}
    assert len(events) == 8  # the statements of examples/
    check = validator()
    for e in events:
        check.validate(e)
    assert {e["eventType"] for e in events} == {"COMPLETE"}
    assert len({e["run"]["runId"] for e in events}) == 8
    assert {e["job"]["namespace"] for e in events} == {"warehouse"}
    assert "examples/etl.sql#2" in {e["job"]["name"] for e in events}

    event = by_output(events)["mart.customer_totals"]
    assert event["job"]["name"] == "examples/etl.sql#2"
    assert event["job"]["facets"]["sql"]["query"].startswith("CREATE TABLE mart.customer_totals AS")
    assert event["job"]["facets"]["sql"]["query"].endswith("GROUP BY customer_id;")
    assert [(d["namespace"], d["name"]) for d in event["inputs"]] == [("warehouse", "staging.daily_orders")]
    output = event["outputs"][0]
    assert output["namespace"] == "warehouse"
    assert [f["name"] for f in output["facets"]["schema"]["fields"]] == ["customer_id", "revenue", "orders"]
    lineage = output["facets"]["columnLineage"]
    assert lineage["fields"]["revenue"]["inputFields"] == [{
        "namespace": "warehouse", "name": "staging.daily_orders", "field": "amount_eur",
        "transformations": [{"type": "DIRECT", "subtype": "AGGREGATION", "description": "aggregation",
                             "masking": False}]}]
    assert {(f["field"], t["type"], t["subtype"]) for f in lineage["dataset"] for t in f["transformations"]} \
        == {("customer_id", "INDIRECT", "GROUP_BY")}
    # a query writes no table: its output is named after its file and number
    assert "examples/orders_report.sql#1" in by_output(events)


def test_emit_goes_through_the_transport_of_openlineage_yml(tmp_path, server):
    (tmp_path / "load.sql").write_text("INSERT INTO mart.t (a, b) SELECT x.a, upper(x.b) FROM src.x AS x;\n"
                                       "SELECT a FROM mart.t WHERE b = 'z';\n")
    (tmp_path / "openlineage.yml").write_text(
        "transport:\n  type: file\n  log_file_path: events.jsonl\n  append: true\n")
    done = run("load.sql", "--emit", "-f", "csv", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    events = [json.loads(line) for line in (tmp_path / "events.jsonl").read_text().splitlines()]
    assert [e["job"]["name"] for e in events] == ["load.sql#1", "load.sql#2"]
    check = validator()
    for e in events:
        check.validate(e)
    assert events[0]["outputs"][0]["facets"]["columnLineage"]["fields"]["b"]["inputFields"][0][
        "transformations"][0]["subtype"] == "TRANSFORMATION"
    # the query reads the table the first statement wrote
    assert [d["name"] for d in events[1]["inputs"]] == ["mart.t"]
    assert server.received == []  # nothing went anywhere else
    # a named configuration file wins over the one in the folder
    (tmp_path / "http.yml").write_text(f"transport:\n  type: http\n  url: {url(server)}\n")
    done = run("load.sql", "--emit", "-q", cwd=tmp_path, env={"OPENLINEAGE_CONFIG": str(tmp_path / "http.yml")})
    assert done.returncode == 0, done.stderr
    assert len(server.received) == 2


def test_emit_failures_are_one_line_errors(tmp_path, server):
    (tmp_path / "q.sql").write_text("SELECT a FROM t;\n")
    done = run("q.sql", "--emit", cwd=tmp_path)
    assert done.returncode == 2 and done.stdout == ""
    assert done.stderr.startswith("keldra-lineage: error: --emit: no OpenLineage transport configured")
    server.status = 400  # an endpoint that refuses the events
    done = run("q.sql", "--emit", cwd=tmp_path, env={"OPENLINEAGE_URL": url(server)})
    assert done.returncode == 1
    assert done.stderr.startswith("keldra-lineage: error: --emit: q.sql:1: HTTPError: 400")
    assert len(done.stderr.splitlines()) == 1
    refused = run("q.sql", "--exact", "--emit", cwd=tmp_path)
    assert refused.returncode == 2 and "--emit needs the lineage engine" in refused.stderr


def test_format_openlineage_writes_the_events_that_emit_sends(server):
    written = run("examples/", "-f", "openlineage", "--namespace", "warehouse",
                  env={"OPENLINEAGE_URL": url(server)})
    assert written.returncode == 0, written.stderr
    assert server.received == []  # -f openlineage alone sends nothing
    lines = [json.loads(line) for line in written.stdout.splitlines()]
    sent = run("examples/", "--emit", "-q", "--namespace", "warehouse", env={"OPENLINEAGE_URL": url(server)})
    assert sent.returncode == 0, sent.stderr
    events = [body for _, _, body in server.received]

    def same(e):  # all but the time and the run's id
        return {k: v for k, v in e.items() if k not in ("eventTime", "run")}
    assert [same(e) for e in lines] == [same(e) for e in events]
