"""Random inputs: text to the cleaner, parser-shaped trees to the analyzer.

The number of examples is bounded for CI; set KELDRA_FUZZ_EXAMPLES to run longer.
"""
import io
import os
import contextlib

from hypothesis import HealthCheck, given, settings, strategies as st

from sqlparse_main import Analyze, KeldraParseMain

EXAMPLES = int(os.environ.get("KELDRA_FUZZ_EXAMPLES", "300"))
fuzz = settings(max_examples=EXAMPLES, deadline=None, suppress_health_check=list(HealthCheck))

names = st.sampled_from(["a", "b", "t", "s", "u", "x", "id", "one", "from", "select", "value", "name",
                         "a b", "$", "*", "", "\u00e9", "\ud800"])
tables = st.one_of(names, st.builds(lambda d, t: f"{d}.{t}", names, names),
                   st.builds(lambda a, b, c: f"{a}.{b}.{c}", names, names, names))
columns = st.one_of(names, st.builds(lambda q, c: f"{q}.{c}", names, names),
                    st.builds(lambda q: f"{q}.*", names), st.just("*"))
literals = st.one_of(st.integers(), st.floats(allow_nan=True), st.booleans(), st.none(),
                     st.builds(lambda s: {"literal": s}, names))


def queries(depth):
    sub = st.deferred(lambda: queries(depth - 1)) if depth else st.nothing()
    expression = st.one_of(columns, literals,
                           st.builds(lambda f, c: {f: c}, st.sampled_from(["count", "sum", "max"]), columns),
                           st.builds(lambda c: {"add": [c, 1]}, columns))
    item = st.one_of(
        st.builds(lambda v: {"value": v}, expression),
        st.builds(lambda v, n: {"value": v, "name": n}, expression, names),
        st.builds(lambda n: {"name": n}, names),  # SELECT NULL AS n
    )
    select = st.one_of(item, st.lists(item, min_size=1, max_size=4),
                       st.builds(lambda i: {"value": {"distinct": i}}, st.one_of(item, st.lists(item, max_size=3))),
                       st.just("*"), st.builds(lambda q: f"{q}.*", names),
                       st.lists(st.one_of(item, st.just("*")), min_size=1, max_size=3))
    source = st.one_of(tables, sub) if depth else tables
    entry = st.one_of(
        tables,
        st.builds(lambda v, n: {"value": v, "name": n}, source, names),
        st.builds(lambda v: {"value": v}, source),
    )
    joined = st.builds(lambda kind, e, on: {kind: e, "on": on},
                       st.sampled_from(["join", "left join", "inner join", "full outer join", "cross join"]),
                       entry, st.builds(lambda a, b: {"eq": [a, b]}, columns, columns))
    from_clause = st.one_of(entry, st.builds(lambda first, rest: [first, *rest], entry,
                                             st.lists(st.one_of(joined, entry), max_size=3)))
    plain = st.builds(lambda s, f: {"select": s, "from": f}, select, from_clause) | st.builds(
        lambda s: {"select": s}, select)
    if not depth:
        return plain
    setop = st.builds(lambda k, qs: {k: qs}, st.sampled_from(["union", "union all", "union_all"]),
                      st.lists(sub, min_size=1, max_size=3))
    wrapped = st.builds(lambda so: {"from": so, "orderby": {"value": "a"}}, setop)
    return st.one_of(plain, setop, wrapped)


@fuzz
@given(queries(3))
def test_analyzer_only_raises_documented_errors(tree):
    # RuntimeError: a column that cannot be attributed; RecursionError: nesting
    # deeper than the analysis allows.  Anything else is a fault.
    try:
        with contextlib.redirect_stdout(io.StringIO()):
            result = Analyze(tree).analyze_sql()
    except (RuntimeError, RecursionError):
        return
    assert isinstance(result, list)
    for triple in result:
        assert isinstance(triple, tuple) and len(triple) == 3


@fuzz
@given(st.text())
def test_cleaner_takes_any_text(text):
    out = KeldraParseMain._re_hint(text)
    assert isinstance(out, str) and len(out) <= len(text)
    assert "\n\n" not in out and not out.endswith("\n")
