"""Schemas: building a Catalog from mappings, files and databases; lookups."""
import copy
import json
import os
import pickle
import re
import uuid
from pathlib import Path

import pytest
import sqlalchemy as sa

import keldra_lineage
from keldra_lineage.catalog import Catalog

# The measurement corpus lies beside the repository when it is there.
CORPUS = Path(__file__).resolve().parents[2] / "shared" / "corpus"

needs_engine = pytest.mark.skipif(
    not hasattr(keldra_lineage, "lineage"), reason="the lineage engine is not built"
)


# -- mapping forms -----------------------------------------------------------

@pytest.mark.parametrize("mapping, tables", [
    ({"db.orders": ["id", "amount"]}, {"db.orders": ["id", "amount"]}),
    ({"orders": ("id", "amount")}, {"orders": ["id", "amount"]}),
    ({"orders": {"id": "int", "note": None}}, {"orders": ["id", "note"]}),
    ({"db": {"orders": {"id": "int"}, "items": ["sku"]}}, {"db.orders": ["id"], "db.items": ["sku"]}),
    ({"cat": {"sch": {"t": ["a", "b"]}}}, {"cat.sch.t": ["a", "b"]}),
    ({"cat.sch": {"t": ["a"]}, "cat": {"other": {"u": {}}}}, {"cat.sch.t": ["a"], "cat.other.u": []}),
    ({"t": []}, {"t": []}),
    ({"db": {}, "t": ["x"]}, {"t": ["x"]}),          # an empty namespace holds no table
    ({}, {}),
], ids=["dotted", "tuple", "types", "by-database", "by-catalog-schema", "mixed-nesting",
        "no-columns", "empty-namespace", "empty"])
def test_mapping_forms(mapping, tables):
    catalog = Catalog.from_mapping(mapping)
    assert catalog.to_dict() == tables
    assert Catalog(mapping) == catalog
    assert Catalog.from_mapping(catalog.to_dict()) == catalog


@pytest.mark.parametrize("mapping, message", [
    ({"db.orders": ["id", 3]}, "schema entry 'db.orders': column names must be strings, got 3"),
    ({"t": [["a"]]}, "schema entry 't': column names must be strings, got a list"),
    ({"t": ["id", ""]}, "schema entry 't': a column name is empty"),
    ({"t": ["id", "name", "id"]}, "schema entry 't': column 'id' is listed twice"),
    ({"orders": {"id": 3}},
     "schema entry 'orders': the type of column 'id' must be a string or null, got 3"),
    ({"orders": {7: "int"}}, "schema entry 'orders': column names must be strings, got 7"),
    ({"db": {"orders": ["id"], "x": "int"}},
     "schema entry 'db': mixes column types ('x': 'int') with nested tables ('orders': a list)"),
    ({"a": {"b": {"c": {"d": ["x"]}}}},
     "schema entry 'a.b.c': nests tables deeper than catalog.schema.table"),
    ({"a.b.c.d": ["x"]}, "schema entry 'a.b.c.d': a table name has at most 3 parts"),
    ({"a.b": {"c.d": ["x"]}}, "schema entry 'a.b.c.d': a table name has at most 3 parts"),
    ({"db..t": ["x"]}, "schema entry 'db..t': a name part is empty"),
    ({3: ["x"]}, "schema top level: names must be strings, got 3"),
    ({"db": {None: ["x"]}}, "schema entry 'db': names must be strings, got None"),
    ({"t": "id, name"}, "schema entry 't': expected a list of column names, a mapping of column "
                        "name to type, or a mapping of nested tables; got 'id, name'"),
    ({"db.t": ["a"], "db": {"t": ["b"]}}, "schema entry 'db.t': the table is defined twice"),
])
def test_malformed_mapping_names_the_entry(mapping, message):
    with pytest.raises(ValueError) as e:
        Catalog.from_mapping(mapping)
    assert str(e.value).startswith(message)


@pytest.mark.parametrize("value", [["orders"], "orders", None])
def test_mapping_must_be_a_mapping(value):
    with pytest.raises(TypeError, match="must be a mapping"):
        Catalog.from_mapping(value)


