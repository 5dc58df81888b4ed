"""-f openlineage: one OpenLineage run event (COMPLETE) per statement, as
JSON lines, written as each input is done (keldra_lineage.openlineage
builds the events, as --emit sends them). Events name datasets, not
columns: no --trace."""
from __future__ import annotations

from keldra_lineage.output import Done, Format, Writer


class Events(Format):
    streams = True
    trace = False
    sql = True

    def stream_writer(self, run):
        return _EventLines(self, run)


class _EventLines(Writer):
    def add(self, done: Done) -> None:
        from keldra_lineage.openlineage import to_json

        text = "".join(to_json(event) + "\n" for _, event in done.events())
        if text:
            self.run.write(text)


FORMAT = Events("openlineage", "OpenLineage run events, one JSON line each")
