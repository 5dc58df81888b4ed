"""The lineage store: a run written into DuckDB, SQLite or a Parquet folder.

Tables (every one has ``run_id``, the run that wrote the row, and ``file``,
``log_row``, ``query_id``: where the row came from; ``log_row`` and
``query_id`` are NULL for SQL files):

``statements``
    one row per statement analysed: ``statement`` (its 1-based index in the
    text), ``line``, ``kind``, ``target``, ``fingerprint``, ``first_query_id``,
    ``occurrences`` (rows of the run with the same query), ``error``,
    ``error_kind``, ``database_name``, ``schema_name``, ``fields`` (the log
    row's other columns, as JSON).  A query seen again in a log is one
    statement, not one per copy.
``lineage``
    one row per source of an output column: ``statement``, ``target_table``,
    ``target_column`` (NULL for a source that shapes the whole result: a join
    key, a filter, a grouping or sort key), ``source_table``,
    ``source_column``, ``type``, ``subtype``.
``warnings``
    ``statement`` (NULL for a problem of the row itself), ``kind`` (see
    ``keldra_lineage.MESSAGE_KINDS``), ``at_line``, ``at_column``, ``message``.
``queries``
    one row per log row: ``fingerprint``, ``first_query_id``, ``occurrence``
    and the ``file``/``log_row`` of the statement that holds its lineage
    (``first_file``, ``first_row``), ``database_name``, ``schema_name``,
    ``fields``.

A run replaces what earlier runs wrote from the same files or the same query
ids, and keeps the rest.  It is written in one transaction: a run that fails
part way leaves the store as it was.
"""
from __future__ import annotations

import json
import os
import shutil
import tempfile
import uuid
from pathlib import Path
from typing import Optional

__all__ = ["LineageStore", "connect", "store_kind", "TABLES", "FEEDS_QUERY"]

# name -> columns (name, SQL type); the same DDL serves DuckDB and SQLite.
_WHERE = [("run_id", "TEXT"), ("file", "TEXT"), ("log_row", "BIGINT"), ("query_id", "TEXT")]
TABLES = {
    "statements": _WHERE + [
        ("statement", "INTEGER"), ("line", "INTEGER"), ("kind", "TEXT"), ("target", "TEXT"),
        ("fingerprint", "TEXT"), ("first_query_id", "TEXT"), ("occurrences", "BIGINT"),
        ("error", "TEXT"), ("error_kind", "TEXT"), ("database_name", "TEXT"), ("schema_name", "TEXT"),
        ("fields", "TEXT")],
    "lineage": _WHERE + [
        ("statement", "INTEGER"), ("target_table", "TEXT"), ("target_column", "TEXT"),
        ("source_table", "TEXT"), ("source_column", "TEXT"), ("type", "TEXT"), ("subtype", "TEXT")],
    "warnings": _WHERE + [
        ("statement", "INTEGER"), ("kind", "TEXT"), ("at_line", "INTEGER"), ("at_column", "INTEGER"),
        ("message", "TEXT")],
    "queries": _WHERE + [
        ("fingerprint", "TEXT"), ("first_query_id", "TEXT"), ("occurrence", "BIGINT"),
        ("first_file", "TEXT"), ("first_row", "BIGINT"), ("database_name", "TEXT"),
        ("schema_name", "TEXT"), ("fields", "TEXT")],
}
_FLUSH_ROWS = 20000
# A large run is one transaction: DuckDB spills it to disk past this much memory.
_DUCKDB = {"memory_limit": "256MB", "preserve_insertion_order": "false"}


def _now() -> str:
    import datetime

    return datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="seconds")


def store_kind(path) -> str:
    """duckdb (.duckdb), sqlite (.sqlite, .sqlite3, .db) or parquet (a folder:
    an existing one, or a name ending in / or without one of those suffixes)."""
    suffix = Path(path).suffix.lower()
    if suffix == ".duckdb":
        return "duckdb"
    if suffix in (".sqlite", ".sqlite3", ".db"):
        return "sqlite"
    if os.path.isfile(path):
        raise ValueError(f"{path}: not a lineage store: give a .duckdb, .sqlite or .db file or a folder")
    return "parquet"


