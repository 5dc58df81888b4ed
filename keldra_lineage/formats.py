"""Output formats: table, json, jsonl, csv, dot and mermaid."""
from __future__ import annotations

import csv
import io
import json

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


def _dot_quote(text: str) -> str:
    return '"' + str(text).replace("\\", "\\\\").replace('"', '\\"').replace("\n", "\\n") + '"'


def dot(rows) -> str:
    g = _Graph(rows)
    out = ["digraph lineage {", "  rankdir=LR;", '  node [shape=box, fontname="Helvetica"];']
    for kind, groups in (("source", g.tables), ("output", g.outputs)):
        for i, (label, columns) in enumerate(groups.items()):
            out.append(f"  subgraph cluster_{kind}_{i} {{")
            out.append(f"    label={_dot_quote(label)};")
            for column, node_id in columns.items():
                out.append(f"    {node_id} [label={_dot_quote(column)}];")
            out.append("  }")
    out.extend(f"  {a} -> {b};" for a, b in g.edges)
    out.append("}")
    return "\n".join(out) + "\n"


def _mermaid_label(text: str) -> str:
    # Inside a quoted label only the quote itself needs an entity.
    return '"' + str(text).replace('"', "#quot;") + '"'


def mermaid(rows) -> str:
    g = _Graph(rows)
    out = ["flowchart LR"]
    for kind, groups in (("src", g.tables), ("out", g.outputs)):
        for i, (label, columns) in enumerate(groups.items()):
            out.append(f"  subgraph {kind}{i}[{_mermaid_label(label)}]")
            for column, node_id in columns.items():
                out.append(f"    {node_id}[{_mermaid_label(column)}]")
            out.append("  end")
    out.extend(f"  {a} --> {b}" for a, b in g.edges)
    return "\n".join(out) + "\n"


WRITERS = {
    "table": table,
    "json": json_document,
    "jsonl": json_lines,
    "csv": csv_text,
    "dot": dot,
    "mermaid": mermaid,
}


# The lineage engine's records (and column-impact rows): named tuples, written
# with their own field names.

def _cell(v) -> str:
    return "" if v is None else str(v)


def record_table(rows, fields) -> str:
    cells = [tuple(fields)] + [tuple(_cell(v) for v in row) for row in rows]
    widths = [max(len(r[i]) for r in cells) for i in range(len(fields))]
    lines = ["  ".join(c.ljust(w) for c, w in zip(r, widths)).rstrip() for r in cells]
    lines.insert(1, "  ".join("-" * w for w in widths))
    return "\n".join(lines) + "\n"


def record_json(rows, fields) -> str:
    return json.dumps([dict(zip(fields, r)) for r in rows], indent=2, ensure_ascii=False) + "\n"


def record_jsonl(rows, fields) -> str:
    return "".join(json.dumps(dict(zip(fields, r)), ensure_ascii=False) + "\n" for r in rows)


def record_csv(rows, fields) -> str:
    out = io.StringIO()
    writer = csv.writer(out, lineterminator="\n")
    writer.writerow(fields)
    writer.writerows(rows)
    return out.getvalue()


RECORD_WRITERS = {"table": record_table, "json": record_json, "jsonl": record_jsonl, "csv": record_csv}
