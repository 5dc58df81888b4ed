"""keldra-lineage: column-level lineage for SQL files, folders and query logs."""
from __future__ import annotations

import argparse
import os
import signal
import sys

from keldra_lineage import __version__
from keldra_lineage import analysis
from keldra_lineage.analysis import analyse_all
from keldra_lineage.formats import RECORD_WRITERS, WRITERS
from keldra_lineage.inputs import InputError, collect_sources, is_select, read_inputs, split_statements

EXAMPLES = """\
examples:
  keldra-lineage examples/                        every *.sql below a folder
  keldra-lineage etl/ --schema schema.yaml        with the tables' columns
  keldra-lineage report.sql -f json               one file, as one JSON document
  cat query.sql | keldra-lineage -                standard input
  keldra-lineage -e "SELECT t.a AS b FROM db.tbl t"
  keldra-lineage etl/ -f openlineage --namespace warehouse
  keldra-lineage etl/ --trace sales.orders.amount --downstream
  keldra-lineage etl/ -f dot | dot -Tsvg > lineage.svg
  keldra-lineage --dbt jaffle_shop/               a dbt project after `dbt docs generate`

Each record tells which source table and column feed an output column, and
how (type DIRECT or INDIRECT, and a subtype).  Tables written by a statement
(CREATE TABLE ... AS, CREATE VIEW, INSERT) feed the later statements of the
run.  A statement that cannot be parsed is reported on standard error as
FILE:LINE:COLUMN: message, and the run goes on.  --exact gives the original
analysis (SELECT statements only; source and target column names).

exit status: 0 all statements analysed, 1 some failed (a statement whose
worker process dies is one that failed), 2 usage error; 130 (SIGINT) on
Ctrl-C, 141 (SIGPIPE) when the reader of the output goes away
"""

# Measured on this project's 2-core machine (see the report of --jobs): the
# work per statement is too small for worker processes to pay off.
DEFAULT_JOBS = 1