@pytest.mark.parametrize("keyword, value, error", [
    ("default_schema", 3, TypeError),
    ("default_database", b"db", TypeError),
    ("default_schema", "", ValueError),
])
def test_bad_defaults(keyword, value, error):
    with pytest.raises(error, match=keyword):
        Catalog.from_mapping({"t": ["a"]}, **{keyword: value})


# -- lookups -----------------------------------------------------------------

@pytest.mark.parametrize("tables, defaults, parts, expected", [
    # Identifier folding: any case matches.
    (["Sales.Orders"], {}, ("sales", "ORDERS"), "Sales.Orders"),
    (["Sales.Orders"], {}, ("orders",), "Sales.Orders"),
    # Fewer parts than the table's name.
    (["c.s.t"], {}, ("t",), "c.s.t"),
    (["c.s.t"], {}, ("s", "t"), "c.s.t"),
    (["c.s.t"], {}, ("c", "s", "t"), "c.s.t"),
    (["c.s.t"], {}, ("x", "s", "t"), None),
    (["s.t"], {}, ("x", "t"), None),
    # More parts than the table's name: the table was listed unqualified.
    (["orders"], {}, ("db", "public", "orders"), "orders"),
    (["orders"], {}, ("public", "orders"), "orders"),
    # The name in full wins over longer and shorter names ending alike.
    (["t", "s.t"], {}, ("t",), "t"),
    (["t", "s.t"], {}, ("s", "t"), "s.t"),
    (["t", "s.t"], {}, ("x", "t"), "t"),
    (["t", "db.s.t"], {}, ("s", "t"), "db.s.t"),
    # Ambiguous and unknown.
    (["a.t", "b.t"], {}, ("t",), None),
    (["a.b.t", "c.b.t"], {}, ("b", "t"), None),
    (["t"], {}, ("u",), None),
    (["t"], {}, ("a", "b", "c", "t"), None),
    (["t"], {}, (), None),
    # Tables differing only by case: the one spelled as written.
    (["Orders", "orders"], {}, ("orders",), "orders"),
    (["Orders", "orders"], {}, ("Orders",), "Orders"),
    (["Orders", "orders"], {}, ("ORDERS",), None),
    # Defaults complete an unqualified name first ...
    (["sales.orders", "public.orders"], {"default_schema": "public"}, ("orders",), "public.orders"),
    (["sales.orders", "public.orders"], {"default_schema": "public"}, ("sales", "orders"),
     "sales.orders"),
    (["db1.s.t", "db2.s.t"], {"default_database": "db2"}, ("s", "t"), "db2.s.t"),
    (["db1.s.t", "db2.s.t"], {"default_database": "db2", "default_schema": "s"}, ("t",),
     "db2.s.t"),
    (["db1.s.t", "db2.s.t"], {"default_schema": "s"}, ("t",), None),
    (["orders", "sales.orders"], {"default_schema": "public"}, ("orders",), "orders"),
    # ... and otherwise the name is taken as written.
    (["sales.orders"], {"default_schema": "public"}, ("orders",), "sales.orders"),
    (["db1.s.t"], {"default_database": "db2", "default_schema": "s"}, ("t",), "db1.s.t"),
    (["db1.s.t"], {"default_database": "db2"}, ("t",), "db1.s.t"),
])
def test_resolve(tables, defaults, parts, expected):
    mapping = {name: [f"c{i}", "id"] for i, name in enumerate(tables)}
    catalog = Catalog.from_mapping(mapping, **defaults)
    got = catalog.resolve(parts)
    assert got == (None if expected is None else (expected, tuple(mapping[expected])))
    assert catalog.resolve(parts) == got            # and again, from the cache
    assert catalog.resolve(list(parts)) == got


def test_resolve_rejects_what_is_not_name_parts():
    catalog = Catalog.from_mapping({"t": ["a"]})
    with pytest.raises(TypeError, match="must be strings"):
        catalog.resolve(("s", 3))
    with pytest.raises(TypeError, match="not a str"):
        catalog.resolve("s.t")


def test_resolve_many_names_stays_right():
    # More distinct names than the cache keeps.
    catalog = Catalog.from_mapping({f"s.t{i}": [f"c{i}"] for i in range(200)})
    for round_ in range(2):
        for i in range(0, 70000, 7):
            got = catalog.resolve((f"T{i}",))
            assert got == ((f"s.t{i}", (f"c{i}",)) if i < 200 else None)


