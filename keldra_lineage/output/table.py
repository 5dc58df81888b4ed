"""-f table: the records in aligned columns under a header; a long run is
aligned over each chunk of records."""
from __future__ import annotations

from keldra_lineage import formats
from keldra_lineage.output import RecordFormat, flat


def _cell(v) -> str:
    return "" if v is None else str(v)


class Table(RecordFormat):
    aligned = True

    def render(self, rows, fields) -> str:
        cells = [tuple(fields)] + [tuple(_cell(v) for v in row) for row in flat(rows, fields)]
        widths = [max(len(r[i]) for r in cells) for i in range(len(fields))]
        lines = ["  ".join(c.ljust(w) for c, w in zip(r, widths)).rstrip() for r in cells]
        lines.insert(1, "  ".join("-" * w for w in widths))
        return "\n".join(lines) + "\n"

    def chunk(self, text: str, first: bool) -> str:
        return text if first else text.split("\n", 2)[2]   # the header once

    def end(self, fields, chunks: int) -> str:
        return "" if chunks else self.render([], fields)


FORMAT = Table("table", "aligned columns", exact=formats.table)
