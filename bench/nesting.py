"""Layered subqueries: the time of both analyses as the nesting deepens.

Each query passes `columns` columns through `levels` nested subqueries, every
level renaming them (the shape of layered dbt models). The original analysis
is timed on trees parsed beforehand (its parser is not ours and takes most of
the time); the lineage engine is timed whole. Prints a Markdown table.
"""
from __future__ import annotations

import sys
import time

import sqlparse_main

import keldra_lineage


def nested(levels: int, columns: int) -> str:
    names = [f"c{i:02d}" for i in range(columns)]
    sql = "SELECT " + ", ".join(f"t.{n} AS {n}" for n in names) + " FROM db.base t"
    for level in range(1, levels + 1):
        sql = ("SELECT " + ", ".join(f"l{level}.{n} AS {n}" for n in names)
               + f" FROM ({sql}) l{level}")
    return sql


def best(fn, repeat: int = 5) -> float:
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return min(times)


def main() -> None:
    columns = int(sys.argv[1]) if len(sys.argv) > 1 else 30
    print(f"| levels x {columns} columns | original analysis (tree parsed) ms | lineage() ms |")
    print("|---:|---:|---:|")
    parse = sqlparse_main.parse
    try:
        for levels in range(1, 9):
            sql = nested(levels, columns)
            tree = parse(sqlparse_main.KeldraParseMain._re_hint(sql))
            sqlparse_main.parse = lambda text, tree=tree: tree
            original = best(lambda: sqlparse_main.KeldraParseMain()._parse_sql(sql))
            sqlparse_main.parse = parse
            engine = best(lambda: keldra_lineage.lineage(sql))
            print(f"| {levels} | {original * 1e3:.2f} | {engine * 1e3:.2f} |")
    finally:
        sqlparse_main.parse = parse


if __name__ == "__main__":
    main()