def build_parser() -> argparse.ArgumentParser:
    from keldra_lineage import DIALECTS

    p = argparse.ArgumentParser(
        prog="keldra-lineage",
        description="Column-level lineage of SQL: for every output column of every statement, "
                    "the tables and columns that feed it.",
        epilog=EXAMPLES,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    p.add_argument("paths", nargs="*", metavar="PATH",
                   help="SQL file, folder (every *.sql below it) or - for standard input")
    p.add_argument("-e", "--execute", action="append", default=[], metavar="SQL",
                   help="analyse this SQL text (may be repeated)")
    p.add_argument("--dbt", metavar="PATH",
                   help="a compiled dbt project (its folder, or its target folder): every model "
                        "and snapshot, in dependency order, sources and seeds from catalog.json")
    p.add_argument("-f", "--format", choices=sorted([*WRITERS, "openlineage"]), default="table",
                   help="output format (default: table)")
    p.add_argument("--dialect", choices=DIALECTS, default=None, metavar="NAME",
                   help=f"SQL dialect: {', '.join(DIALECTS)} (default: generic; with --dbt the "
                        "project's adapter)")
    p.add_argument("--schema", action="append", default=[], metavar="PATH",
                   help="tables and their columns: a .json, .yaml or .sql (CREATE TABLE) file; "
                        "may be repeated, later files win")
    p.add_argument("--schema-url", action="append", default=[], metavar="URL",
                   help="read the tables and columns of a live database (a SQLAlchemy URL)")
    p.add_argument("--default-schema", metavar="NAME", help="schema of unqualified table names")
    p.add_argument("--default-database", metavar="NAME", help="database of unqualified table names")
    p.add_argument("--namespace", default="default",
                   help="dataset namespace of -f openlineage (default: default)")
    p.add_argument("--trace", metavar="TABLE.COLUMN",
                   help="column impact: the columns that feed (--upstream) or are fed by "
                        "(--downstream) this column across the statements of the run")
    way = p.add_mutually_exclusive_group()
    way.add_argument("--upstream", action="store_true", help="with --trace: what feeds the column")
    way.add_argument("--downstream", action="store_true", help="with --trace: what the column feeds")
    p.add_argument("--exact", action="store_true",
                   help="the original analysis: SELECT statements only, records of "
                        "file, statement, database, table, src, tgt")
    p.add_argument("-j", "--jobs", type=int, default=None, metavar="N",
                   help=f"worker processes (default: {DEFAULT_JOBS}; with --exact the number of cores)")
    p.add_argument("--fail-fast", action="store_true", help="stop at the first failing statement")
    p.add_argument("-q", "--quiet", action="store_true",
                   help="do not report warnings or skipped statements, or show progress")
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
    if sys.stdout is None:
        _fail("standard output is closed")
    try:
        sys.stdout.write(text)
        sys.stdout.flush()
    except BrokenPipeError:
        _die_of(signal.SIGPIPE)
    except OSError as e:  # a full disk, a device that takes nothing
        # what is still buffered cannot be written either: drop it at exit
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        _fail(f"cannot write the output: {e.strerror or e}")


def _fail(message: str):
    """One line on standard error, exit status 1."""
    if sys.stderr is not None:
        print(f"keldra-lineage: error: {message}", file=sys.stderr)
    raise SystemExit(1)


def _run(argv: list[str] | None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    if not args.paths and not args.execute and not args.dbt:
        parser.print_usage(sys.stderr)
        print("keldra-lineage: error: give a PATH, - for standard input, -e SQL or --dbt PATH",
              file=sys.stderr)
        return 2
    if args.jobs is not None and args.jobs < 1:
        parser.error("--jobs must be at least 1")
    if args.exact:
        return _run_exact(parser, args)
    if args.dialect is None and not args.dbt:
        args.dialect = "generic"
    return _run_engine(parser, args)


def _run_exact(parser, args) -> int:
    """The original analysis, as it has always been."""
    if args.format not in WRITERS:
        parser.error(f"-f {args.format} needs the lineage engine (not --exact)")
    engine_only = {"--trace": args.trace, "--schema": args.schema, "--schema-url": args.schema_url,
                   "--dbt": args.dbt,
                   "--default-schema": args.default_schema, "--default-database": args.default_database}
    for option, value in engine_only.items():
        if value:
            parser.error(f"{option} needs the lineage engine (not --exact)")
    if args.jobs is None:
        args.jobs = os.cpu_count() or 1
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


def _catalog(args):
    """One catalog from every --schema and --schema-url, or None."""
    from keldra_lineage import Catalog

    parts = [Catalog.from_file(p, dialect=args.dialect) for p in args.schema]
    parts += [Catalog.from_database(url) for url in args.schema_url]
    if not parts and args.default_schema is None and args.default_database is None:
        return None
    return Catalog.merge(*parts, Catalog.from_mapping({}), default_schema=args.default_schema,
                         default_database=args.default_database)


def _run_engine(parser, args) -> int:
    from keldra_lineage import graph, openlineage
    from keldra_lineage.records import FIELDS, located, records_of

    if args.trace is not None and "." not in args.trace.strip(". "):
        parser.error(f"--trace {args.trace!r}: give the column as TABLE.COLUMN")
    if args.trace and not (args.upstream or args.downstream):
        parser.error("--trace needs --upstream or --downstream")
    if (args.upstream or args.downstream) and not args.trace:
        parser.error("--upstream and --downstream go with --trace TABLE.COLUMN")
    if args.trace and args.format == "openlineage":
        parser.error("--trace gives columns, not datasets: choose another format than openlineage")
    try:
        catalog = _catalog(args)
    except (OSError, ValueError) as e:
        print(f"keldra-lineage: error: schema: {' '.join(str(e).split())}", file=sys.stderr)
        return 2
    except Exception as e:  # a database that cannot be reached (SQLAlchemy's errors)
        print(f"keldra-lineage: error: schema: {type(e).__name__}: {' '.join(str(e).split())[:300]}",
              file=sys.stderr)
        return 2

    project = None
    if args.dbt:
        from keldra_lineage import Catalog, dbt

        try:
            project = dbt.read_project(args.dbt)
        except dbt.DbtProjectError as e:
            print(f"keldra-lineage: error: --dbt {e}", file=sys.stderr)
            return 2
        args.dialect = args.dialect or project.dialect
        catalog = Catalog.merge(project.schema, *([catalog] if catalog is not None else []))
        if not args.quiet:
            for note in project.notes:
                print(f"keldra-lineage: {note}", file=sys.stderr)
            print(f"keldra-lineage: {project.summary()}", file=sys.stderr)

    # Every input in order: (name, text or None, target, kind, problem, fatal).
    inputs = [(i.name, i.text, None, None, i.error, True) for i in read_inputs(args.paths, args.execute)]
    if project is not None:
        inputs += [(m.file, m.text, m.relation, m.kind, m.problem and f"1: {m.problem}", m.fatal)
                   for m in project.models]
    readable = [(text, target) for _, text, target, _, _, _ in inputs if text is not None]
    show = not args.quiet and sys.stderr.isatty() and len(readable) > 1
    bar, tick = _progress_bar(len(readable), show)
    results = analysis.lineage_run(readable, args.dialect, catalog, args.jobs or DEFAULT_JOBS, tick)

    rows, documents, failed = [], [], False
    try:
        for name, text, target, kind, problem, fatal in inputs:
            if text is None:
                if not fatal:
                    if not args.quiet:
                        print(f"{name}:{problem.replace(': ', ': warning: ', 1)}", file=sys.stderr)
                    continue
                failed = True
                print(f"{name}:{problem}", file=sys.stderr)
                if args.fail_fast:
                    break
                continue
            status, *payload = next(results)
            statements = payload[0]
            if status == "error":
                failed = True
                print(located(name, 1, statements), file=sys.stderr)
                statements = []
            elif kind is not None:
                statements = analysis.named_as(statements, kind)
            for st in statements:
                if st.error is not None:
                    failed = True
                    print(located(name, st.line, st.error), file=sys.stderr)
                    continue
                if not args.quiet:
                    for w in st.warnings:
                        print(located(name, st.line, w, "warning: "), file=sys.stderr)
                if args.format == "openlineage":
                    documents.append(openlineage.dataset(name, st, args.namespace))
                else:
                    rows.extend(records_of(name, st))
            if failed and args.fail_fast:
                break
    finally:
        results.close()
        if bar:
            bar.close()

    if args.format == "openlineage":
        import json

        _write("".join(json.dumps(d, ensure_ascii=False) + "\n" for d in documents))
    elif args.trace:
        g = graph.Graph(rows)
        start = g.find(args.trace)
        if not start:
            print(f"keldra-lineage: error: --trace {args.trace}: no such column in the lineage "
                  "of these statements", file=sys.stderr)
            return 2
        reached, taken = graph.trace(g, start, args.upstream)
        if args.format in ("dot", "mermaid"):
            _write(getattr(graph, args.format)(g, taken))
        else:
            _write(RECORD_WRITERS[args.format](reached, graph.Reached._fields))
    elif args.format in ("dot", "mermaid"):
        _write(getattr(graph, args.format)(graph.Graph(rows)))
    else:
        _write(RECORD_WRITERS[args.format](rows, FIELDS))
    return 1 if failed else 0
