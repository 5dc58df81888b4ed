"""Sessions: tables created or filled by one text feed the texts after it, whatever the split."""
import threading

import pytest

import keldra_lineage
from keldra_lineage import Catalog, Session
from engine_support import columns, ident

ETL = [
    "CREATE TABLE stage.orders AS SELECT id, amount * 100 AS cents FROM raw.orders",
    "INSERT INTO stage.totals SELECT id, sum(cents) AS total FROM stage.orders GROUP BY id",
    "CREATE VIEW mart.report AS SELECT o.id, t.total FROM stage.orders o JOIN stage.totals t ON o.id = t.id",
    "SELECT * FROM mart.report",
]


def outputs(statements):
    return [(st.kind, st.target, columns(st), st.warnings, st.error) for st in statements]


def test_a_session_of_many_texts_equals_one_text():
    whole = keldra_lineage.lineage(";\n".join(ETL))
    session = Session()
    split = [st for text in ETL for st in session.lineage(text)]
    assert outputs(split) == outputs(whole)
    assert columns(split[-1]) == [("id", (ident("mart.report", "id"),)), ("total", (ident("mart.report", "total"),))]
    # what each text created or filled, oldest first; an INSERT into a table
    # nothing knew defines it with the columns it writes
    assert session.tables == {"stage.orders": ("id", "cents"), "stage.totals": ("id", "total"),
                              "mart.report": ("id", "total")}


def test_duplicate_output_names_are_the_same_in_one_text_and_across_texts():
    sql = ["CREATE TABLE x AS SELECT a, b AS a FROM t", "SELECT * FROM x"]
    one = keldra_lineage.lineage(";".join(sql))[-1]
    session = Session()
    session.lineage(sql[0])
    assert columns(session.lineage(sql[1])[0]) == columns(one)
    assert [c.name for c in one.columns] == ["a", "a"]


def test_a_named_text_defines_its_table_from_its_last_query():
    session = Session("duckdb", {"raw.customers": ["id", "name", "email"]})
    [st] = session.lineage("with s as (select * from raw.customers) select id as customer_id, name from s",
                           name='"shop"."main"."stg_customers"')
    assert (st.kind, st.target) == ("query", "shop.main.stg_customers")
    assert session.tables == {"shop.main.stg_customers": ("customer_id", "name")}
    [child] = session.lineage("select * from shop.main.stg_customers")
    assert columns(child) == [("customer_id", (ident("shop.main.stg_customers", "customer_id"),)),
                              ("name", (ident("shop.main.stg_customers", "name"),))]
    # written with fewer parts, it is the same table
    [short] = session.lineage("select customer_id from stg_customers")
    assert short.columns[0].sources == (ident("shop.main.stg_customers", "customer_id"),)


def test_a_table_defined_again_replaces_the_old_one_and_moves_to_the_end():
    session = Session()
    session.lineage("CREATE TABLE a (x INT); CREATE TABLE b (y INT)")
    session.lineage("CREATE TABLE A (z INT)")
    assert session.tables == {"b": ("y",), "A": ("z",)}
    assert columns(session.lineage("SELECT * FROM a")[0]) == [("z", (ident("A", "z"),))]


def test_created_tables_win_over_the_schema_and_leave_it_unchanged():
    catalog = Catalog.from_mapping({"t": ["a"], "k": ["old"]})
    session = Session(schema=catalog)
    session.lineage("CREATE TABLE k AS SELECT a + 1 AS b FROM t")
    assert columns(session.lineage("SELECT * FROM k")[0]) == [("b", (ident("k", "b"),))]
    assert catalog.resolve(("k",)) == ("k", ("old",))
    assert "t" not in session.tables


def test_odd_table_and_column_names_are_kept_not_fatal():
    session = Session()
    session.lineage('CREATE TABLE a.b.c.d AS SELECT 1 AS x; CREATE TABLE db."".t AS SELECT y AS "" FROM s')
    assert session.tables == {"a.b.c.d": ("x",), "db..t": ("",)}
    [st] = session.lineage('SELECT * FROM db."".t')
    assert columns(st) == [("", (ident("db..t", ""),))]


