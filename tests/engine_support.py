"""Shorthands shared by the lineage engine's tests: Source builders and whole-result views."""
import keldra_lineage
from keldra_lineage import Source


def ident(table, column):
    return Source(table, column, "DIRECT", "IDENTITY")


def trans(table, column):
    return Source(table, column, "DIRECT", "TRANSFORMATION")


def agg(table, column):
    return Source(table, column, "DIRECT", "AGGREGATION")


def window(table, column):
    return Source(table, column, "INDIRECT", "WINDOW")


def cond(table, column):
    return Source(table, column, "INDIRECT", "CONDITIONAL")


def join(table, column):
    return Source(table, column, "INDIRECT", "JOIN")


def filt(table, column):
    return Source(table, column, "INDIRECT", "FILTER")


def group(table, column):
    return Source(table, column, "INDIRECT", "GROUP_BY")


def sort(table, column):
    return Source(table, column, "INDIRECT", "SORT")


def lineage(sql, dialect="generic", schema=None):
    return keldra_lineage.lineage(sql, dialect=dialect, schema=schema)


def one(sql, dialect="generic", schema=None):
    """The single statement of `sql`, which must have parsed."""
    statements = lineage(sql, dialect, schema)
    assert len(statements) == 1, statements
    assert statements[0].error is None, statements[0].error
    return statements[0]


def columns(statement):
    """The statement's output as [(name, sources)], to compare whole."""
    return [(c.name, c.sources) for c in statement.columns]
