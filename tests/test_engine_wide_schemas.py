"""Wide catalog tables (thousands of columns): every column found exactly, by ASCII case-insensitive
name, with the catalog's spelling, ambiguity and unknown columns as with narrow tables; stars and
tables created earlier in the call likewise.  Speed is measured in bench/wide.py, not here."""
import pytest

from keldra_lineage import Catalog

from engine_support import columns, ident, join, lineage, one, trans

WIDTH = 10_000


def wide(prefix, width=WIDTH):
    return [f"{prefix}_{i:05d}" for i in range(width)]


@pytest.fixture(scope="module")
def catalog():
    # Mixed case in the catalog; `shared` and `Id` in both tables.
    left = [c.upper() if i % 2 else c for i, c in enumerate(wide("l"))] + ["Shared", "Id"]
    right = wide("r") + ["shared", "id", "Größe"]
    return Catalog.from_mapping({"db.left_t": left, "db.right_t": right})


def test_every_position_of_a_wide_table_resolves_with_the_catalogs_spelling(catalog):
    # first, middle, last column, each written in another case than the catalog's
    sql = ("SELECT l_00000, l_00001, l_05001, L_09999 AS last_l, R_00000, r_09998 + r_09999 AS s "
           "FROM db.left_t JOIN db.right_t ON left_t.id = right_t.id")
    st = one(sql, schema=catalog)
    assert columns(st) == [
        ("l_00000", (ident("db.left_t", "l_00000"),)),
        ("l_00001", (ident("db.left_t", "L_00001"),)),
        ("l_05001", (ident("db.left_t", "L_05001"),)),
        ("last_l", (ident("db.left_t", "L_09999"),)),
        ("R_00000", (ident("db.right_t", "r_00000"),)),
        ("s", (trans("db.right_t", "r_09998"), trans("db.right_t", "r_09999"))),
    ]
    assert st.indirect == (join("db.left_t", "Id"), join("db.right_t", "id"))
    assert st.warnings == ()


def test_wide_tables_keep_ambiguity_and_unknown_columns(catalog):
    st = one("SELECT shared, l_10000, zz FROM db.left_t, db.right_t", schema=catalog)
    by_name = {c.name: c for c in st.columns}
    # in both tables: not guessed
    assert [s.table for s in by_name["shared"].sources] == [None]
    # in neither (one past the last column): no table known to have it
    assert [s.table for s in by_name["l_10000"].sources] == [None]
    assert any("shared" in w and "ambiguous" in w for w in st.warnings), st.warnings
    assert any("l_10000" in w for w in st.warnings), st.warnings
    # qualified, a column the schema does not know is warned about and kept as written
    st = one("SELECT left_t.nope FROM db.left_t", schema=catalog)
    assert columns(st) == [("nope", (ident("db.left_t", "nope"),))]
    assert len(st.warnings) == 1 and "nope" in st.warnings[0]


@pytest.mark.parametrize("sql, dialect, expected", [
    # quoted names are compared ignoring ASCII case against the catalog, as written otherwise
    ('SELECT "L_00002" FROM db.left_t', "postgres", [("L_00002", (ident("db.left_t", "l_00002"),))]),
    ('SELECT "R_00007" FROM db.right_t', "generic", [("R_00007", (ident("db.right_t", "r_00007"),))]),
    # only ASCII letters fold: ö and ß match themselves
    ("SELECT GRößE FROM db.right_t", "generic", [("GRößE", (ident("db.right_t", "Größe"),))]),
])
def test_case_and_quoting_against_a_wide_table(catalog, sql, dialect, expected):
    assert columns(one(sql, dialect, schema=catalog)) == expected


def test_a_non_ascii_letter_in_another_case_is_another_column(catalog):
    st = one("SELECT GRÖßE FROM db.right_t", schema=catalog)
    assert columns(st) == [("GRÖßE", (ident("db.right_t", "GRÖßE"),))]
    assert any("GRÖßE" in w for w in st.warnings), st.warnings


def test_a_star_over_a_wide_table_lists_every_column_in_order(catalog):
    st = one("SELECT * FROM db.right_t", schema=catalog)
    assert [c.name for c in st.columns] == wide("r") + ["shared", "id", "Größe"]
    assert st.columns[-1].sources == (ident("db.right_t", "Größe"),)


def test_a_wide_table_created_earlier_in_the_call_resolves_exactly():
    names = wide("c", 3_000)
    sql = (f"CREATE TABLE made AS SELECT {', '.join(names)} FROM src;\n"
           "SELECT C_02999, c_00000 FROM made JOIN other ON made.c_01500 = other.k;")
    made, query = lineage(sql)
    assert made.error is None and len(made.columns) == 3_000
    # `made`'s columns are known, `other`'s are not: the unqualified names are made's
    assert columns(query) == [("C_02999", (ident("made", "c_02999"),)),
                              ("c_00000", (ident("made", "c_00000"),))]
    assert join("made", "c_01500") in query.indirect


def test_names_repeated_in_another_case_resolve_to_the_first_of_them():
    names = wide("c", 9_000) + ["Dup"] + wide("d", 500) + ["DUP", "dup"]
    st = one("SELECT dup, dUP AS again FROM t", schema={"t": names})
    assert columns(st) == [("dup", (ident("t", "Dup"),)), ("again", (ident("t", "Dup"),))]
    # a star still lists each of them
    st = one("SELECT * FROM t", schema={"t": names})
    assert [c.name for c in st.columns][-3:] == ["d_00499", "DUP", "dup"]
