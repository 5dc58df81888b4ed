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


def run_python(code, *, env=None, timeout=300):
    """Run `code` in a fresh interpreter that imports the built modules; the
    completed process (a crash there fails the test, not the test run)."""
    import os
    import subprocess
    import sys
    full_env = dict(os.environ, **(env or {}))
    return subprocess.run([sys.executable, "-c", code], env=full_env, capture_output=True, text=True,
                          timeout=timeout)
