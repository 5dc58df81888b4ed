"""Query fingerprints (keldra_lineage.fingerprint): two texts share one only
when their lineage is the same, and copies of a query that differ in
literals, blanks, comments and keyword case do share one."""
import csv
import importlib.util
import json
import os
import random
import re
import subprocess
import sys
from collections import defaultdict
from pathlib import Path

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

from keldra_lineage import DIALECTS, lineage
from keldra_lineage.fingerprint import Fingerprinter, fingerprint, fingerprint_key

from sqlglot_fingerprint import Fingerprinter as SqlglotFingerprinter

ROOT = Path(__file__).resolve().parent.parent
CORPUS = ROOT.parent / "shared" / "corpus"   # the measurement corpus, beside the repository when it is there


def _log_benchmark():
    """bench/querylog.py: its generator of literal variants is what the log benchmark runs on."""
    spec = importlib.util.spec_from_file_location("querylog_bench", ROOT / "bench" / "querylog.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def view(text, dialect="generic"):
    """What a record shows of each statement: kind, target, the columns with
    their sources, the statement's own sources; whether it failed."""
    return [(st.kind, st.target, [(c.name, c.sources) for c in st.columns], st.indirect, st.error is None)
            for st in lineage(text, dialect)]


# Pairs whose fingerprints are equal: their lineage is too.
MERGED = [
    ("SELECT a, b FROM t WHERE x = 5", "select  a,\n\tb from t -- c\n where x = 'y'", "generic"),
    ("SELECT a FROM t WHERE x IN (1, 2) LIMIT 10", "SELECT a FROM t /* more */ WHERE x IN (7, 'z') LIMIT 3", "generic"),
    ("SELECT a FROM t WHERE s = E'it\\'s' AND n = N'x'", "SELECT a FROM t WHERE s = E'y' AND n = N'no'", "postgres"),
    ("SELECT a FROM t WHERE b = $$x$$ AND c = 1.5e3", "SELECT a FROM t WHERE b = $q$y;z$q$ AND c = .5", "postgres"),
    ("SELECT a FROM t # note\nWHERE b = 'x'", "SELECT a FROM t WHERE b = \"y\"", "mysql"),
    ("SELECT a FROM t WHERE b = \"x\"", "SELECT a FROM t WHERE b = 'y'", "bigquery"),
    ("SELECT a FROM t WHERE b = \"x\"", "SELECT a FROM t WHERE b = 'y'", "hive"),
    ("SELECT a FROM t WHERE b = \"x\"", "SELECT a FROM t WHERE b = 'y'", "spark"),
    ("SELECT a FROM t /* a /* nested */ comment */ WHERE b = 1", "SELECT a FROM t WHERE b = 2", "postgres"),
    ("SELECT sum(x) AS s, y + 1 y1, CASE WHEN z > 5 THEN 'a' END AS k FROM t GROUP BY y",
     "SELECT sum(x)  AS s, y+1 y1, case when z > 9 then 'b' end as k FROM t group by y", "generic"),
    ("SELECT DISTINCT a, t.b, * FROM t ORDER BY a DESC, 1 LIMIT 5",
     "select distinct a, t.b, * from t order by a desc, 1 limit 50", "generic"),
    # the names of a subquery that gives a value, and of a later branch, are never reported
    ("SELECT a FROM t WHERE b > (SELECT avg(c) * 0.5 FROM u)", "SELECT a FROM t WHERE b > (SELECT avg(c) * 0.9 FROM u)", "generic"),
    ("SELECT a FROM t UNION ALL SELECT b + 1 FROM u", "SELECT a FROM t UNION ALL SELECT b + 2 FROM u", "generic"),
    ("WITH c (x, y) AS (SELECT a, b * 2 FROM t) SELECT x FROM c", "WITH c (x, y) AS (SELECT a, b * 3 FROM t) SELECT x FROM c", "generic"),
    ("SELECT [a] FROM t WHERE b = 'x'", "SELECT [a] FROM t WHERE b = 'y'", "tsql"),
]

# Pairs whose lineage differs, so must their fingerprints (sqlglot's tokens
# merged each of them).
APART = [
    ("SELECT x+1 FROM t", "SELECT x + 1 FROM t", "generic"),            # named by its text
    ("SELECT CAST(x AS INT) FROM t", "SELECT cast(x as int) FROM t", "generic"),
    ("SELECT /* a */ x * 2 FROM t", "SELECT /* b */ x * 2 FROM t", "generic"),
    ("SELECT a AND b FROM t", "SELECT a and b FROM t", "generic"),
    ("WITH c AS (SELECT a * 2 FROM t) SELECT * FROM c", "WITH c AS (SELECT a*2 FROM t) SELECT * FROM c", "generic"),
    ("SELECT * FROM t PIVOT (sum(v) FOR k IN ('a', 'b')) AS p", "SELECT * FROM t PIVOT (sum(v) FOR k IN ('c', 'd')) AS p",
     "snowflake"),                                                        # the values name the columns
    ("SELECT a FROM 'one.csv'", "SELECT a FROM 'two.csv'", "duckdb"),    # a file read as a table
    ("SELECT x, y FROM t ORDER BY 1", "SELECT x, y FROM t ORDER BY 2", "generic"),
    ("SELECT x, z FROM t ORDER BY x - 1, 1", "SELECT x, z FROM t ORDER BY x - 1, 2", "generic"),
    ("SELECT x, z FROM t ORDER BY (1)", "SELECT x, z FROM t ORDER BY (2)", "generic"),
    ("SELECT x, z FROM t ORDER BY CASE WHEN x > 0 THEN 1 END, 1",
     "SELECT x, z FROM t ORDER BY CASE WHEN x > 0 THEN 1 END, 2", "generic"),
    # names as written: case and quotes
    ("SELECT a FROM t", "SELECT A FROM t", "generic"),
    ("SELECT a FROM t", 'SELECT "A" FROM t', "generic"),
    ('SELECT "a" AS n FROM t', 'SELECT "b" AS n FROM t', "snowflake"),  # names there, strings in MySQL
]

# Kept apart though their lineage may be the same, as sqlglot's tokens kept them.
KEPT_APART = [
    ("SELECT a FROM t WHERE x IN (1, 2)", "SELECT a FROM t WHERE x IN (1, 2, 3)", "generic"),
    ("SELECT a, b FROM t GROUP BY 1", "SELECT a, b FROM t GROUP BY 2", "generic"),
    ("SELECT 'abc FROM t", "SELECT 'abc FROM u", "generic"),             # an open quote: the text counts
    ("SELECT a FROM t /* open", "SELECT a FROM u /* open", "generic"),
    ("SELECT a FROM t", 'SELECT "a" FROM t', "generic"),
]


@pytest.mark.parametrize("a, b, dialect", MERGED)
def test_copies_share_a_fingerprint_and_a_lineage(a, b, dialect):
    assert fingerprint(a, dialect) == fingerprint(b, dialect), (fingerprint_key(a, dialect), fingerprint_key(b, dialect))
    assert view(a, dialect) == view(b, dialect)


@pytest.mark.parametrize("a, b, dialect", APART)
def test_texts_whose_lineage_differs_never_share_one(a, b, dialect):
    assert view(a, dialect) != view(b, dialect)
    assert fingerprint(a, dialect) != fingerprint(b, dialect)


@pytest.mark.parametrize("a, b, dialect", KEPT_APART)
def test_what_sqlglots_tokens_kept_apart_stays_apart(a, b, dialect):
    assert fingerprint(a, dialect) != fingerprint(b, dialect)
    old = SqlglotFingerprinter(dialect)
    assert old(a) != old(b)


def test_double_quotes_follow_the_dialect():
    a, b = 'SELECT "a" AS n FROM t', 'SELECT "b" AS n FROM t'
    for dialect in ("bigquery", "databricks", "hive", "mysql", "spark"):   # a string
        assert fingerprint(a, dialect) == fingerprint(b, dialect), dialect
        assert view(a, dialect) == view(b, dialect)
    for dialect in ("generic", "postgres", "snowflake", "sqlite", "duckdb", "tsql"):   # a name
        assert fingerprint(a, dialect) != fingerprint(b, dialect), dialect


def test_the_interface():
    f = Fingerprinter("snowflake")
    text = "SELECT a FROM t WHERE x = 1"
    assert f(text) == f(text) == fingerprint(text, "snowflake")
    assert len(f(text)) == 16 and int(f(text), 16) >= 0
    assert f.normalised(text) == "SELECT a FROM t WHERE x = ?"
    # a dialect's own rules: '#' starts a comment in MySQL, not in Postgres
    assert fingerprint("SELECT a # b\nFROM t", "mysql") == fingerprint("SELECT a FROM t", "mysql")
    assert fingerprint("SELECT a # b\nFROM t", "postgres") != fingerprint("SELECT a FROM t", "postgres")
    with pytest.raises(ValueError, match="unknown dialect 'nope'"):
        Fingerprinter("nope")
    with pytest.raises(TypeError, match="text must be a str, not bytes"):
        fingerprint_key(b"SELECT 1")
    with pytest.raises(TypeError, match="dialect must be a str"):
        fingerprint_key("SELECT 1", None)
    # text decoded with surrogateescape: a fingerprint, kept apart from other bytes
    odd = "SELECT a FROM t WHERE x = '\udcff'"
    assert fingerprint(odd) == fingerprint("SELECT a FROM t WHERE x = 'z'")
    assert fingerprint("SELECT \udcff FROM t") != fingerprint("SELECT \udcfe FROM t")
    assert fingerprint("") == fingerprint(" -- nothing\n")


# Text made of what the scanner treats apart: quotes of every kind, comment
# starts, dollar tags, parentheses, digits, keywords and odd bytes.
PIECES = st.sampled_from(["'", '"', "`", "[", "]", "$$", "$a$", "--", "/*", "*/", "#", "\\", "(", ")", ",",
                          ".", ";", "1", "2.5e3", "0x1F", " ", "\n", "\t", "SELECT", "select", "FROM", "GROUP",
                          "BY", "ORDER", "AS", "PIVOT", "x", "é", "\udcff", "E'", "N'", "+", "<=", "*"])
TEXTS = st.lists(PIECES, max_size=40).map("".join)


@settings(max_examples=int(os.environ.get("KELDRA_FUZZ_EXAMPLES", "300")), deadline=None,
          suppress_health_check=[HealthCheck.too_slow])
@given(TEXTS, st.sampled_from(DIALECTS))
def test_any_text_has_a_key(text, dialect):
    key = fingerprint_key(text, dialect)
    assert isinstance(key, bytes) and key == fingerprint_key(text, dialect)
    # blanks after the text change nothing, whatever it leaves open
    assert fingerprint_key(text + "  \n\t", dialect) == key


def _corpus_texts():
    """The texts to hold the two fingerprints against: the repository's own
    SQL and, when it is there, TPC-H and TPC-DS, each with literal variants
    (the log benchmark's generator) and a copy in other blanks."""
    bench = _log_benchmark()
    sources = [p.read_text() for p in sorted((ROOT / "bench" / "corpus").glob("*.sql"))]
    sources += [p.read_text() for p in sorted((ROOT / "examples").glob("*.sql"))]
    if (CORPUS / "tpcds").is_dir():
        sources += bench.corpus_queries()
    groups = []
    for k, text in enumerate(sources):
        text = text.strip().rstrip(";")
        variants = [text] + [bench.vary(text, random.Random(k * 100 + v)) for v in range(8)]
        if "--" not in text:
            variants.append(" ".join(text.split()))
        groups.append(variants)
    return groups, (CORPUS / "tpcds").is_dir()


HINT = re.compile(r"/\*\+.*?\*/", re.S)


def test_against_sqlglots_tokens_over_the_corpus():
    groups, with_tpc = _corpus_texts()
    new, old = Fingerprinter(), SqlglotFingerprinter()
    by_new = defaultdict(set)
    texts_of = defaultdict(set)
    for variants in groups:
        for t in variants:
            # sqlglot's tokens keep an optimiser hint (/*+ PARALLEL(4) */): a
            # comment to the engine, where it changes no lineage
            n, o = new(t), old(HINT.sub(" ", t))
            by_new[n].add(o)
            texts_of[n].add(t)
    # never merged where sqlglot's tokens keep apart
    assert [n for n, o in by_new.items() if len(o) > 1] == []
    # and a shared fingerprint is a shared lineage
    for n, texts in texts_of.items():
        views = {json.dumps(view(t), default=str) for t in texts}
        assert len(views) == 1, sorted(texts)[:2]
    # copies merge: the literal variants of most queries share one fingerprint
    # (not those that name a column by an expression holding a literal)
    merged = sum(len({new(t) for t in variants[:9]}) == 1 for variants in groups)
    assert merged >= 0.9 * len(groups), (merged, len(groups))
    if with_tpc:
        assert len(groups) > 150


def test_the_command_names_each_copy_by_its_own_text(tmp_path):
    """Copies that sqlglot's tokens merged get their own column names."""
    log = tmp_path / "history.csv"
    with open(log, "w", newline="") as f:
        w = csv.writer(f)
        w.writerow(["query_id", "query_text"])
        w.writerows([("1", "SELECT x*y FROM t WHERE k = 5"), ("2", "SELECT x * y FROM t WHERE k = 6"),
                     ("3", "SELECT x*y FROM t WHERE k = 7"),
                     ("4", "SELECT * FROM t PIVOT (sum(v) FOR k IN ('a', 'b')) AS p"),
                     ("5", "SELECT * FROM t PIVOT (sum(v) FOR k IN ('c', 'd')) AS p")])
    done = subprocess.run([sys.executable, "-P", "-m", "keldra_lineage", "--query-log", str(log), "-f", "jsonl",
                           "--dialect", "snowflake", "--schema", _schema(tmp_path)],
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    records = [json.loads(line) for line in done.stdout.splitlines()]
    named = defaultdict(dict)
    for r in records:
        if r["column"]:
            named[r["query_id"]][r["column"]] = None
    named = {k: list(v) for k, v in named.items()}
    assert named["1"] == ["x*y"] and named["2"] == ["x * y"] and named["3"] == ["x*y"]
    assert {(r["first_query_id"], r["occurrence"]) for r in records if r["query_id"] == "3"} == {("1", 2)}
    assert named["4"][-2:] == ["A", "B"] and named["5"][-2:] == ["C", "D"]


def _schema(tmp_path):
    path = tmp_path / "schema.json"
    path.write_text(json.dumps({"t": ["x", "y", "k", "v"]}))
    return str(path)