def test_columns_tables_and_contains():
    catalog = Catalog.from_mapping({"a.t": ["x", "y"], "b.t": ["z"], "b.u": ["w"]})
    assert catalog.tables == ("a.t", "b.t", "b.u")
    assert len(catalog) == 3
    assert catalog.columns("A.T") == ("x", "y")
    assert catalog.columns(("b", "u")) == ("w",)
    assert catalog.columns("u") == ("w",)
    with pytest.raises(KeyError, match="ambiguous: a.t, b.t"):
        catalog.columns("t")
    with pytest.raises(KeyError, match="no table 'c.t'"):
        catalog.columns("c.t")
    with pytest.raises(TypeError):
        catalog.columns(3)
    assert "b.t" in catalog and "u" in catalog
    assert "t" not in catalog and "nope" not in catalog and 3 not in catalog


# -- values ------------------------------------------------------------------

def test_catalog_is_immutable():
    catalog = Catalog.from_mapping({"t": ["a"]})
    with pytest.raises(AttributeError):
        catalog._tables = ()
    with pytest.raises(AttributeError):
        catalog.default_schema = "s"
    with pytest.raises(AttributeError):
        del catalog._index
    with pytest.raises(AttributeError):
        catalog.__init__({"u": ["b"]})
    assert catalog.to_dict() == {"t": ["a"]}
    catalog.to_dict()["t"].append("b")
    assert catalog.columns("t") == ("a",)


def test_equality_hash_pickle_copy():
    a = Catalog.from_mapping({"s.t": ["a", "b"], "u": ["c"]}, default_schema="s")
    b = Catalog.from_mapping({"u": {"c": None}, "s": {"t": ["a", "b"]}}, default_schema="s")
    assert a == b and hash(a) == hash(b)
    assert a != Catalog.from_mapping({"s.t": ["b", "a"], "u": ["c"]}, default_schema="s")
    assert a != Catalog.from_mapping({"s.t": ["a", "b"], "u": ["c"]})
    for other in (pickle.loads(pickle.dumps(a)), copy.copy(a), copy.deepcopy(a)):
        assert other == a
        assert other.resolve(("t",)) == ("s.t", ("a", "b"))
        assert other.default_schema == "s"


def test_repr():
    catalog = Catalog.from_mapping({"db.orders": ["id", "amount"]}, default_schema="db")
    assert repr(catalog) == "<Catalog 1 table: db.orders(id, amount); default_schema='db'>"
    big = Catalog.from_mapping({f"t{i}": [f"c{j}" for j in range(8)] for i in range(10)})
    text = repr(big)
    assert text.startswith("<Catalog 10 tables: t0(c0, c1, c2, c3, c4, ... +3), t1(")
    assert text.endswith("... +6 more>")
    assert repr(Catalog()) == "<Catalog 0 tables>"


# -- merging -----------------------------------------------------------------

def test_merge_later_wins():
    first = Catalog.from_mapping({"s.orders": ["id"], "s.items": ["sku"], "ORDERS": ["x"]},
                                 default_schema="s")
    second = Catalog.from_mapping({"S.Orders": ["id", "amount"], "orders": ["y"]},
                                  default_database="db")
    merged = Catalog.merge(first, second)
    assert merged.to_dict() == {"S.Orders": ["id", "amount"], "s.items": ["sku"], "orders": ["y"]}
    assert (merged.default_schema, merged.default_database) == ("s", "db")
    assert first | second == merged
    assert (second | first).to_dict() == {"s.orders": ["id"], "ORDERS": ["x"], "s.items": ["sku"]}
    assert (first | {"t": ["a"]}).columns("t") == ("a",)
    assert ({"t": ["a"]} | first).resolve(("orders",)) == ("s.orders", ("id",))
    # Tables differing only by case within one source all give way together.
    twins = Catalog.from_mapping({"T": ["a"], "t": ["b"]})
    assert (twins | Catalog.from_mapping({"t": ["c"]})).to_dict() == {"t": ["c"]}


