"""Benchmark of the lineage engine against the original analysis and three peer tools.

Run through bench/run, which prepares bench/.venv.  Prints, as Markdown:

1. One table over the bench corpus (bench/corpus/*.sql) and, when present,
   ../shared/corpus/tpch and ../shared/corpus/tpcds (read there, with their
   schema.json for the tools that take one): for each tool, statements per
   second, statements with at least one source, output columns attributed.
   Every tool runs in a fresh worker process of its own (`--worker TOOL`).
2. The engine's throughput figures, measured in this process on the bench
   corpus: lineage() against _parse_sql, against openlineage-sql's parse(),
   and against sqloxide.parse_sql alone (the engine's own time); memory over
   100,000 lineage() calls.
3. The engine's coverage of TPC-H and TPC-DS, with and without the schema.
4. Every record of _parse_sql on the bench corpus that the engine's IDENTITY
   sources do not include.

Definitions, the same for every tool (see bench/RESULTS.md):
- a *source* of an output column is a (table, column) pair the tool reports
  for it whose table is known (not None, "unknown", a placeholder);
- a statement *with at least one source* has an output column with a source
  (a star's (table, "*") counts);
- an output column is *attributed* when it has a source whose column is not
  "*"; output columns are counted once per statement by name, compared
  case-insensitively, and an output named "*" is never attributed.
A tool that fails on a statement, or runs past the time-box, gives it no
sources.
"""
from __future__ import annotations

import argparse
import contextlib
import gc
import json
import os
import platform
import signal
import statistics
import subprocess
import sys
import tempfile
import time
import tracemalloc
from importlib import metadata
from pathlib import Path

HERE = Path(__file__).resolve().parent
REPO = HERE.parent


def _shared_corpus():
    """../shared/corpus beside the repository; from a linked git worktree, beside its main one."""
    here = REPO.parent / "shared" / "corpus"
    if here.is_dir():
        return here
    with contextlib.suppress(OSError, subprocess.CalledProcessError):
        common = subprocess.run(["git", "-C", str(REPO), "rev-parse", "--path-format=absolute",
                                 "--git-common-dir"], capture_output=True, text=True, check=True)
        return Path(common.stdout.strip()).parent.parent / "shared" / "corpus"
    return here


SHARED = _shared_corpus()
SQLGLOTC_PATH = HERE / ".venv" / "sqlglotc"  # sqlglot with its compiled build, installed by bench/run


# --- corpora ---------------------------------------------------------------------------------------

class CorpusMissing(SystemExit):
    pass


def load_corpora(shared=True):
    """[(name, [(statement name, sql)], schema or None)]: the bench corpus, then TPC-H and TPC-DS
    with their schema.json.  Without `shared`, the bench corpus only; with it, a missing corpus
    stops the benchmark (raises CorpusMissing, a SystemExit with the message)."""
    corpora = [("bench", _statements(HERE / "corpus"), None)]
    if shared:
        for name in ("tpch", "tpcds"):
            folder = SHARED / name
            schema_file = folder / "schema.json"
            if not schema_file.is_file() or not _statements(folder):
                raise CorpusMissing(
                    f"bench: the {name} corpus is missing: expected its queries and schema.json in {folder} "
                    "(../shared/corpus beside the repository); run with --no-shared for the bench corpus only")
            corpora.append((name, _statements(folder), json.loads(schema_file.read_text())))
    return corpora


def _statements(folder):
    return [(p.stem, p.read_text()) for p in sorted(folder.glob("*.sql"))]


# --- tools -----------------------------------------------------------------------------------------
# Each adapter returns (label, run) where run(sql, schema) gives {output name: {(table, column)}}
# with names lower-cased and table None where the tool could not attribute the column.

def _low(name):
    return None if name is None else str(name).lower()


