import pytest

from sqlparse_main import KeldraParseMain


def lineage(sql):
    """The lineage records of `sql` as a set of (database, table, src, tgt)."""
    records = KeldraParseMain()._parse_sql(sql)
    out = {(r.database, r.table, r.src, r.tgt) for r in records}
    assert len(out) == len(records)
    return out


@pytest.fixture
def run():
    return lineage
