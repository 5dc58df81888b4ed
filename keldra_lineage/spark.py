"""Lineage of a query log held in Spark: ``lineage(df)`` returns a DataFrame of
lineage rows, computed on the executors with ``mapInArrow``.

Use it when the log already lives in Spark (a warehouse's history table, a
lake of exported logs) or is too large for one machine's cores; for a log
file on one machine the command line (``keldra-lineage --query-log``) is
simpler and as fast per core.  Each partition analyses every distinct query
(by fingerprint, with its default database and schema) once.
"""
from __future__ import annotations

from typing import Iterable, Iterator, Optional

from .querylog import DATABASE_COLUMNS, SCHEMA_COLUMNS, LogAnalyser, LogRow

__all__ = ["lineage", "LINEAGE_FIELDS"]

# The columns added to the input row's key columns, as in the store's lineage table.
LINEAGE_FIELDS = ("statement", "kind", "target_table", "target_column", "source_table", "source_column",
                  "type", "subtype", "fingerprint", "error", "error_kind")
_INT_FIELDS = ("statement",)


def _find(names: Iterable[str], usual: tuple[str, ...]) -> Optional[str]:
    by_lower = {n.lower(): n for n in names}
    return next((by_lower[u] for u in usual if u in by_lower), None)


def lineage(df, query_column: str = "query_text", dialect: str = "generic", schema=None,
            key_columns: Optional[list[str]] = None, database_column: Optional[str] = None,
            schema_column: Optional[str] = None):
    """A DataFrame with one row per source of an output column of every
    statement of `df[query_column]`: the input row's `key_columns` (default:
    every column but the query) and `LINEAGE_FIELDS`.  A statement that cannot
    be parsed is one row with ``error`` set; a row without a query gives none.

    `schema` is what `keldra_lineage.lineage` takes (a Catalog or a mapping);
    it is sent to the executors.  The default database and schema of each
    query come from `database_column` / `schema_column`, or from the usual
    names (``database_name``, ``schema_name``, ...)."""
    from pyspark.sql.types import IntegerType, StringType, StructField, StructType

    names = df.columns
    if query_column not in names:
        raise ValueError(f"no query column {query_column!r}: the DataFrame's columns are {', '.join(names)}")
    keys = [c for c in names if c != query_column] if key_columns is None else list(key_columns)
    missing = [k for k in keys if k not in names]
    if missing:
        raise ValueError(f"no column {missing[0]!r}: the DataFrame's columns are {', '.join(names)}")
    db_col = database_column or _find(names, DATABASE_COLUMNS)
    sc_col = schema_column or _find(names, SCHEMA_COLUMNS)
    taken = {query_column, *keys, *(c for c in (db_col, sc_col) if c)}
    df = df.select(*[c for c in names if c in taken])
    by_name = {f.name: f for f in df.schema.fields}
    out_schema = StructType([by_name[k] for k in keys] + [
        StructField(f, IntegerType() if f in _INT_FIELDS else StringType(), True) for f in LINEAGE_FIELDS])
    if schema is not None and not hasattr(schema, "resolve"):
        from . import Catalog

        schema = Catalog.from_mapping(schema)

    def analyse_partition(batches: Iterator) -> Iterator:
        import pyarrow as pa

        analyser = LogAnalyser(dialect, schema)
        for batch in batches:
            queries = batch.column(query_column).to_pylist()
            dbs = batch.column(db_col).to_pylist() if db_col else [None] * batch.num_rows
            scs = batch.column(sc_col).to_pylist() if sc_col else [None] * batch.num_rows
            take: list[int] = []
            cols: dict[str, list] = {f: [] for f in LINEAGE_FIELDS}

            def add(k, values):
                take.append(k)
                for f, v in zip(LINEAGE_FIELDS, values):
                    cols[f].append(v)

            for k, query in enumerate(queries):
                db = dbs[k] if isinstance(dbs[k], str) and dbs[k] else None
                sc = scs[k] if isinstance(scs[k], str) and scs[k] else None
                result = analyser.analyse(LogRow("", k + 1, None, query if isinstance(query, str) else None,
                                                 db, sc, {}))
                fp = result.fingerprint
                for p in result.problems:
                    if p.kind == "engine_fault":
                        add(k, (None, None, None, None, None, None, None, None, fp, p.message, p.kind))
                for st in result.statements:
                    head = (st.index, st.kind, st.target)
                    if st.error is not None:
                        add(k, head + (None, None, None, None, None, fp, st.error.message, st.error.kind))
                        continue
                    for c in st.columns:
                        if not c.sources:
                            add(k, head + (c.name, None, None, None, None, fp, None, None))
                        for s in c.sources:
                            add(k, head + (c.name, s.table, s.column, s.type, s.subtype, fp, None, None))
                    for s in st.indirect:
                        add(k, head + (None, s.table, s.column, s.type, s.subtype, fp, None, None))
            index = pa.array(take, type=pa.int64())
            arrays = [batch.column(key).take(index) for key in keys]
            arrays += [pa.array(cols[f], type=pa.int32() if f in _INT_FIELDS else pa.string())
                       for f in LINEAGE_FIELDS]
            yield pa.RecordBatch.from_arrays(arrays, names=[*keys, *LINEAGE_FIELDS])

    return df.mapInArrow(analyse_partition, out_schema)
