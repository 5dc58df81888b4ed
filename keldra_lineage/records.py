"""The lineage engine's statements as flat records, one per column and source."""
from __future__ import annotations

from typing import NamedTuple, Optional


class Record(NamedTuple):
    """One source of one output column. A column with no source has one record
    with empty source fields; a source that affects every column of the
    statement (a join key, a filter, a grouping or sort key) has one record
    with an empty column."""
    file: str
    statement: int
    line: int
    kind: str
    target: Optional[str]
    column: Optional[str]
    source_table: Optional[str]
    source_column: Optional[str]
    type: Optional[str]
    subtype: Optional[str]


FIELDS = Record._fields


class LogRecord(NamedTuple):
    """A record of a run that reads query logs: a `Record`'s fields, then the
    log row it came from (None for a SQL file): its number among the data
    rows, its query id, the query's fingerprint, the id of the first row with
    that query, which occurrence this row is, and the row's other columns."""
    file: str
    statement: int
    line: int
    kind: str
    target: Optional[str]
    column: Optional[str]
    source_table: Optional[str]
    source_column: Optional[str]
    type: Optional[str]
    subtype: Optional[str]
    row: Optional[int] = None
    query_id: Optional[str] = None
    fingerprint: Optional[str] = None
    first_query_id: Optional[str] = None
    occurrence: Optional[int] = None
    fields: Optional[dict] = None


LOG_FIELDS = LogRecord._fields


def log_tail(result) -> tuple:
    """The fields a query-log row adds to each of its records."""
    row = result.row
    return (row.row, row.id, result.fingerprint, result.first_id, result.occurrence, row.fields or None)


def log_records_of(result) -> list[LogRecord]:
    """The records of one query-log row (a `querylog.LogResult`)."""
    tail = log_tail(result)
    return [LogRecord(*r, *tail) for st in result.statements if st.error is None
            for r in records_of(result.row.file, st)]


def records_of(file: str, statement) -> list[Record]:
    """The records of one statement of the engine (none for one with an error)."""
    head = (file, statement.index, statement.line, statement.kind, statement.target)
    out = []
    for column in statement.columns:
        if not column.sources:
            out.append(Record(*head, column.name, None, None, None, None))
        out.extend(Record(*head, column.name, *s) for s in column.sources)
    out.extend(Record(*head, None, *s) for s in statement.indirect)
    return out


MAX_MESSAGE = 300


def located(file: str, line: int, message: str, label: str = "") -> str:
    """`FILE:LINE:COL: [label: ]message` on one line of at most about 300
    characters. A `Message` gives its own position and text; a plain str is
    placed at `line`."""
    where = f"{file}:{line}"
    if getattr(message, "line", None):
        where = f"{file}:{message.line}" + (f":{message.column}" if message.column else "")
        message = message.message
    text = f"{where}: {label}{' '.join(message.split())}"
    return text if len(text) <= MAX_MESSAGE else text[:MAX_MESSAGE - 3] + "..."