class LineageStore:
    """Writes one run: `add_statements` for a SQL text, `add_log_result` for a
    query-log row, then `close` (or use it as a context manager; an exception
    inside the block discards the run)."""

    def __init__(self, path):
        self.path = os.fspath(path)
        self.kind = store_kind(self.path)
        self.run_id = uuid.uuid4().hex
        self._buffers: dict[str, list] = {t: [] for t in TABLES}
        self._closed = False
        # DuckDB keeps a transaction's rows in memory: commit them in batches
        self._batched = self.kind != "sqlite"
        if self.kind == "sqlite":
            import sqlite3

            self._con = sqlite3.connect(self.path, isolation_level=None)
            self._con.execute("BEGIN")
        else:
            import duckdb

            if self.kind == "parquet":
                # a working database beside the folder; the folder is written at close
                self._work = tempfile.mkdtemp(prefix=".keldra-store-",
                                              dir=os.path.dirname(os.path.abspath(self.path)) or ".")
                self._con = duckdb.connect(os.path.join(self._work, "run.duckdb"), config=_DUCKDB)
            else:
                self._con = duckdb.connect(self.path, config=_DUCKDB)
            self._con.execute("BEGIN TRANSACTION")
        for name, columns in TABLES.items():
            cols = ", ".join(f"{c} {t}" for c, t in columns)
            self._con.execute(f"CREATE TABLE IF NOT EXISTS {name} ({cols})")
        if self.kind == "parquet":
            for name in TABLES:
                part = os.path.join(self.path, f"{name}.parquet")
                if os.path.isfile(part):
                    self._con.execute(f"INSERT INTO {name} SELECT * FROM read_parquet(?)", [part])
        if self.kind == "duckdb":
            con = self._con
            con.execute("CREATE TABLE IF NOT EXISTS runs (run_id TEXT, started TEXT, finished TEXT)")
            for name in TABLES:   # what runs killed part way left
                con.execute(f"DELETE FROM {name} WHERE run_id IN (SELECT run_id FROM runs WHERE finished IS NULL)")
            con.execute("DELETE FROM runs WHERE finished IS NULL")
            con.execute("INSERT INTO runs VALUES (?, ?, NULL)", [self.run_id, _now()])
        self._commit_batch()

    # -- adding ---------------------------------------------------------------

    def add_statements(self, file: str, statements, *, log_row: Optional[int] = None,
                       query_id: Optional[str] = None, fingerprint: Optional[str] = None,
                       occurrences: int = 1, database: Optional[str] = None,
                       schema: Optional[str] = None, fields: Optional[dict] = None) -> None:
        """The statements of one text (a file's, or a log row's query)."""
        where = (self.run_id, file, log_row, query_id)
        fields_json = json.dumps(fields, ensure_ascii=False, default=str) if fields else None
        st_rows, lin_rows, warn_rows = self._buffers["statements"], self._buffers["lineage"], self._buffers["warnings"]
        for st in statements:
            err = st.error
            st_rows.append(where + (st.index, st.line, st.kind, st.target, fingerprint, query_id, occurrences,
                                    getattr(err, "message", err), getattr(err, "kind", None) if err else None,
                                    database, schema, fields_json))
            for c in st.columns:
                if not c.sources:
                    lin_rows.append(where + (st.index, st.target, c.name, None, None, None, None))
                for s in c.sources:
                    lin_rows.append(where + (st.index, st.target, c.name, s.table, s.column, s.type, s.subtype))
            for s in st.indirect:
                lin_rows.append(where + (st.index, st.target, None, s.table, s.column, s.type, s.subtype))
            for w in st.warnings:
                warn_rows.append(where + (st.index, getattr(w, "kind", None), getattr(w, "line", None),
                                          getattr(w, "column", None), getattr(w, "message", w)))
        self._maybe_flush()

    def add_problem(self, file: str, message, *, log_row: Optional[int] = None,
                    query_id: Optional[str] = None, statement: Optional[int] = None) -> None:
        """A warning or error outside any statement (a missing query, an unreadable input)."""
        self._buffers["warnings"].append((self.run_id, file, log_row, query_id, statement,
                                          getattr(message, "kind", None), getattr(message, "line", None),
                                          getattr(message, "column", None), getattr(message, "message", message)))
        self._maybe_flush()

    def add_log_result(self, result) -> None:
        """One row of a query log (a `keldra_lineage.querylog.LogResult`)."""
        row = result.row
        fields_json = json.dumps(row.fields, ensure_ascii=False, default=str) if row.fields else None
        first = result.first or (None, None)
        self._buffers["queries"].append((self.run_id, row.file, row.row, row.id, result.fingerprint,
                                         result.first_id, result.occurrence, first[0], first[1],
                                         row.database, row.schema, fields_json))
        for p in result.problems:
            if p.kind == "engine_fault":
                self._buffers["statements"].append((self.run_id, row.file, row.row, row.id, None, None, None,
                                                    None, result.fingerprint, row.id, 1, p.message, p.kind,
                                                    row.database, row.schema, fields_json))
            self.add_problem(row.file, p, log_row=row.row, query_id=row.id)
        if result.occurrence == 1:
            self.add_statements(row.file, result.statements, log_row=row.row, query_id=row.id,
                                fingerprint=result.fingerprint, database=row.database, schema=row.schema,
                                fields=row.fields)
        else:
            self._maybe_flush()

    # -- writing --------------------------------------------------------------

    def _maybe_flush(self):
        if any(len(b) >= _FLUSH_ROWS for b in self._buffers.values()):
            self.flush()

    def flush(self) -> None:
        for name, rows in self._buffers.items():
            if not rows:
                continue
            columns = [c for c, _ in TABLES[name]]
            if self.kind == "sqlite":
                marks = ", ".join("?" * len(columns))
                self._con.executemany(f"INSERT INTO {name} VALUES ({marks})", rows)
            else:
                import pyarrow as pa

                types = {"TEXT": pa.string(), "BIGINT": pa.int64(), "INTEGER": pa.int32()}
                schema = pa.schema([(c, types[t]) for c, t in TABLES[name]])
                batch = pa.Table.from_arrays([pa.array(col, type=schema.field(i).type)
                                              for i, col in enumerate(zip(*rows))], schema=schema)
                self._con.register("_keldra_batch", batch)
                self._con.execute(f"INSERT INTO {name} SELECT * FROM _keldra_batch")
                self._con.unregister("_keldra_batch")
            rows.clear()
        self._commit_batch()

    def _commit_batch(self) -> None:
        if self._batched:
            self._con.execute("COMMIT")
            self._con.execute("BEGIN TRANSACTION")

    def _replace_and_count(self):
        """Drop what earlier runs wrote from this run's files and query ids, and
        count each statement's occurrences in this run (all in SQL: the ids of
        a large log are never held in Python)."""
        con, run = self._con, self.run_id
        older = con.execute("SELECT count(*) FROM (SELECT 1 FROM statements WHERE run_id <> ? "
                            "UNION ALL SELECT 1 FROM queries WHERE run_id <> ? "
                            "UNION ALL SELECT 1 FROM warnings WHERE run_id <> ?) AS o",
                            [run, run, run]).fetchone()[0]
        if older:
            mine = " UNION ".join(f"SELECT {{0}} FROM {name} WHERE run_id = ?" for name in TABLES)
            files = mine.format("file")
            ids = mine.format("query_id")
            for name in TABLES:
                con.execute(f"DELETE FROM {name} WHERE run_id <> ? AND (file IN ({files}) "
                            f"OR query_id IN ({ids}))", [run] + [run] * (2 * len(TABLES)))
        con.execute("""
            UPDATE statements SET occurrences = counted.n
            FROM (SELECT first_file, first_row, count(*) AS n FROM queries
                  WHERE run_id = ? GROUP BY first_file, first_row) AS counted
            WHERE statements.run_id = ? AND statements.file = counted.first_file
              AND statements.log_row = counted.first_row""", [run, run])

    def close(self) -> None:
        """Finish the run: flush, replace, count, commit (and for a Parquet
        folder, write its files)."""
        if self._closed:
            return
        self._closed = True
        try:
            self.flush()
            self._replace_and_count()
            if self.kind == "duckdb":
                self._con.execute("UPDATE runs SET finished = ? WHERE run_id = ?", [_now(), self.run_id])
            self._con.execute("COMMIT")
            if self.kind == "parquet":
                os.makedirs(self.path, exist_ok=True)
                for name in TABLES:
                    part = os.path.join(self.path, f"{name}.parquet")
                    tmp = part + ".tmp"
                    self._con.execute(f"COPY {name} TO '{tmp.replace(chr(39), chr(39) * 2)}' (FORMAT parquet)")
                    os.replace(tmp, part)
        finally:
            self._con.close()
            if self.kind == "parquet":
                shutil.rmtree(self._work, ignore_errors=True)

    def discard(self) -> None:
        """End the run without writing it."""
        if self._closed:
            return
        self._closed = True
        try:
            self._con.execute("ROLLBACK")
            if self.kind == "duckdb":   # the batches already committed
                self._con.execute("BEGIN TRANSACTION")
                for name in (*TABLES, "runs"):
                    self._con.execute(f"DELETE FROM {name} WHERE run_id = ?", [self.run_id])
                self._con.execute("COMMIT")
        finally:
            self._con.close()
            if self.kind == "parquet":
                shutil.rmtree(self._work, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, exc_type, exc, tb):
        if exc_type is None:
            self.close()
        else:
            self.discard()
        return False


