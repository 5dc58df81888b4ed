"""-f table: the records in aligned columns under a header, one line each
(control characters in a cell are escaped: `\\n`, `\\x1b`); a long run is
aligned over each chunk of records."""
from __future__ import annotations

from keldra_lineage import formats
from keldra_lineage.escaping import printable, unsafe
from keldra_lineage.output import RecordFormat, flat


def _cell(v) -> str:
    return "" if v is None else str(v)


class Table(RecordFormat):
    aligned = True

    def render(self, rows, fields) -> str:
        cells = [tuple(fields)] + [tuple(_cell(v) for v in row) for row in flat(rows, fields)]
        if unsafe("".join(c for row in cells for c in row)):
            # a newline in a name would end the row (and could forge the next)
            cells = [tuple(printable(c) for c in row) for row in cells]
        widths = [max(len(r[i]) for r in cells) for i in range(len(fields))]
        lines = ["  ".join(c.ljust(w) for c, w in zip(r, widths)).rstrip() for r in cells]
        lines.insert(1, "  ".join("-" * w for w in widths))
        return "\n".join(lines) + "\n"

    def chunk(self, text: str, first: bool) -> str:
        return text if first else text.split("\n", 2)[2]   # the header once

    def end(self, fields, chunks: int) -> str:
        return "" if chunks else self.render([], fields)


FORMAT = Table("table", "aligned columns", exact=formats.table)
