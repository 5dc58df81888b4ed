"""Complexity sweep: for each hostile shape, input size -> time and peak memory.

Every shape of tests/hostile_shapes.py whose cost once grew faster than its
input (or crashed the process) is built at a few sizes, each doubling the last,
and each point runs in a fresh interpreter of its own, so that its peak memory
is its own: the child reports the time of the call and how far its resident
set grew above what it held before the call (the input already built).  The
growth of each shape is the slope of log(time) and log(memory) over log(input
bytes), fitted by least squares over the points: 1 is linear, 2 quadratic.

    .venv/bin/python bench/complexity.py            the sweep, as Markdown
    .venv/bin/python bench/complexity.py --write    ... also into bench/RESULTS.md
    .venv/bin/python bench/complexity.py --only ambiguous_columns

A point that takes longer than --timeout seconds (default 60) is cut and shown as
such; the sweep takes about three minutes on a quiet machine.
"""
from __future__ import annotations

import argparse
import json
import math
import os
import platform
import re
import subprocess
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests"))

import hostile_shapes as shapes  # noqa: E402


def _chained_creates(n: int) -> str:
    lines = ["CREATE TABLE t0 AS SELECT a, b FROM src;"]
    lines += [f"CREATE TABLE t{i} AS SELECT a, b + 1 AS b FROM t{i - 1};" for i in range(1, n)]
    return "\n".join(lines) + "\n"


def _many_tables_ambiguous(n: int) -> str:
    return ("SELECT " + ", ".join(f"c{i}" for i in range(n)) + " FROM "
            + " CROSS JOIN ".join(f"t{i}" for i in range(n)))


# name -> (what it is, how it is run, builder of its input from a size, sizes)
# how: "sql" lineage(text, dialect); "yaml" Catalog.from_file; "files" the
# command line over a folder of that many files, one CREATE each.
SHAPES = {
    "self_join_stars": ("`SELECT *` over a self-join of the previous CTE, per level (output doubles; stops at MAX_COLUMNS)",
                        "sql", lambda n: (shapes.self_join_stars(n), "generic"), [10, 11, 12, 13, 14, 16, 22]),
    "chained_creates_one_text": ("`CREATE TABLE t{i} AS SELECT ... FROM t{i-1}` in one text",
                                 "sql", lambda n: (_chained_creates(n), "generic"), [1000, 2000, 4000, 8000, 16000]),
    "chained_creates_files": ("the same, one statement a file, through the command line",
                              "files", lambda n: n, [1000, 2000, 4000, 8000]),
    "yaml_alias_bomb": ("a YAML schema whose aliases multiply by 9 per level",
                        "yaml", shapes.yaml_alias_bomb, [3, 4, 5, 6, 9, 12]),
    "wide_statement": ("a select list of CASE expressions over a join (the 9.9 MB statement is 95,000 of them)",
                       "sql", lambda n: (shapes.wide_statement(n), "generic"), [2500, 5000, 10000, 20000, 40000]),
    "ambiguous_columns": ("unqualified columns over a join of two unknown tables: a warning each",
                          "sql", lambda n: (shapes.ambiguous_columns(n), "generic"), [8000, 16000, 32000, 64000]),
    "ambiguous_many_tables": ("n unqualified columns over n unknown tables: a warning each",
                              "sql", lambda n: (_many_tables_ambiguous(n), "generic"), [250, 500, 1000, 2000]),
    "plus_chain_arrays": ("`1+1+...` with `ARRAY[0,0]` every 5,000 terms (once a crash)",
                          "sql", lambda n: shapes.chain("array every 5,000 terms", n), [12500, 25000, 50000, 100000]),
    "at_time_zone_chain": ("`x AT TIME ZONE 'a'` repeated (once a crash)",
                           "sql", lambda n: shapes.chain("at time zone", n), [4000, 8000, 16000, 32000, 64000]),
    "flat_case": ("a flat CASE of n WHENs (10,001 was once refused as deep)",
                  "sql", lambda n: (shapes.flat_case(n), "generic"), [1250, 2500, 5000, 10001, 20000]),
    "in_list": ("`a IN (0, 1, ...)` of n items",
                "sql", lambda n: (shapes.in_list(n), "generic"), [12500, 25000, 50000, 100000]),
    "array_nest": ("`ARRAY[` nested n deep (past 47 the parser's time doubled per level; refused past MAX_NESTING)",
                   "sql", lambda n: shapes.nest("array constructors", n), [12, 24, 47, 100, 1000]),
}