def test_merge_defaults_and_types():
    a = Catalog.from_mapping({"t": ["a"]}, default_schema="x")
    b = Catalog.from_mapping({"u": ["b"]}, default_schema="y")
    assert Catalog.merge(a, b).default_schema == "y"
    assert Catalog.merge(b, a).default_schema == "x"
    assert Catalog.merge(a, b, default_schema="z").default_schema == "z"
    assert Catalog.merge() == Catalog()
    with pytest.raises(TypeError, match="catalogs or mappings, got list"):
        Catalog.merge(a, ["t"])
    with pytest.raises(TypeError):
        a | ["t"]


# -- JSON and YAML files -----------------------------------------------------

SCHEMA = {"sales": {"orders": {"id": "int", "amount": "decimal"}, "items": ["sku", "qty"]},
          "dw.core.customers": ["id", "name"]}


def _yaml_text():
    return ("sales:\n  orders:\n    id: int\n    amount: decimal\n  items: [sku, qty]\n"
            "dw.core.customers:\n  - id\n  - name\n")


@pytest.mark.parametrize("name, text", [
    ("schema.json", json.dumps(SCHEMA)),
    ("SCHEMA.JSON", json.dumps(SCHEMA)),
    ("schema.yaml", _yaml_text()),
    ("schema.yml", _yaml_text()),
    ("bom.json", "\ufeff" + json.dumps(SCHEMA)),
])
def test_from_file_json_yaml(tmp_path, name, text):
    path = tmp_path / name
    path.write_text(text, encoding="utf-8")
    catalog = Catalog.from_file(path, default_schema="sales")
    assert catalog == Catalog.from_mapping(SCHEMA, default_schema="sales")
    assert Catalog.from_file(str(path)).resolve(("customers",)) == (
        "dw.core.customers", ("id", "name"))


@pytest.mark.parametrize("name, text, message", [
    ("s.json", '{"t": ["a", 3]}', "schema entry 't': column names must be strings, got 3"),
    ("s.json", '{"t": ["a"],\n "u": [}', "invalid JSON: line 2, column 8: Expecting value"),
    ("s.json", '{"t": ["a"], "t": ["b"]}', "invalid JSON: key 't' appears twice"),
    ("s.json", '["t"]', "the top level must be a mapping of table names, got a list"),
    ("s.yaml", "t:\n  a: [1]\n  b: int\n",
     "schema entry 't': mixes column types ('b': 'int') with nested tables ('a': a list)"),
    ("s.yaml", "t:\n  on: int\n", "schema entry 't': column names must be strings, got True"),
    ("s.yaml", "t: [a, b\nu: [c]\n", "invalid YAML: line 2, column 2:"),
    ("s.yml", "- t\n", "the top level must be a mapping of table names, got a list"),
    ("s.toml", "t = 1", "unknown schema file type '.toml'; expected one of .json, .yaml"),
    ("schema", "{}", "unknown schema file type '(no extension)'"),
])
def test_from_file_errors_name_the_file(tmp_path, name, text, message):
    path = tmp_path / name
    path.write_text(text, encoding="utf-8")
    with pytest.raises(ValueError) as e:
        Catalog.from_file(path)
    assert str(e.value).startswith(f"{path}: {message}")


@pytest.mark.parametrize("text, message", [
    # a table twice at the top, in a schema, a column twice in a mapping
    ("t: [a]\nu: [b]\nt: [c]\n", "line 3, column 1: 't' is defined twice in one mapping (first at line 1, column 1)"),
    ("db:\n  t: [a]\n  t: [b]\n", "line 3, column 3: 't' is defined twice in one mapping (first at line 2, column 3)"),
    ("t:\n  a: int\n  b: int\n  a: text\n",
     "line 4, column 3: 'a' is defined twice in one mapping (first at line 2, column 3)"),
    ("t: {a: int, a: int}\n", "line 1, column 13: 'a' is defined twice in one mapping"),
])
def test_yaml_keys_defined_twice_are_errors_with_their_position(tmp_path, text, message):
    path = tmp_path / "s.yaml"
    path.write_text(text)
    with pytest.raises(ValueError) as e:
        Catalog.from_file(path)
    assert str(e.value).startswith(f"{path}: invalid YAML: {message}")


