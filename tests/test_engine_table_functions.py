"""Table functions whose output columns are known per dialect: their columns are theirs (fed by the
arguments), so the other sources of the query stay unambiguous and a star expands to them."""
import pytest

from engine_support import columns, ident, one, trans


@pytest.mark.parametrize("sql, dialect, expected", [
    # Snowflake: FLATTEN gives SEQ, KEY, PATH, INDEX, VALUE, THIS
    ("SELECT f.value, f.index, id, value, seq FROM t, LATERAL FLATTEN(input => t.arr) f", "snowflake",
     [("VALUE", (trans("T", "ARR"),)), ("INDEX", (trans("T", "ARR"),)), ("ID", (ident("T", "ID"),)),
      ("VALUE", (trans("T", "ARR"),)), ("SEQ", (trans("T", "ARR"),))]),
    ("SELECT this, path, key, id FROM t, TABLE(FLATTEN(input => t.doc:items)) f", "snowflake",
     [("THIS", (trans("T", "DOC"),)), ("PATH", (trans("T", "DOC"),)), ("KEY", (trans("T", "DOC"),)),
      ("ID", (ident("T", "ID"),))]),
    ("SELECT value, id FROM t, LATERAL SPLIT_TO_TABLE(t.csv, ',')", "snowflake",
     [("VALUE", (trans("T", "CSV"),)), ("ID", (ident("T", "ID"),))]),
    # GENERATOR has no column: the other source has them all
    ("SELECT id, seq4() AS n FROM t, TABLE(GENERATOR(ROWCOUNT => 3)) g", "snowflake",
     [("ID", (ident("T", "ID"),)), ("N", ())]),
    # Spark: a LATERAL VIEW without column aliases gives col (pos and col for posexplode)
    ("SELECT col, id FROM t LATERAL VIEW explode(arr) e", "hive",
     [("col", (trans("t", "arr"),)), ("id", (ident("t", "id"),))]),
    ("SELECT pos, col, id FROM t LATERAL VIEW posexplode(arr) e", "databricks",
     [("pos", (trans("t", "arr"),)), ("col", (trans("t", "arr"),)), ("id", (ident("t", "id"),))]),
    ("SELECT key, value, id FROM t LATERAL VIEW explode(m) e", "spark",
     [("key", (trans("t", "m"),)), ("value", (trans("t", "m"),)), ("id", (ident("t", "id"),))]),
    # Postgres: a scalar function's column is named after it, or after its alias
    ("SELECT generate_series, id FROM t, generate_series(1, t.n)", "postgres",
     [("generate_series", (trans("t", "n"),)), ("id", (ident("t", "id"),))]),
    ("SELECT g, id FROM t, generate_series(1, t.n) AS g", "postgres",
     [("g", (trans("t", "n"),)), ("id", (ident("t", "id"),))]),
    ("SELECT key, value, id FROM t, json_each(t.doc)", "postgres",
     [("key", (trans("t", "doc"),)), ("value", (trans("t", "doc"),)), ("id", (ident("t", "id"),))]),
    # WITH ORDINALITY adds ordinality; a column list names both
    ("SELECT x, ordinality, id FROM t, unnest(t.arr) WITH ORDINALITY x", "postgres",
     [("x", (trans("t", "arr"),)), ("ordinality", (trans("t", "arr"),)), ("id", (ident("t", "id"),))]),
    ("SELECT u.x, u.n, id FROM t, unnest(t.arr) WITH ORDINALITY AS u(x, n)", "postgres",
     [("x", (trans("t", "arr"),)), ("n", (trans("t", "arr"),)), ("id", (ident("t", "id"),))]),
    # BigQuery: UNNEST ... WITH OFFSET
    ("SELECT x, off, id FROM t, UNNEST(t.arr) AS x WITH OFFSET AS off", "bigquery",
     [("x", (trans("t", "arr"),)), ("off", (trans("t", "arr"),)), ("id", (ident("t", "id"),))]),
    # T-SQL
    ("SELECT value, id FROM t CROSS APPLY STRING_SPLIT(t.tags, ',')", "tsql",
     [("value", (trans("t", "tags"),)), ("id", (ident("t", "id"),))]),
])
def test_known_columns_of_table_functions(sql, dialect, expected):
    st = one(sql, dialect)
    assert (columns(st), st.warnings) == (expected, ())


@pytest.mark.parametrize("sql, dialect, names", [
    ("SELECT f.* FROM t, LATERAL FLATTEN(input => t.arr) f", "snowflake",
     ["SEQ", "KEY", "PATH", "INDEX", "VALUE", "THIS"]),
    # explode's star is its array form
    ("SELECT e.* FROM t LATERAL VIEW explode(arr) e", "hive", ["col"]),
    ("SELECT * FROM json_each('{}')", "postgres", ["key", "value"]),
])
def test_a_star_over_a_known_function_expands(sql, dialect, names):
    st = one(sql, dialect)
    assert [c.name for c in st.columns] == names and st.warnings == ()


@pytest.mark.parametrize("sql, dialect, expected", [
    ("SELECT explode(arr), id FROM t", "databricks", [("col", (trans("t", "arr"),)), ("id", (ident("t", "id"),))]),
    ("SELECT posexplode(arr) FROM t", "hive", [("pos", (trans("t", "arr"),)), ("col", (trans("t", "arr"),))]),
    ("SELECT explode(arr) AS item FROM t", "spark", [("item", (trans("t", "arr"),))]),
    # the generic dialect knows every family's; elsewhere explode is any function, named by its text
    ("SELECT explode(arr) FROM t", "generic", [("col", (trans("t", "arr"),))]),
    ("SELECT explode(arr) FROM t", "postgres", [("explode(arr)", (trans("t", "arr"),))]),
])
def test_generators_in_a_select_list_are_named_as_spark_names_them(sql, dialect, expected):
    assert columns(one(sql, dialect)) == expected


def test_a_function_known_in_another_dialect_only_stays_unknown():
    # FLATTEN is Snowflake's: in Postgres its columns are not known, so `id` is ambiguous
    st = one("SELECT id FROM t, LATERAL flatten(t.arr) f", "postgres")
    assert columns(st) == [("id", (ident(None, "id"),))]
    assert any("ambiguous" in w for w in st.warnings)
