"""Measure the lineage analysis on the corpus in bench/corpus.

Run through bench/run, which prepares the environment.  Prints:
  - per statement and in total, the time of the parser alone and of everything
    else in _parse_sql (cleaning, normalisation, analysis, records), measured
    in the same calls, and their ratio;
  - the import time of sqlparse_main in a fresh process;
  - the throughput of _re_hint on 10 MB of text full of comments and hints;
  - the throughput of find on a tree of 100,000 nodes;
  - peak memory over the corpus, and memory across repeated runs;
  - statements per second of two peer column-lineage tools on the same corpus.
"""
from __future__ import annotations

import argparse
import contextlib
import gc
import io
import os
import platform
import resource
import statistics
import subprocess
import sys
import time
from pathlib import Path

import sqlparse_main
from keldra_var import Node
from sqlparse_main import KeldraParseMain

CORPUS = Path(__file__).resolve().parent / "corpus"


def load_corpus():
    return [(p.stem, p.read_text()) for p in sorted(CORPUS.glob("*.sql"))]


class TimedParse:
    """Stands in for the module's `parse`, adding up the time spent inside it."""

    def __init__(self, parse):
        self.parse = parse
        self.spent = 0.0

    def __call__(self, text):
        start = time.perf_counter()
        try:
            return self.parse(text)
        finally:
            self.spent += time.perf_counter() - start


def run_statement(kpm, sql):
    """(seconds in total, seconds in parse, ok) of one _parse_sql call."""
    timed = sqlparse_main.parse
    timed.spent = 0.0
    ok = True
    start = time.perf_counter()
    try:
        kpm._parse_sql(sql)
    except Exception:
        ok = False
    total = time.perf_counter() - start
    return total, timed.spent, ok


def bench_corpus(corpus, repeat):
    real_parse = sqlparse_main.parse
    sqlparse_main.parse = TimedParse(real_parse)
    kpm = KeldraParseMain()
    # What the library prints for a statement it cannot attribute is not ours
    # to show; it goes to a sink for the whole run, outside the timed calls.
    with contextlib.redirect_stdout(io.StringIO()):
        return _bench_rows(kpm, corpus, repeat, real_parse)


def _bench_rows(kpm, corpus, repeat, real_parse):
    rows = []
    try:
        for name, sql in corpus:
            runs = [run_statement(kpm, sql) for _ in range(repeat)]
            parse_t = statistics.median(r[1] for r in runs)
            other_t = statistics.median(r[0] - r[1] for r in runs)
            rows.append((name, parse_t, other_t, runs[0][2]))
    finally:
        sqlparse_main.parse = real_parse
    return rows


def import_time(times):
    code = "import time; t = time.perf_counter(); import sqlparse_main; print(time.perf_counter() - t)"
    out = [float(subprocess.check_output([sys.executable, "-c", code], text=True)) for _ in range(times)]
    return statistics.median(out)