def tool_engine(with_schema):
    import keldra_lineage

    catalogs = {}

    def run(sql, schema):
        catalog = None
        if with_schema and schema is not None:
            # Built once per corpus, as a caller would.
            catalog = catalogs.get(id(schema)) or catalogs.setdefault(
                id(schema), keldra_lineage.Catalog.from_mapping(schema))
        columns = {}
        for st in keldra_lineage.lineage(sql, schema=catalog):
            if st.error:
                raise ValueError(st.error)
            for col in st.columns:
                found = columns.setdefault(col.name.lower(), set())
                found.update((_low(s.table), s.column.lower()) for s in col.sources)
        return columns

    label = "keldra_lineage.lineage(), " + ("with schema" if with_schema else "no schema")
    return label, run


def tool_exact():
    from sqlparse_main import KeldraParseMain

    kpm = KeldraParseMain()

    def run(sql, schema):
        columns = {}
        for r in kpm._parse_sql(sql):
            table = ".".join(p for p in (r["database"], r["table"]) if p) or None
            columns.setdefault(str(r["tgt"]).lower(), set()).add((_low(table), str(r["src"]).lower()))
        return columns

    return "_parse_sql (`--exact`)", run


def tool_sqlglot():
    import sqlglot
    import sqlglot.parser
    from sqlglot import exp
    from sqlglot.lineage import lineage

    compiled = sqlglot.parser.__file__.endswith(".so")

    def run(sql, schema):
        # All output columns from one parsed expression.
        nodes = lineage(None, sqlglot.parse_one(sql), schema)
        columns = {}
        for name, node in nodes.items():
            found = columns.setdefault(name.lower(), set())
            for leaf in node.walk():
                if leaf.downstream:
                    continue
                column = leaf.name.rsplit(".", 1)[-1].lower()
                if isinstance(leaf.expression, exp.Table):
                    t = leaf.expression
                    found.add((".".join(p for p in (t.catalog, t.db, t.name) if p).lower(), column))
                elif isinstance(leaf.expression, exp.Placeholder):
                    found.add((None, column))
                # Anything else (a literal, count(*)) reads no table column.
        return columns

    return f"sqlglot {sqlglot.__version__} lineage ({'compiled, sqlglotc' if compiled else 'pure Python'})", run


def tool_openlineage():
    import openlineage_sql

    def run(sql, schema):
        meta = openlineage_sql.parse([sql])
        if meta.errors:
            raise ValueError(str(meta.errors[0]))
        columns = {}
        for cl in meta.column_lineage:
            found = columns.setdefault(cl.descendant.name.lower(), set())
            for src in cl.lineage:
                found.add((_low(src.origin.qualified_name) if src.origin else None, src.name.lower()))
        return columns

    return f"openlineage-sql {metadata.version('openlineage-sql')} parse()", run


def tool_sqllineage():
    import warnings

    from sqllineage.core.metadata.dummy import DummyMetaDataProvider
    from sqllineage.core.models import Table
    from sqllineage.runner import LineageRunner

    providers = {}

    def run(sql, schema):
        if schema is not None and id(schema) not in providers:
            providers[id(schema)] = DummyMetaDataProvider(
                {f"<default>.{table}": list(cols) for table, cols in schema.items()})
        provider = providers.get(id(schema)) or DummyMetaDataProvider()
        # Column lineage needs a target: the statement becomes the source of an INSERT.
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            paths = LineageRunner("INSERT INTO bench.target\n" + sql.strip().rstrip(";"),
                                  metadata_provider=provider).get_column_lineage()
        columns = {}
        for path in paths:
            src, tgt = path[0], path[-1]
            table = str(src.parent).removeprefix("<default>.") if isinstance(src.parent, Table) else None
            columns.setdefault(tgt.raw_name.lower(), set()).add((_low(table), src.raw_name.lower()))
        return columns

    return f"sqllineage {metadata.version('sqllineage')} (ansi)", run


TOOLS = {
    "engine": lambda: tool_engine(False),
    "engine-schema": lambda: tool_engine(True),
    "exact": tool_exact,
    "sqlglot": tool_sqlglot,
    "sqlglotc": tool_sqlglot,  # the same adapter, run with the compiled build on the path
    "openlineage": tool_openlineage,
    "sqllineage": tool_sqllineage,
}


