"""Records written as they are made: the record formats in chunks, so that
memory stays flat over any number of statements and the first records reach
the reader at once."""
from __future__ import annotations

import functools
import json
import time
from collections.abc import Callable
from json.encoder import encode_basestring as _string

_CHUNK = 1000        # records rendered at a time; a table is aligned over each chunk
_LATENCY = 0.2       # seconds a record may wait for its chunk to fill


class RecordStream:
    """Records of one record format (keldra_lineage.output.RecordFormat)
    with `fields`, given to `write` (a function taking text) chunk by chunk;
    the output is the same as the format's `render` gives for all records at
    once, except that a table longer than one chunk is aligned over each
    chunk of 1,000 records. The format says how chunks join: with `chunk`
    and `end`. A format that waits for nothing but a full chunk (the table,
    aligned over it) says so with `aligned`."""

    def __init__(self, fmt, fields, write: Callable[[str], None]):
        self.format = fmt
        self.fields = tuple(fields)
        self._write = write
        self._rows: list = []
        self._lines: list[str] = []
        self._chunks = 0
        self._since = time.monotonic()

    def add(self, rows) -> None:
        self._rows.extend(rows)
        if len(self._rows) >= _CHUNK or (not self.format.aligned and self._rows
                                         and time.monotonic() - self._since >= _LATENCY):
            self.flush()

    def add_lines(self, lines: list[str]) -> None:
        """JSON lines already rendered (jsonl only), in order with the rows."""
        if self._rows:
            self.flush()
        self._lines.extend(lines)
        if len(self._lines) >= _CHUNK or time.monotonic() - self._since >= _LATENCY:
            self.flush()

    def flush(self) -> None:
        if self._lines:
            lines, self._lines = self._lines, []
            self._chunks += 1
            self._write("\n".join(lines) + "\n")
        rows, self._rows = self._rows, []
        self._since = time.monotonic()
        if not rows:
            return
        text = self.format.chunk(self.format.render(rows, self.fields), not self._chunks)
        self._chunks += 1
        self._write(text)

    def close(self) -> None:
        self.flush()
        end = self.format.end(self.fields, self._chunks)
        if end:
            self._write(end)


_encode = json.JSONEncoder(ensure_ascii=False).encode  # one encoder for the values below it does not know


@functools.cache
def _keys(fields: tuple) -> tuple:
    return tuple(_string(f) + ": " for f in fields)


def _value(v) -> str:
    if v is None:
        return "null"
    if type(v) is str:
        return _string(v)
    if type(v) is int:
        return int.__repr__(v)
    return _encode(v)


def object_text(fields: tuple, values) -> str:
    """The JSON object of `fields` and their `values`, as
    `json.dumps(dict(zip(fields, values)), ensure_ascii=False)` writes it,
    without building the dict or an encoder per call (a query log's records
    are millions of lines)."""
    return "{" + ", ".join([k + _value(v) for k, v in zip(_keys(fields), values)]) + "}"


class SharedLines:
    """JSON lines of query-log records whose statement part is shared by the
    copies of one query: that part is rendered once per analysis, and each
    row adds only its own fields.  The lines are those the jsonl format
    writes for the same records."""

    def __init__(self, head_fields, tail_fields, size: int = 512):
        self.head_fields = tuple(head_fields)
        self.tail_fields = tuple(tail_fields)
        self._cache: dict = {}
        self._size = size

    def lines(self, key, statements, head_rows, tail) -> list[str]:
        """`head_rows()` gives the statement part of each record; `key` and
        `statements` (kept alive with the entry) say which analysis it is."""
        hit = self._cache.get(key)
        if hit is None or hit[0] is not statements:
            if len(self._cache) >= self._size:
                self._cache.clear()
            prefixes = [object_text(self.head_fields, r)[:-1] + ", " for r in head_rows()]
            hit = self._cache[key] = (statements, prefixes)
        end = object_text(self.tail_fields, tail)[1:]
        return [p + end for p in hit[1]]