@pytest.mark.parametrize("name, where", [
    ("a..b", "a name part is empty at character 3"),
    ('"open.b', "a quote is not closed at character 1"),
    ("a b", "a dot or the end was expected at character 3"),
    ("", "a name part is missing at character 1"),
])
def test_a_malformed_name_is_a_value_error_with_its_position(name, where):
    with pytest.raises(ValueError) as info:
        Session().lineage("SELECT 1 AS x", name=name)
    assert str(info.value) == f"table name {name!r}: {where}"


def test_a_named_text_without_a_query_says_so():
    session = Session()
    [st] = session.lineage("CREATE TABLE t (a INT)", name="v")
    assert st.warnings == ("line 1, column 1: no query of this text defines v",)
    assert session.tables == {"t": ("a",)}


@pytest.mark.parametrize("call, error", [
    (lambda: Session("oracle9"), ValueError),
    (lambda: Session(schema=["t"]), ValueError),
    (lambda: Session().lineage(b"SELECT 1"), TypeError),
    (lambda: Session().lineage("SELECT 1", name=3), TypeError),
])
def test_bad_arguments(call, error):
    with pytest.raises(error):
        call()


class Reentrant(Catalog):
    """A catalog whose lookup analyses another text in the same session."""
    __slots__ = ()
    session = None

    def resolve(self, parts):
        return Reentrant.session.lineage("SELECT 1 AS one")


def test_a_session_serves_one_call_at_a_time():
    catalog = Reentrant._build({}, None, None)
    session = Reentrant.session = Session(schema=catalog)
    with pytest.raises(RuntimeError, match="one call at a time"):
        session.lineage("SELECT a FROM t")
    # and it is usable again afterwards
    assert session.lineage("CREATE TABLE k (a INT)")[0].error is None
    assert session.tables == {"k": ("a",)}


def test_sessions_in_threads_keep_their_own_tables():
    results = {}

    def work(i):
        s = Session()
        for k in range(50):
            s.lineage(f"CREATE TABLE t{k} AS SELECT c{i} FROM src")
        results[i] = s.tables

    threads = [threading.Thread(target=work, args=(i,)) for i in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert all(results[i] == {f"t{k}": (f"c{i}",) for k in range(50)} for i in range(4))


def test_a_schema_file_of_sql_is_read_through_a_session(tmp_path):
    f = tmp_path / "tables.sql"
    f.write_text("CREATE TABLE raw.orders (id INT, amount INT);\n"
                 "CREATE VIEW v AS SELECT *, amount * 2 AS doubled FROM raw.orders;\n"
                 "INSERT INTO loaded SELECT id FROM v;\n")
    catalog = Catalog.from_file(f)
    assert catalog.to_dict() == {"raw.orders": ["id", "amount"], "v": ["id", "amount", "doubled"],
                                 "loaded": ["id"]}
    [st] = keldra_lineage.lineage("SELECT doubled FROM v", schema=catalog)
    assert st.columns[0].sources == (ident("v", "doubled"),)


def test_views_of_a_database_are_followed_to_their_tables(tmp_path):
    import sqlite3

    from test_cli_engine import run

    db = tmp_path / "shop.db"
    with sqlite3.connect(db) as con:
        con.executescript("CREATE TABLE orders (id INT, amount INT, status TEXT);"
                          "CREATE VIEW big AS SELECT id, amount * 2 AS doubled FROM orders WHERE status = 'ok';")
    con.close()
    catalog = Catalog.from_database(f"sqlite:///{db}")
    assert [name for name, _ in catalog.views] == ["main.big"]
    assert catalog.views == Catalog.merge(catalog, {"x": ["y"]}).views

    done = run("-e", "SELECT doubled FROM big", "--schema-url", f"sqlite:///{db}", "--trace", "big.doubled",
               "--upstream", "-f", "json")
    assert done.returncode == 0, done.stderr
    import json
    reached = {(r["table"], r["column"], r["type"], r["subtype"]) for r in json.loads(done.stdout)}
    assert reached == {("main.orders", "amount", "DIRECT", "TRANSFORMATION"),
                       ("main.orders", "status", "INDIRECT", "FILTER")}
