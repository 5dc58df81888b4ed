"""-f mermaid: the graph of the run as a mermaid flowchart: a subgraph per
table holding its columns, DIRECT edges solid and INDIRECT dotted."""
from __future__ import annotations

from keldra_lineage import formats
from keldra_lineage.escaping import mermaid_label
from keldra_lineage.graph import node_ids, shown
from keldra_lineage.output import GraphFormat


class Mermaid(GraphFormat):
    def draw(self, graph, texts, edges=None, title=None) -> str:
        tables = shown(graph, edges)
        edges = graph.edges if edges is None else edges
        ids = node_ids(graph)
        out = ["flowchart LR"]
        for i, (t, columns) in enumerate(tables.items()):
            out.append(f"  subgraph t{i}[{mermaid_label(graph.tables[t])}]")
            out.extend(f"    {ids[t, c]}[{mermaid_label(name)}]" for c, name in columns.items())
            out.append("  end")
        for e in dict.fromkeys((e.source, e.target, e.type) for e in edges):
            arrow = "-->" if e[2] == "DIRECT" else "-.->"
            out.append(f"  {ids[e[0]]} {arrow} {ids[e[1]]}")
        return "\n".join(out) + "\n"


FORMAT = Mermaid("mermaid", "the graph as a mermaid flowchart", exact=formats.mermaid)
