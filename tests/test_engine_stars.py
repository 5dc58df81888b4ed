"""Stars: expansion through CTEs, derived tables and the schema; stars left as (table, "*");
EXCEPT / EXCLUDE / REPLACE; explicit columns beside a star; star pass-through to the one base table."""
import pytest

from engine_support import columns, filt, group, ident, join, one, trans

DBT_STAGING = ("with source as (select * from raw.contact), "
               "renamed as (select id as contact_id, accountid as account_id from source) "
               "select * from renamed")


@pytest.mark.parametrize("sql, schema, expected, indirect", [
    ("WITH c AS (SELECT a, b + 1 AS b2 FROM t) SELECT * FROM c", None,
     [("a", (ident("t", "a"),)), ("b2", (trans("t", "b"),))], ()),
    ("SELECT * FROM (SELECT a AS x, count(*) AS n FROM t GROUP BY a) AS d", None,
     [("x", (ident("t", "a"),)), ("n", ())], (group("t", "a"),)),
    ("WITH c AS (SELECT a FROM t) SELECT c.*, u.b FROM c JOIN u ON c.a = u.a", None,
     [("a", (ident("t", "a"),)), ("b", (ident("u", "b"),))], (join("t", "a"), join("u", "a"))),
    ("SELECT * FROM s.t", {"s.t": ["id", "name"]},
     [("id", (ident("s.t", "id"),)), ("name", (ident("s.t", "name"),))], ()),
    ("SELECT * FROM t JOIN u ON t.id = u.id", {"t": ["id", "a"], "u": ["id", "b"]},
     [("id", (ident("t", "id"),)), ("a", (ident("t", "a"),)), ("id", (ident("u", "id"),)), ("b", (ident("u", "b"),))],
     (join("t", "id"), join("u", "id"))),
    # USING and NATURAL joins show their common columns once, first.
    pytest.param("SELECT * FROM t JOIN u USING (id)", {"t": ["id", "a"], "u": ["id", "b"]},
                 [("id", (ident("t", "id"), ident("u", "id"))), ("a", (ident("t", "a"),)), ("b", (ident("u", "b"),))],
                 (join("t", "id"), join("u", "id"))),
    pytest.param("SELECT * FROM t NATURAL JOIN u", {"t": ["id", "a"], "u": ["id", "b"]},
                 [("id", (ident("t", "id"), ident("u", "id"))), ("a", (ident("t", "a"),)), ("b", (ident("u", "b"),))],
                 (join("t", "id"), join("u", "id"))),
])
def test_stars_expand_through_scopes_and_schema(sql, schema, expected, indirect):
    st = one(sql, schema=schema)
    assert (columns(st), st.indirect, st.warnings) == (expected, indirect, ())


@pytest.mark.parametrize("sql, schema, expected", [
    ("SELECT * FROM t", None, [("*", (ident("t", "*"),))]),
    ("SELECT * FROM t JOIN u ON t.id = u.id", None, [("*", (ident("t", "*"), ident("u", "*")))]),
    ("SELECT t.*, u.* FROM t JOIN u ON t.id = u.id", None, [("*", (ident("t", "*"),)), ("*", (ident("u", "*"),))]),
    ("WITH s AS (SELECT * FROM t) SELECT * FROM s", None, [("*", (ident("t", "*"),))]),
    ("WITH j AS (SELECT * FROM t JOIN u ON t.id = u.id) SELECT * FROM j", None,
     [("*", (ident("t", "*"), ident("u", "*")))]),
    # Known columns expand, the unknown table stays a star.
    ("SELECT * FROM t JOIN u ON t.id = u.id", {"t": ["id", "a"]},
     [("id", (ident("t", "id"),)), ("a", (ident("t", "a"),)), ("*", (ident("u", "*"),))]),
    # An explicit column beside the star stays its own output.
    ("SELECT a, * FROM t", None, [("a", (ident("t", "a"),)), ("*", (ident("t", "*"),))]),
])
def test_stars_over_base_tables_without_schema(sql, schema, expected):
    assert columns(one(sql, schema=schema)) == expected