# --- the worker: one tool over every corpus, in its own process --------------------------------------

class TimeBox(BaseException):
    """Raised by the alarm in a statement that ran past the time-box (not an Exception, so peers
    cannot swallow it)."""


def _alarm(signum, frame):
    raise TimeBox


@contextlib.contextmanager
def quiet():
    """Send whatever the tools print (at file-descriptor level) to /dev/null."""
    sys.stdout.flush()
    sys.stderr.flush()
    saved = os.dup(1), os.dup(2)
    null = os.open(os.devnull, os.O_WRONLY)
    try:
        os.dup2(null, 1)
        os.dup2(null, 2)
        yield
    finally:
        sys.stdout.flush()
        sys.stderr.flush()
        os.dup2(saved[0], 1)
        os.dup2(saved[1], 2)
        for fd in (*saved, null):
            os.close(fd)


def one_pass(run, statements, schema, timeout):
    """(seconds in total, [result per statement]) of one pass of a tool over a corpus."""
    results, total = [], 0.0
    for _, sql in statements:
        outcome = {"ok": False, "timeout": False, "columns": {}}
        signal.setitimer(signal.ITIMER_REAL, timeout)
        start = time.perf_counter()
        try:
            columns = run(sql, schema)
            outcome["ok"] = True
            outcome["columns"] = {k: sorted(v, key=_pair_key) for k, v in columns.items()}
        except TimeBox:
            outcome["timeout"] = True
        except Exception as e:  # a peer's failure on a statement counts as no sources
            outcome["error"] = f"{type(e).__name__}: {str(e)[:200]}"
        finally:
            spent = time.perf_counter() - start
            signal.setitimer(signal.ITIMER_REAL, 0)
        total += spent
        results.append(outcome)
    return total, results


def _pair_key(pair):
    return tuple("" if v is None else v for v in pair)


def worker(tool, out, timeout, min_time, shared):
    signal.signal(signal.SIGALRM, _alarm)
    label, run = TOOLS[tool]()
    report = {"label": label, "corpora": {}}
    with quiet():
        for name, statements, schema in load_corpora(shared):
            if tool == "engine-schema" and schema is None:
                continue
            one_pass(run, statements[:1], schema, timeout)  # warm-up: imports, first-call costs
            spent, results = one_pass(run, statements, schema, timeout)
            times = [spent]
            # Fast tools: more passes, for a stable time (results of the first pass are kept).
            while sum(times) < min_time and len(times) < 30 and not any(r["timeout"] for r in results):
                times.append(one_pass(run, statements, schema, timeout)[0])
            report["corpora"][name] = {"times": times, "results": results}
    Path(out).write_text(json.dumps(report))


def run_worker(tool, args, path=None):
    env = dict(os.environ)
    if path:
        env["PYTHONPATH"] = str(path) + os.pathsep + env.get("PYTHONPATH", "")
    if tool == "sqlglotc":
        if not SQLGLOTC_PATH.is_dir():
            return None, "not installed (bench/run installs it when a wheel exists)"
        env["PYTHONPATH"] = str(SQLGLOTC_PATH) + os.pathsep + env.get("PYTHONPATH", "")
    with tempfile.NamedTemporaryFile(suffix=".json", delete=False) as f:
        out = f.name
    try:
        cmd = [sys.executable, str(Path(__file__)), "--worker", tool, "--out", out,
               "--timeout", str(args.timeout), "--min-time", str(args.min_time)]
        if args.no_shared:
            cmd.append("--no-shared")
        proc = subprocess.run(cmd, env=env, capture_output=True, text=True)
        if proc.returncode != 0:
            return None, f"worker failed: {proc.stderr.strip().splitlines()[-1:]}"
        return json.loads(Path(out).read_text()), None
    finally:
        os.unlink(out)


