"""A prototype of faster JSON lines for query-log records, measured against
today's rendering (keldra_lineage.streaming.SharedLines with records.records_of).

Today each record becomes a Record tuple, a dict and a json.dumps call (a new
JSONEncoder each time, since ensure_ascii=False is not the default).  The
prototype writes the same bytes from the statement directly: the fields a
statement's records share are encoded once, each string value goes through
the json module's own C string encoder (`json.encoder.encode_basestring`,
what json.dumps uses with ensure_ascii=False), and nothing else is built.

    python bench/jsonl_render.py            # byte-identity check and timing
    python bench/jsonl_render.py --command  # also the command on the distinct log, with and without it

Run with the project's interpreter.  Prints Markdown.
"""
from __future__ import annotations

import argparse
import json
import statistics
import subprocess
import sys
import time
from json.encoder import encode_basestring as _string
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import querylog as bench  # noqa: E402


def _value(v) -> str:
    return "null" if v is None else _string(v)


def statement_prefixes(file: str, st) -> list[str]:
    """The statement part of each JSON line of a statement's records, as
    SharedLines makes them: `{"file": ..., ..., "subtype": ..., ` (the row's
    own fields follow)."""
    head = (f'{{"file": {_string(file)}, "statement": {st.index}, "line": {st.line}, '
            f'"kind": {_string(st.kind)}, "target": {_value(st.target)}, "column": ')
    out = []
    append = out.append
    for c in st.columns:
        col = head + _value(c.name) + ', "source_table": '
        if not c.sources:
            append(col + 'null, "source_column": null, "type": null, "subtype": null, ')
        for s in c.sources:
            append(f'{col}{_value(s.table)}, "source_column": {_value(s.column)}, "type": {_value(s.type)}, '
                   f'"subtype": {_value(s.subtype)}, ')
    if st.indirect:
        col = head + 'null, "source_table": '
        for s in st.indirect:
            append(f'{col}{_value(s.table)}, "source_column": {_value(s.column)}, "type": {_value(s.type)}, '
                   f'"subtype": {_value(s.subtype)}, ')
    return out


def fast_lines(self, key, statements, head_rows, tail):
    """A drop-in SharedLines.lines that renders with statement_prefixes."""
    hit = self._cache.get(key)
    if hit is None or hit[0] is not statements:
        if len(self._cache) >= self._size:
            self._cache.clear()
        file = key[1]
        prefixes = [p for st in statements if st.error is None for p in statement_prefixes(file, st)]
        hit = self._cache[key] = (statements, prefixes)
    end = json.dumps(dict(zip(self.tail_fields, tail)), ensure_ascii=False)[1:]
    return [p + end for p in hit[1]]


def today_prefixes(file, statements, head_fields):
    from keldra_lineage.records import records_of

    return [json.dumps(dict(zip(head_fields, r)), ensure_ascii=False)[:-1] + ", "
            for st in statements if st.error is None for r in records_of(file, st)]


def main() -> None:
    import keldra_lineage
    from keldra_lineage.records import FIELDS

    p = argparse.ArgumentParser()
    p.add_argument("--rounds", type=int, default=5)
    p.add_argument("--command", action="store_true", help="time the command with and without the prototype")
    p.add_argument("--distinct", type=int, default=3000)
    args = p.parse_args()
    cat = keldra_lineage.Catalog(bench.schema())
    queries = bench.corpus_queries()
    texts = [f"SELECT {k} AS c{k}; {queries[k % len(queries)]}" for k in range(len(queries) * 4)]
    analysed = [keldra_lineage.lineage(t, "generic", cat) for t in texts]
    # the same bytes, for every statement of the corpus and one with odd names
    odd = keldra_lineage.lineage('SELECT "naïve ""x""\\n" AS "é", NULL, t.a FROM "t\tab" t', "generic")
    for sts in analysed + [odd]:
        assert [p for st in sts for p in statement_prefixes("f.csv", st)] == today_prefixes("f.csv", sts, FIELDS)
    records = sum(len(today_prefixes("f", sts, FIELDS)) for sts in analysed)
    times = {"today": [], "prototype": []}
    for _ in range(args.rounds):   # alternated, so that the machine's load falls on both alike
        start = time.perf_counter()
        for sts in analysed:
            today_prefixes("f.csv", sts, FIELDS)
        times["today"].append(time.perf_counter() - start)
        start = time.perf_counter()
        for sts in analysed:
            [p for st in sts for p in statement_prefixes("f.csv", st)]
        times["prototype"].append(time.perf_counter() - start)
    med = {k: statistics.median(v) / records * 1e6 for k, v in times.items()}
    print(f"- {records:,} records of {len(texts):,} texts, byte-identical lines; median of {args.rounds} "
          f"alternated rounds: today {med['today']:.2f} µs a record, prototype {med['prototype']:.2f} µs "
          f"({med['today'] / med['prototype']:.1f}x)")
    if args.command:
        import tempfile

        scratch = Path(tempfile.mkdtemp(prefix="keldra-render-"))
        bench.SCHEMA_FILE = scratch / "schema.json"
        bench.SCHEMA_FILE.write_text(json.dumps(bench.schema()))
        rates = bench.distinct_rounds(scratch, args.distinct, args.rounds, patched=True)
        for name, values in rates.items():
            print(f"- {name}: {statistics.median(values):,.0f} statements/s (median of {len(values)})")


if __name__ == "__main__":
    main()