def test_yaml_anchors_merges_and_aliases_within_the_budget(tmp_path):
    path = tmp_path / "s.yaml"
    path.write_text("audit: &audit {created_at: timestamp, updated_at: timestamp}\n"
                    "orders:\n  <<: *audit\n  id: int\n  updated_at: text\n"
                    "keys: &keys [id, name]\nusers: *keys\nteams: *keys\n")
    assert Catalog.from_file(path).to_dict() == {
        "audit": ["created_at", "updated_at"], "orders": ["created_at", "updated_at", "id"],
        "keys": ["id", "name"], "users": ["id", "name"], "teams": ["id", "name"]}


def test_yaml_alias_bombs_are_refused_where_the_budget_runs_out(tmp_path):
    from hostile_shapes import yaml_alias_bomb
    path = tmp_path / "bomb.yaml"
    path.write_text(yaml_alias_bomb(9))
    with pytest.raises(ValueError) as e:
        Catalog.from_file(path)
    assert str(e.value) == (f"{path}: invalid YAML: line 6, column 10: "
                            "the aliases of this file stand for more than 100,000 values: refused")
    # distinct names behind the aliases: each alias costs what it stands for
    names = ", ".join(f"c{i}" for i in range(1_000))
    many = "cols: &c [" + names + "]\n" + "".join(f"t{i}: *c\n" for i in range(120))
    path.write_text(many)
    with pytest.raises(ValueError, match="stand for more than 100,000 values"):
        Catalog.from_file(path)
    path.write_text("cols: &c [" + names + "]\n" + "".join(f"t{i}: *c\n" for i in range(90)))
    assert len(Catalog.from_file(path)) == 91


def test_from_file_unreadable(tmp_path):
    with pytest.raises(FileNotFoundError):
        Catalog.from_file(tmp_path / "missing.json")
    path = tmp_path / "latin1.yaml"
    path.write_bytes("t: [caf\xe9]\n".encode("latin-1"))
    with pytest.raises(ValueError, match=re.escape(f"{path}: not UTF-8 text")):
        Catalog.from_file(path)
    empty = tmp_path / "empty.yaml"
    empty.write_text("# nothing yet\n")
    assert Catalog.from_file(empty) == Catalog()


@pytest.mark.skipif(not (CORPUS / "tpcds" / "schema.json").is_file(), reason="no TPC-DS corpus")
def test_from_file_tpcds_schema():
    catalog = Catalog.from_file(CORPUS / "tpcds" / "schema.json")
    raw = json.loads((CORPUS / "tpcds" / "schema.json").read_text())
    assert catalog.tables == tuple(raw)
    name, columns = catalog.resolve(("TPCDS", "Store_Sales"))
    assert name == "store_sales" and columns == tuple(raw["store_sales"])
    assert "ss_item_sk" in columns


# -- SQL files (through the lineage engine) ----------------------------------

DDL = """\
-- the warehouse
CREATE SCHEMA sales;
CREATE TABLE sales.orders (id INT PRIMARY KEY, customer_id INT, amount DECIMAL(10, 2));
CREATE TABLE customers (id INT, name TEXT);
CREATE INDEX orders_customer ON sales.orders (customer_id);
CREATE VIEW big_orders AS SELECT id, amount * 2 AS doubled FROM sales.orders WHERE amount > 100;
CREATE VIEW named (a, b) AS SELECT id, name FROM customers;
CREATE TABLE summary AS SELECT customer_id, sum(amount) AS total FROM sales.orders GROUP BY 1;
CREATE VIEW everything AS SELECT * FROM customers;
INSERT INTO customers VALUES (1, 'x');
"""


@needs_engine
def test_from_file_sql(tmp_path):
    path = tmp_path / "warehouse.sql"
    path.write_text(DDL)
    catalog = Catalog.from_file(path)
    assert catalog.to_dict() == {
        "sales.orders": ["id", "customer_id", "amount"],
        "customers": ["id", "name"],
        "big_orders": ["id", "doubled"],
        "named": ["a", "b"],
        "summary": ["customer_id", "total"],
        "everything": ["id", "name"],
    }


