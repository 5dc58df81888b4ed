"""The result types of :func:`keldra_lineage.lineage`.

They are immutable tuples with named fields: they compare by value, hash,
pickle, and ``to_dict()`` turns them into plain JSON-ready dicts.  The engine
builds them directly.
"""
from __future__ import annotations

from typing import NamedTuple, Optional, Tuple


class Message(str):
    """A warning or an error: a ``str`` (``"line L, column C: message"``, as
    these strings have always read) that also has its parts as data.

    ``kind`` is a short stable name from ``keldra_lineage.MESSAGE_KINDS``
    (``ambiguous_column``, ``parse_error``, ...), ``line`` and ``column`` the
    position in the whole text (1-based; None when there is none) and
    ``message`` the text without the position."""

    __slots__ = ("kind", "line", "column", "message")

    def __new__(cls, kind: str, line: Optional[int], column: Optional[int], message: str):
        line = line or None
        column = column or None if line else None
        text = f"line {line}, column {column}: {message}" if line and column else (
            f"line {line}: {message}" if line else message)
        self = super().__new__(cls, text)
        self.kind = kind
        self.line = line
        self.column = column
        self.message = message
        return self

    def __reduce__(self):
        return (Message, (self.kind, self.line, self.column, self.message))

    def __repr__(self) -> str:
        return f"Message({self.kind!r}, {self.line!r}, {self.column!r}, {self.message!r})"

    def to_dict(self) -> dict:
        return {"kind": self.kind, "line": self.line, "column": self.column, "message": self.message}


class Source(NamedTuple):
    """A column that feeds another: ``table`` is the qualified table name (None
    when it cannot be attributed), ``column`` the source column ("*" for a
    star that could not be expanded), ``type`` "DIRECT" or "INDIRECT" and
    ``subtype`` the transformation, in the OpenLineage column-lineage
    vocabulary."""

    table: Optional[str]
    column: str
    type: str
    subtype: str

    def to_dict(self) -> dict:
        return {"table": self.table, "column": self.column, "type": self.type, "subtype": self.subtype}


class Column(NamedTuple):
    """An output column and its sources, sorted and without duplicates."""

    name: str
    sources: Tuple[Source, ...]

    def to_dict(self) -> dict:
        return {"name": self.name, "sources": [s.to_dict() for s in self.sources]}


class Statement(NamedTuple):
    """The lineage of one statement of the text."""

    index: int
    line: int
    kind: str
    target: Optional[str]
    columns: Tuple[Column, ...]
    indirect: Tuple[Source, ...]
    warnings: Tuple[Message, ...]
    error: Optional[Message]

    def to_dict(self) -> dict:
        return {
            "index": self.index,
            "line": self.line,
            "kind": self.kind,
            "target": self.target,
            "columns": [c.to_dict() for c in self.columns],
            "indirect": [s.to_dict() for s in self.indirect],
            "warnings": list(self.warnings),
            "error": self.error,
        }
