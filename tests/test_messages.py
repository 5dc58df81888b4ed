"""Warnings and errors as data: every message is a str with its kind and position."""
import json
import pickle
import subprocess
import sys

import pytest

import keldra_lineage
from keldra_lineage import MESSAGE_KINDS, Message, lineage

SCHEMA = {"t": ["a", "b"], "u": ["a", "c"]}

# (sql, the kind, line, column and start of the message of its first warning)
WARNINGS = [
    ("SELECT a FROM t JOIN u ON t.a = u.a", "ambiguous_column", 1, 8, "column 'a' is ambiguous"),
    ("SELECT x\nFROM t", "unknown_column", 1, 8, "column 'x' is not in the schema of t"),
    ("SELECT 1;\n  SELECT q.a FROM t", "unknown_qualifier", 2, 10, "unknown qualifier 'q'"),
    ("SELECT * FROM my_udtf(1, 3)", "unexpanded_star", 1, 1, "the columns of"),
    ("SELECT 1;\n\n WITH c (SELECT a FROM t) SELECT a FROM c", "recovered_statement", 3, 2,
     "the parser rejected the statement"),
    ("SELECT a, b FROM t UNION SELECT c FROM u", "branch_width", 1, 1, "the branches"),
    ("INSERT INTO x (a, b) SELECT c FROM u", "target_width", 1, 1, "2 target columns"),
    ("SELECT a FROM t MATCH_RECOGNIZE (PARTITION BY a ORDER BY b MEASURES x AS y "
     "PATTERN (A) DEFINE A AS true)", "unsupported_construct", 1, 1, "unsupported construct"),
]


@pytest.mark.parametrize("sql, kind, line, column, start", WARNINGS)
def test_each_warning_carries_its_kind_and_position(sql, kind, line, column, start):
    warnings = [w for st in lineage(sql, "generic", SCHEMA) for w in st.warnings]
    assert warnings, sql
    w = warnings[0]
    assert isinstance(w, Message) and isinstance(w, str)
    assert (w.kind, w.line, w.column) == (kind, line, column)
    assert w.message.startswith(start)
    # str keeps the form it always had, so callers that compare text go on working
    assert w == f"line {line}, column {column}: {w.message}"
    assert w.kind in MESSAGE_KINDS


def test_errors_are_messages_positioned_in_the_whole_text():
    sts = lineage("SELECT 1 AS a;\nSELECT b FROM u WHERE );\nSELECT (" + "1+" * 10001 + "1)")
    parse, deep = sts[1].error, sts[2].error
    assert (parse.kind, parse.line, parse.column) == ("parse_error", 2, 23)
    assert parse == f"line 2, column 23: {parse.message}" and "line" not in parse.message
    assert deep.kind == "too_deep" and deep.line == 3
    assert sts[0].error is None


def test_messages_survive_pickling_and_json():
    st = lineage("SELECT a FROM t JOIN u ON t.a = u.a", "generic", SCHEMA)[0]
    again = pickle.loads(pickle.dumps(st))
    assert again == st
    assert [(w.kind, w.line, w.column) for w in again.warnings] == [(w.kind, w.line, w.column) for w in st.warnings]
    # JSON writes the text, as before; to_dict gives the parts
    assert json.loads(json.dumps(st.to_dict()))["warnings"] == list(st.warnings)
    assert st.warnings[0].to_dict() == {"kind": "ambiguous_column", "line": 1, "column": 8,
                                        "message": st.warnings[0].message}


def test_message_kinds_are_one_list_of_unique_names():
    assert len(set(MESSAGE_KINDS)) == len(MESSAGE_KINDS)
    assert keldra_lineage._engine.MESSAGE_KINDS is MESSAGE_KINDS
    assert all(k.isidentifier() and k == k.lower() for k in MESSAGE_KINDS)
    m = Message("missing_query", None, None, "no query text")
    assert m == "no query text" and m.line is None


def test_command_line_places_messages_by_their_position(tmp_path):
    sql = tmp_path / "q.sql"
    sql.write_text("SELECT 1;\n  SELECT q.a FROM t;\nSELECT b FROM u WHERE );\n")
    out = subprocess.run([sys.executable, "-P", "-m", "keldra_lineage", sql], capture_output=True, text=True)
    lines = out.stderr.splitlines()
    assert f"{sql}:2:10: warning: unknown qualifier 'q' of column 'a'" in lines
    assert any(line.startswith(f"{sql}:3:23: Expected") for line in lines), lines
    assert out.returncode == 1