@needs_engine
def test_from_file_sql_redefinition_and_dialect(tmp_path):
    path = tmp_path / "ddl.sql"
    path.write_text("create table T (A int);\ncreate table t (b int, c int);\n"
                    "create table `q` (x int);\n")
    assert Catalog.from_file(path, dialect="mysql").to_dict() == {"t": ["b", "c"], "q": ["x"]}
    folded = tmp_path / "pg.sql"
    folded.write_text("CREATE TABLE Sales.Orders (ID int, Amount numeric);\n")
    assert Catalog.from_file(folded, dialect="postgres").to_dict() == {
        "sales.orders": ["id", "amount"]}


@needs_engine
@pytest.mark.parametrize("text, where", [
    ("CREATE TABLE a (x int);\nCREATE TABLE b (y int,, z int);\n", "line 2, column "),
    ("CREATE TABLE a (x int);\n\n  SELEC x FROM a;\n", "line 3, column 3"),
])
def test_from_file_sql_error_gives_line_and_column(tmp_path, text, where):
    path = tmp_path / "bad.sql"
    path.write_text(text)
    with pytest.raises(ValueError) as e:
        Catalog.from_file(path)
    assert str(e.value).startswith(f"{path}: {where}")


@needs_engine
def test_from_file_sql_star_over_unknown_table(tmp_path):
    path = tmp_path / "views.sql"
    path.write_text("CREATE TABLE a (x int);\nCREATE VIEW v AS SELECT * FROM elsewhere;\n")
    with pytest.raises(ValueError, match=re.escape(f"{path}: line 2: the columns of 'v' cannot")):
        Catalog.from_file(path)


@needs_engine
def test_from_file_sql_unknown_dialect(tmp_path):
    path = tmp_path / "a.sql"
    path.write_text("CREATE TABLE a (x int);\n")
    with pytest.raises(ValueError, match="postgres"):
        Catalog.from_file(path, dialect="nosuch")


# -- databases ---------------------------------------------------------------

def _make_sqlite(path, statements):
    engine = sa.create_engine(f"sqlite:///{path}")
    with engine.begin() as conn:
        for s in statements:
            conn.exec_driver_sql(s)
    engine.dispose()


@pytest.fixture
def sqlite_files(tmp_path):
    main = tmp_path / "main.db"
    aux = tmp_path / "aux.db"
    _make_sqlite(main, [
        "CREATE TABLE orders (id INTEGER PRIMARY KEY, customer_id INTEGER, amount NUMERIC)",
        "CREATE TABLE customers (id INTEGER, name TEXT, city TEXT)",
        "CREATE VIEW order_totals AS SELECT customer_id, sum(amount) AS total "
        "FROM orders GROUP BY customer_id",
    ])
    _make_sqlite(aux, [
        "CREATE TABLE orders (order_id INTEGER, note TEXT)",
        "CREATE TABLE archive (day TEXT, zeta INTEGER, alpha INTEGER)",
    ])
    return main, aux


def test_from_database_sqlite(sqlite_files):
    main, _ = sqlite_files
    catalog = Catalog.from_database(f"sqlite:///{main}")
    assert catalog.to_dict() == {
        "main.customers": ["id", "name", "city"],
        "main.order_totals": ["customer_id", "total"],
        "main.orders": ["id", "customer_id", "amount"],
    }
    assert catalog.default_schema == "main"
    assert catalog.resolve(("ORDERS",)) == ("main.orders", ("id", "customer_id", "amount"))
    assert Catalog.from_database(sa.engine.make_url(f"sqlite:///{main}"),
                                 default_schema="other").default_schema == "other"


def test_from_database_attached_schema(sqlite_files):
    main, aux = sqlite_files
    engine = sa.create_engine(f"sqlite:///{main}")

    @sa.event.listens_for(engine, "connect")
    def attach(dbapi_connection, _record):
        dbapi_connection.execute(f"ATTACH DATABASE '{aux}' AS aux")

    catalog = Catalog.from_database(engine)
    assert set(catalog.tables) == {"main.customers", "main.order_totals", "main.orders",
                                   "aux.archive", "aux.orders"}
    assert catalog.columns("archive") == ("day", "zeta", "alpha")
    # The database's default schema wins for an unqualified name ...
    assert catalog.resolve(("orders",))[0] == "main.orders"
    assert catalog.resolve(("aux", "orders")) == ("aux.orders", ("order_id", "note"))
    # ... and without a default the name is ambiguous.
    assert Catalog.merge(Catalog.from_mapping(catalog.to_dict())).resolve(("orders",)) is None

    only_aux = Catalog.from_database(engine, schemas="aux")
    assert only_aux.tables == ("aux.archive", "aux.orders")
    with engine.connect() as conn:
        assert Catalog.from_database(conn, schemas=["main", "aux"]) == catalog
    with pytest.raises(ValueError, match="the database has no schema 'nope'; it has: 'main', 'aux'"):
        Catalog.from_database(engine, schemas=["aux", "nope"])
    engine.dispose()


