"""Names: qualification forms, case folding and quoting per dialect, unqualified columns through
the schema, the single source or the one derived table exposing them, ambiguity, unknown qualifiers."""
import pytest

from engine_support import columns, filt, ident, join, one, trans


@pytest.mark.parametrize("sql, expected", [
    ("SELECT o.amount FROM sales.orders AS o", [("amount", (ident("sales.orders", "amount"),))]),
    ("SELECT orders.amount FROM sales.orders", [("amount", (ident("sales.orders", "amount"),))]),
    ("SELECT sales.orders.amount FROM sales.orders", [("amount", (ident("sales.orders", "amount"),))]),
    ("SELECT amount FROM sales.orders", [("amount", (ident("sales.orders", "amount"),))]),
    ("SELECT wh.sales.orders.amount FROM wh.sales.orders", [("amount", (ident("wh.sales.orders", "amount"),))]),
    ("SELECT orders.amount FROM wh.sales.orders", [("amount", (ident("wh.sales.orders", "amount"),))]),
    ("SELECT a FROM s.t AS x", [("a", (ident("s.t", "a"),))]),
    ("SELECT o.amount, c.name AS who FROM sales.orders o JOIN crm.customers c ON o.cid = c.id",
     [("amount", (ident("sales.orders", "amount"),)), ("who", (ident("crm.customers", "name"),))]),
])
def test_qualification_forms(sql, expected):
    st = one(sql)
    assert (columns(st), st.warnings) == (expected, ())


@pytest.mark.parametrize("sql, dialect, expected", [
    # Unquoted names are reported as the dialect folds them; quoted ones exactly.
    ('SELECT O.Amount, "Note" FROM Sales.Orders o', "generic",
     [("Amount", (ident("Sales.Orders", "Amount"),)), ("Note", (ident("Sales.Orders", "Note"),))]),
    ('SELECT O.Amount, "Note" FROM Sales.Orders o', "postgres",
     [("amount", (ident("sales.orders", "amount"),)), ("Note", (ident("sales.orders", "Note"),))]),
    ('SELECT O.Amount, "Note" FROM Sales.Orders o', "redshift",
     [("amount", (ident("sales.orders", "amount"),)), ("Note", (ident("sales.orders", "Note"),))]),
    ('SELECT O.Amount, "Note" FROM Sales.Orders o', "snowflake",
     [("AMOUNT", (ident("SALES.ORDERS", "AMOUNT"),)), ("Note", (ident("SALES.ORDERS", "Note"),))]),
    ('SELECT "Amount" FROM "Sales".orders', "postgres", [("Amount", (ident("Sales.orders", "Amount"),))]),
    ("SELECT `Note` FROM `Sales`.`Orders`", "mysql", [("Note", (ident("Sales.Orders", "Note"),))]),
    ("WITH Src AS (SELECT a FROM t) SELECT a FROM SRC", "generic", [("a", (ident("t", "a"),))]),
    ('WITH "Src" AS (SELECT a FROM t) SELECT a FROM src', "postgres", [("a", (ident("src", "a"),))]),
    # An unquoted alias matches its quoted use in the folded case.
    ('SELECT "o".a FROM t AS O', "postgres", [("a", (ident("t", "a"),))]),
])
def test_case_folding_and_quoting(sql, dialect, expected):
    st = one(sql, dialect)
    assert (columns(st), st.warnings) == (expected, ())


@pytest.mark.parametrize("sql, schema, expected, indirect", [
    ("SELECT a, c, b + d AS e FROM t JOIN u ON t.id = u.id",
     {"t": ["id", "a", "b"], "u": ["id", "c", "d"]},
     [("a", (ident("t", "a"),)), ("c", (ident("u", "c"),)), ("e", (trans("t", "b"), trans("u", "d")))],
     (join("t", "id"), join("u", "id"))),
    # Reported under the catalog's qualified name, whatever the schema's form.
    ("SELECT amount, name FROM sales.orders o JOIN customers c ON o.id = c.id",
     {"wh": {"sales": {"orders": {"id": "int", "amount": "numeric"}}}, "crm.customers": ["id", "name"]},
     [("amount", (ident("wh.sales.orders", "amount"),)), ("name", (ident("crm.customers", "name"),))],
     (join("crm.customers", "id"), join("wh.sales.orders", "id"))),
    # A column list on the table's alias renames its columns by position.
    pytest.param("SELECT p, x.q FROM t AS x(p, q)", {"t": ["a", "b"]},
                 [("p", (ident("t", "a"),)), ("q", (ident("t", "b"),))], ()),
    pytest.param("SELECT * FROM t AS x(p, q)", {"t": ["a", "b"]},
                 [("p", (ident("t", "a"),)), ("q", (ident("t", "b"),))], ()),
])
def test_unqualified_columns_resolve_through_the_schema(sql, schema, expected, indirect):
    st = one(sql, schema=schema)
    assert (columns(st), st.indirect, st.warnings) == (expected, indirect, ())