# --- counting ----------------------------------------------------------------------------------------

def counts(results):
    """(statements with a source, output columns attributed, output columns reported, failed, timed out)."""
    with_source = attributed = reported = failed = timed_out = 0
    for r in results:
        failed += not r["ok"] and not r["timeout"]
        timed_out += r["timeout"]
        any_source = False
        for name, sources in r["columns"].items():
            known = [(t, c) for t, c in sources if t is not None]
            any_source = any_source or bool(known)
            if name != "*":
                reported += 1
                attributed += any(c != "*" for _, c in known)
        with_source += any_source
    return with_source, attributed, reported, failed, timed_out


def table_report(reports, corpora):
    lines = ["| corpus | tool | statements/s | statements with a source | output columns attributed "
             "(of those it reports) | failed / timed out |",
             "|---|---|---:|---:|---:|---:|"]
    for name, statements, _ in corpora:
        n = len(statements)
        for tool, (report, problem) in reports.items():
            if report is None:
                if name == "bench":
                    lines.append(f"| {name} | {tool}: {problem} | | | | |")
                continue
            data = report["corpora"].get(name)
            if data is None:
                continue
            rate = n / statistics.median(data["times"])
            with_source, attributed, reported, failed, timed_out = counts(data["results"])
            lines.append(f"| {name} ({n}) | {report['label']} | {rate:,.0f} | {with_source} | "
                         f"{attributed} ({reported}) | {failed} / {timed_out} |")
    return "\n".join(lines)


# --- the engine's throughput, memory, coverage, and the _parse_sql check -------------------------------

def _t(fn, *a, **k):
    start = time.perf_counter()
    try:
        fn(*a, **k)
    except Exception:
        pass
    return time.perf_counter() - start


def throughput(statements, rounds):
    """{call: (best, median)}: over the corpus, the sum of each statement's best and median time.

    The fast calls alternate statement by statement (each call three times in a row, the fastest of
    the three kept, so that each runs on caches it warmed itself), over `rounds` rounds, so that the
    drifts of this shared machine hit them alike.  _parse_sql, which takes milliseconds and sweeps
    the caches, runs in passes of its own."""
    import keldra_lineage
    import openlineage_sql
    import sqloxide
    from sqlparse_main import KeldraParseMain

    kpm = KeldraParseMain()
    fast = {
        "lineage()": lambda sql: keldra_lineage.lineage(sql),
        "openlineage_sql.parse": lambda sql: openlineage_sql.parse([sql]),
        "sqloxide.parse_sql": lambda sql: sqloxide.parse_sql(sql, dialect="generic"),
    }
    times = {k: [[] for _ in statements] for k in (*fast, "_parse_sql")}
    with quiet():
        for _ in range(rounds):
            for i, (_, sql) in enumerate(statements):
                for k, fn in fast.items():
                    times[k][i].append(min(_t(fn, sql) for _ in range(3)))
        for _ in range(rounds):
            for i, (_, sql) in enumerate(statements):
                times["_parse_sql"][i].append(_t(kpm._parse_sql, sql))
    return {k: (sum(map(min, v)), sum(map(statistics.median, v))) for k, v in times.items()}


def rss_mb():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") / 2**20


