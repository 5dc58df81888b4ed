"""Statements packed into bytes for the pipe from a worker process and
unpacked in the command's (keldra_lineage._engine.pack_statements and
unpack_statements): the same statements come back, and bytes that are not
what was packed are a ValueError, never a crash or a read past the end."""
import gc
import random
from pathlib import Path

import pytest

from keldra_lineage import Catalog, Message, Statement, lineage
from keldra_lineage._engine import pack_statements, unpack_statements

ROOT = Path(__file__).resolve().parent.parent

MIXED = """
CREATE TABLE made AS SELECT o.id, SUM(o.amount) AS total FROM orders o JOIN customers c ON o.cid = c.id
  WHERE c.region = 'north' GROUP BY o.id;
INSERT INTO report SELECT id, total * 2, CASE WHEN total > 0 THEN 'x' END FROM made ORDER BY 1;
SELECT a, b FROM t JOIN u ON t.k = u.k;
SELECT * FROM nowhere_known;
SELECT FROM;
SELECT 'é' AS "naïve ☃", 1 AS "say ""hi"" now";
"""


def packed_and_back(statements):
    return unpack_statements(pack_statements(statements))


def texts():
    yield MIXED
    for path in sorted((ROOT / "examples").glob("*.sql")):
        yield path.read_text()


@pytest.mark.parametrize("text", list(texts()), ids=lambda t: t[:20])
def test_statements_come_back_equal(text):
    catalog = Catalog.from_file(ROOT / "examples" / "schema.yaml")
    statements = lineage(text, "generic", catalog)
    back = packed_and_back(statements)
    assert back == statements
    assert [type(st) for st in back] == [Statement] * len(statements)
    for st, was in zip(back, statements):
        for m, n in zip((*st.warnings, st.error), (*was.warnings, was.error)):
            assert m == n
            if m is not None:
                assert type(m) is Message
                assert (m.kind, m.line, m.column, m.message) == (n.kind, n.line, n.column, n.message)


def test_every_field_survives():
    st = lineage(MIXED)
    assert any(s.error for s in st) and any(s.warnings for s in st) and any(s.target for s in st)
    # values a caller's `_replace` may give: no target, an unattributed
    # source, a lone surrogate (a file name read with surrogateescape),
    # messages without a position, a large index
    odd = st[0]._replace(index=2**40, target="caf\udce9",
                         warnings=(Message("unsupported_construct", None, None, "no position"),
                                   Message("ambiguous_column", 7, None, "a line only")),
                         error=Message("parse_error", 3, 9, "bad\nthing"))
    odd = odd._replace(columns=(odd.columns[0]._replace(
        name="\udcff", sources=(odd.columns[0].sources[0]._replace(table=None),)),))
    back = packed_and_back([odd])
    assert back == [odd]
    assert [(w.line, w.column) for w in back[0].warnings] == [(None, None), (7, None)]
    assert back[0].error.line == 3 and back[0].error.column == 9
    assert packed_and_back([]) == []


def test_repeated_strings_are_written_once_and_names_are_shared():
    query = "SELECT " + ", ".join(f"a AS c{k}" for k in range(500)) + " FROM db.some_long_table_name"
    statements = lineage(query)
    data = pack_statements(statements)
    assert data.count(b"db.some_long_table_name") == 1 and data.count(b"TRANSFORMATION") <= 1
    back = unpack_statements(data)
    assert back == statements
    # the kinds, types and subtypes are the very strings the engine's own results hold
    assert back[0].kind is statements[0].kind
    assert back[0].columns[0].sources[0].type is statements[0].columns[0].sources[0].type


def test_results_stay_out_of_the_cyclic_collector():
    # A run holds thousands of results; a collection walks only what it tracks.
    for statements in (lineage(MIXED), packed_and_back(lineage(MIXED))):
        columns = [c for st in statements for c in st.columns]
        sources = [s for c in columns for s in c.sources]
        assert columns and sources
        assert not any(gc.is_tracked(x) for x in (*columns, *sources))
        assert not any(gc.is_tracked(c.sources) for c in columns)
        # a statement with messages holds objects that are not plain values
        assert all(gc.is_tracked(st) for st in statements if st.warnings or st.error)


def test_no_collection_sees_a_result_half_built():
    # A collection can start while results are built (a Message's
    # constructor runs Python code); a callback that reads every container
    # then must find none with empty slots.
    sql = ";\n".join("SELECT a FROM t JOIN u ON t.k = u.k" for _ in range(300)) + "; SELECT FROM;"
    statements = [st._replace(warnings=(Message("ambiguous_column", 1, 2, "w"),) * 5) for st in lineage(sql)]
    data = pack_statements(statements)
    seen = []

    def read_everything(phase, info):
        if phase == "start":
            seen.append(sum(len(list(o)) for o in gc.get_objects() if type(o) in (list, tuple) and o))

    threshold = gc.get_threshold()
    gc.callbacks.append(read_everything)
    gc.set_threshold(50)
    try:
        for _ in range(3):
            assert unpack_statements(data) == statements
            assert len(lineage(sql)) == 301
    finally:
        gc.callbacks.remove(read_everything)
        gc.set_threshold(*threshold)
    assert seen


def test_damaged_bytes_are_a_value_error():
    data = pack_statements(lineage(MIXED))
    for end in range(len(data)):
        with pytest.raises(ValueError, match="damaged packed statements"):
            unpack_statements(data[:end])
    with pytest.raises(ValueError, match="bytes after the last statement"):
        unpack_statements(data + b"\0")
    with pytest.raises(ValueError, match="not packed statements"):
        unpack_statements(b"KLS0" + data[4:])
    # a count far beyond the bytes (a vast tuple asked for) and a string
    # numbered before any was written
    with pytest.raises(ValueError, match="more items than bytes"):
        unpack_statements(data[:4] + b"\xff\xff\xff\x7f" + data[8:])
    rng = random.Random(7)
    for _ in range(3000):
        damaged = bytearray(data)
        for _ in range(rng.randint(1, 4)):
            damaged[rng.randrange(4, len(damaged))] = rng.randrange(256)
        try:
            back = unpack_statements(bytes(damaged))
        except ValueError:
            continue
        assert all(type(st) is Statement for st in back)


def test_only_statements_are_packed():
    st = lineage("SELECT a FROM t")[0]
    with pytest.raises(TypeError, match="expected a statement, not tuple"):
        pack_statements([tuple(st)])
    with pytest.raises(TypeError, match="Statement.columns must be a tuple, not list"):
        pack_statements([st._replace(columns=list(st.columns))])
    with pytest.raises(TypeError, match="Statement.target must be a str, not int"):
        pack_statements([st._replace(target=5)])
    with pytest.raises(TypeError, match="a warning or error must be a Message, not str"):
        pack_statements([st._replace(warnings=("plain text",))])
    with pytest.raises(TypeError, match="Statement.index must be an int"):
        pack_statements([st._replace(index="1")])
    with pytest.raises(TypeError):
        pack_statements(5)
    with pytest.raises(TypeError, match="data must be bytes, not str"):
        unpack_statements("KLS1")
