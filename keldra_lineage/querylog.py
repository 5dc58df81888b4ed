"""Warehouse query logs: reading query histories and analysing each distinct
query once.

A log is a CSV (or TSV), JSON-lines or Parquet file, optionally compressed
(``.gz``, ``.zst``), as warehouses export their query history: Snowflake's
``QUERY_HISTORY`` (``QUERY_ID``, ``QUERY_TEXT``, ``DATABASE_NAME``,
``SCHEMA_NAME``, ``USER_NAME``, ``WAREHOUSE_NAME``, ``START_TIME``), BigQuery's
``INFORMATION_SCHEMA.JOBS`` (``job_id``, ``query``, ``project_id``,
``user_email``, ``creation_time``) and Redshift's ``SYS_QUERY_HISTORY``
(``query_id``, ``query_text``, ``database_name``, ``user_id``,
``start_time``).  It is read in batches by pyarrow, never whole.

`read_query_log` gives one `LogRow` per row; `LogAnalyser` turns rows into
`LogResult`s, analysing each distinct query (by `fingerprint`) once.
"""
from __future__ import annotations

import os
import re
from collections import OrderedDict, deque
from collections.abc import Iterable, Iterator
from typing import Any, NamedTuple, Optional

from ._results import Message, Statement
from .escaping import path_text
from .fingerprint import Fingerprinter
from .worker import with_defaults

__all__ = ["LogRow", "LogResult", "LogAnalyser", "QueryLogError", "read_query_log",
           "QUERY_COLUMNS", "ID_COLUMNS", "DATABASE_COLUMNS", "SCHEMA_COLUMNS"]

# Column names looked for, case-insensitively, in this order.
QUERY_COLUMNS = ("query_text", "query", "querytxt", "sql", "statement", "sql_text", "query_string")
ID_COLUMNS = ("query_id", "job_id", "queryid", "statement_id", "id")
# The database and schema that unqualified table names of the query are in:
# Snowflake's DATABASE_NAME / SCHEMA_NAME, Redshift's database_name (its
# schema comes from the search path, which the history does not keep),
# BigQuery's project_id (a dataset.table name is in the job's project) and
# the default dataset of its job configuration where an export has it.
DATABASE_COLUMNS = ("database_name", "default_database", "database", "project_id")
SCHEMA_COLUMNS = ("schema_name", "default_schema", "schema", "default_dataset", "dataset_id")

BATCH_ROWS = 4096          # rows converted to Python at a time
_CSV_BLOCK = 1 << 20       # bytes pyarrow reads at a time
_CACHE_SIZE = 4096         # distinct queries whose analysis is kept (5 KB each for TPC-DS queries)
_COMPRESSION = {".gz": "gzip", ".gzip": "gzip", ".zst": "zstd", ".zstd": "zstd"}
_FORMATS = {".csv": "csv", ".tsv": "tsv", ".jsonl": "json", ".ndjson": "json", ".json": "json",
            ".parquet": "parquet", ".pq": "parquet"}


class QueryLogError(ValueError):
    """A log that cannot be read: missing, of an unknown format, malformed, or
    without a query column.  ``file`` names it."""

    def __init__(self, file: str, message: str):
        super().__init__(f"{file}: {message}")
        self.file = file
        self.message = message


class LogRow(NamedTuple):
    """One row of a log: where it is (``file``, ``row``: 1-based among the
    data rows), its query id and text (None when missing or not text), the
    default database and schema of its query, and every other column."""

    file: str
    row: int
    id: Optional[str]
    query: Optional[str]
    database: Optional[str]
    schema: Optional[str]
    fields: dict

    @property
    def where(self) -> str:
        """``FILE: row N (query ID)``, for messages."""
        return f"{self.file}: row {self.row}" + (f" (query {self.id})" if self.id is not None else "")


def log_format(path: str) -> tuple[str, Optional[str]]:
    """(format, compression) from the file name: csv, tsv, json or parquet;
    gzip, zstd or None."""
    name = os.fspath(path).lower()
    root, ext = os.path.splitext(name)
    compression = _COMPRESSION.get(ext)
    if compression:
        root, ext = os.path.splitext(root)
    fmt = _FORMATS.get(ext)
    if fmt is None:
        raise QueryLogError(os.fspath(path), "not a query log: give a .csv, .tsv, .jsonl (.ndjson) or "
                                             ".parquet file, optionally .gz or .zst")
    if fmt == "parquet" and compression:
        raise QueryLogError(os.fspath(path), "a Parquet file is compressed inside: it cannot be read "
                                             f"through {compression}")
    return fmt, compression