def test_a_column_the_schema_does_not_know_is_warned_about_once():
    st = one("SELECT a, zz FROM t", schema={"t": ["a"]})
    assert [c.name for c in st.columns] == ["a", "zz"]
    assert len([w for w in st.warnings if "zz" in w]) == 1, st.warnings


@pytest.mark.parametrize("sql, expected, indirect", [
    # The one CTE that exposes the column is its source.
    ("WITH c AS (SELECT a AS x FROM t) SELECT x FROM c CROSS JOIN u", [("x", (ident("t", "a"),))], ()),
    # A USING column is no ambiguity: it is both sides'.
    ("SELECT id FROM t JOIN u USING (id)", [("id", (ident("t", "id"), ident("u", "id")))],
     (join("t", "id"), join("u", "id"))),
    # The derived table's columns are known, so the other column is the base table's.
    ("SELECT x, b FROM (SELECT a AS x FROM t) AS d JOIN u ON d.x = u.k",
     [("x", (ident("t", "a"),)), ("b", (ident("u", "b"),))], (join("t", "a"), join("u", "k"))),
])
def test_unqualified_columns_resolve_through_the_one_scope_exposing_them(sql, expected, indirect):
    st = one(sql)
    assert (columns(st), st.indirect, st.warnings) == (expected, indirect, ())


JOINED = "FROM orders JOIN customers ON orders.cid = customers.id"


@pytest.mark.parametrize("sql, expected, indirect, candidates", [
    (f"SELECT region, orders.id {JOINED}",
     [("region", (ident(None, "region"),)), ("id", (ident("orders", "id"),))],
     (join("customers", "id"), join("orders", "cid")), ("orders", "customers")),
    # A qualifier never carries over to the next unqualified column.
    (f"SELECT customers.name, region {JOINED}",
     [("name", (ident("customers", "name"),)), ("region", (ident(None, "region"),))],
     (join("customers", "id"), join("orders", "cid")), ("orders", "customers")),
    ("SELECT upper(region) AS r FROM orders, customers", [("r", (trans(None, "region"),))], (),
     ("orders", "customers")),
    (f"SELECT orders.id {JOINED} WHERE region = 'x'", [("id", (ident("orders", "id"),))],
     (filt(None, "region"), join("customers", "id"), join("orders", "cid")), ("orders", "customers")),
    ("SELECT region FROM (SELECT region FROM t) AS left_side, (SELECT region FROM u) AS right_side",
     [("region", (ident(None, "region"),))], (), ("left_side", "right_side")),
])
def test_ambiguous_columns_are_unattributed_and_the_rest_reported(sql, expected, indirect, candidates):
    st = one(sql)
    assert (columns(st), st.indirect) == (expected, indirect)
    assert any("region" in w and all(c in w for c in candidates) for w in st.warnings), st.warnings


@pytest.mark.parametrize("sql, dialect, expected, qualifier", [
    ("SELECT zz.a, b FROM t", "generic", [("a", (ident(None, "a"),)), ("b", (ident("t", "b"),))], "zz"),
    # An alias hides the table's own name.
    ("SELECT orders.amount FROM sales.orders AS o", "generic", [("amount", (ident(None, "amount"),))], "orders"),
    ("SELECT sales.amount FROM sales.orders", "generic", [("amount", (ident(None, "amount"),))], "sales"),
    ("WITH calendar AS (SELECT 1 AS a) SELECT calendar.a FROM t", "generic", [("a", (ident(None, "a"),))],
     "calendar"),
    # A quoted qualifier compares exactly with the folded alias.
    ('SELECT "Ord".a, b FROM t AS ord', "postgres", [("a", (ident(None, "a"),)), ("b", (ident("t", "b"),))],
     "Ord"),
])
def test_unknown_qualifier_warns_and_never_guesses(sql, dialect, expected, qualifier):
    st = one(sql, dialect)
    assert columns(st) == expected
    assert any(qualifier in w for w in st.warnings), st.warnings
