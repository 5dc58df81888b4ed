"""Benchmark of query-log input: a log of N rows built from the shared corpus
(TPC-H and TPC-DS) with varied literals, written to a scratch folder (never
into the repository), then:

- rows/s and peak memory of `keldra-lineage --query-log LOG -f jsonl`, of
  `--output x.duckdb`, and of keldra_lineage.spark.lineage on local[2];
- the memory of the jsonl run at several log sizes (flat is the aim);
- distinct statements/s of the command against keldra_lineage.lineage() on
  the same statements in one process, the variants taking turns round by
  round (also the command without its start, and with --prototype the
  command with bench/jsonl_render.py's rendering of JSON lines);
- the cost of a fingerprint against an analysis;
- the first-record latency of `keldra-lineage --query-log LOG -f jsonl | head -1`.

Run with the project's interpreter: python bench/querylog.py [--rows N]
[--variants V] [--scratch DIR] [--no-spark] [--rounds R] [--prototype]
[--only distinct|spark].  Prints Markdown.  A scratch folder of its own is
removed at the end (the full log is 1.9 GB).
"""
from __future__ import annotations

import argparse
import csv
import json
import os
import random
import re
import statistics
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


def distinct_log(scratch: Path, n: int) -> tuple[Path, list[str]]:
    """A log of `n` distinct rows: every row is a corpus query after
    `SELECT k AS c<k>;`, a distinct fingerprint.  Returns it and its texts."""
    queries = corpus_queries()
    texts = [f"SELECT {k} AS c{k}; {queries[k % len(queries)]}" for k in range(n)]
    log = scratch / f"distinct-{n}.csv"
    with open(log, "w", newline="") as f:
        w = csv.writer(f)
        w.writerow(["query_id", "query_text"])
        w.writerows((str(k), t) for k, t in enumerate(texts))
    return log, texts


# The command with bench/jsonl_render.py's rendering of JSON lines in place
# of today's, to measure what it would change.
_PATCHED = """
import sys
sys.path.insert(0, {bench!r})
import jsonl_render
import keldra_lineage.streaming
keldra_lineage.streaming.SharedLines.lines = jsonl_render.fast_lines
from keldra_lineage.cli import main
sys.exit(main(sys.argv[1:]))
"""


def distinct_rounds(scratch: Path, n: int, rounds: int, patched: bool = False) -> dict[str, list[float]]:
    """Statements per second on `n` distinct rows, `rounds` times, the
    variants alternated (so that other work on the machine falls on each
    alike): lineage() on the texts in this process, the command, the
    command without its start (the seconds of a run on an empty log taken
    off), and with `patched` the command with the prototype rendering."""
    import keldra_lineage

    log, texts = distinct_log(scratch, n)
    empty = scratch / "empty.csv"
    empty.write_text("query_id,query_text\n")
    cat = keldra_lineage.Catalog(schema())
    args = ["--query-log", str(log), "-f", "jsonl", "-q", "--schema", str(SCHEMA_FILE)]
    for t in texts[:50]:   # warm
        keldra_lineage.lineage(t, "generic", cat)
    out: dict[str, list[float]] = {"lineage()": [], "command": [], "command, start taken off": []}
    if patched:
        out["command, prototype rendering"] = []
        out["command, prototype rendering, start taken off"] = []
    for _ in range(rounds):
        start = time.perf_counter()
        statements = sum(len(keldra_lineage.lineage(t, "generic", cat)) for t in texts)
        out["lineage()"].append(statements / (time.perf_counter() - start))
        seconds, _, _ = timed([*command(), *args])
        started, _, _ = timed([*command(), "--query-log", str(empty), "-f", "jsonl", "-q"])
        out["command"].append(statements / seconds)
        out["command, start taken off"].append(statements / (seconds - started))
        if patched:
            seconds, _, _ = timed([sys.executable, "-P", "-c",
                                   _PATCHED.format(bench=str(Path(__file__).resolve().parent)), *args])
            out["command, prototype rendering"].append(statements / seconds)
            out["command, prototype rendering, start taken off"].append(statements / (seconds - started))
    return out


def fingerprint_cost(rounds: int = 5) -> tuple[float, float]:
    """(µs per fingerprint without the memo, µs per analysis) over the
    corpus: medians of `rounds` alternated rounds."""
    import keldra_lineage
    from keldra_lineage.fingerprint import Fingerprinter

    queries = corpus_queries()
    cat = keldra_lineage.Catalog(schema())
    f = Fingerprinter()
    fps, analyses = [], []
    for _ in range(rounds):
        start = time.perf_counter()
        for q in queries:
            f._memo.clear()
            f(q)
        fps.append((time.perf_counter() - start) / len(queries) * 1e6)
        start = time.perf_counter()
        for q in queries:
            keldra_lineage.lineage(q, "generic", cat)
        analyses.append((time.perf_counter() - start) / len(queries) * 1e6)
    return statistics.median(fps), statistics.median(analyses)