def _pick(columns: list[str], given: Optional[str], usual: tuple[str, ...], what: str,
          file: str, required: bool) -> Optional[str]:
    by_lower = {}
    for c in columns:
        by_lower.setdefault(c.lower(), c)
    if given is not None:
        found = by_lower.get(given.lower())
        if found is None:
            raise QueryLogError(file, f"no {what} column {given!r}: its columns are {', '.join(columns)}")
        return found
    for name in usual:
        if name in by_lower:
            return by_lower[name]
    if required:
        raise QueryLogError(file, f"no {what} column (looked for {', '.join(usual)}): its columns are "
                                  f"{', '.join(columns) or 'none'}; name it with --query-column")
    return None


def _text(value: Any) -> Optional[str]:
    if value is None:
        return None
    return value if isinstance(value, str) else str(value)


def _plain(value: Any) -> Any:
    """A value JSON and the stores can take: numbers and text as they are, the
    rest (times, decimals, nested values) as text ("2024-01-01 10:00:00")."""
    if value is None or isinstance(value, (str, bool, int, float)):
        return value
    return str(value)


def _batches(path: str, fmt: str, compression: Optional[str]):
    """The file's record batches, and its column names (first)."""
    import pyarrow as pa

    def source():
        try:
            path.encode("utf-8")
            return path
        except UnicodeEncodeError:
            # a name that is not UTF-8 (its bytes held as surrogate escapes)
            # cannot reach pyarrow as text: the file is opened here, and
            # closed by pyarrow with the stream it is given to
            return open(path, "rb")  # noqa: SIM115

    if fmt == "parquet":
        import pyarrow.parquet as pq

        f = pq.ParquetFile(source())
        yield f.schema_arrow.names
        yield from f.iter_batches(batch_size=BATCH_ROWS)
        return

    def stream():
        return pa.input_stream(source(), compression=compression)

    if fmt in ("csv", "tsv"):
        import pyarrow.csv as pc

        parse = pc.ParseOptions(delimiter="\t" if fmt == "tsv" else ",", newlines_in_values=True)
        read = pc.ReadOptions(block_size=_CSV_BLOCK)
        # every column as text: a column that looks numeric in the first
        # block and is not in a later one must not end the reading
        with stream() as s:
            names = pc.open_csv(s, read_options=read, parse_options=parse).schema.names
        yield names
        convert = pc.ConvertOptions(column_types={n: pa.string() for n in names},
                                    strings_can_be_null=True, quoted_strings_can_be_null=False)
        with stream() as s:
            yield from pc.open_csv(s, read_options=read, parse_options=parse, convert_options=convert)
        return

    import pyarrow.json as pj

    with stream() as s:
        reader = pj.open_json(s, read_options=pj.ReadOptions(block_size=_CSV_BLOCK))
        yield reader.schema.names
        yield from reader


def read_query_log(path, query_column: Optional[str] = None, id_column: Optional[str] = None,
                   database_column: Optional[str] = None,
                   schema_column: Optional[str] = None) -> Iterator[LogRow]:
    """The rows of one log, in order, read in batches.

    The query column is `query_column` or the first of `QUERY_COLUMNS` the
    file has (case-insensitively); likewise the id, database and schema
    columns.  A file that cannot be read raises `QueryLogError` (after the
    rows read before the fault, if it is found part way)."""
    real = os.fspath(path)
    file = path_text(real)  # as records and messages name it
    fmt, compression = log_format(real)
    if not os.path.isfile(real):
        raise QueryLogError(file, "no such file" if not os.path.exists(real) else "not a file")
    batches = _batches(real, fmt, compression)
    try:
        columns = next(batches)
    except (OSError, ValueError) as e:  # pyarrow's ArrowInvalid is a ValueError
        raise QueryLogError(file, f"cannot read it as {fmt}: {' '.join(str(e).split())}") from None
    q = _pick(columns, query_column, QUERY_COLUMNS, "query", file, True)
    i = _pick(columns, id_column, ID_COLUMNS, "id", file, id_column is not None)
    d = _pick(columns, database_column, DATABASE_COLUMNS, "database", file, database_column is not None)
    s = _pick(columns, schema_column, SCHEMA_COLUMNS, "schema", file, schema_column is not None)
    taken = {q, i, d, s}
    others = [c for c in columns if c not in taken]
    number = 0
    try:
        for batch in batches:
            data = batch.to_pydict()
            queries = data.get(q) or [None] * batch.num_rows
            none = [None] * batch.num_rows
            ids = data.get(i, none) if i else none
            dbs = data.get(d, none) if d else none
            schemas = data.get(s, none) if s else none
            rest = [(c, data.get(c, none)) for c in others]
            for k in range(batch.num_rows):
                number += 1
                query = queries[k]
                yield LogRow(file, number, _text(ids[k]), query if isinstance(query, str) else None,
                             _text(dbs[k]) or None, _text(schemas[k]) or None,
                             {c: _plain(v[k]) for c, v in rest})
    except (OSError, ValueError) as e:
        raise QueryLogError(file, f"cannot read it as {fmt} past row {number}: "
                                  f"{' '.join(str(e).split())}") from None


