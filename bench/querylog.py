"""Benchmark of query-log input: a log of N rows built from the shared corpus
(TPC-H and TPC-DS) with varied literals, written to a scratch folder (never
into the repository), then:

- rows/s and peak memory of `keldra-lineage --query-log LOG -f jsonl`, of
  `--output x.duckdb`, and of keldra_lineage.spark.lineage on local[2];
- the memory of the jsonl run at several log sizes (flat is the aim);
- distinct statements/s of the command against keldra_lineage.lineage() on
  the same statements in one process;
- the cost of a fingerprint against an analysis;
- the first-record latency of `keldra-lineage --query-log LOG -f jsonl | head -1`.

Run with the project's interpreter: python bench/querylog.py [--rows N]
[--variants V] [--scratch DIR] [--no-spark].  Prints Markdown.
"""
from __future__ import annotations

import argparse
import csv
import json
import os
import random
import re
import resource
import subprocess
import sys
import tempfile
import time
from pathlib import Path

CORPUS = Path(__file__).resolve().parent.parent.parent / "shared" / "corpus"
_NUMBER = re.compile(r"(?<![\w.])\d+(?:\.\d+)?(?![\w.])")
_STRING = re.compile(r"'(?:[^']|'')*'")


def corpus_queries() -> list[str]:
    texts = []
    for bench in ("tpch", "tpcds"):
        for f in sorted((CORPUS / bench).glob("q*.sql")):
            texts.append(f.read_text().strip().rstrip(";"))
    return texts


def schema() -> dict:
    out = {}
    for bench in ("tpch", "tpcds"):
        out.update(json.loads((CORPUS / bench / "schema.json").read_text()))
    return out


def vary(text: str, rng: random.Random) -> str:
    """The query with other literals: numbers and strings replaced alike."""
    text = _STRING.sub(lambda m: "'" + "".join(rng.choice("abcdefgh") for _ in range(6)) + "'", text)
    return _NUMBER.sub(lambda m: str(rng.randint(1, 2000)) if "." not in m.group() else f"{rng.random():.2f}",
                       text)


def build_log(path: Path, rows: int, variants: int, seed: int = 17) -> int:
    """A CSV of `rows` rows (query_id, query_text, user_name, start_time,
    database_name, schema_name): every corpus query in `variants` literal
    variants, drawn at random.  Returns the file's size."""
    rng = random.Random(seed)
    queries = corpus_queries()
    pool = [[vary(q, random.Random(seed * 1000 + k * 7919 + v)) for v in range(variants)]
            for k, q in enumerate(queries)]
    with open(path, "w", newline="") as f:
        w = csv.writer(f)
        w.writerow(["query_id", "query_text", "user_name", "start_time", "database_name", "schema_name"])
        for i in range(rows):
            q = pool[rng.randrange(len(pool))][rng.randrange(variants)]
            w.writerow([f"01b{i:09d}", q, f"user{i % 37}", f"2026-12-0{1 + i % 9} 10:{i % 60:02d}:00", "", ""])
    return path.stat().st_size


def timed(cmd: list[str], stdout=subprocess.DEVNULL) -> tuple[float, float, int]:
    """(seconds, peak RSS in MiB of the child, exit status)."""
    start = time.perf_counter()
    child = subprocess.Popen(cmd, stdout=stdout, stderr=subprocess.DEVNULL)
    _, status, usage = os.wait4(child.pid, 0)
    return time.perf_counter() - start, usage.ru_maxrss / 1024, os.waitstatus_to_exitcode(status)


def command() -> list[str]:
    return [sys.executable, "-P", "-m", "keldra_lineage"]


