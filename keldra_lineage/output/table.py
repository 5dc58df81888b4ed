"""-f table: the records in aligned columns under a header, one line each
(control characters in a cell are escaped: `\\n`, `\\x1b`); a long run is
aligned over each chunk of records."""
from __future__ import annotations

from keldra_lineage import formats
from keldra_lineage.escaping import printable, unsafe
from keldra_lineage.output import RecordFormat, flat


def _cell(v) -> str:
    return "" if v is None else str(v)


def _aligned(cells) -> list[str]:
    """The lines of the table: a header, a rule, one line per row."""
    widths = [max(len(r[i]) for r in cells) for i in range(len(cells[0]))]
    lines = ["  ".join(c.ljust(w) for c, w in zip(r, widths)).rstrip() for r in cells]
    lines.insert(1, "  ".join("-" * w for w in widths))
    return lines


class Table(RecordFormat):
    aligned = True

    def render(self, rows, fields) -> str:
        cells = [tuple(fields)] + [tuple(_cell(v) for v in row) for row in flat(rows, fields)]
        lines = _aligned(cells)
        # a newline in a name would end its row (and could forge the next): the
        # cells are escaped then (the check is the cheap one of str first)
        if not all(map(str.isprintable, lines)) and any(unsafe(c) for row in cells for c in row):
            lines = _aligned([tuple(printable(c) for c in row) for row in cells])
        return "\n".join(lines) + "\n"

    def chunk(self, text: str, first: bool) -> str:
        return text if first else text.split("\n", 2)[2]   # the header once

    def end(self, fields, chunks: int) -> str:
        return "" if chunks else self.render([], fields)


FORMAT = Table("table", "aligned columns", exact=formats.table)