# -- analysis ----------------------------------------------------------------

class LogResult(NamedTuple):
    """The analysis of one row: its statements (table names completed with the
    row's database and schema), the fingerprint of its query, the id and the
    (file, row) of the first row with that query, which occurrence of it this
    row is (1 for the first), and what went wrong outside the statements (a
    missing query, a failed analysis)."""

    row: LogRow
    fingerprint: Optional[str]
    first_id: Optional[str]
    occurrence: int
    statements: tuple
    problems: tuple
    first: Optional[tuple] = None


def _qualify(name: Optional[str], database: Optional[str], schema: Optional[str]) -> Optional[str]:
    if name is None:
        return None
    parts = name.split(".")
    if len(parts) == 1 and schema:
        return ".".join(p for p in (database, schema, name) if p)
    if len(parts) == 2 and database:
        return f"{database}.{name}"
    return name


def complete_names(statements: Iterable[Statement], database: Optional[str],
                   schema: Optional[str]) -> tuple:
    """The statements with unqualified table names (sources and targets)
    completed by the default database and schema: ``t`` becomes
    ``schema.t`` (``database.schema.t``), ``s.t`` becomes ``database.s.t``.
    A bare name with only a database is left as it is: it is not known which
    schema holds it."""
    if not database and not schema:
        return tuple(statements)

    def sources(srcs):
        return tuple(s._replace(table=_qualify(s.table, database, schema)) for s in srcs)

    return tuple(st._replace(target=_qualify(st.target, database, schema),
                             columns=tuple(c._replace(sources=sources(c.sources)) for c in st.columns),
                             indirect=sources(st.indirect))
                 for st in statements)


# a column name that holds a literal: a quote, or a number not inside a name
_LITERAL_IN_NAME = re.compile(r"""['"]|(?<![\w$])[0-9]""")


def _reusable(statements) -> bool:
    """Whether the analysis holds for every text of its fingerprint: not when
    it has an error (its message quotes the text) or an output column named
    by an expression's text that holds a literal (``coalesce(y, 'z')``;
    ``sum(x)`` is the same in every copy)."""
    for st in statements:
        if st.error is not None:
            return False
        for c in st.columns:
            if _LITERAL_IN_NAME.search(c.name):
                return False
    return True


# Rows read ahead of the one whose result is given next, when a supervisor's
# workers analyse them, and analyses asked for ahead at most (per worker):
# enough that a worker still has queries queued while this process reads a
# batch of the log or writes a chunk of output.
_AHEAD_ROWS = 4096
_AHEAD_PER_WORKER = 64


