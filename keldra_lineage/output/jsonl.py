"""-f jsonl: one JSON object per record and line. The records of a query
log's rows that share one analysis share their rendered statement part
(keldra_lineage.streaming.SharedLines)."""
from __future__ import annotations

from keldra_lineage import formats
from keldra_lineage.output import Done, RecordFormat, RecordWriter


class JsonLines(RecordFormat):
    def render(self, rows, fields) -> str:
        from keldra_lineage.streaming import object_text

        fields = tuple(fields)
        return "".join([object_text(fields, r) + "\n" for r in rows])

    def stream_writer(self, run):
        return _LogLines(self, run) if run.logs else RecordWriter(self, run)


class _LogLines(RecordWriter):
    def __init__(self, fmt, run):
        from keldra_lineage.records import FIELDS, LOG_FIELDS
        from keldra_lineage.streaming import SharedLines

        super().__init__(fmt, run)
        self.shared = SharedLines(FIELDS, LOG_FIELDS[len(FIELDS):])

    def add(self, done: Done) -> None:
        if done.result is None:
            return super().add(done)
        from keldra_lineage.records import log_tail, records_of

        result, row = done.result, done.result.row
        self.stream.add_lines(self.shared.lines(
            (id(result.statements), row.file), result.statements,
            lambda: [r for st in result.statements if st.error is None for r in records_of(row.file, st)],
            log_tail(result)))


FORMAT = JsonLines("jsonl", "one JSON object per record and line", exact=formats.json_lines)
