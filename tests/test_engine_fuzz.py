"""Fuzzing the lineage engine: random text and random SQL built from a small
grammar never crash it, never raise for bad SQL, and always give well-formed
results."""
import json
import os
import re

from hypothesis import HealthCheck, given, settings, strategies as st

import hostile_shapes
import keldra_lineage
from keldra_lineage import Column, Source, Statement

EXAMPLES = int(os.environ.get("KELDRA_FUZZ_EXAMPLES", "300"))
fuzz = settings(max_examples=EXAMPLES, deadline=None, suppress_health_check=[HealthCheck.too_slow])

DIRECT = {"IDENTITY", "TRANSFORMATION", "AGGREGATION"}
INDIRECT = {"JOIN", "GROUP_BY", "FILTER", "SORT", "WINDOW", "CONDITIONAL"}


def check_well_formed(statements, text):
    assert isinstance(statements, list)
    for i, s in enumerate(statements, 1):
        assert type(s) is Statement and s.index == i
        assert 1 <= s.line <= len(re.split("\r\n|\r|\n", text))  # LF, CRLF and a lone CR end lines
        assert s.kind in keldra_lineage.KINDS
        if s.error is not None:
            assert s.error.startswith("line ") and s.columns == () and s.indirect == ()
        for c in s.columns:
            assert type(c) is Column and isinstance(c.name, str)
            assert list(c.sources) == sorted(set(c.sources), key=_key)
            for src in c.sources:
                assert type(src) is Source
                assert (src.type, src.subtype in DIRECT) in {("DIRECT", True), ("INDIRECT", False)}
                assert src.subtype in DIRECT | {"WINDOW", "CONDITIONAL"}
        for src in s.indirect:
            assert src.type == "INDIRECT" and src.subtype in INDIRECT - {"WINDOW", "CONDITIONAL"}
        json.dumps(s.to_dict())


def _key(s):
    return ("" if s.table is None else "\x01" + s.table, s.column, s.type, s.subtype)


@fuzz
@given(st.text(alphabet=st.characters(blacklist_categories=["Cs"]), max_size=200),
       st.sampled_from(keldra_lineage.DIALECTS))
def test_random_text(text, dialect):
    check_well_formed(keldra_lineage.lineage(text, dialect=dialect), text)


names = st.sampled_from(["a", "b", "c", "id", "x", '"Q"', "t.a", "s.b", "u.c", "q.*", "*"])
tables = st.sampled_from(["t", "db.t", "s", "u", "w"])


@st.composite
def expressions(draw, depth=0):
    leaf = draw(names.filter(lambda n: not n.endswith("*")))
    if depth > 2 or draw(st.booleans()):
        return leaf
    inner = draw(expressions(depth + 1))
    form = draw(st.sampled_from(["{} + {}", "sum({})", "CASE WHEN {} > 1 THEN {} END",
                                 "coalesce({}, {})", "row_number() OVER (PARTITION BY {} ORDER BY {})",
                                 "({})", "CAST({} AS int)", "(SELECT max({}) FROM w WHERE w.k = {})"]))
    return form.format(inner, leaf)


@st.composite
def queries(draw, depth=0):
    items = draw(st.lists(st.one_of(names, expressions()), min_size=1, max_size=4))
    select = ", ".join(f"{e} AS c{i}" if draw(st.booleans()) and not e.endswith("*") else e
                       for i, e in enumerate(items))
    source = draw(tables) + " " + draw(st.sampled_from(["t", "s", "u", "q"]))
    if depth < 2 and draw(st.booleans()):
        source = f"({draw(queries(depth + 1))}) q"
    sql = f"SELECT {select} FROM {source}"
    if draw(st.booleans()):
        sql += f" JOIN {draw(tables)} u ON u.id = {draw(names.filter(lambda n: not n.endswith('*')))}"
    if draw(st.booleans()):
        sql += f" WHERE {draw(expressions())} > 0"
    if depth < 2 and draw(st.booleans()):
        sql += f" {draw(st.sampled_from(['UNION', 'UNION ALL', 'EXCEPT']))} {draw(queries(depth + 1))}"
    return sql


