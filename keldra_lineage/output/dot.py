"""-f dot: the graph of the run for Graphviz: a cluster per table holding
its columns, DIRECT edges solid and INDIRECT dashed, the subtype as the
edge's tooltip."""
from __future__ import annotations

from keldra_lineage import formats
from keldra_lineage.escaping import dot_quote
from keldra_lineage.graph import node_ids, shown
from keldra_lineage.output import GraphFormat


class Dot(GraphFormat):
    def draw(self, graph, texts, edges=None, title=None) -> str:
        tables = shown(graph, edges)
        edges = graph.edges if edges is None else edges
        ids = node_ids(graph)
        out = ["digraph lineage {", "  rankdir=LR;", '  node [shape=box, fontname="Helvetica"];']
        for i, (t, columns) in enumerate(tables.items()):
            out.append(f"  subgraph cluster_{i} {{")
            out.append(f"    label={dot_quote(graph.tables[t])};")
            out.extend(f"    {ids[t, c]} [label={dot_quote(name)}];" for c, name in columns.items())
            out.append("  }")
        for e in dict.fromkeys((e.source, e.target, e.type, e.subtype) for e in edges):
            style = "solid" if e[2] == "DIRECT" else "dashed"
            out.append(f"  {ids[e[0]]} -> {ids[e[1]]} [style={style}, tooltip={dot_quote(e[3])}];")
        out.append("}")
        return "\n".join(out) + "\n"


FORMAT = Dot("dot", "the graph for Graphviz: dot -Tsvg", exact=formats.dot)