def first_record_latency(log: Path) -> float:
    start = time.perf_counter()
    child = subprocess.Popen([*command(), "--query-log", str(log), "-f", "jsonl", "--schema",
                              str(SCHEMA_FILE)], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    child.stdout.readline()
    latency = time.perf_counter() - start
    child.stdout.close()
    child.kill()
    child.wait()
    return latency


def distinct_rates(scratch: Path, n: int) -> tuple[float, float]:
    """(command, library) statements per second on `n` distinct rows: every
    row is a corpus query after `SELECT k AS c<k>;`, a distinct fingerprint."""
    import keldra_lineage

    queries = corpus_queries()
    texts = [f"SELECT {k} AS c{k}; {queries[k % len(queries)]}" for k in range(n)]
    log = scratch / "distinct.csv"
    with open(log, "w", newline="") as f:
        w = csv.writer(f)
        w.writerow(["query_id", "query_text"])
        w.writerows((str(k), t) for k, t in enumerate(texts))
    cat = keldra_lineage.Catalog(schema())
    start = time.perf_counter()
    statements = sum(len(keldra_lineage.lineage(t, "generic", cat)) for t in texts)
    library = statements / (time.perf_counter() - start)
    seconds, _, _ = timed([*command(), "--query-log", str(log), "-f", "jsonl", "-q", "--schema", str(SCHEMA_FILE)])
    return statements / seconds, library


def fingerprint_cost() -> tuple[float, float]:
    """(µs per fingerprint without the memo, µs per analysis) over the corpus."""
    import keldra_lineage
    from keldra_lineage.fingerprint import Fingerprinter

    queries = corpus_queries()
    cat = keldra_lineage.Catalog(schema())
    f = Fingerprinter()
    start = time.perf_counter()
    for _ in range(3):
        for q in queries:
            f._memo.clear()
            f(q)
    fp = (time.perf_counter() - start) / (3 * len(queries)) * 1e6
    start = time.perf_counter()
    for _ in range(3):
        for q in queries:
            keldra_lineage.lineage(q, "generic", cat)
    return fp, (time.perf_counter() - start) / (3 * len(queries)) * 1e6


def spark_rate(log: Path) -> tuple[float, float]:
    """(rows/s, the larger peak RSS in MiB of the driver's Python and of the
    JVM once it has ended) of spark.lineage on local[2], counting every
    lineage row."""
    code = f"""
import os, sys, time, json, resource
os.environ["PYSPARK_PYTHON"] = sys.executable
os.environ["PYTHONSAFEPATH"] = "1"
from pyspark.sql import SparkSession
from keldra_lineage.spark import lineage
spark = (SparkSession.builder.master("local[2]").config("spark.ui.enabled", "false")
         .config("spark.driver.memory", "2g").config("spark.driver.bindAddress", "127.0.0.1")
         .config("spark.driver.host", "127.0.0.1").getOrCreate())
df = spark.read.option("header", True).option("multiLine", True).option("escape", '"').csv({str(log)!r})
rows = df.count()
schema = json.load(open({str(SCHEMA_FILE)!r}))
start = time.perf_counter()
n = lineage(df, query_column="query_text", schema=schema, key_columns=["query_id"]).count()
rate = rows / (time.perf_counter() - start)
spark.stop()
import gc; gc.collect(); time.sleep(1)
print(rate, n, resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024,
      resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss / 1024)
"""
    done = subprocess.run([sys.executable, "-P", "-c", code], capture_output=True, text=True)
    if done.returncode != 0:
        raise RuntimeError(done.stderr[-2000:])
    rate, _, driver, jvm = done.stdout.split()[-4:]
    return float(rate), max(float(driver), float(jvm))


SCHEMA_FILE: Path


def main() -> None:
    global SCHEMA_FILE
    p = argparse.ArgumentParser()
    p.add_argument("--rows", type=int, default=1_000_000)
    p.add_argument("--variants", type=int, default=200, help="literal variants of each corpus query")
    p.add_argument("--distinct", type=int, default=3000, help="rows of the distinct-statements log")
    p.add_argument("--scratch", default=None, help="folder for the logs (default: a temporary one)")
    p.add_argument("--no-spark", action="store_true")
    p.add_argument("--spark-rows", type=int, default=100_000,
                   help="rows of the Spark run (it gives every lineage row of every copy)")
    args = p.parse_args()
    scratch = Path(args.scratch or tempfile.mkdtemp(prefix="keldra-logbench-"))
    scratch.mkdir(parents=True, exist_ok=True)
    SCHEMA_FILE = scratch / "schema.json"
    SCHEMA_FILE.write_text(json.dumps(schema()))
    print(f"# Query-log benchmark\n\n{os.cpu_count()} cores; log of {args.rows:,} rows: the "
          f"{len(corpus_queries())} TPC-H and TPC-DS queries in {args.variants} literal variants each, "
          "drawn at random, with the tables' schema.\n")

    fp, analysis = fingerprint_cost()
    print(f"- fingerprint: {fp:.0f} µs a query (without the exact-text memo); analysis: {analysis:.0f} µs "
          f"({analysis / fp:.1f}x)")

    sizes = sorted({min(args.rows, n) for n in (100_000, 300_000)} | {args.rows})
    logs = {}
    for n in sizes:
        logs[n] = scratch / f"log-{n}.csv"
        if not logs[n].exists():
            build_log(logs[n], n, args.variants)
    big = logs[args.rows]
    print(f"- log file: {big.stat().st_size / 2**20:,.0f} MiB of CSV\n")

    print("| run | rows | seconds | rows/s | peak memory |\n|---|---:|---:|---:|---:|")
    for n in sizes:
        s, mem, rc = timed([*command(), "--query-log", str(logs[n]), "-f", "jsonl", "-q",
                            "--schema", str(SCHEMA_FILE)])
        print(f"| `--query-log … -f jsonl` (exit {rc}) | {n:,} | {s:.1f} | {n / s:,.0f} | {mem:,.0f} MiB |",
              flush=True)
    store = scratch / "x.duckdb"
    if store.exists():
        store.unlink()
    s, mem, rc = timed([*command(), "--query-log", str(big), "--output", str(store), "-q",
                        "--schema", str(SCHEMA_FILE)])
    print(f"| `--query-log … --output x.duckdb` (exit {rc}) | {args.rows:,} | {s:.1f} | {args.rows / s:,.0f} "
          f"| {mem:,.0f} MiB |", flush=True)
    if not args.no_spark:
        n = min(args.spark_rows, args.rows)
        log = logs.get(n) or scratch / f"log-{n}.csv"
        if not log.exists():
            build_log(log, n, args.variants)
        rate, mem = spark_rate(log)
        print(f"| `keldra_lineage.spark.lineage`, local[2] | {n:,} | {n / rate:.1f} | "
              f"{rate:,.0f} | {mem:,.0f} MiB (driver or JVM) |", flush=True)

    cmd_rate, lib_rate = distinct_rates(scratch, args.distinct)
    print(f"\n- distinct statements: command {cmd_rate:,.0f}/s, lineage() in one process {lib_rate:,.0f}/s "
          f"({cmd_rate / lib_rate:.0%})")
    print(f"- first record of `--query-log … -f jsonl | head -1`: {first_record_latency(big):.2f} s")


if __name__ == "__main__":
    main()
