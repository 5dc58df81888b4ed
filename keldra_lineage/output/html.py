"""-f html: the lineage of a run as one self-contained, interactive HTML
page: the graph's data inlined as JSON beside the page's own script and
styles (keldra_lineage/assets), so that it opens offline."""
from __future__ import annotations

import json
import re

from keldra_lineage.graph import EVERY_COLUMN, Graph, shown
from keldra_lineage.output import GraphFormat


def _schema(name: str, is_query: bool) -> str:
    """What the page filters by: a table's qualifier (its schema, with its
    database), or for a query the file it is in."""
    if is_query:
        return name.rpartition(":")[0] or name
    return name.rpartition(".")[0] or "(no schema)"


def data(graph: Graph, texts: dict[str, str], edges=None) -> dict:
    """The page's data: tables with their columns, the edges between columns
    (each drawn once, with every statement that makes it), the statements'
    places and SQL. With `edges` (a trace), only what they touch."""
    drawn_tables = shown(graph, edges)
    edges = graph.edges if edges is None else edges
    node_ids, tables = {}, []
    incoming = {e.target[0] for e in edges if e.source[0] != e.target[0]}
    for t, columns in drawn_tables.items():
        is_query = t in graph.queries
        kind = "query" if is_query else "target" if t in incoming else "source"
        for c in columns:
            node_ids[t, c] = len(node_ids)
        tables.append([graph.tables[t], _schema(graph.tables[t], is_query), kind, list(columns.values())])
    subtypes: dict[str, int] = {}
    statements: dict[str, int] = {}
    drawn: dict[tuple, list] = {}
    for e in edges:
        key = (node_ids[e.source], node_ids[e.target], 0 if e.type == "DIRECT" else 1,
               subtypes.setdefault(e.subtype, len(subtypes)))
        where = statements.setdefault(e.statement, len(statements))
        ways = drawn.setdefault(key, [])
        if where not in ways:
            ways.append(where)
    return {
        "every": EVERY_COLUMN,
        "tables": tables,
        "edges": [[*key, ways] for key, ways in drawn.items()],
        "types": ["DIRECT", "INDIRECT"],
        "subtypes": list(subtypes),
        "statements": [[where, texts.get(where, "")] for where in statements],
    }


def page(graph: Graph, texts: dict[str, str], edges=None, title: str | None = None) -> str:
    """The whole page. `texts` maps a statement's `FILE:LINE` to its SQL."""
    import html   # here, not at the start of every command: only the page needs them
    from importlib.resources import files

    assets = files("keldra_lineage") / "assets"
    payload = json.dumps(data(graph, texts, edges), ensure_ascii=False, separators=(",", ":"))
    # inside <script> only "</" could end the element early; "<\/" means the same in JSON
    payload = payload.replace("</", "<\\/")
    template = (assets / "lineage.html").read_text(encoding="utf-8")
    parts = {
        "TITLE": html.escape(title or "Column lineage"),
        "STYLE": (assets / "lineage.css").read_text(encoding="utf-8"),
        "DATA": payload,
        "SCRIPT": (assets / "lineage.js").read_text(encoding="utf-8"),
    }
    # one pass over the template: what is put in is not searched again
    return re.sub(r"/\*(TITLE|STYLE|DATA|SCRIPT)\*/", lambda m: parts[m[1]], template)


class Page(GraphFormat):
    sql = True

    def draw(self, graph, texts, edges=None, title=None) -> str:
        return page(graph, texts, edges, title)


FORMAT = Page("html", "one self-contained interactive page, for a browser offline")
