"""A compiled dbt project's column lineage beside sqlglot's, model by model.

    python bench/dbt_compare.py PROJECT_OR_TARGET

For every output column of every SQL model, the one-hop sources (the tables
and columns that feed it directly) from `keldra_lineage.dbt_lineage` and from
sqlglot's `lineage()` given the same `catalog.json` as its schema; prints the
share of columns on which the two agree, the columns where they differ, and
the time of each for the whole project. sqlglot is pinned in
bench/requirements.txt.
"""
from __future__ import annotations

import sys
import time

import keldra_lineage
from keldra_lineage import dbt


def ours(project_path):
    out = {}
    for st in keldra_lineage.dbt_lineage(project_path):
        for c in st.columns:
            # a column's own sources: its DIRECT ones and the CONDITIONAL and
            # WINDOW ones that decide its value, as sqlglot counts them
            out[(st.target, c.name)] = {(s.table, s.column) for s in c.sources}
    return out


def sqlglots(project):
    from sqlglot import exp
    from sqlglot.errors import SqlglotError
    from sqlglot.lineage import lineage
    from sqlglot.optimizer.qualify import qualify

    def typed(level):  # sqlglot's schema maps columns to types; lineage needs only the names
        return {k: typed(v) if isinstance(v, dict) else {c: "text" for c in v} for k, v in level.items()}

    schema = typed(project.schema)
    out = {}
    for m in project.models:
        if not m.text:
            continue
        target = ".".join(p.strip('"') for p in m.relation.split("."))
        try:
            # the output names once stars are expanded from the schema
            select = qualify(exp.maybe_parse(m.text, dialect=project.dialect), schema=schema,
                             dialect=project.dialect)
            names = select.named_selects
        except SqlglotError:
            continue
        for name in names:
            try:
                node = lineage(name, m.text, schema=schema, dialect=project.dialect)
            except SqlglotError:
                out[(target, name)] = None
                continue
            leaves = set()
            for n in node.walk():
                if not n.downstream and isinstance(n.source, exp.Table):
                    table = ".".join(p for p in (n.source.catalog, n.source.db, n.source.name) if p)
                    leaves.add((table, n.name.split(".")[-1]))
            out[(target, name)] = leaves
    return out


def main(path: str) -> None:
    project = dbt.read_project(path)
    t0 = time.perf_counter()
    mine = ours(path)
    t1 = time.perf_counter()
    theirs = sqlglots(project)
    t2 = time.perf_counter()
    keys = sorted(set(mine) | set(theirs), key=repr)
    same = [k for k in keys if mine.get(k) == theirs.get(k)]
    print(f"{len(same)} of {len(keys)} model columns have the same one-hop sources "
          f"({100 * len(same) / max(len(keys), 1):.0f}%)")
    for k in keys:
        if mine.get(k) != theirs.get(k):
            print(f"  {k[0]}.{k[1]}: keldra {sorted(mine.get(k) or [])}  sqlglot {sorted(theirs.get(k) or [])}")
    print(f"time for the whole project: keldra-lineage {1000 * (t1 - t0):.1f} ms, "
          f"sqlglot {1000 * (t2 - t1):.1f} ms")


if __name__ == "__main__":
    main(sys.argv[1])
