"""The cyclic garbage collector is paused while a statement's tree is built and read, and its switch
is put back as it was on every way out of lineage(): results, error records, a refused statement,
the parser's own thread, and exceptions from the catalog; the catalog's own code runs with the
switch as the caller left it."""
import gc

import pytest

import keldra_lineage


class Recording(keldra_lineage.Catalog):
    """A catalog that notes whether the collector was on while it was asked, and can fail."""
    __slots__ = ("seen", "fail")

    def __init__(self, mapping, fail=None):
        super().__init__(mapping)
        object.__setattr__(self, "seen", [])
        object.__setattr__(self, "fail", fail)

    def resolve(self, parts):
        self.seen.append(gc.isenabled())
        if self.fail:
            raise self.fail
        return super().resolve(parts)


@pytest.fixture(params=[True, False], ids=["collector on", "collector off"])
def collector(request):
    was = gc.isenabled()
    (gc.enable if request.param else gc.disable)()
    yield request.param
    (gc.enable if was else gc.disable)()


@pytest.mark.parametrize("sql", [
    "SELECT a FROM t; SELECT b FROM u",
    "SELECT a FROM; SELECT b FROM u",                       # an error record, then a statement
    "SELECT " + " + ".join(["a"] * 10_001) + " FROM t",     # refused before parsing
    "SELECT " + "(" * 300 + "a" + ")" * 300 + " FROM t",    # refused by the parser: too deep
    "SELECT " + ", ".join(f"c{i}" for i in range(40_000)) + " FROM t",  # parsed on its own thread
])
def test_the_collectors_switch_is_put_back_after_every_kind_of_statement(collector, sql):
    statements = keldra_lineage.lineage(sql)
    assert statements
    assert gc.isenabled() is collector


def test_the_catalog_runs_with_the_collector_as_the_caller_left_it(collector):
    # the pause covers the parse and the reading of the tree only, not the caller's code
    catalog = Recording({"t": ["a"]})
    [st] = keldra_lineage.lineage("SELECT a FROM t", schema=catalog)
    assert st.columns[0].sources[0].table == "t"
    assert catalog.seen == [collector]
    assert gc.isenabled() is collector


@pytest.mark.parametrize("failure", [KeyError("t"), MemoryError(), KeyboardInterrupt()])
def test_the_collectors_switch_is_put_back_when_the_call_raises(collector, failure):
    catalog = Recording({"t": ["a"]}, fail=failure)
    with pytest.raises(type(failure)):
        keldra_lineage.lineage("SELECT 1; SELECT a FROM t; SELECT 2", schema=catalog)
    assert gc.isenabled() is collector
