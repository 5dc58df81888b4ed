"""The command line's output formats, one module of this package each.

A format's module holds `FORMAT`, an instance of one of the classes below,
which says what the format needs from a run:

- a `RecordFormat` (table, csv, json, jsonl) is written as each input is
  done, in chunks, so that memory stays flat over any number of statements;
- a `GraphFormat` (dot, mermaid, html) keeps only the graph of the run and
  draws it at the end;
- an event format (openlineage) writes one document per statement as each
  input is done;

and whether it writes what `--trace` reaches (`trace`), needs each
statement's SQL text (`sql`), and writes the original analysis's records
too (`exact`: their writer, from keldra_lineage.formats, or None). The
registry below finds the modules, so a new format is one new module; the
command line takes its `-f` choices, their help and every decision about a
format from here."""
from __future__ import annotations

import importlib
import pkgutil
from collections.abc import Callable
from dataclasses import dataclass
from functools import cache


@dataclass(frozen=True)
class Run:
    """What the writers of one run are told: where the text goes, whether
    the records are those of query logs (with the log row's fields), the
    OpenLineage namespace and dialect, and the column of `--trace`."""
    write: Callable[[str], None]
    logs: bool = False
    namespace: str = "default"
    dialect: str = "generic"
    trace: str | None = None
    upstream: bool = False

    @property
    def fields(self) -> tuple[str, ...]:
        from keldra_lineage.records import FIELDS, LOG_FIELDS

        return LOG_FIELDS if self.logs else FIELDS


class Done:
    """One input's analysis as the writers see it: the input's name, the
    engine's statements, the text they were read from and, for a query-log
    row, its `querylog.LogResult` (whose query is the text). What the writers derive from it (records,
    SQL texts, run events) is made once, when first asked for."""

    def __init__(self, run: Run, name: str, statements, text: str = "", result=None):
        self.run = run
        self.name = name
        self.statements = statements
        self.text = text if result is None else result.row.query or ""
        self.result = result
        self._records = self._sql = self._events = None

    def records(self) -> list:
        """The records of the statements that have no error."""
        if self._records is None:
            from keldra_lineage.records import LogRecord, log_records_of, records_of

            if self.result is not None:
                self._records = log_records_of(self.result)
            else:
                rows = [r for st in self.statements if st.error is None for r in records_of(self.name, st)]
                self._records = [LogRecord(*r) for r in rows] if self.run.logs else rows
        return self._records

    def sql(self) -> dict[int, str]:
        """{statement index: its SQL text}."""
        if self._sql is None:
            from keldra_lineage.sql_text import statement_texts

            self._sql = statement_texts(self.text, self.statements)
        return self._sql

    def events(self) -> list:
        """(statement, its OpenLineage run event) of each statement that has
        no error."""
        if self._events is None:
            from keldra_lineage import openlineage

            where = self.result.row.where if self.result is not None else self.name
            self._events = [(st, openlineage.run_event(where, st, self.sql()[st.index], self.run.namespace,
                                                       self.run.dialect))
                            for st in self.statements if st.error is None]
        return self._events


class Writer:
    """A format's writer for one run: given each input as it is done, then
    closed once at the end."""

    def __init__(self, fmt: Format, run: Run):
        self.format = fmt
        self.run = run

    def add(self, done: Done) -> None:
        raise NotImplementedError

    def close(self) -> None:
        pass


class NoSuchColumn(Exception):
    """The column of `--trace` is not in the lineage of the run."""


class Format:
    """An output format: its `-f` name, a line for the help, and what it
    needs. `streams` says the format writes as each input is done; otherwise
    only the graph of the run is kept and drawn at the end."""

    streams = False
    trace = True
    sql = False

    def __init__(self, name: str, summary: str, exact: Callable | None = None):
        self.name = name
        self.summary = summary
        self.exact = exact

    def writer(self, run: Run) -> Writer:
        """The writer for a run: with `--trace`, one that keeps the graph."""
        if run.trace and not self.trace:
            raise ValueError(f"-f {self.name} does not write what --trace reaches")
        return TraceWriter(self, run) if run.trace else self.stream_writer(run)

    def stream_writer(self, run: Run) -> Writer:
        raise NotImplementedError

    def traced(self, graph, texts: dict[str, str], reached: list, taken: list, title: str) -> str:
        """What `--trace` reached (`graph.trace`'s columns and edges)."""
        raise NotImplementedError