def re_hint_throughput():
    unit = ("SELECT /*+ INDEX(o idx_orders) LEADING(o c) */ o.id, -- the order\n"
            "       c.name /* the customer's name, see crm docs */ AS who\n"
            "FROM sales.orders o /* nested /* comment */ still */ JOIN crm.c c ON c.id = o.cid\n"
            "\n   \n-- trailing line comment\n")
    text = unit * (10_000_000 // len(unit))
    best = min(_timed(KeldraParseMain._re_hint, text) for _ in range(15))
    return len(text.encode()) / 1e6 / best, len(text.encode())


def _timed(fn, *args):
    start = time.perf_counter()
    fn(*args)
    return time.perf_counter() - start


def find_throughput():
    # A wide tree of FROM entries with aliases and nested subqueries: 100,000 nodes.
    def query(depth):
        q = {"select": [{"value": f"c{i}", "name": f"n{i}"} for i in range(3)],
             "from": [{"value": "db.t", "name": "a"}, {"join": {"value": "db.u", "name": "b"}}]}
        if depth:
            q["from"].append({"value": query(depth - 1), "name": f"s{depth}"})
        return q

    items = []
    nodes = 0
    while nodes < 100_000:
        q = query(3)
        items.append(q)
        nodes += _count(q)
    tree = Node(json_round(items))
    counted = _count(tree)
    results = {}
    for path in ("$..from..name", "$..value", "$..select..value"):
        best = min(_timed(tree.find, path) for _ in range(15))
        results[path] = (len(tree.find(path)), best)
    return counted, results


def json_round(items):
    import json
    return json.loads(json.dumps({"union_all": items}), object_pairs_hook=Node)


def _count(o):
    if isinstance(o, dict):
        return 1 + sum(_count(v) for v in o.values())
    if isinstance(o, list):
        return 1 + sum(_count(v) for v in o)
    return 1


def rss_mb():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") / 2**20


def memory(corpus, runs):
    kpm = KeldraParseMain()
    after = []
    for _ in range(runs):
        for _, sql in corpus:
            with contextlib.redirect_stdout(io.StringIO()):
                try:
                    kpm._parse_sql(sql)
                except Exception:
                    pass
        gc.collect()
        after.append(rss_mb())
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
    return after, peak


# --- peers --------------------------------------------------------------------

def peer_sqlglot():
    import sqlglot
    from sqlglot.lineage import lineage

    def run(sql):
        expression = sqlglot.parse_one(sql)
        nodes = lineage(None, expression, None)
        return [n.name for node in nodes.values() for n in node.walk() if not n.downstream]

    return "sqlglot " + sqlglot.__version__ + " (lineage)", run


def peer_sqllineage():
    import warnings

    import sqllineage
    from sqllineage.runner import LineageRunner

    def run(sql):
        # Column lineage needs a target table: the statement becomes the
        # source of an INSERT.
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            return LineageRunner("INSERT INTO bench.target\n" + sql).get_column_lineage()

    return "sqllineage " + sqllineage.VERSION, run


def ours():
    kpm = KeldraParseMain()

    def run(sql):
        with contextlib.redirect_stdout(io.StringIO()):
            return kpm._parse_sql(sql)

    return "keldra-lineage (this project)", run


def bench_tool(factory, corpus):
    try:
        name, run = factory()
    except ImportError as e:
        return f"{factory.__name__}: not installed ({e})", None, None
    ok = 0
    start = time.perf_counter()
    for _, sql in corpus:
        try:
            run(sql)
            ok += 1
        except Exception:
            pass
    spent = time.perf_counter() - start
    return name, len(corpus) / spent, ok


# --- report -------------------------------------------------------------------

def machine():
    cpu = "unknown cpu"
    with contextlib.suppress(OSError):
        for line in open("/proc/cpuinfo"):
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    mem = os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES") / 2**30
    return (f"{cpu}, {os.cpu_count()} cores, {mem:.0f} GiB; {platform.system()} {platform.release()}; "
            f"Python {platform.python_version()}")


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--repeat", type=int, default=5, help="runs of each statement (median taken)")
    ap.add_argument("--quick", action="store_true", help="fewer repetitions")
    args = ap.parse_args()
    repeat = 2 if args.quick else args.repeat
    corpus = load_corpus()
    print(f"machine: {machine()}")
    print(f"corpus: {len(corpus)} statements in {CORPUS}")
    print()

    # Warm up: imports, caches, first-call costs.
    bench_corpus(corpus[:5], 1)
    rows = bench_corpus(corpus, repeat)
    print(f"{'statement':34} {'parse ms':>9} {'other us':>9} {'other/parse':>12}")
    for name, p, o, ok in rows:
        flag = "" if ok else "  (raises: not attributable)"
        print(f"{name:34} {p * 1e3:9.2f} {o * 1e6:9.1f} {o / p * 100:11.2f}%{flag}")
    total_p = sum(r[1] for r in rows)
    total_o = sum(r[2] for r in rows)
    print(f"{'total':34} {total_p * 1e3:9.1f} {total_o * 1e6:9.0f} {total_o / total_p * 100:11.2f}%"
          f"   (target: at most 2%)")
    print()

    print(f"import sqlparse_main in a fresh process: {import_time(5 if not args.quick else 2) * 1e3:.0f} ms")
    mbps, size = re_hint_throughput()
    print(f"_re_hint on {size / 1e6:.1f} MB of comments and hints: {mbps:.0f} MB/s (target: at least 300)")
    nodes, found = find_throughput()
    for path, (n, t) in found.items():
        print(f"find {path!r} on {nodes:,} nodes: {n:,} matches in {t * 1e3:.1f} ms "
              f"= {n / t / 1e6:.2f} M matches/s, {nodes / t / 1e6:.1f} M nodes/s")
    after, peak = memory(corpus, 3 if args.quick else 10)
    print(f"memory: peak RSS {peak:.0f} MB; RSS after each run over the corpus: "
          + ", ".join(f"{m:.1f}" for m in after) + " MB")
    print()

    print(f"{'tool':40} {'statements/s':>12} {'handled':>10}")
    for factory in (ours, peer_sqlglot, peer_sqllineage):
        name, rate, ok = bench_tool(factory, corpus)
        if rate is None:
            print(name)
        else:
            print(f"{name:40} {rate:12.1f} {ok:>5}/{len(corpus)}")


if __name__ == "__main__":
    main()
