"""Records written as they are made: the record formats in chunks, so that
memory stays flat over any number of statements and the first records reach
the reader at once."""
from __future__ import annotations

import json
import time
from collections.abc import Callable

from keldra_lineage.formats import RECORD_WRITERS

_CHUNK = 1000        # records rendered at a time; a table is aligned over each chunk
_LATENCY = 0.2       # seconds a record may wait for its chunk to fill


class RecordStream:
    """Records of one format (table, csv, json, jsonl) with `fields`, given to
    `write` (a function taking text) chunk by chunk; the output is the same
    as the format's writer gives for all records at once, except that a table
    longer than one chunk is aligned over each chunk of 1,000 records."""

    def __init__(self, fmt: str, fields, write: Callable[[str], None]):
        self.fmt = fmt
        self.fields = tuple(fields)
        self._render = RECORD_WRITERS[fmt]
        self._write = write
        self._rows: list = []
        self._chunks = 0
        self._since = time.monotonic()
        if fmt in ("csv", "table"):
            self._json_field = self.fields.index("fields") if "fields" in self.fields else None
        else:
            self._json_field = None

    def add(self, rows) -> None:
        if self._json_field is not None:
            k = self._json_field
            rows = [r[:k] + (json.dumps(r[k], ensure_ascii=False) if r[k] else None,) + r[k + 1:] for r in rows]
        self._rows.extend(rows)
        if len(self._rows) >= _CHUNK or (self.fmt != "table" and self._rows
                                         and time.monotonic() - self._since >= _LATENCY):
            self.flush()

    def flush(self) -> None:
        rows, self._rows = self._rows, []
        self._since = time.monotonic()
        if not rows:
            return
        text = self._render(rows, self.fields)
        if self.fmt == "json":
            # "[\n  {...},\n  {...}\n]\n": the items, joined across chunks
            text = ("[\n" if not self._chunks else ",\n") + text[2:-3]
        elif self._chunks and self.fmt == "csv":
            text = text.split("\n", 1)[1]
        elif self._chunks and self.fmt == "table":
            text = text.split("\n", 2)[2]  # no header again
        self._chunks += 1
        self._write(text)

    def close(self) -> None:
        self.flush()
        if self.fmt == "json":
            self._write("\n]\n" if self._chunks else "[]\n")
        elif not self._chunks and self.fmt in ("csv", "table"):
            self._write(self._render([], self.fields))
