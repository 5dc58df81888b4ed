"""The lineage of a whole run as one graph of columns: a statement that
writes a table feeds the later statements that read it."""
from __future__ import annotations

from collections import deque
from typing import NamedTuple

EVERY_COLUMN = "*"   # the node of a source that affects every column of a table


class Edge(NamedTuple):
    source: tuple[str, str]   # (table key, column key)
    target: tuple[str, str]
    type: str
    subtype: str
    statement: str            # FILE:LINE of the statement that makes the edge


def place(file: str, line: int, row: int | None = None) -> str:
    """FILE:LINE of a statement; FILE:row N:LINE for one of a query-log row."""
    return f"{file}:{line}" if row is None else f"{file}:row {row}:{line}"


def _where(r) -> str:
    return place(r.file, r.line, getattr(r, "row", None))


def _key(name: str) -> str:
    return name.lower()


class Graph:
    """Tables (by name, ignoring case) holding their columns, and one edge
    per record with a source. A statement without a target (a query) is a
    table of its own named `FILE:LINE`."""

    def __init__(self, records=()):
        self.tables: dict[str, str] = {}                 # key -> name as first seen
        self.columns: dict[str, dict[str, str]] = {}     # table key -> column key -> name
        self.edges: dict[Edge, None] = {}                # an ordered set
        self.queries: set[str] = set()                   # keys of the tables that are queries
        self.add(records)

    def add(self, records) -> None:
        """More records: a run adds each statement's as it is done."""
        for r in records:
            where = _where(r)
            output = self._node(r.target or where, r.column or EVERY_COLUMN)
            if r.target is None:
                self.queries.add(output[0])
            if r.type is None:
                continue
            source = self._node(r.source_table or "?", r.source_column)
            self.edges[Edge(source, output, r.type, r.subtype, where)] = None

    def _node(self, table: str, column: str) -> tuple[str, str]:
        t, c = _key(table), _key(column)
        self.tables.setdefault(t, table)
        self.columns.setdefault(t, {}).setdefault(c, column)
        return t, c

    def name(self, node: tuple[str, str]) -> tuple[str, str]:
        return self.tables[node[0]], self.columns[node[0]][node[1]]

    def find(self, spec: str) -> list[tuple[str, str]]:
        """The columns `TABLE.COLUMN` names: the table by its whole name, or by
        its last parts when no whole name matches."""
        table, _, column = spec.rpartition(".")
        t, c = _key(table), _key(column)
        exact = [(t, c)] if c in self.columns.get(t, {}) else []
        if exact or not t:
            return exact
        return [(k, c) for k in self.columns if k.endswith("." + t) and c in self.columns[k]]


class Reached(NamedTuple):
    table: str
    column: str
    depth: int
    type: str        # of the last step
    subtype: str
    statements: str  # the statements on the way, in order of the flow


def trace(graph: Graph, start: list[tuple[str, str]], upstream: bool):
    """Every column reached from `start` against (upstream) or along the flow,
    each once, at its shortest distance; and the edges taken."""
    step: dict[tuple[str, str], list[Edge]] = {}
    for e in graph.edges:
        step.setdefault(e.target if upstream else e.source, []).append(e)
    seen = {node: [] for node in start}
    queue = deque(start)
    reached, taken = [], []
    while queue:
        node = queue.popleft()
        edges = step.get(node, [])
        if upstream and node[1] != _key(EVERY_COLUMN):
            # what shapes every column of the table (joins, filters) feeds this one too
            edges = edges + step.get((node[0], _key(EVERY_COLUMN)), [])
        for e in edges:
            nxt = e.source if upstream else e.target
            taken.append(e)
            if nxt in seen:
                continue
            path = seen[node] + [e.statement]
            seen[nxt] = path
            queue.append(nxt)
            flow = reversed(path) if upstream else path
            reached.append(Reached(*graph.name(nxt), len(path), e.type, e.subtype,
                                   " > ".join(dict.fromkeys(flow))))
    return reached, taken


def node_ids(graph: Graph) -> dict:
    """A short id for every column: n0, n1, ..."""
    ids = {}
    for t, columns in graph.columns.items():
        for c in columns:
            ids[t, c] = f"n{len(ids)}"
    return ids


def shown(graph: Graph, edges) -> dict:
    """The tables and columns to draw: all of them, or those the edges touch."""
    if edges is None:
        return graph.columns
    touched = {node for e in edges for node in (e.source, e.target)}
    out: dict[str, dict[str, str]] = {}
    for t, columns in graph.columns.items():
        mine = {c: name for c, name in columns.items() if (t, c) in touched}
        if mine:
            out[t] = mine
    return out
