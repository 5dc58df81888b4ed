"""Statements that change data: MERGE, UPDATE (every dialect's form), DELETE and INSERT OVERWRITE,
through lineage() and the command line, with the sources checked by hand."""
import json

import pytest

from engine_support import columns, cond, filt, ident, join, lineage, one, trans
from test_cli_engine import run

MERGE = """
MERGE INTO dw.customers AS t
USING staging.customers AS s ON t.id = s.id
WHEN MATCHED AND s.deleted THEN DELETE
WHEN MATCHED AND s.updated_at > t.updated_at THEN UPDATE SET t.name = s.name, email = lower(s.email)
WHEN NOT MATCHED THEN INSERT (id, name, email) VALUES (s.id, s.name, s.email)
"""


def test_merge_writes_each_target_column_from_its_clauses():
    st = one(MERGE)
    assert (st.kind, st.target, st.warnings) == ("merge", "dw.customers", ())
    guard = (cond("dw.customers", "updated_at"), cond("staging.customers", "updated_at"))
    assert columns(st) == [
        ("name", (*guard[:1], ident("staging.customers", "name"), guard[1])),
        ("email", (*guard[:1], ident("staging.customers", "email"), trans("staging.customers", "email"),
                   guard[1])),
        ("id", (ident("staging.customers", "id"),)),
    ]
    # ON is the join; the guard of DELETE chooses rows of the whole statement
    assert st.indirect == (join("dw.customers", "id"), cond("staging.customers", "deleted"),
                           join("staging.customers", "id"))


@pytest.mark.parametrize("source", [
    "(SELECT id, amount * 100 AS cents FROM raw.pay) AS s",
    "src AS s",
])
def test_merge_source_may_be_a_subquery_or_a_cte(source):
    sql = (f"WITH src AS (SELECT id, amount * 100 AS cents FROM raw.pay) "
           f"MERGE INTO pay AS t USING {source} ON t.id = s.id "
           f"WHEN MATCHED THEN UPDATE SET t.cents = s.cents")
    st = one(sql, "snowflake")
    assert (st.kind, st.target) == ("merge", "PAY")
    assert columns(st) == [("CENTS", (trans("RAW.PAY", "AMOUNT"),))]
    assert st.indirect == (join("PAY", "ID"), join("RAW.PAY", "ID"))


def test_merge_insert_without_columns_names_the_target_columns_by_position():
    sql = ("MERGE INTO t USING s ON t.id = s.id WHEN MATCHED THEN UPDATE SET c = s.c + 1 "
           "WHEN NOT MATCHED THEN INSERT VALUES (s.id, s.c)")
    st = one(sql, schema={"t": ["id", "c"], "s": ["id", "c"]})
    assert columns(st) == [("c", (ident("s", "c"), trans("s", "c"))), ("id", (ident("s", "id"),))]
    assert st.warnings == ()
    # without the target's columns the values keep their positions, and say so
    st = one(sql)
    assert [c.name for c in st.columns] == ["c", "column1", "column2"]
    assert len(st.warnings) == 1 and "named by position" in st.warnings[0]


def test_tsql_merge_by_source_and_target():
    sql = ("MERGE dbo.t AS tgt USING dbo.s AS src ON tgt.id = src.id "
           "WHEN NOT MATCHED BY SOURCE THEN DELETE "
           "WHEN NOT MATCHED BY TARGET AND src.ok = 1 THEN INSERT (id, v) VALUES (src.id, src.v * 2);")
    st = one(sql, "mssql")
    assert columns(st) == [("id", (ident("dbo.s", "id"), cond("dbo.s", "ok"))),
                           ("v", (cond("dbo.s", "ok"), trans("dbo.s", "v")))]


@pytest.mark.parametrize("sql, dialect, target", [
    # Postgres / Snowflake: UPDATE ... SET ... FROM
    ("UPDATE orders AS o SET total = p.amount + o.fee FROM payments p WHERE o.id = p.order_id AND p.ok",
     "postgres", "orders"),
    ("UPDATE orders o SET total = p.amount + o.fee FROM payments p WHERE o.id = p.order_id AND p.ok",
     "snowflake", "ORDERS"),
    # T-SQL: the target is an alias of the FROM
    ("UPDATE o SET o.total = p.amount + o.fee FROM orders o JOIN payments p ON o.id = p.order_id WHERE p.ok",
     "mssql", "orders"),
    # MySQL: the join before SET
    ("UPDATE orders o JOIN payments p ON o.id = p.order_id SET o.total = p.amount + o.fee WHERE p.ok",
     "mysql", "orders"),
])
def test_update_forms(sql, dialect, target):
    st = one(sql, dialect)
    norm = str.upper if dialect == "snowflake" else (lambda s: s)
    assert (st.kind, st.target, st.warnings) == ("update", target, ())
    assert columns(st) == [(norm("total"), (trans(norm("orders"), norm("fee")), trans(norm("payments"), norm("amount"))))]
    # the join condition is JOIN where it is written as a join, else FILTER
    sub = join if " JOIN " in sql else filt
    assert st.indirect == (sub(norm("orders"), norm("id")), filt(norm("payments"), norm("ok")),
                           sub(norm("payments"), norm("order_id")))