def rss_kib() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") // 1024


def peak_kib() -> int:
    import resource
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss


def point(name: str, size: int) -> dict:
    """One point, in this process: {bytes, seconds, kib, outcome}."""
    _, how, build, _ = SHAPES[name]
    import keldra_lineage
    if how == "sql":
        sql, dialect = build(size)
        keldra_lineage.lineage("SELECT 1")  # the parser loaded
        before = rss_kib()
        start = time.perf_counter()
        statements = keldra_lineage.lineage(sql, dialect=dialect)
        seconds = time.perf_counter() - start
        errors = sorted({s.error.kind for s in statements if s.error is not None})
        columns = sum(len(s.columns) for s in statements)
        outcome = ", ".join(errors) or f"{columns:,} columns, {sum(len(s.warnings) for s in statements):,} warnings"
        return {"bytes": len(sql.encode()), "columns": columns, "seconds": seconds, "kib": peak_kib() - before,
                "outcome": outcome}
    with tempfile.TemporaryDirectory() as tmp:
        if how == "yaml":
            path = Path(tmp) / "schema.yaml"
            path.write_text(build(size))
            before = rss_kib()
            start = time.perf_counter()
            try:
                catalog = keldra_lineage.Catalog.from_file(path)
                outcome = f"{sum(len(catalog.columns(t)) for t in catalog.tables):,} columns"
            except ValueError as e:
                outcome = "refused" if "stand for more than" in str(e) else str(e)[len(str(path)) + 2:][:60]
            return {"bytes": path.stat().st_size, "seconds": time.perf_counter() - start,
                    "kib": peak_kib() - before, "outcome": outcome}
        # files: the command line, in a child of its own, over `size` files
        folder = Path(tmp) / "etl"
        folder.mkdir()
        total = 0
        for i in range(size):
            text = (f"CREATE TABLE t{i} AS SELECT a, b + 1 AS b FROM t{i - 1};\n" if i
                    else "CREATE TABLE t0 AS SELECT a, b FROM src;\n")
            (folder / f"f{i:05d}.sql").write_text(text)
            total += len(text)
        start = time.perf_counter()
        done = subprocess.run(["/usr/bin/time", "-f", "%M", sys.executable, "-P", "-m", "keldra_lineage",
                               str(folder), "-f", "jsonl", "--no-progress", "-q"],
                              capture_output=True, text=True)
        seconds = time.perf_counter() - start
        records = done.stdout.count("\n")
        peak = int(done.stderr.strip().splitlines()[-1])
        return {"bytes": total, "seconds": seconds, "kib": peak, "outcome": f"{records:,} records, exit {done.returncode}"}


def run_point(name: str, size: int, timeout: float) -> dict:
    try:
        done = subprocess.run([sys.executable, "-P", __file__, "--point", name, str(size)],
                              capture_output=True, text=True, timeout=timeout)
    except subprocess.TimeoutExpired:
        return {"size": size, "timeout": True}
    if done.returncode != 0:
        return {"size": size, "failed": done.returncode, "stderr": done.stderr[-300:]}
    return {"size": size, **json.loads(done.stdout)}


def slope(points: list[dict], key: str, x: str = "bytes") -> float | None:
    xs = [(math.log(p[x]), math.log(max(p[key], 1e-4))) for p in points
          if p.get(x) and p[key] > 0]
    if len(xs) < 2:
        return None
    mx = sum(x for x, _ in xs) / len(xs)
    my = sum(y for _, y in xs) / len(xs)
    den = sum((x - mx) ** 2 for x, _ in xs)
    return sum((x - mx) * (y - my) for x, y in xs) / den if den else None


