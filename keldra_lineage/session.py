"""The session: the lineage engine's state across the texts of one run."""
from __future__ import annotations

from collections.abc import Mapping

from . import _engine
from ._results import Statement
from .catalog import Catalog

__all__ = ["Session"]


def dialects() -> tuple[str, ...]:
    from . import DIALECTS

    return DIALECTS


def as_catalog(schema) -> Catalog | None:
    """None, a Catalog, or a mapping read as one; anything else is a ValueError."""
    if schema is None or isinstance(schema, Catalog):
        return schema
    if not isinstance(schema, Mapping):
        # a malformed schema, like every other one, is a ValueError
        raise ValueError(
            f"schema must be a Catalog or a mapping of table names to columns, not {type(schema).__name__}"
        )
    return Catalog.from_mapping(schema)


class Session:
    """The lineage of several texts analysed as one.

    Every table a statement creates or fills -- ``CREATE TABLE [AS]``,
    ``CREATE VIEW``, an ``INSERT`` into a table nothing knew, a query given a
    name -- is known, with its columns, to every later statement of this text
    and of the texts after it, ahead of the schema. So the results do not
    depend on how the statements are spread over texts.

    ``dialect`` and ``schema`` are those of :func:`keldra_lineage.lineage`.
    A session serves one call at a time.
    """

    __slots__ = ("_engine", "_dialect", "_schema")

    def __init__(self, dialect: str = "generic", schema=None):
        if not isinstance(dialect, str) or dialect not in dialects():
            raise ValueError(f"unknown dialect {dialect!r}: expected one of {', '.join(dialects())}")
        self._dialect = dialect
        self._schema = as_catalog(schema)
        self._engine = _engine.Session(dialect, self._schema)

    @property
    def dialect(self) -> str:
        return self._dialect

    @property
    def schema(self) -> Catalog | None:
        return self._schema

    def lineage(self, sql: str, name: str | None = None) -> list[Statement]:
        """The column lineage of every statement in ``sql``, in input order.

        With ``name`` (a table name as SQL writes it, such as
        ``"analytics"."main"."customers"``), the text's last query defines
        that table, as ``CREATE VIEW name AS <query>`` would: it is the
        statement's ``target`` and later texts read its columns. That is how a
        dbt model or a view read from a database comes in. A malformed name
        is a ValueError naming it.
        """
        if not isinstance(sql, str):
            raise TypeError(f"sql must be a str, not {type(sql).__name__}")
        if name is not None and not isinstance(name, str):
            raise TypeError(f"name must be a str or None, not {type(name).__name__}")
        return self._engine.lineage(sql, name)

    @property
    def tables(self) -> dict[str, tuple[str, ...]]:
        """The tables created or filled so far, by their reported names: their
        columns, in order; oldest definition first (a table defined again
        moves to the end). The schema's tables are not listed."""
        return self._engine.tables

    def __repr__(self) -> str:
        n = len(self._engine.tables)
        return f"<Session {self._dialect}: {n} table{'' if n == 1 else 's'} defined>"