@st.composite
def scripts(draw):
    out = []
    for _ in range(draw(st.integers(1, 3))):
        q = draw(queries())
        form = draw(st.sampled_from(["{}", "WITH q AS ({}) SELECT * FROM q", "INSERT INTO out {}",
                                     "CREATE TABLE t2 AS {}", "CREATE VIEW v AS {}"]))
        out.append(form.format(q))
    return ";\n".join(out)


@fuzz
@given(scripts(), st.sampled_from([None, {"t": ["a", "b", "id"], "db.t": ["a", "k"], "s": ["b", "c"]}]))
def test_grammar_queries(sql, schema):
    statements = keldra_lineage.lineage(sql, schema=schema)
    check_well_formed(statements, sql)
    assert [s.error for s in statements] == [None] * len(statements), sql


# ---------------------------------------------------------------- hostile shapes
# The shapes whose cost once grew faster than their text, or that crashed
# the process (tests/hostile_shapes.py), at any size up to 1 MB, in any
# dialect, optionally cut or salted with the characters that open and close
# what the splitter and the bounds skip.  The engine answers every one with
# well-formed records, an error record where a limit stops it, and the
# statement after it intact.  The example count is fixed so that the run
# under the sanitizer build stays within CI's budget.

HOSTILE_EXAMPLES = int(os.environ.get("KELDRA_FUZZ_HOSTILE_EXAMPLES", "40"))
hostile = settings(max_examples=HOSTILE_EXAMPLES, deadline=None,
                   suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
LIMIT_KINDS = {"parse_error", "too_deep", "too_wide"}
SALT = ["'", '"', "`", "(", ")", "[", "]", "{", "}", "/*", "*/", "--", "\n", ";", "$$", "E'\\", "::", " AT ",
        "ARRAY[", "CAST(", "\u00e9", "\u2028"]


def _sized(build, target):
    """build(n) for the n whose text is about `target` bytes, and never much
    more: a first guess as if the text grew linearly in n, then smaller n
    while it is over (numbers in the text grow longer with n)."""
    one, two = len(build(1)[0]), len(build(2)[0])
    n = max(1, (target - one) // max(1, two - one) + 1)
    out = build(n)
    while n > 1 and (size := len(out[0].encode())) > target:
        n = max(1, min(n - 1, n * target // size))
        out = build(n)
    return out


SHAPES = (
    [("chain " + name, lambda n, name=name: hostile_shapes.chain(name, n)) for name in hostile_shapes.CHAINS]
    + [("nest " + name, lambda n, name=name: hostile_shapes.nest(name, n)) for name in hostile_shapes.NESTS]
    + [("flat case", lambda n: (hostile_shapes.flat_case(n), "generic")),
       ("in list", lambda n: (hostile_shapes.in_list(n), "generic")),
       ("wide statement", lambda n: (hostile_shapes.wide_statement(n), "generic")),
       ("ambiguous columns", lambda n: (hostile_shapes.ambiguous_columns(n), "generic"))])


@hostile
@given(st.sampled_from(SHAPES + [("self-join stars", None)]), st.integers(6, 20), st.integers(1, 24),
       st.lists(st.tuples(st.floats(0, 1), st.sampled_from(SALT)), max_size=3),
       st.one_of(st.none(), st.sampled_from(keldra_lineage.DIALECTS)))
def test_hostile_shapes_up_to_a_megabyte(shape, log_size, levels, salt, dialect):
    name, build = shape
    if build is None:  # its size is its levels: its output doubles per level
        sql, own = hostile_shapes.self_join_stars(levels), "generic"
    else:
        sql, own = _sized(build, 1 << log_size)
    assert len(sql.encode()) <= (1 << 20) + 4096
    for at, piece in salt:
        cut = int(at * len(sql))
        sql = sql[:cut] + piece + sql[cut:]
    text = sql + ";\nSELECT b FROM u"
    statements = keldra_lineage.lineage(text, dialect=dialect or own)
    check_well_formed(statements, text)
    if not salt:
        first, last = statements[0], statements[-1]
        assert first.error is None or first.error.kind in LIMIT_KINDS, (name, first.error)
        assert last.error is None and [c.name.lower() for c in last.columns] == ["b"], name