def spark_rate(log: Path) -> tuple[float, float, dict]:
    """(rows/s, peak RSS in MiB of the whole run: the driver's Python, the
    JVM and its Python workers together, sampled every 0.2 s; the parts at
    that peak) of spark.lineage on local[2], counting every lineage row."""
    code = f"""
import os, sys, time, json, threading

def tree_rss():
    # resident KiB of this process and of every process below it, by kind
    parents, rss, kinds = {{}}, {{}}, {{}}
    for pid in os.listdir("/proc"):
        if not pid.isdigit():
            continue
        try:
            with open(f"/proc/{{pid}}/status") as f:
                fields = dict(line.split(":", 1) for line in f if ":" in line)
        except OSError:
            continue
        parents[int(pid)] = int(fields["PPid"])
        rss[int(pid)] = int(fields.get("VmRSS", "0 kB").split()[0])
        kinds[int(pid)] = "jvm" if fields["Name"].strip() == "java" else "python"
    me = os.getpid()
    out = {{"driver": rss.get(me, 0), "jvm": 0, "workers": 0}}
    for pid in rss:
        p = parents.get(pid, 0)
        while p and p != me:
            p = parents.get(p, 0)
        if p == me and pid != me:
            out["jvm" if kinds[pid] == "jvm" else "workers"] += rss[pid]
    return out

peak = [{{"driver": 0, "jvm": 0, "workers": 0}}]
def sample():
    while True:
        now = tree_rss()
        if sum(now.values()) > sum(peak[0].values()):
            peak[0] = now
        time.sleep(0.2)
threading.Thread(target=sample, daemon=True).start()
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
p = peak[0]
print(rate, n, sum(p.values()) / 1024, p["driver"] / 1024, p["jvm"] / 1024, p["workers"] / 1024)
"""
    done = subprocess.run([sys.executable, "-P", "-c", code], capture_output=True, text=True)
    if done.returncode != 0:
        raise RuntimeError(done.stderr[-2000:])
    rate, _, total, driver, jvm, workers = map(float, done.stdout.split()[-6:])
    return rate, total, {"driver": driver, "JVM": jvm, "Python workers": workers}


SCHEMA_FILE: Path


def main() -> None:
    p = argparse.ArgumentParser()
    p.add_argument("--rows", type=int, default=1_000_000)
    p.add_argument("--variants", type=int, default=200, help="literal variants of each corpus query")
    p.add_argument("--distinct", type=int, default=10_000,
                   help="rows of the distinct-statements log (enough that the command's start, about "
                        "0.2 s, is a small part of its time)")
    p.add_argument("--scratch", default=None, help="folder for the logs (default: a temporary one)")
    p.add_argument("--no-spark", action="store_true")
    p.add_argument("--rounds", type=int, default=5, help="alternated rounds of the in-process measurements")
    p.add_argument("--only", choices=("distinct", "spark"), default=None,
                   help="only the distinct-statement rates or only the Spark run")
    p.add_argument("--prototype", action="store_true",
                   help="also the command with bench/jsonl_render.py's rendering of JSON lines")
    p.add_argument("--spark-rows", type=int, default=100_000,
                   help="rows of the Spark run (it gives every lineage row of every copy)")
    args = p.parse_args()
    if args.scratch:
        scratch = Path(args.scratch)
        scratch.mkdir(parents=True, exist_ok=True)
        run(scratch, args)
    else:
        with tempfile.TemporaryDirectory(prefix="keldra-logbench-") as folder:
            run(Path(folder), args)


def run(scratch: Path, args) -> None:
    global SCHEMA_FILE
    SCHEMA_FILE = scratch / "schema.json"
    SCHEMA_FILE.write_text(json.dumps(schema()))
    print(f"# Query-log benchmark\n\n{os.cpu_count()} cores; log of {args.rows:,} rows: the "
          f"{len(corpus_queries())} TPC-H and TPC-DS queries in {args.variants} literal variants each, "
          "drawn at random, with the tables' schema.\n")

    if args.only != "spark":
        fp, analysis = fingerprint_cost(args.rounds)
        print(f"- fingerprint: {fp:.1f} µs a query (without the exact-text memo); analysis: {analysis:.0f} µs "
              f"({analysis / fp:.0f}x)")
    if args.only == "distinct":
        distinct(scratch, args)
        return
    if args.only == "spark":
        spark(scratch, args, {})
        return

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
        spark(scratch, args, logs)
    distinct(scratch, args)
    print(f"- first record of `--query-log … -f jsonl | head -1`: {first_record_latency(big):.2f} s")


def spark(scratch: Path, args, logs: dict) -> None:
    n = min(args.spark_rows, args.rows)
    log = logs.get(n) or scratch / f"log-{n}.csv"
    if not log.exists():
        build_log(log, n, args.variants)
    rate, total, parts = spark_rate(log)
    print(f"| `keldra_lineage.spark.lineage`, local[2] | {n:,} | {n / rate:.1f} | {rate:,.0f} | {total:,.0f} MiB "
          f"({', '.join(f'{k} {v:,.0f}' for k, v in parts.items())}) |", flush=True)


def distinct(scratch: Path, args) -> None:
    rates = distinct_rounds(scratch, args.distinct, args.rounds, patched=args.prototype)
    lib = statistics.median(rates["lineage()"])
    print(f"\n- distinct statements ({args.distinct:,} rows, medians of {args.rounds} alternated rounds): "
          + ", ".join(f"{k} {statistics.median(v):,.0f}/s ({statistics.median(v) / lib:.0%})"
                      for k, v in rates.items()), flush=True)


if __name__ == "__main__":
    main()