@pytest.mark.parametrize("url, message", [
    ("not a url", "not a database URL"),
    ("nosuchdriver://host/db", "nosuchdriver://host/db: "),
    ("sqlite:///{tmp}/missing.db", "sqlite:///{tmp}/missing.db: no such SQLite database file"),
])
def test_from_database_bad_url(tmp_path, url, message):
    url = url.format(tmp=tmp_path)
    with pytest.raises(ValueError, match=re.escape(message.format(tmp=tmp_path))):
        Catalog.from_database(url)
    assert not (tmp_path / "missing.db").exists()


POSTGRES_URL = os.environ.get("KELDRA_TEST_POSTGRES_URL")


@pytest.mark.skipif(not POSTGRES_URL, reason="KELDRA_TEST_POSTGRES_URL is not set")
def test_from_database_postgres():
    schema = f"keldra_test_{uuid.uuid4().hex[:8]}"
    engine = sa.create_engine(POSTGRES_URL)
    with engine.begin() as conn:
        conn.exec_driver_sql(f"CREATE SCHEMA {schema}")
        conn.exec_driver_sql(f"CREATE TABLE {schema}.orders (id int, amount numeric, placed date)")
        conn.exec_driver_sql(f'CREATE TABLE {schema}."Mixed" ("Id" int, lower_col text)')
        conn.exec_driver_sql(f"CREATE VIEW {schema}.recent AS SELECT id, placed FROM {schema}.orders")
        conn.exec_driver_sql(
            f"CREATE MATERIALIZED VIEW {schema}.totals AS SELECT sum(amount) AS total FROM {schema}.orders")
    try:
        catalog = Catalog.from_database(POSTGRES_URL, schemas=[schema])
        assert catalog.to_dict() == {
            f"{schema}.Mixed": ["Id", "lower_col"],
            f"{schema}.orders": ["id", "amount", "placed"],
            f"{schema}.recent": ["id", "placed"],
            f"{schema}.totals": ["total"],
        }
        assert catalog.default_schema == "public"
        assert catalog.resolve((schema, "mixed")) == (f"{schema}.Mixed", ("Id", "lower_col"))
        everything = Catalog.from_database(POSTGRES_URL)
        assert f"{schema}.orders" in everything.tables
        assert not any(t.startswith(("information_schema.", "pg_catalog.")) for t in everything.tables)
    finally:
        with engine.begin() as conn:
            conn.exec_driver_sql(f"DROP SCHEMA {schema} CASCADE")
        engine.dispose()


# -- the engine asks the catalog ---------------------------------------------

@needs_engine
def test_lineage_through_catalog():
    catalog = Catalog.from_mapping(
        {"public": {"orders": ["id", "amount"]}, "sales": {"orders": ["id", "region"]},
         "customers": {"cid": "int", "name": "text"}},
        default_schema="public")
    [statement] = keldra_lineage.lineage(
        "SELECT amount, name FROM ORDERS JOIN customers ON id = cid", schema=catalog)
    assert [(c.name, [(s.table, s.column) for s in c.sources]) for c in statement.columns] == [
        ("amount", [("public.orders", "amount")]),
        ("name", [("customers", "name")]),
    ]
    assert {(s.table, s.column) for s in statement.indirect} == {
        ("public.orders", "id"), ("customers", "cid")}
    [region] = keldra_lineage.lineage("SELECT region FROM sales.orders", schema=catalog)
    assert region.columns[0].sources[0].table == "sales.orders"
    with pytest.raises(ValueError, match="schema entry 'orders': column names must be strings"):
        keldra_lineage.lineage("SELECT 1", schema={"orders": ["id", 3]})
