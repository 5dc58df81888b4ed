"""Parser recovery: a statement that sqloxide rejects, rewritten by sqlglot.

sqlglot's parser reads constructs that sqloxide 0.61 does not (a Spark CTE
without ``AS``, Redshift's ``DISTSTYLE`` / ``SORTKEY`` before ``AS``, ...) and
writes the statement back in a form sqloxide accepts: first in the same
dialect (it normalises the syntax), then as DuckDB SQL (which drops storage
properties that have no lineage).  The engine calls :func:`rewrite` only for a
statement that failed to parse, and parses each candidate in turn; the first
that parses is analysed, with a warning naming sqlglot.  Nothing here runs
for a statement that sqloxide parses.
"""
from __future__ import annotations

import logging

# sqlglot warns through logging; without a handler of the program's, Python
# would print that on standard error
if not logging.getLogger("sqlglot").handlers:
    logging.getLogger("sqlglot").addHandler(logging.NullHandler())

# the engine's dialect -> sqlglot's reading dialect (None: sqlglot's own)
_READ = {
    "ansi": None, "bigquery": "bigquery", "clickhouse": "clickhouse", "databricks": "databricks",
    "duckdb": "duckdb", "generic": None, "hive": "hive", "mssql": "tsql", "mysql": "mysql",
    "oracle": "oracle", "postgres": "postgres", "redshift": "redshift", "snowflake": "snowflake",
    "spark": "spark", "sqlite": "sqlite", "teradata": "teradata", "trino": "trino", "tsql": "tsql",
}


def parser_name() -> str:
    """How the warning names the parser that read a recovered statement."""
    import sqlglot

    return f"sqlglot {sqlglot.__version__}"


def _empty_list_item(sql: str, read) -> bool:
    """sqlglot reads `a,, b` as `a, b`: a statement with an empty list item is in error, not
    recovered."""
    from sqlglot.tokens import TokenType

    import sqlglot

    tokens = sqlglot.tokenize(sql, read=read)
    return any(a.token_type == TokenType.COMMA and b.token_type == TokenType.COMMA
               for a, b in zip(tokens, tokens[1:]))


def rewrite(sql: str, dialect: str) -> list[str]:
    """Rewritings of ``sql`` to try with sqloxide, best first; empty when sqlglot cannot read it
    as one statement either."""
    import sqlglot
    from sqlglot.errors import ErrorLevel, SqlglotError

    if "${" in sql:
        # a template's ${x} is no SQL yet (sqlglot would read ${x} as a struct of a column x)
        return []
    read = _READ.get(dialect)
    try:
        tree = sqlglot.parse(sql, read=read, error_level=ErrorLevel.RAISE)
    except SqlglotError:
        return []
    except Exception:  # noqa: BLE001 - a fault of sqlglot's on a statement already in error:
        return []      # the statement keeps sqloxide's error record
    if len(tree) != 1 or tree[0] is None or _empty_list_item(sql, read):
        return []
    out: list[str] = []
    for write in (read, "duckdb"):
        try:
            text = tree[0].sql(dialect=write, unsupported_level=ErrorLevel.IGNORE)
        except (SqlglotError, RecursionError):  # a tree too deep for sqlglot's writer: no rewriting
            continue
        if text and text != sql and text not in out:
            out.append(text)
    return out
