"""-f csv: the records as CSV with a header line."""
from __future__ import annotations

import csv
import io

from keldra_lineage import formats
from keldra_lineage.output import RecordFormat, flat


class Csv(RecordFormat):
    def render(self, rows, fields) -> str:
        out = io.StringIO()
        writer = csv.writer(out, lineterminator="\n")
        writer.writerow(fields)
        writer.writerows(flat(rows, fields))
        return out.getvalue()

    def chunk(self, text: str, first: bool) -> str:
        return text if first else text.split("\n", 1)[1]   # the header once

    def end(self, fields, chunks: int) -> str:
        return "" if chunks else self.render([], fields)


FORMAT = Csv("csv", "comma-separated values with a header", exact=formats.csv_text)
