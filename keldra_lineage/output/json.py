"""-f json: the records as one JSON array of objects."""
from __future__ import annotations

import json

from keldra_lineage import formats
from keldra_lineage.output import RecordFormat


class Json(RecordFormat):
    def render(self, rows, fields) -> str:
        return json.dumps([dict(zip(fields, r)) for r in rows], indent=2, ensure_ascii=False) + "\n"

    def chunk(self, text: str, first: bool) -> str:
        # "[\n  {...},\n  {...}\n]\n": the items, joined across chunks
        return ("[\n" if first else ",\n") + text[2:-3]

    def end(self, fields, chunks: int) -> str:
        return "\n]\n" if chunks else "[]\n"


FORMAT = Json("json", "one JSON array of records", exact=formats.json_document)