@pytest.mark.parametrize("sql, dialect, schema, expected", [
    ("WITH c AS (SELECT a, b, d FROM t) SELECT * EXCEPT (b) FROM c", "bigquery", None,
     [("a", (ident("t", "a"),)), ("d", (ident("t", "d"),))]),
    ("SELECT * EXCEPT (b, d) FROM t", "bigquery", {"t": ["a", "b", "d"]}, [("a", (ident("t", "a"),))]),
    ("WITH c AS (SELECT a, b, d FROM t) SELECT * EXCLUDE (b) FROM c", "duckdb", None,
     [("a", (ident("t", "a"),)), ("d", (ident("t", "d"),))]),
    ("SELECT c.* EXCLUDE (a) FROM (SELECT a, b FROM t) AS c", "duckdb", None, [("b", (ident("t", "b"),))]),
    ("WITH c AS (SELECT a, b, d FROM t) SELECT * EXCLUDE (b) FROM c", "snowflake", None,
     [("A", (ident("T", "A"),)), ("D", (ident("T", "D"),))]),
    ("WITH c AS (SELECT a, b FROM t) SELECT * REPLACE (b * 2 AS b) FROM c", "bigquery", None,
     [("a", (ident("t", "a"),)), ("b", (trans("t", "b"),))]),
    ("WITH c AS (SELECT a, b FROM t) SELECT * RENAME (a AS z) FROM c", "snowflake", None,
     [("Z", (ident("T", "A"),)), ("B", (ident("T", "B"),))]),
])
def test_star_except_exclude_replace(sql, dialect, schema, expected):
    st = one(sql, dialect, schema)
    assert (columns(st), st.warnings) == (expected, ())


@pytest.mark.parametrize("sql, dialect, expected, indirect", [
    (DBT_STAGING, "generic",
     [("contact_id", (ident("raw.contact", "id"),)), ("account_id", (ident("raw.contact", "accountid"),))], ()),
    (DBT_STAGING, "postgres",
     [("contact_id", (ident("raw.contact", "id"),)), ("account_id", (ident("raw.contact", "accountid"),))], ()),
    (DBT_STAGING, "snowflake",
     [("CONTACT_ID", (ident("RAW.CONTACT", "ID"),)), ("ACCOUNT_ID", (ident("RAW.CONTACT", "ACCOUNTID"),))], ()),
    ("SELECT d.a + 1 AS a1 FROM (SELECT * FROM t) AS d", "generic", [("a1", (trans("t", "a"),))], ()),
    ("WITH s1 AS (SELECT * FROM t), s2 AS (SELECT * FROM s1) SELECT a FROM s2", "generic",
     [("a", (ident("t", "a"),))], ()),
    ("WITH s AS (SELECT * FROM t WHERE deleted = 0) SELECT a FROM s", "generic",
     [("a", (ident("t", "a"),))], (filt("t", "deleted"),)),
    # A qualified star covers one base table even in a join.
    ("WITH j AS (SELECT t.*, u.x FROM t JOIN u ON t.id = u.id) SELECT a, x FROM j", "generic",
     [("a", (ident("t", "a"),)), ("x", (ident("u", "x"),))], (join("t", "id"), join("u", "id"))),
    # An explicit column beside the star wins over the star's column of that name.
    ("SELECT a FROM (SELECT *, b * 2 AS a FROM t) AS d", "generic", [("a", (trans("t", "b"),))], ()),
    ("SELECT y, z FROM (SELECT *, x + 1 AS y FROM t) AS d", "generic",
     [("y", (trans("t", "x"),)), ("z", (ident("t", "z"),))], ()),
])
def test_star_pass_through_to_the_one_base_table(sql, dialect, expected, indirect):
    st = one(sql, dialect)
    assert (columns(st), st.indirect, st.warnings) == (expected, indirect, ())


def test_pass_through_over_several_sources_is_ambiguous_for_unqualified_columns():
    st = one("WITH j AS (SELECT * FROM orders JOIN customers ON orders.cid = customers.id) "
             "SELECT region FROM j")
    assert (columns(st), st.indirect) == ([("region", (ident(None, "region"),))],
                                          (join("customers", "id"), join("orders", "cid")))
    assert any(all(n in w for n in ("region", "orders", "customers")) for w in st.warnings), st.warnings
