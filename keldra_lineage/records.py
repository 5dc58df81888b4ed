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
