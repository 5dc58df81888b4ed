"""Expressions: the subtype of every column inside an output expression, composed through derived
tables; names of unaliased expressions; the JOIN / FILTER / GROUP_BY / SORT sources of a statement."""
import pytest

from engine_support import agg, columns, cond, filt, group, ident, join, one, sort, trans, window


@pytest.mark.parametrize("sql, dialect, expected", [
    ("SELECT a AS x, t.b, (c) AS p FROM t", "generic",
     [("x", (ident("t", "a"),)), ("b", (ident("t", "b"),)), ("p", (ident("t", "c"),))]),
    ("SELECT a + b AS s, upper(c) AS u, CAST(d AS INT) AS k, coalesce(e, 0) AS z FROM t", "generic",
     [("s", (trans("t", "a"), trans("t", "b"))), ("u", (trans("t", "c"),)), ("k", (trans("t", "d"),)),
      ("z", (trans("t", "e"),))]),
    ("SELECT a::int AS k, -b AS n FROM t", "postgres", [("k", (trans("t", "a"),)), ("n", (trans("t", "b"),))]),
    ("SELECT sum(a) AS s, count(DISTINCT b) AS n, count(*) AS c, sum(a * b) AS p FROM t", "generic",
     [("s", (agg("t", "a"),)), ("n", (agg("t", "b"),)), ("c", ()), ("p", (agg("t", "a"), agg("t", "b")))]),
    ("SELECT 1 AS one, 'x' AS s, NULL AS z, now() AS d FROM t", "generic",
     [("one", ()), ("s", ()), ("z", ()), ("d", ())]),
    # CASE: conditions and operands are CONDITIONAL, results TRANSFORMATION; IF and IIF alike.
    ("SELECT CASE WHEN a > 0 THEN b ELSE c END AS r FROM t", "generic",
     [("r", (cond("t", "a"), trans("t", "b"), trans("t", "c")))]),
    ("SELECT CASE k WHEN 1 THEN b END AS r FROM t", "generic", [("r", (trans("t", "b"), cond("t", "k")))]),
    ("SELECT CASE WHEN a > 0 THEN a END AS r FROM t", "generic", [("r", (trans("t", "a"), cond("t", "a")))]),
    ("SELECT IF(a > 0, b, c) AS r FROM t", "mysql", [("r", (cond("t", "a"), trans("t", "b"), trans("t", "c")))]),
    ("SELECT IIF(a > 0, b, c) AS r FROM t", "mssql", [("r", (cond("t", "a"), trans("t", "b"), trans("t", "c")))]),
    ("SELECT sum(CASE WHEN k = 'x' THEN v ELSE 0 END) AS s FROM t", "generic",
     [("s", (cond("t", "k"), agg("t", "v")))]),
    # Windows: PARTITION BY and ORDER BY are the column's WINDOW sources, named windows included.
    ("SELECT row_number() OVER (PARTITION BY a ORDER BY b) AS rn FROM t", "generic",
     [("rn", (window("t", "a"), window("t", "b")))]),
    ("SELECT sum(c) OVER (PARTITION BY a ORDER BY b) AS s FROM t", "generic",
     [("s", (window("t", "a"), window("t", "b"), agg("t", "c")))]),
    ("SELECT sum(c) OVER w AS s FROM t WINDOW w AS (PARTITION BY a)", "generic",
     [("s", (window("t", "a"), agg("t", "c")))]),
    ("SELECT lag(c) OVER (ORDER BY b) AS p FROM t", "generic", [("p", (window("t", "b"), trans("t", "c")))]),
    # Through derived tables: an INDIRECT side wins, else the stronger DIRECT subtype.
    ("SELECT upper(x) AS y FROM (SELECT a AS x FROM t) AS d", "generic", [("y", (trans("t", "a"),))]),
    ("SELECT x AS y FROM (SELECT a + 1 AS x FROM t) AS d", "generic", [("y", (trans("t", "a"),))]),
    ("SELECT s + 1 AS s1 FROM (SELECT sum(a) AS s FROM t) AS d", "generic", [("s1", (agg("t", "a"),))]),
    ("SELECT CASE WHEN x > 0 THEN 1 END AS f FROM (SELECT sum(a) AS x FROM t) AS d", "generic",
     [("f", (cond("t", "a"),))]),
    ("SELECT x FROM (SELECT row_number() OVER (ORDER BY a) AS x FROM t) AS d", "generic", [("x", (window("t", "a"),))]),
    ("SELECT max(x) AS m FROM (SELECT CASE WHEN a > 0 THEN b END AS x FROM t) AS d", "generic",
     [("m", (cond("t", "a"), agg("t", "b")))]),
])
def test_output_expression_subtypes(sql, dialect, expected):
    st = one(sql, dialect)
    assert (columns(st), st.indirect, st.warnings) == (expected, (), ())


def test_unaliased_expressions_are_named_by_their_text_with_blanks_collapsed():
    st = one("SELECT a  +   b, a+b, upper( a ), count(*), t.c, \"Mixed Case\", Upper(A)\n\t|| 'x',\n"
             "  CAST(a AS INT) FROM t")
    assert [c.name for c in st.columns] == [
        "a + b", "a+b", "upper( a )", "count(*)", "c", "Mixed Case", "Upper(A) || 'x'", "CAST(a AS INT)"]


@pytest.mark.parametrize("sql, indirect", [
    ("SELECT t.a FROM t JOIN u ON t.id = u.tid WHERE u.flag = 1 GROUP BY t.a ORDER BY t.a",
     (group("t", "a"), sort("t", "a"), join("t", "id"), filt("u", "flag"), join("u", "tid"))),
    ("SELECT t.a FROM t JOIN u USING (id)", (join("t", "id"), join("u", "id"))),
    ("SELECT t.a FROM t LEFT JOIN u ON t.id = u.id AND u.kind = 'x'",
     (join("t", "id"), join("u", "id"), join("u", "kind"))),
    # WHERE sees the input columns, ORDER BY the outputs first.
    ("SELECT a AS b FROM t WHERE b > 0", (filt("t", "b"),)),
    ("SELECT a AS b, b AS a FROM t ORDER BY a", (sort("t", "b"),)),
    ("SELECT a, count(*) AS n FROM t GROUP BY a HAVING sum(b) > 10", (group("t", "a"), filt("t", "b"))),
    ("SELECT a FROM t WHERE b > 0 AND b < 10", (filt("t", "b"),)),
    ("SELECT a FROM t QUALIFY row_number() OVER (PARTITION BY b ORDER BY c) = 1", (filt("t", "b"), filt("t", "c"))),
    # ORDER BY and GROUP BY an output alias or position mean that output's sources.
    ("SELECT a + b AS s FROM t ORDER BY s", (sort("t", "a"), sort("t", "b"))),
    ("SELECT a, b FROM t ORDER BY 2", (sort("t", "b"),)),
    ("SELECT a, count(*) FROM t GROUP BY 1", (group("t", "a"),)),
    ("SELECT a FROM t ORDER BY lower(c)", (sort("t", "c"),)),
    ("SELECT x FROM (SELECT a AS x, b FROM t) AS d WHERE d.b > 0", (filt("t", "b"),)),
    # A window's columns belong to its output column, not to the whole result.
    ("SELECT row_number() OVER (PARTITION BY a) AS rn FROM t", ()),
])
def test_indirect_sources_of_the_statement(sql, indirect):
    st = one(sql)
    assert (st.indirect, st.warnings) == (indirect, ())