LIMITS = {"too_deep", "too_wide", "refused"}


def sweep(names: list[str], timeout: float) -> str:
    rows, summary = [], []
    for name in names:
        what, _, _, sizes = SHAPES[name]
        points = []
        for size in sizes:
            p = run_point(name, size, timeout)
            points.append(p)
            print(f"  {name} {size}: {p}", file=sys.stderr, flush=True)
            if p.get("timeout"):
                break
        for p in points:
            if p.get("timeout"):
                rows.append(f"| {name} | {p['size']:,} | | > {timeout:.0f} | | cut |")
            elif "failed" in p:
                rows.append(f"| {name} | {p['size']:,} | | | | exit {p['failed']} |")
            else:
                rows.append(f"| {name} | {p['size']:,} | {p['bytes']:,} | {p['seconds']:.3f} | "
                            f"{p['kib'] / 1024:.1f} | {p['outcome']} |")
        # the fit leaves out points under 20 ms or 2 MiB, where start-up noise
        # rules; the stars' growth is over their output columns (their text
        # grows by a line a level, their output doubles), up to the limit
        stars = name == "self_join_stars"
        fitted = [p for p in points if not (stars and p.get("outcome") in LIMITS)]
        timed = [p for p in fitted if "seconds" in p and p["seconds"] >= 0.02]
        sized = [p for p in fitted if "kib" in p and p["kib"] >= 2048]
        x = "columns" if stars else "bytes"
        t, m = slope(timed, "seconds", x), slope(sized, "kib", x)
        summary.append(f"| {name} | {what} | {'-' if t is None else f'{t:.2f}'} | "
                       f"{'-' if m is None else f'{m:.2f}'} |")
    return "\n".join([
        "| shape | what | time growth (exponent) | memory growth (exponent) |",
        "|---|---|---:|---:|", *summary, "",
        "| shape | size | input bytes | seconds | MiB above the input | outcome |",
        "|---|---:|---:|---:|---:|---|", *rows])


BEGIN, END = "<!-- complexity sweep: begin -->", "<!-- complexity sweep: end -->"


def write_results(table: str) -> None:
    results = HERE / "RESULTS.md"
    text = results.read_text()
    load = ", ".join(f"{x:.1f}" for x in os.getloadavg())
    block = (f"{BEGIN}\n## Complexity sweep (`bench/complexity.py`)\n\n"
             f"One run on {platform.machine()}, Python {platform.python_version()}, "
             f"load average {load} (a machine shared with five other builds: times move by up to 2x; "
             "the exponents much less). Exponents are fitted over the points of 20 ms and 2 MiB or "
             "more, against input bytes (the stars: against output columns, below the limit). "
             "Each point is a fresh interpreter; memory is how far its resident set grew during "
             "the call, above the input already built.\n\n"
             f"{table}\n{END}")
    if BEGIN in text:
        text = re.sub(re.escape(BEGIN) + ".*?" + re.escape(END), lambda _: block, text, flags=re.S)
    else:
        text = text.rstrip("\n") + "\n\n" + block + "\n"
    results.write_text(text)


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--point", nargs=2, metavar=("SHAPE", "SIZE"), help=argparse.SUPPRESS)
    ap.add_argument("--only", action="append", choices=sorted(SHAPES), help="only this shape (repeatable)")
    ap.add_argument("--timeout", type=float, default=60.0, help="seconds a point may take (default 60)")
    ap.add_argument("--write", action="store_true", help="also write the tables into bench/RESULTS.md")
    args = ap.parse_args()
    if args.point:
        print(json.dumps(point(args.point[0], int(args.point[1]))))
        return
    table = sweep(args.only or list(SHAPES), args.timeout)
    print(table)
    if args.write:
        write_results(table)


if __name__ == "__main__":
    main()