class LogAnalyser:
    """Analyses log rows, each distinct query once.

    Rows whose queries have the same fingerprint and the same default
    database and schema share one analysis; an analysis whose records quote
    the text (an error, a column named by its expression) is shared by rows
    with the same exact text only.  The last `cache_size` distinct queries
    are kept (one seen again after it left is analysed again and counted from
    1).

    With a `supervisor` (`keldra_lineage.worker.Supervisor`) `run` has its
    worker processes analyse the queries, several ahead of the row it gives
    next, so that a query that kills its process is that query's error and
    nothing else; the results are the same."""

    def __init__(self, dialect: str = "generic", schema=None, cache_size: int = _CACHE_SIZE,
                 supervisor=None):
        from . import Catalog

        if schema is not None and not isinstance(schema, Catalog):
            schema = Catalog.from_mapping(schema)
        self.dialect = dialect
        self.catalog = schema
        self.fingerprint = Fingerprinter(dialect)
        self._cache: OrderedDict = OrderedDict()   # key -> [first id, count, statements, (file, row)]
        self._catalogs: dict = {}
        self._cache_size = cache_size
        self._supervisor = supervisor
        self.analysed = 0   # analyses run
        self.rows = 0

    def _lineage(self, row: LogRow):
        """("ok", statements, _) or ("error", message), in this process."""
        from . import lineage

        try:
            catalog = with_defaults(self.catalog, (row.database, row.schema), self._catalogs)
            return ("ok", lineage(row.query, self.dialect, catalog), False)
        except Exception as e:  # an engine fault loses this row only
            return ("error", f"{type(e).__name__}: {' '.join(str(e).split())}")

    def analyse(self, row: LogRow) -> LogResult:
        """The result of one row, analysed in this process if need be."""
        return self._take(row, self._print(row), None)

    @staticmethod
    def _has_query(row: LogRow) -> bool:
        return row.query is not None and bool(row.query.strip())

    def _print(self, row: LogRow) -> Optional[str]:
        return self.fingerprint(row.query) if self._has_query(row) else None

    def _cached(self, row: LogRow, fp: str):
        """(key, entry) of the row's analysis if it is kept, else (key, None)."""
        key = (fp, row.database, row.schema)
        entry = self._cache.get(key)
        if entry is None:
            exact = (None, row.query, row.database, row.schema)
            entry = self._cache.get(exact)
            if entry is not None:
                key = exact
        return key, entry

    def _take(self, row: LogRow, fp: Optional[str], ticket) -> LogResult:
        """The row's result, as the rows before it have left the cache;
        `ticket` is its analysis asked for ahead (None: none was)."""
        self.rows += 1
        if fp is None:
            what = "no query text" if row.query is None or not row.query else "an empty query text"
            return LogResult(row, None, None, 0, (), (Message("missing_query", None, None, what),))
        key, entry = self._cached(row, fp)
        if entry is not None:
            self._cache.move_to_end(key)
            entry[1] += 1
            return LogResult(row, fp, entry[0], entry[1], entry[2], (), entry[3])
        if self._supervisor is None:
            outcome = self._lineage(row)
        else:
            outcome = self._supervisor.wait(ticket if ticket is not None else self._ask(row))
        problems = ()
        if outcome[0] == "ok":
            statements = complete_names(outcome[1], row.database, row.schema)
        else:
            statements = ()
            problems = (Message("engine_fault", None, None, outcome[1]),)
        self.analysed += 1
        if not problems:
            if not _reusable(statements):
                key = (None, row.query, row.database, row.schema)
            self._cache[key] = [row.id, 1, statements, (row.file, row.row)]
            if len(self._cache) > self._cache_size:
                self._cache.popitem(last=False)
        return LogResult(row, fp, row.id, 1, statements, problems, (row.file, row.row))

    def _ask(self, row: LogRow):
        from .worker import FRESH, Job

        return self._supervisor.submit(Job(FRESH, row.query, None, (row.database, row.schema)))

    def run(self, rows: Iterable[LogRow]) -> Iterator[LogResult]:
        if self._supervisor is None:
            for row in rows:
                yield self.analyse(row)
            return
        # Read ahead: each query not known yet, nor asked for by a row before
        # it, goes to the workers at once; rows are given in order as their
        # analyses come back.
        supervisor = self._supervisor
        window: deque = deque()   # (row, fingerprint, ticket or None)
        asked: dict = {}          # key -> the ticket asked for by a row in the window
        in_flight = 0
        most = _AHEAD_PER_WORKER * supervisor.workers
        for row in rows:
            fp = self._print(row)
            ticket = None
            if fp is not None:
                key = (fp, row.database, row.schema)
                if key not in asked and self._cached(row, fp)[1] is None:
                    ticket = asked[key] = self._ask(row)
                    in_flight += 1
            window.append((row, fp, ticket))
            while window and (len(window) > _AHEAD_ROWS or in_flight > most or window[0][2] is None
                              or supervisor.ready(window[0][2])):
                in_flight -= window[0][2] is not None
                yield self._give(window.popleft(), asked)
        while window:
            yield self._give(window.popleft(), asked)

    def _give(self, item, asked: dict) -> LogResult:
        row, fp, ticket = item
        if ticket is not None:
            key = (fp, row.database, row.schema)
            if asked.get(key) is ticket:
                del asked[key]
        return self._take(row, fp, ticket)
