"""Wide schemas: lineage()'s time per column reference as the catalog's tables widen.

Two tables of W columns each (W from 1 to 10,000), in a Catalog built once.  A query names R
unqualified columns (R = 100 and 200), alternately of either table and spread over their whole
width, each under an alias of its own, over `FROM db.wide_a JOIN db.wide_b ON ...`; every one
must be looked up in both tables.  The time per reference is the difference between the two
queries' times divided by the 100 references more; what is left of the call is its fixed cost
(the parse, and each table's columns taken from the catalog and indexed once a call).  Each time
is the best of several calls.  Prints a Markdown table; with --baseline, the same for another
build of keldra_lineage (found first on that path, in a process of its own) beside it.
"""
from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import time

WIDTHS = (1, 10, 100, 1_000, 10_000)
FEW, MANY = 100, 200


def query(width, refs):
    picks = []
    for i in range(refs):
        table = "a" if i % 2 == 0 else "b"
        picks.append(f"{table}_{(i * 7919) % width:05d} AS x{i}")  # spread over the width
    return f"SELECT {', '.join(picks)} FROM db.wide_a JOIN db.wide_b ON wide_a.a_00000 = wide_b.b_00000"


def best(fn, repeat):
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return min(times)


def measure():
    """[(width, few refs s, many refs s, per reference s, per reference without the schema s)]"""
    import keldra_lineage

    rows = []
    for width in WIDTHS:
        catalog = keldra_lineage.Catalog.from_mapping({
            "db.wide_a": [f"a_{i:05d}" for i in range(width)],
            "db.wide_b": [f"b_{i:05d}" for i in range(width)]})
        few, many = query(width, FEW), query(width, MANY)
        # every reference found in its table
        [st] = keldra_lineage.lineage(many, schema=catalog)
        assert all(c.sources[0].table for c in st.columns) and not st.warnings, st.warnings
        repeat = 30 if width < 10_000 else 10
        t_few = best(lambda: keldra_lineage.lineage(few, schema=catalog), repeat)
        t_many = best(lambda: keldra_lineage.lineage(many, schema=catalog), repeat)
        n_few = best(lambda: keldra_lineage.lineage(few), repeat)
        n_many = best(lambda: keldra_lineage.lineage(many), repeat)
        rows.append((width, t_few, t_many, (t_many - t_few) / (MANY - FEW), (n_many - n_few) / (MANY - FEW)))
    return rows


def table(rows, label):
    lines = [f"{label}\n",
             f"| columns per table | {FEW} references, ms | {MANY} references, ms | "
             "time per reference, us | per reference without the schema, us |",
             "|---:|---:|---:|---:|---:|"]
    for width, few, many, per, none in rows:
        lines.append(f"| {width:,} | {few * 1e3:.2f} | {many * 1e3:.2f} | {per * 1e6:.2f} | {none * 1e6:.2f} |")
    return "\n".join(lines)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--baseline", help="a folder holding another build of keldra_lineage")
    ap.add_argument("--baseline-name", default="baseline")
    ap.add_argument("--json", action="store_true", help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.json:
        print(json.dumps(measure()))
        return
    import keldra_lineage

    print(f"## Wide schemas: {FEW} and {MANY} unqualified references over two tables of 1 to "
          f"{WIDTHS[-1]:,} columns\n")
    if args.baseline:
        env = dict(os.environ, PYTHONPATH=args.baseline + os.pathsep + os.environ.get("PYTHONPATH", ""))
        done = subprocess.run([sys.executable, __file__, "--json"], env=env, capture_output=True, text=True,
                              check=True)
        print(table(json.loads(done.stdout), f"Before ({args.baseline_name}):") + "\n")
    print(table(measure(), "Now:"))


if __name__ == "__main__":
    main()