class RecordFormat(Format):
    """Records of any fields, written chunk by chunk (keldra_lineage.streaming):
    `render` writes records all at once, `chunk` makes a rendered chunk
    follow the ones before it, `end` closes the stream. An `aligned` format
    (the table) writes only full chunks until the end, since it aligns its
    columns over each; the others write what waited longer than a moment."""

    streams = True
    aligned = False

    def render(self, rows, fields) -> str:
        raise NotImplementedError

    def chunk(self, text: str, first: bool) -> str:
        return text

    def end(self, fields, chunks: int) -> str:
        return ""

    def stream_writer(self, run: Run) -> Writer:
        return RecordWriter(self, run)

    def traced(self, graph, texts, reached, taken, title) -> str:
        from keldra_lineage.graph import Reached

        return self.render(reached, Reached._fields)


class RecordWriter(Writer):
    def __init__(self, fmt: RecordFormat, run: Run):
        from keldra_lineage.streaming import RecordStream

        super().__init__(fmt, run)
        self.stream = RecordStream(fmt, run.fields, run.write)

    def add(self, done: Done) -> None:
        self.stream.add(done.records())

    def close(self) -> None:
        self.stream.close()


class GraphFormat(Format):
    """The run's graph, drawn at the end (`draw`); with `--trace`, only the
    edges it took and the columns they join."""

    def draw(self, graph, texts: dict[str, str], edges=None, title: str | None = None) -> str:
        raise NotImplementedError

    def stream_writer(self, run: Run) -> Writer:
        return GraphWriter(self, run)

    def traced(self, graph, texts, reached, taken, title) -> str:
        return self.draw(graph, texts, taken, title)


class GraphWriter(Writer):
    """Keeps the graph of the run (and, for a format that shows them, the
    SQL of each statement by `FILE:LINE`)."""

    def __init__(self, fmt: Format, run: Run):
        from keldra_lineage.graph import Graph

        super().__init__(fmt, run)
        self.graph = Graph()
        self.texts: dict[str, str] = {}

    def add(self, done: Done) -> None:
        if self.format.sql:
            from keldra_lineage.graph import place

            sql = done.sql()
            row = done.result.row.row if done.result is not None else None
            for st in done.statements:
                self.texts[place(done.name, st.line, row)] = sql[st.index]
        self.graph.add(done.records())

    def close(self) -> None:
        self.run.write(self.format.draw(self.graph, self.texts))


class TraceWriter(GraphWriter):
    """The columns `--trace` reaches from its column, found in the graph at
    the end; NoSuchColumn when the graph does not have it."""

    def close(self) -> None:
        from keldra_lineage import graph

        start = self.graph.find(self.run.trace)
        if not start:
            raise NoSuchColumn(f"--trace {self.run.trace}: no such column in the lineage of these statements")
        reached, taken = graph.trace(self.graph, start, self.run.upstream)
        self.run.write(self.format.traced(self.graph, self.texts, reached, taken,
                                          f"Lineage of {self.run.trace}"))


@cache
def formats() -> dict[str, Format]:
    """Every format by name, sorted: the `FORMAT` of each module here (a
    module whose name starts with `_` is a helper)."""
    found = {}
    for module in pkgutil.iter_modules(__path__):
        if module.name.startswith("_"):
            continue
        fmt = importlib.import_module(f"{__name__}.{module.name}").FORMAT
        if fmt.name in found:
            raise RuntimeError(f"output format {fmt.name!r} is defined twice")
        found[fmt.name] = fmt
    return dict(sorted(found.items()))


DEFAULT = "table"


def get(name: str) -> Format:
    return formats()[name]


def record_writers() -> dict[str, Callable]:
    """{name: render(rows, fields)} of the record formats."""
    return {name: f.render for name, f in formats().items() if isinstance(f, RecordFormat)}


def flat(rows, fields) -> list:
    """The rows for a format whose cells are text (table, csv): a query-log
    row's `fields` mapping as its JSON, an empty one as an empty cell."""
    if "fields" not in fields:
        return rows
    import json

    k = tuple(fields).index("fields")
    return [r[:k] + (json.dumps(r[k], ensure_ascii=False) if r[k] else None,) + r[k + 1:] for r in rows]
