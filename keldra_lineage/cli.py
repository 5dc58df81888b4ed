"""keldra-lineage: column-level lineage for SQL files, folders and query logs."""
from __future__ import annotations

import argparse
import os
import signal
import sys

from keldra_lineage import __version__
from keldra_lineage.analysis import analyse_all
from keldra_lineage.formats import WRITERS
from keldra_lineage.inputs import InputError, collect_sources, is_select, split_statements

EXAMPLES = """\
examples:
  keldra-lineage examples/                        every *.sql below a folder
  keldra-lineage report.sql -f json               one file, as one JSON document
  cat query.sql | keldra-lineage -                standard input
  keldra-lineage -e "SELECT t.a AS b FROM db.tbl t"
  keldra-lineage logs/ -f jsonl --jobs 4 > lineage.jsonl
  keldra-lineage report.sql -f dot | dot -Tsvg > lineage.svg

Each record tells which source table and column feed an output column.
Statements that are not SELECT queries (DDL, SET, USE) are skipped.  A
statement that cannot be parsed or attributed is reported on standard error
as FILE:LINE and the run goes on.

exit status: 0 all statements analysed, 1 some failed, 2 usage error
"""


def build_parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(
        prog="keldra-lineage",
        description="Column-level lineage of SQL SELECT statements: for every output column, "
                    "the table and the source column that feed it.",
        epilog=EXAMPLES,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    p.add_argument("paths", nargs="*", metavar="PATH",
                   help="SQL file, folder (every *.sql below it) or - for standard input")
    p.add_argument("-e", "--execute", action="append", default=[], metavar="SQL",
                   help="analyse this SQL text (may be repeated)")
    p.add_argument("-f", "--format", choices=sorted(WRITERS), default="table",
                   help="output format (default: table)")
    p.add_argument("-j", "--jobs", type=int, default=os.cpu_count() or 1, metavar="N",
                   help="worker processes (default: the number of cores)")
    p.add_argument("--fail-fast", action="store_true", help="stop at the first failing statement")
    p.add_argument("-q", "--quiet", action="store_true",
                   help="do not report skipped statements or show progress")
    p.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    return p


def _progress_bar(total: int, enabled: bool):
    if not enabled:
        return None, None
    from tqdm import tqdm

    bar = tqdm(total=total, unit="stmt", file=sys.stderr, leave=False)
    return bar, lambda: bar.update(1)


def main(argv: list[str] | None = None) -> int:
    """The command's exit status. On Ctrl-C, and when standard output's reader
    has gone, the process ends by the signal instead."""
    try:
        return _run(argv)
    except KeyboardInterrupt:
        # The job runner has ended the workers; standard output is untouched.
        print("keldra-lineage: interrupted", file=sys.stderr)
        _die_of(signal.SIGINT)


def _die_of(signum: int):
    """End the process by the signal, as a C program ends by default: the shell
    reports 128 + the signal's number, and a shell script running the command
    knows it was stopped (bash ends a loop on Ctrl-C only when the child was
    killed by SIGINT, not when it exited with status 130)."""
    sys.stderr.flush()
    signal.signal(signum, signal.SIG_DFL)
    os.kill(os.getpid(), signum)
    os._exit(128 + signum)  # only if the signal could not be delivered


def _write(text: str):
    """The output on standard output. When the reader has gone (`| head -1`),
    end the way well-behaved filters such as cat and grep do: silently, by
    SIGPIPE."""
    try:
        sys.stdout.write(text)
        sys.stdout.flush()
    except BrokenPipeError:
        _die_of(signal.SIGPIPE)


def _run(argv: list[str] | None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    if not args.paths and not args.execute:
        parser.print_usage(sys.stderr)
        print("keldra-lineage: error: give a PATH, - for standard input, or -e SQL", file=sys.stderr)
        return 2
    if args.jobs < 1:
        parser.error("--jobs must be at least 1")
    try:
        sources = collect_sources(args.paths, args.execute)
    except InputError as e:
        print(f"keldra-lineage: error: {e}", file=sys.stderr)
        return 2

    statements = [s for name, text in sources for s in split_statements(name, text)]
    queries = []
    for s in statements:
        if is_select(s):
            queries.append(s)
        elif not args.quiet:
            print(f"{s.where}: statement {s.number}: skipped, not a SELECT: {s.first_line}",
                  file=sys.stderr)

    show = not args.quiet and sys.stderr.isatty() and len(sources) > 1
    bar, tick = _progress_bar(len(set(q.text for q in queries)), show)
    try:
        results = analyse_all([q.text for q in queries], args.jobs, args.fail_fast, tick)
    finally:
        if bar:
            bar.close()

    rows, failed = [], False
    for q in queries:
        if q.text not in results:  # after a failure with --fail-fast
            break
        status, payload = results[q.text]
        if status == "ok":
            rows.extend((q.source, q.number, *record) for record in payload)
        else:
            failed = True
            print(f"{q.where}: statement {q.number}: {payload}\n    {q.first_line}", file=sys.stderr)
            if args.fail_fast:
                break
    _write(WRITERS[args.format](rows))
    return 1 if failed else 0
