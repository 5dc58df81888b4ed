"""Parser coverage and recovery, and the engine's speed, on the shared corpus.

    python bench/recovery.py [--corpus ../shared/corpus] [--passes 5]

For every corpus (with and without its schema.json) and for the constructs
that sqloxide 0.61 rejects (written here), counts the statements that
sqloxide parses first time, those that parse after recovery (the statement's
warning names sqlglot) and those left in error; then the engine's speed over
the corpus as statements/s (median of the passes).  Run it under another
build (PYTHONPATH pointing at it) to compare speeds; a build without recovery
simply reports none recovered.
"""
from __future__ import annotations

import argparse
import json
import statistics
import time
from pathlib import Path

import keldra_lineage

# The constructs the parser limits were measured on: (dialect, statement).
CONSTRUCTS = [
    ("postgres", "SELECT u.x, u.n FROM t, unnest(t.arr) WITH ORDINALITY AS u(x, n)"),
    ("databricks", "WITH c (SELECT a FROM t) SELECT a FROM c"),
    ("databricks", "SELECT 1d_col, a FROM t"),
    ("databricks", "SELECT inline(x) AS (k, v) FROM t"),
    ("generic", "SELECT date, year, value, end FROM t"),
    ("databricks", "INSERT OVERWRITE DIRECTORY '/out' USING parquet SELECT a FROM t"),
    ("redshift", "CREATE TABLE t2 DISTSTYLE KEY DISTKEY (a) SORTKEY (a) AS SELECT a FROM t"),
    ("postgres", "SELECT (rec).* FROM t"),
    ("clickhouse", "SELECT a, x FROM t ARRAY JOIN arr AS x"),
]


def load(corpus: Path):
    for name in ("tpch", "tpcds"):
        folder = corpus / name
        if not folder.is_dir():
            continue
        texts = [p.read_text() for p in sorted(folder.glob("q*.sql"))]
        schema_file = folder / "schema.json"
        schema = json.loads(schema_file.read_text()) if schema_file.exists() else None
        yield name, texts, schema


def count(statements):
    first = recovered = failed = 0
    for st in statements:
        if st.error is not None:
            failed += 1
        elif any("sqlglot" in w and "rejected" in w for w in st.warnings):
            recovered += 1
        else:
            first += 1
    return first, recovered, failed


def coverage(texts, dialect, schema):
    statements = [st for text in texts for st in keldra_lineage.lineage(text, dialect, schema)]
    return (len(statements), *count(statements))


def speed(texts, schema, passes):
    times = []
    for _ in range(passes):
        start = time.perf_counter()
        n = sum(len(keldra_lineage.lineage(text, "generic", schema)) for text in texts)
        times.append(time.perf_counter() - start)
    return n / statistics.median(times)


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--corpus", type=Path, default=Path(__file__).resolve().parents[2] / "shared" / "corpus")
    ap.add_argument("--passes", type=int, default=5)
    args = ap.parse_args()
    print(f"keldra-lineage from {Path(keldra_lineage.__file__).parent}")
    print("corpus          schema   statements  parsed first  recovered  errors  statements/s")
    for name, texts, schema in load(args.corpus):
        for label, s in (("without", None), ("with", schema)):
            total, first, recovered, failed = coverage(texts, "generic", s)
            rate = speed(texts, s, args.passes)
            print(f"{name:15} {label:8} {total:10}  {first:12}  {recovered:9}  {failed:6}  {rate:12.0f}")
    total, first, recovered, failed = 0, 0, 0, 0
    for dialect, sql in CONSTRUCTS:
        n, f, r, e = coverage([sql], dialect, None)
        total, first, recovered, failed = total + n, first + f, recovered + r, failed + e
    print(f"{'constructs':15} {'without':8} {total:10}  {first:12}  {recovered:9}  {failed:6}")
    # the time recovery takes, where it runs
    rejected = [(d, s) for d, s in CONSTRUCTS if keldra_lineage.lineage(s, d)[0].warnings]
    if rejected:
        start = time.perf_counter()
        for d, s in rejected:
            keldra_lineage.lineage(s, d)
        print(f"recovery: {1000 * (time.perf_counter() - start) / len(rejected):.1f} ms per recovered statement "
              "(sqlglot imported once before)")


if __name__ == "__main__":
    main()