def test_update_from_a_cte_and_a_subquery():
    sql = ("WITH latest AS (SELECT id, max(price) AS price FROM prices GROUP BY id) "
           "UPDATE items SET price = (SELECT l.price FROM latest l WHERE l.id = items.id), "
           "updated = now() WHERE id IN (SELECT id FROM latest)")
    st = one(sql, "postgres")
    assert st.kind == "update" and st.target == "items"
    name, price = st.columns[0]
    assert name == "price"
    assert {(s.table, s.column, s.subtype) for s in price} == {("prices", "price", "AGGREGATION")}
    assert st.columns[1] == ("updated", ())
    assert filt("prices", "id") in st.indirect and filt("items", "id") in st.indirect


def test_update_of_a_tuple():
    st = one("UPDATE t SET (a, b) = (s.x, s.y + 1) FROM s WHERE t.id = s.id", "postgres")
    assert columns(st) == [("a", (ident("s", "x"),)), ("b", (trans("s", "y"),))]


@pytest.mark.parametrize("sql, dialect, target, indirect", [
    ("DELETE FROM t WHERE a > 1", "generic", "t", (filt("t", "a"),)),
    ("DELETE FROM t USING s WHERE t.id = s.id AND s.gone", "postgres", "t",
     (filt("s", "gone"), filt("s", "id"), filt("t", "id"))),
    ("DELETE t FROM t JOIN s ON t.id = s.id WHERE s.x = 1", "mysql", "t",
     (join("s", "id"), filt("s", "x"), join("t", "id"))),
    ("DELETE a FROM w.t AS a JOIN s ON a.id = s.id", "mssql", "w.t", (join("s", "id"), join("w.t", "id"))),
    ("WITH old AS (SELECT id FROM log WHERE ts < 5) DELETE FROM t WHERE id IN (SELECT id FROM old)",
     "postgres", "t", (filt("log", "id"), filt("log", "ts"), filt("t", "id"))),
])
def test_delete_names_its_target_and_its_conditions(sql, dialect, target, indirect):
    st = one(sql, dialect)
    assert (st.kind, st.target, st.columns, st.warnings) == ("delete", target, (), ())
    assert st.indirect == indirect


@pytest.mark.parametrize("sql, target", [
    ("INSERT OVERWRITE TABLE w.t PARTITION (ds = '1') SELECT a, b + 1 AS b FROM s", "w.t"),
    ("INSERT OVERWRITE DIRECTORY '/data/out' SELECT a, b + 1 AS b FROM s", "/data/out"),
])
def test_insert_overwrite(sql, target):
    st = one(sql, "hive")
    assert (st.kind, st.target) == ("insert", target)
    assert columns(st) == [("a", (ident("s", "a"),)), ("b", (trans("s", "b"),))]


def test_data_changes_on_the_command_line(tmp_path):
    script = tmp_path / "load.sql"
    script.write_text(MERGE.strip() + ";\nDELETE FROM dw.customers WHERE email IS NULL;\n"
                      "UPDATE dw.customers SET name = upper(name);\n")
    done = run(script, "-f", "json")
    assert done.returncode == 0, done.stderr
    records = json.loads(done.stdout)
    seen = {(r["statement"], r["kind"], r["target"], r["column"], r["source_table"], r["source_column"],
             r["subtype"]) for r in records}
    assert (1, "merge", "dw.customers", "email", "staging.customers", "email", "TRANSFORMATION") in seen
    assert (1, "merge", "dw.customers", None, "staging.customers", "id", "JOIN") in seen
    assert (2, "delete", "dw.customers", None, "dw.customers", "email", "FILTER") in seen
    assert (3, "update", "dw.customers", "name", "dw.customers", "name", "TRANSFORMATION") in seen
    assert all(r["statement"] in (1, 2, 3) for r in records)


@pytest.mark.parametrize("schema, expected", [
    # BigQuery's INSERT ROW writes every column of the source row
    ({"t": ["id", "x"], "s": ["id", "x"]}, [("id", (ident("s", "id"),)), ("x", (ident("s", "x"),))]),
    # the source's columns unknown: its star, never an invented column
    (None, [("*", (ident("s", "*"),))]),
])
def test_merge_insert_row(schema, expected):
    st = one("MERGE t USING s ON t.id = s.id WHEN NOT MATCHED THEN INSERT ROW", "bigquery", schema)
    assert (st.kind, st.target) == ("merge", "t")
    assert columns(st) == expected
    assert st.warnings == ()


@pytest.mark.parametrize("sql", [
    "UPDATE TOP (10) dbo.t SET a = b + 1 WHERE c = 1",
    "UPDATE TOP (10) PERCENT dbo.t SET a = b + 1 WHERE c = 1",
])
def test_tsql_update_top_writes_its_table(sql):
    st = one(sql, "tsql")
    assert (st.kind, st.target) == ("update", "dbo.t")
    assert [c.name for c in st.columns] == ["a"] and st.columns[0].sources[0].column == "b"
    assert [s.column for s in st.indirect] == ["c"]