def memory(corpora, calls):
    """RSS and traced Python memory before and after `calls` lineage() calls over the bench corpus
    and TPC-H (with its schema), after one warm-up pass."""
    import keldra_lineage

    work = []
    for name, statements, schema in corpora:
        if name == "tpcds":  # long statements: fewer calls in the time
            continue
        catalog = keldra_lineage.Catalog.from_mapping(schema) if schema else None
        work += [(sql, catalog) for _, sql in statements]
    for sql, catalog in work:
        keldra_lineage.lineage(sql, schema=catalog)
    gc.collect()
    tracemalloc.start()
    rss0, (traced0, _) = rss_mb(), tracemalloc.get_traced_memory()
    marks = []
    for i in range(calls):
        sql, catalog = work[i % len(work)]
        keldra_lineage.lineage(sql, schema=catalog)
        if (i + 1) % max(1, calls // 4) == 0:
            gc.collect()
            marks.append((i + 1, rss_mb(), tracemalloc.get_traced_memory()[0]))
    tracemalloc.stop()
    return rss0, traced0, marks


def coverage(corpora):
    """Per TPC corpus: statements parsed, columns, columns with a known-table source with schema,
    and without schema the unattributed columns."""
    import keldra_lineage

    rows = []
    for name, statements, schema in corpora:
        if schema is None:
            continue
        catalog = keldra_lineage.Catalog.from_mapping(schema)
        parsed = columns = with_source = all_known = 0
        no_schema_none = no_schema_empty = 0
        still_none = []
        for qname, sql in statements:
            with_s = keldra_lineage.lineage(sql, schema=catalog)
            without = keldra_lineage.lineage(sql)
            parsed += all(st.error is None for st in with_s)
            cols_with = [c for st in with_s for c in st.columns]
            cols_without = [c for st in without for c in st.columns]
            for c in cols_with:
                columns += 1
                known = [s for s in c.sources if s.table is not None]
                with_source += bool(known)
                all_known += bool(c.sources) and len(known) == len(c.sources)
                if len(known) < len(c.sources):
                    still_none.append(f"{qname}.{c.name}")
            # Without the schema, by position (the same statements give the same output columns).
            for cw, cn in zip(cols_with, cols_without):
                if any(s.table is None for s in cn.sources):
                    no_schema_none += 1
                elif not cn.sources and cw.sources:
                    # It reads a column (the schema run finds one) but nothing is reported.
                    no_schema_empty += 1
        rows.append((name, len(statements), parsed, columns, with_source, all_known,
                     no_schema_none, no_schema_empty, still_none))
    return rows


def exact_check(statements):
    """Records of _parse_sql that the engine's IDENTITY sources do not include:
    [(statement, record, what the engine gave for that output column)], and the statements checked."""
    import keldra_lineage
    from sqlparse_main import KeldraParseMain

    kpm = KeldraParseMain()
    exceptions, checked = [], 0
    for name, sql in statements:
        try:
            with quiet():
                records = kpm._parse_sql(sql)
        except Exception:
            continue
        checked += 1
        by_name = {}
        for st in keldra_lineage.lineage(sql):
            for col in st.columns:
                by_name.setdefault(col.name.lower(), []).extend(col.sources)
        for r in records:
            table = ".".join(p for p in (r["database"], r["table"]) if p).lower()
            want = (table, str(r["src"]).lower())
            got = by_name.get(str(r["tgt"]).lower())
            identity = {((s.table or "").lower(), s.column.lower()) for s in got or ()
                        if s.type == "DIRECT" and s.subtype == "IDENTITY"}
            if want not in identity:
                gave = ("no output column of that name" if got is None else
                        ", ".join(f"{s.table}.{s.column} {s.subtype}" for s in got) or "no sources")
                elsewhere = [out for out, sources in by_name.items()
                             if any(((s.table or "").lower(), s.column.lower()) == want
                                    and s.subtype == "IDENTITY" for s in sources)]
                if elsewhere:
                    gave += f"; an IDENTITY source of output {', '.join(map(repr, elsewhere))}"
                exceptions.append((name, f"{table}.{r['src']} -> {r['tgt']}", gave))
    return exceptions, checked


def loop(seconds, corpus="bench", with_schema=False):
    """lineage() over one corpus (with its schema as a Catalog, or none), again and again, for
    `seconds`."""
    import keldra_lineage

    [(_, statements, schema)] = [c for c in load_corpora(corpus != "bench") if c[0] == corpus]
    catalog = keldra_lineage.Catalog.from_mapping(schema) if with_schema and schema else None
    texts = [sql for _, sql in statements]
    calls, end = 0, time.perf_counter() + seconds
    while time.perf_counter() < end:
        for sql in texts:
            keldra_lineage.lineage(sql, schema=catalog)
        calls += len(texts)
    print(f"{calls:,} lineage() calls in {seconds:g} s with {keldra_lineage._engine.__file__}", file=sys.stderr)


def ratios(rounds, shared):
    """{corpus label: {"n", "lineage": (best, median), "openlineage": (best, median)}}, seconds per
    corpus: lineage() and openlineage_sql.parse alternate statement by statement, each three times
    in a row, over `rounds` rounds; a round's time of a statement is the mean of its three calls
    (not the fastest, which would leave out the garbage collections the calls cause), best sums
    each statement's fastest round, median its median round.  Every corpus without its schema,
    and the TPC ones with it too."""
    import keldra_lineage
    import openlineage_sql

    out = {}
    with quiet():
        for name, statements, schema in load_corpora(shared):
            variants = [(name, None)]
            if schema is not None:
                variants.append((name + " + schema", keldra_lineage.Catalog.from_mapping(schema)))
            for label, catalog in variants:
                calls = {"lineage": lambda sql, c=catalog: keldra_lineage.lineage(sql, schema=c),
                         "openlineage": lambda sql: openlineage_sql.parse([sql])}
                times = {k: [[] for _ in statements] for k in calls}
                for _, sql in statements:  # one pass unmeasured: caches and interned names warm
                    for fn in calls.values():
                        fn(sql)
                for _ in range(rounds):
                    for i, (_, sql) in enumerate(statements):
                        for k, fn in calls.items():
                            times[k][i].append(sum(_t(fn, sql) for _ in range(3)) / 3)
                out[label] = {"n": len(statements),
                              **{k: (sum(map(min, v)), sum(map(statistics.median, v))) for k, v in times.items()}}
    return out


def run_ratios(args, path=None, rounds=None):
    """ratios() in a worker process, with the engine found first on `path` when given."""
    env = dict(os.environ)
    if path:
        env["PYTHONPATH"] = str(path) + os.pathsep + env.get("PYTHONPATH", "")
    with tempfile.NamedTemporaryFile(suffix=".json", delete=False) as f:
        out = f.name
    try:
        cmd = [sys.executable, str(Path(__file__)), "--ratios", "--out", out, "--rounds", str(rounds or args.rounds)]
        if args.no_shared:
            cmd.append("--no-shared")
        proc = subprocess.run(cmd, env=env, capture_output=True, text=True)
        if proc.returncode != 0:
            raise SystemExit(f"bench: the ratio worker failed: {proc.stderr.strip()}")
        return json.loads(Path(out).read_text())
    finally:
        os.unlink(out)


def interleaved_ratios(args):
    """{"now": {corpus label: figures}, "before": ... when a baseline is given}: one round in a
    worker process per build, the builds taking turns `args.rounds` times, so that a change in the
    machine's load falls on both; each figure is the median over the rounds (the ratio too is the
    median of each round's own ratio, not a ratio of medians)."""
    builds = {"now": None} if not args.baseline else {"before": args.baseline, "now": None}
    runs = {name: [] for name in builds}
    for _ in range(args.rounds):
        for name, path in builds.items():
            runs[name].append(run_ratios(args, path, rounds=1))
    out = {}
    for name, rounds in runs.items():
        out[name] = {}
        for label in rounds[0]:
            lin = [r[label]["lineage"][1] for r in rounds]
            ol = [r[label]["openlineage"][1] for r in rounds]
            out[name][label] = {"n": rounds[0][label]["n"], "lineage": statistics.median(lin),
                                "openlineage": statistics.median(ol),
                                "ratio": statistics.median(a / b for a, b in zip(lin, ol))}
    return out


def ratio_report(runs, before_name=None):
    """Markdown: per corpus, lineage() and openlineage-sql in us a statement (median rounds) and
    their ratio, for the baseline build and this one (interleaved_ratios)."""
    builds = ([(f"before ({before_name})", runs["before"])] if "before" in runs else []) + [("now", runs["now"])]
    head, rule = "| corpus | statements |", "|---|---:|"
    for name, _ in builds:
        head += f" {name}: lineage(), us | openlineage-sql, us | lineage() ÷ openlineage-sql |"
        rule += "---:|---:|---:|"
    lines = [head, rule]
    for label, now in runs["now"].items():
        n = now["n"]
        row = f"| {label} | {n} |"
        for _, data in builds:
            d = data[label]
            row += f" {d['lineage'] / n * 1e6:.1f} | {d['openlineage'] / n * 1e6:.1f} | **{d['ratio']:.2f}x** |"
        lines.append(row)
    return "\n".join(lines)


# --- report ------------------------------------------------------------------------------------------

def machine():
    cpu = "unknown cpu"
    with contextlib.suppress(OSError):
        for line in open("/proc/cpuinfo"):
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    mem = os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES") / 2**30
    load = ", ".join(f"{x:.1f}" for x in os.getloadavg())
    return (f"{cpu}, {os.cpu_count()} cores, {mem:.0f} GiB; {platform.system()} {platform.release()}; "
            f"Python {platform.python_version()}; load average {load}")


def versions():
    out = []
    for dist in ("keldra-lineage", "sqloxide", "moz-sql-parser", "sqlglot", "openlineage-sql",
                 "sqllineage", "sqlfluff"):
        with contextlib.suppress(metadata.PackageNotFoundError):
            out.append(f"{dist} {metadata.version(dist)}")
    compiled = [p.name for p in SQLGLOTC_PATH.glob("sqlglot*.dist-info")] if SQLGLOTC_PATH.is_dir() else []
    if compiled:
        out.append("compiled build: " + ", ".join(n.removesuffix(".dist-info").replace("-", " ")
                                                   for n in sorted(compiled)))
    return "; ".join(out)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--timeout", type=float, default=10.0, help="time-box of one tool on one statement (s)")
    ap.add_argument("--min-time", type=float, default=1.0,
                    help="fast tools repeat a corpus until this many seconds (median pass taken)")
    ap.add_argument("--rounds", type=int, default=10, help="rounds of the throughput comparison")
    ap.add_argument("--calls", type=int, default=100_000, help="lineage() calls of the memory check")
    ap.add_argument("--tools", default=",".join(TOOLS), help="comma-separated subset of " + ",".join(TOOLS))
    ap.add_argument("--no-shared", action="store_true", help="the bench corpus only")
    ap.add_argument("--quick", action="store_true", help="short run: 2 rounds, 10,000 calls, 0.2 s passes")
    ap.add_argument("--loop", type=float, metavar="SECONDS",
                    help="only call lineage() over one corpus for this long (for bench/profile)")
    ap.add_argument("--corpus", default="bench", choices=("bench", "tpch", "tpcds"),
                    help="the corpus of --loop")
    ap.add_argument("--schema", action="store_true", help="--loop with the corpus's schema")
    ap.add_argument("--baseline", type=Path, metavar="PATH",
                    help="a folder holding another build of keldra_lineage, measured beside this one")
    ap.add_argument("--baseline-name", default="baseline", help="what the report calls it")
    ap.add_argument("--worker", help=argparse.SUPPRESS)
    ap.add_argument("--ratios", action="store_true", help=argparse.SUPPRESS)
    ap.add_argument("--out", help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.quick:
        args.rounds, args.calls, args.min_time = 3, 10_000, 0.2
    if args.worker:
        return worker(args.worker, args.out, args.timeout, args.min_time, not args.no_shared)
    if args.ratios:
        Path(args.out).write_text(json.dumps(ratios(args.rounds, not args.no_shared)))
        return None
    if args.loop:
        return loop(args.loop, args.corpus, args.schema)

    corpora = load_corpora(not args.no_shared)
    bench_statements = corpora[0][1]
    print(f"machine: {machine()}\n")
    print(f"versions: {versions()}\n")
    print("corpora: " + ", ".join(f"{name} {len(st)} statements{' + schema.json' if sc else ''}"
                                  for name, st, sc in corpora) + "\n")

    print(f"## Tools (time-box {args.timeout:g} s per statement)\n")
    reports = {}
    for tool in args.tools.split(","):
        started = time.perf_counter()
        reports[tool] = run_worker(tool, args)
        print(f"<!-- {tool}: {time.perf_counter() - started:.0f} s -->", file=sys.stderr, flush=True)
        if args.baseline and tool in ("engine", "engine-schema"):
            report, problem = run_worker(tool, args, args.baseline)
            if report:
                report["label"] += f" [before: {args.baseline_name}]"
            reports[tool + "@baseline"] = report, problem
    print(table_report(reports, corpora) + "\n")

    print(f"## lineage() ÷ openlineage-sql per corpus (alternating statement by statement, each call "
          f"three times in a row; median of {args.rounds} rounds, the builds taking turns round by round)\n")
    print(ratio_report(interleaved_ratios(args), args.baseline_name) + "\n")

    print(f"## Throughput on the bench corpus ({len(bench_statements)} statements, "
          f"best and median of {args.rounds} rounds)\n")
    t = throughput(bench_statements, args.rounds)
    n = len(bench_statements)
    print("| call | corpus, best (ms) | a statement, best (us) | corpus, median (ms) |")
    print("|---|---:|---:|---:|")
    for k, (best, med) in t.items():
        print(f"| {k} | {best * 1e3:.2f} | {best / n * 1e6:.1f} | {med * 1e3:.2f} |")
    print()
    for i, how in enumerate(("best", "median")):
        lin, exact, ol, parse = (t[k][i] for k in ("lineage()", "_parse_sql", "openlineage_sql.parse",
                                                   "sqloxide.parse_sql"))
        print(f"- {how}: lineage() has **{exact / lin:.1f}x** the throughput of _parse_sql (target at "
              f"least 20x); takes **{lin / ol:.2f}x** the time of openlineage_sql.parse (target at most "
              f"2x); its own time (lineage() minus sqloxide.parse_sql) is {(lin - parse) / n * 1e6:.1f} us "
              f"a statement, **{(lin - parse) / parse * 100:.0f}%** of the parse (target at most 30%)")
    print()

    print(f"## Memory over {args.calls:,} lineage() calls (the bench corpus and TPC-H with its schema, in turn)\n")
    rss0, traced0, marks = memory(corpora, args.calls)
    print(f"- before: RSS {rss0:.1f} MB, traced Python memory {traced0 / 1024:.0f} KiB")
    for calls, rss, traced in marks:
        print(f"- after {calls:,} calls: RSS {rss:.1f} MB, traced {traced / 1024:.0f} KiB")
    print()

    rows = coverage(corpora)
    if rows:
        print("## Engine coverage of the TPC queries\n")
        print("| corpus | queries | parsed | output columns | with schema: columns with a source "
              "(all sources attributed) | no schema: columns with a source of table None | "
              "no schema: columns with no source though they read one |")
        print("|---|---:|---:|---:|---:|---:|---:|")
        for name, q, parsed, cols, src, allk, none_, empty, _ in rows:
            print(f"| {name} | {q} | {parsed} | {cols} | {src} ({allk}) | {none_} | {empty} |")
        still = [c for r in rows for c in r[8]]
        if still:
            print(f"\nWith the schema, columns still holding a source of table None: {', '.join(still)}")
        print()

    exceptions, checked = exact_check(bench_statements)
    print(f"## _parse_sql records missing from the engine's IDENTITY sources "
          f"({checked} bench statements where _parse_sql succeeds)\n")
    if not exceptions:
        print("None.")
    else:
        print("| statement | _parse_sql record (table.column -> output) | the engine's sources of that output |")
        print("|---|---|---|")
        for name, record, gave in exceptions:
            print(f"| {name} | {record} | {gave} |")


if __name__ == "__main__":
    main()
