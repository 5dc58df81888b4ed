"""The writers of the original analysis's records (`--exact`): file,
statement, database, table, src, tgt. The lineage engine's formats are in
keldra_lineage.output."""
from __future__ import annotations

import csv
import io
import json

from keldra_lineage.escaping import dot_quote, mermaid_label

FIELDS = ("file", "statement", "database", "table", "src", "tgt")


def as_dict(row) -> dict:
    return dict(zip(FIELDS, row))


def table(rows) -> str:
    cells = [FIELDS] + [tuple("" if v is None else str(v) for v in row) for row in rows]
    widths = [max(len(r[i]) for r in cells) for i in range(len(FIELDS))]
    lines = ["  ".join(c.ljust(w) for c, w in zip(r, widths)).rstrip() for r in cells]
    lines.insert(1, "  ".join("-" * w for w in widths))
    return "\n".join(lines) + "\n"


def json_document(rows) -> str:
    return json.dumps([as_dict(r) for r in rows], indent=2, ensure_ascii=False) + "\n"


def json_lines(rows) -> str:
    return "".join(json.dumps(as_dict(r), ensure_ascii=False) + "\n" for r in rows)


def csv_text(rows) -> str:
    out = io.StringIO()
    writer = csv.writer(out, lineterminator="\n")
    writer.writerow(FIELDS)
    writer.writerows(rows)
    return out.getvalue()


class _Graph:
    """Source tables and their columns on the left, statements and their output
    columns on the right, one edge per record."""

    def __init__(self, rows):
        self.tables: dict[str, dict[str, str]] = {}    # table -> column -> node id
        self.outputs: dict[str, dict[str, str]] = {}   # statement -> column -> node id
        # Edges in first-seen order, each drawn once: a dict is an ordered set
        # with constant-time lookup.
        self.edges: dict[tuple[str, str], None] = {}
        count = 0

        def node(group: dict, key: str, column: str) -> str:
            nonlocal count
            columns = group.setdefault(key, {})
            if column not in columns:
                columns[column] = f"n{count}"
                count += 1
            return columns[column]

        for file, number, database, table_name, src, tgt in rows:
            source = table_name if database is None else f"{database}.{table_name}"
            self.edges[node(self.tables, source, src), node(self.outputs, f"{file} #{number}", tgt)] = None


def dot(rows) -> str:
    g = _Graph(rows)
    out = ["digraph lineage {", "  rankdir=LR;", '  node [shape=box, fontname="Helvetica"];']
    for kind, groups in (("source", g.tables), ("output", g.outputs)):
        for i, (label, columns) in enumerate(groups.items()):
            out.append(f"  subgraph cluster_{kind}_{i} {{")
            out.append(f"    label={dot_quote(label)};")
            for column, node_id in columns.items():
                out.append(f"    {node_id} [label={dot_quote(column)}];")
            out.append("  }")
    out.extend(f"  {a} -> {b};" for a, b in g.edges)
    out.append("}")
    return "\n".join(out) + "\n"


def mermaid(rows) -> str:
    g = _Graph(rows)
    out = ["flowchart LR"]
    for kind, groups in (("src", g.tables), ("out", g.outputs)):
        for i, (label, columns) in enumerate(groups.items()):
            out.append(f"  subgraph {kind}{i}[{mermaid_label(label)}]")
            for column, node_id in columns.items():
                out.append(f"    {node_id}[{mermaid_label(column)}]")
            out.append("  end")
    out.extend(f"  {a} --> {b}" for a, b in g.edges)
    return "\n".join(out) + "\n"


def __getattr__(name):
    # The engine's record writers were once here, by format name; code that
    # still reaches them this way gets them from the registry.
    if name == "RECORD_WRITERS":
        from keldra_lineage.output import record_writers

        return record_writers()
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
