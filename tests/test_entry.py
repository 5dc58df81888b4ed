"""The pipeline of _parse_sql and the analyzer's entry: normalisation and set operations."""
import pytest

import sqlparse_main
from keldra_var import KeldraVar, Node
from sqlparse_main import Analyze, KeldraParseMain, parse


class Spy(Analyze):
    """Records every query handed to the per-query driver, with the column map it starts from."""

    def __init__(self, tree):
        super().__init__(tree)
        self.seen = []

    def _analyze_sql_start(self, tree, level):
        self.seen.append((tree, dict(self._var.result), level))


def branches(sql):
    spy = Spy(parse(sql) if isinstance(sql, str) else sql)
    spy.analyze_sql()
    return [tree["select"]["value"] for tree, _, _ in spy.seen], spy


@pytest.mark.parametrize("sql, expected", [
    ("SELECT a FROM t", ["a"]),
    ("SELECT a FROM t UNION SELECT b FROM u UNION SELECT c FROM v", ["a", "b", "c"]),
    ("SELECT a FROM t UNION ALL SELECT b FROM u", ["a", "b"]),
    # Mixed chains nest one set operation inside the other.
    ("SELECT a FROM t UNION SELECT b FROM u UNION ALL SELECT c FROM v", ["a", "b", "c"]),
    ("SELECT a FROM t UNION ALL SELECT b FROM u UNION SELECT c FROM v", ["a", "b", "c"]),
    # ORDER BY / LIMIT after a union wrap it in a query without select.
    ("SELECT a FROM t UNION SELECT b FROM u ORDER BY a", ["a", "b"]),
    ("SELECT a FROM t UNION ALL SELECT b FROM u LIMIT 3", ["a", "b"]),
])
def test_every_branch_is_analysed_once_with_a_fresh_column_map(sql, expected):
    names, spy = branches(sql)
    assert names == expected
    assert all(result == {} for _, result, _ in spy.seen)
    assert all(isinstance(tree, Node) for tree, _, _ in spy.seen)


def test_plain_query_is_analysed_on_the_whole_normalised_tree():
    spy = Spy(parse("SELECT a AS \"total amount\" FROM t WHERE b = 'x y'"))
    spy.analyze_sql(3)
    [(tree, result, level)] = spy.seen
    assert tree is spy.tree and isinstance(tree, Node)
    assert tree == {"select": {"value": "a", "name": "total_amount"}, "from": "t",
                    "where": {"eq": ["b", {"literal": "x_y"}]}}
    assert (result, level) == ({}, 3)


def test_hand_made_set_operations():
    q = lambda c: {"select": {"value": c}, "from": "t"}
    names, _ = branches({"union all": [q("a"), q("b")]})  # normalised to union_all
    assert names == ["a", "b"]
    # Entries that are no list of branches (a WITH mapping, a number) are skipped.
    names, _ = branches({"union": [q("a")], "with": {"name": "x", "value": q("z")}, "limit": 3})
    assert names == ["a"]


def test_returns_each_distinct_triple_once():
    class Twice(Analyze):
        def _analyze_sql_start(self, tree, level):
            self._var.sqls.extend([("db.t", "a", "a"), ("db.t", "a", "a"), ("db.t", "b", "b")])

    out = Twice(parse("SELECT a FROM t UNION SELECT a FROM t")).analyze_sql()
    assert sorted(out) == [("db.t", "a", "a"), ("db.t", "b", "b")]


def test_trees_that_cannot_be_analysed():
    with pytest.raises(AttributeError):
        Analyze(["not", "a", "mapping"]).analyze_sql()
    with pytest.raises(TypeError, match="not JSON serializable"):
        Analyze({"select": {1, 2}}).analyze_sql()
    cyclic = {}
    cyclic["self"] = cyclic
    with pytest.raises(ValueError, match="Circular"):
        Analyze(cyclic).analyze_sql()


# --- the facade ---------------------------------------------------------------------

@pytest.fixture
def fake_analyzer(monkeypatch):
    """Replace the module's Analyze with one that returns the given triples."""

    def install(triples):
        class Fake:
            def __init__(self, tree):
                self.tree = tree

            def analyze_sql(self):
                return triples

        monkeypatch.setattr(sqlparse_main, "Analyze", Fake)

    return install


def test_table_text_is_divided_at_its_last_dot(fake_analyzer):
    fake_analyzer([("orders", "a", "a"), ("sales.orders", "b", "c"), ("sales.dbo.orders", "d", "d"),
                   (".orders", "e", "e"), ("sales.", "f", "f")])
    records = KeldraParseMain()._parse_sql("SELECT a FROM orders")
    assert all(type(r) is KeldraVar for r in records)
    assert [(r.database, r.table, r.src, r.tgt) for r in records] == [
        (None, "orders", "a", "a"), ("sales", "orders", "b", "c"), ("sales.dbo", "orders", "d", "d"),
        ("", "orders", "e", "e"), ("sales", "", "f", "f")]
    assert list(records[0]) == ["database", "table", "src", "tgt"]


@pytest.mark.parametrize("bad, message", [
    ([("t", "a")], "not enough values to unpack"),
    ([("t", "a", "b", "c")], "too many values to unpack"),
    ([None], "not iterable"),
])
def test_malformed_triples_raise(fake_analyzer, bad, message):
    fake_analyzer([("t", "a", "a")] + bad)
    with pytest.raises((ValueError, TypeError), match=message):
        KeldraParseMain()._parse_sql("SELECT a FROM t")


def test_module_names_are_read_at_call_time(monkeypatch):
    seen = []
    monkeypatch.setattr(sqlparse_main, "parse", lambda text: seen.append(text) or {"select": "*"})

    class Cleaner(KeldraParseMain):
        @staticmethod
        def _re_hint(sql):
            return sql.upper()

    Cleaner()._parse_sql("select a from t -- kept by the override")
    assert seen == ["SELECT A FROM T -- KEPT BY THE OVERRIDE"]


def test_parser_errors_pass_through():
    from mo_parsing.exceptions import ParseException
    with pytest.raises(ParseException):
        KeldraParseMain()._parse_sql("SELECT FROM WHERE")
    with pytest.raises(TypeError):
        KeldraParseMain()._parse_sql(None)