# What feeds a column, across statements: the README shows it; the tests run
# it on DuckDB and SQLite.
FEEDS_QUERY = """
WITH RECURSIVE feeds(table_name, column_name, depth) AS (
    SELECT source_table, source_column, 1
    FROM lineage
    WHERE target_table = ? AND target_column = ? AND source_table IS NOT NULL
  UNION
    SELECT l.source_table, l.source_column, f.depth + 1
    FROM lineage AS l JOIN feeds AS f
      ON l.target_table = f.table_name AND l.target_column = f.column_name
    WHERE l.source_table IS NOT NULL AND f.depth < 50
)
SELECT table_name, column_name, min(depth) AS depth
FROM feeds GROUP BY table_name, column_name ORDER BY depth, table_name, column_name
"""


def connect(path):
    """A DB-API connection on which the store's tables can be queried (with
    ``?`` parameters): sqlite3 for SQLite, DuckDB for a DuckDB file, and for a
    Parquet folder an in-memory DuckDB with a view on each of its files."""
    kind = store_kind(path)
    if kind == "sqlite":
        import sqlite3

        return sqlite3.connect(path)
    import duckdb

    if kind == "duckdb":
        return duckdb.connect(os.fspath(path), read_only=True)
    con = duckdb.connect()
    for name in TABLES:
        part = os.path.join(path, f"{name}.parquet")
        con.execute(f"CREATE VIEW {name} AS SELECT * FROM read_parquet('{part.replace(chr(39), chr(39) * 2)}')")
    return con
