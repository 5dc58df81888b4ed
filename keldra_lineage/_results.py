"""The result types of :func:`keldra_lineage.lineage`.

They are immutable tuples with named fields: they compare by value, hash,
pickle, and ``to_dict()`` turns them into plain JSON-ready dicts.  The engine
builds them directly.
"""
from __future__ import annotations

from typing import NamedTuple, Optional, Tuple


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
    warnings: Tuple[str, ...]
    error: Optional[str]

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
