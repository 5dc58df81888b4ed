"""Column-level lineage for SQL.

``keldra_lineage.lineage(sql)`` is the lineage engine: every output column of
every statement with the table columns that feed it.  The command line is
``keldra-lineage``.  The original analysis is
``sqlparse_main.KeldraParseMain()._parse_sql(sql)``.
"""
from __future__ import annotations

from ._results import Column, Message, Source, Statement

try:
    from . import _engine
except ImportError as e:  # pragma: no cover - depends on how Python was started
    raise ImportError(
        "keldra_lineage's compiled engine is missing: this is the source tree, not the installed "
        "package (install it with `pip install .` and run Python from another folder, "
        "or with `python -P`)"
    ) from e
from .catalog import Catalog
from .session import Session

# The kinds a Message can have (warnings and errors), as the engine defines them.
MESSAGE_KINDS: tuple[str, ...] = _engine.MESSAGE_KINDS


def __getattr__(name: str):
    # `__version__` is read from the installed package's metadata on first
    # use: importing the metadata machinery is a tenth of the command's start.
    if name != "__version__":
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    from importlib.metadata import PackageNotFoundError, version

    try:
        found = version("keldra-lineage")
    except PackageNotFoundError:  # running from a source tree
        found = "0+unknown"
    globals()["__version__"] = found
    return found

__all__ = ["lineage", "dbt_lineage", "Session", "Catalog", "Statement", "Column", "Source", "Message",
           "MESSAGE_KINDS", "DIALECTS", "KINDS", "MAX_COLUMNS", "MAX_NESTING"]

#: The dialect names ``lineage()`` accepts, as the engine defines them.
DIALECTS: tuple[str, ...] = _engine.DIALECTS
#: The values of ``Statement.kind``, as the engine defines them.
KINDS: tuple[str, ...] = _engine.KINDS
#: The most output columns the queries of one statement may have in all (its
#: CTEs, subqueries and branches included); past it the statement is an error
#: of kind ``too_wide``.
MAX_COLUMNS: int = _engine.MAX_COLUMNS
#: How deep brackets and subqueries may nest in one statement (the parser's
#: own limit); past it the statement is an error of kind ``too_deep``.
MAX_NESTING: int = _engine.MAX_NESTING


def lineage(sql: str, dialect: str = "generic", schema=None) -> list[Statement]:
    """The column lineage of every statement in ``sql``, in input order.

    ``dialect`` is a sqlparser dialect name (see ``DIALECTS``).  ``schema`` is
    None, a ``Catalog``, or a mapping of table names to their columns
    (``{"db.orders": ["id", "amount"]}``, ``{"orders": {"id": "int"}}``, or
    nested by database or schema); it attributes unqualified columns and
    expands stars.  A statement that cannot be parsed has an ``error`` and no
    columns; the others are still reported.  Tables that a statement creates
    or fills feed the statements after it: this is a ``Session`` of one text.
    """
    if not isinstance(sql, str):
        raise TypeError(f"sql must be a str, not {type(sql).__name__}")
    return Session(dialect, schema).lineage(sql)


def dbt_lineage(path, schema=None) -> list[Statement]:
    """The lineage of every model and snapshot of a compiled dbt project.

    ``path`` is the project's folder (its ``target/`` is read) or the target
    folder itself, holding ``manifest.json`` (from ``dbt compile``, ``dbt run``
    or ``dbt docs generate``) and, where present, ``catalog.json``. The models
    are analysed in dependency order in one session, each as the definition
    of its relation, so lineage composes from the sources through every model.
    ``schema`` adds tables to what ``catalog.json`` and the project's YAML
    declare (it wins). A model that cannot be read gives a statement with its
    ``error``; see :mod:`keldra_lineage.dbt` for the details.
    """
    from . import dbt
    from .analysis import named_as

    project = dbt.read_project(path)
    session = Session(project.dialect, Catalog.merge(project.schema, *([schema] if schema is not None else [])))
    out = []
    for model in project.models:
        if model.text is None:
            # a Python model (a warning) or a model without code (an error)
            out.append(Statement(1, 1, model.kind, model.relation and _reported(model.relation), (), (),
                                 () if model.fatal else (model.problem,), model.problem if model.fatal else None))
        else:
            out.extend(named_as(session.lineage(model.text, model.relation), model.kind))
    return out


def _reported(relation: str) -> str:
    """A relation name as the engine reports it (quotes gone)."""
    return ".".join(part.strip('"`[]') for part in relation.split("."))
