"""Each subquery is analysed once per call: layered subqueries cost polynomial
time, and the records and exceptions are those of analysing every subquery
anew (which the analysis still does when a caller's class or override could
see the difference)."""
import contextlib
import io

import pytest
from hypothesis import given

import sqlparse_main
from sqlparse_main import Analyze, parse

from conftest import run_python
from test_fuzz import fuzz, queries


class Literal(Analyze):
    """The built-in analysis under another class: nothing is reused."""


def outcome(tree, monkeypatch=None, literal=False):
    out = io.StringIO()
    with pytest.MonkeyPatch.context() as mp:
        if literal:
            mp.setattr(sqlparse_main, "Analyze", Literal)
        try:
            with contextlib.redirect_stdout(out):
                analyzer = (Literal if literal else Analyze)(tree)
                result = analyzer.analyze_sql()
        except Exception as e:  # compare the failure itself, whatever it is
            return ("error", type(e), str(e), out.getvalue())
    return ("ok", sorted(result, key=repr), dict(analyzer._var.result or {}), out.getvalue())


def layered(levels, columns, star_every=0):
    query = "SELECT " + ", ".join(f"c{j}" for j in range(columns)) + " FROM wh.facts f"
    for lvl in range(1, levels + 1):
        items = [f"s{lvl}.c{j} AS c{j}" for j in range(columns)]
        if star_every and lvl % star_every == 0:
            items = [f"s{lvl}.*"]
        query = f"SELECT {', '.join(items)} FROM ({query}) s{lvl}"
    return query


@pytest.mark.parametrize("sql", [
    layered(3, 4),
    layered(4, 3, star_every=2),
    "SELECT x.a, x.b AS c, y.a AS d FROM (SELECT s.a, s.b FROM (SELECT a, b FROM db.t) s) x "
    "JOIN (SELECT s.a FROM (SELECT a FROM db.u) s) y ON x.a = y.a",
    "SELECT q.a, q.b FROM (SELECT * FROM (SELECT a, b FROM db.t) p) q",
    "SELECT a, b FROM (SELECT *, b AS a, o.* FROM (SELECT b FROM sales.orders s) o) x",
    "SELECT s.a, s.b FROM (SELECT s.a, s.b FROM db.t) s",
    "SELECT x.a FROM (SELECT y.a FROM (SELECT a FROM t1 JOIN t2 ON 1 = 1) y) x",
    "SELECT x.a, x.b FROM (SELECT a FROM db.t) x UNION SELECT y.a, y.c FROM (SELECT a, c FROM db.u) y",
])
def test_same_records_and_errors_as_analysing_each_subquery_anew(sql):
    tree = parse(sql)
    assert outcome(tree) == outcome(tree, literal=True)


@fuzz
@given(queries(3))
def test_random_trees_agree_with_analysing_each_subquery_anew(tree):
    assert outcome(tree) == outcome(tree, literal=True)


def test_six_levels_of_thirty_columns_end():
    # Analysed anew for every column, this takes 30 ** 6 nested analyses
    # (hours); the timeout only stops a run that has gone that way.
    code = f"""
from sqlparse_main import KeldraParseMain
records = KeldraParseMain()._parse_sql({layered(6, 30)!r})
print(sorted((r.table, r.src, r.tgt) for r in records) == [("facts", f"c{{j}}", f"c{{j}}") for j in sorted(range(30), key=str)])
"""
    done = run_python(code, timeout=120)
    assert done.returncode == 0, done.stderr
    assert done.stdout == "True\n"


def test_overridden_methods_still_see_every_nested_analysis(monkeypatch):
    seen = []

    class Counting(Analyze):
        def analyze_sql(self, level=0):
            seen.append(level)
            return super().analyze_sql(level)

    monkeypatch.setattr(sqlparse_main, "Analyze", Counting)
    Counting(parse(layered(2, 3))).analyze_sql()
    # 3 columns at the top, each analysing s2 anew, whose 3 columns each
    # analyse s1 anew.
    assert seen.count(1) == 3 and seen.count(2) == 9
