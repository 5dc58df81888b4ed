"""keldra-lineage: column-level lineage for SQL files, folders and query logs."""
from __future__ import annotations

import argparse
import os
import signal
import sys

from keldra_lineage import analysis
from keldra_lineage import output
from keldra_lineage.analysis import analyse_all
from keldra_lineage.escaping import path_text, printable
from keldra_lineage.inputs import InputError, collect_sources, is_select, read_inputs, split_statements

EXAMPLES = """\
examples:
  keldra-lineage examples/                        every *.sql below a folder
  keldra-lineage etl/ --schema schema.yaml        with the tables' columns
  keldra-lineage report.sql -f json               one file, as one JSON document
  cat query.sql | keldra-lineage -                standard input
  keldra-lineage -e "SELECT t.a AS b FROM db.tbl t"
  keldra-lineage etl/ -f openlineage --namespace warehouse
  OPENLINEAGE_URL=http://localhost:5000 keldra-lineage etl/ --emit -q
  keldra-lineage etl/ -f html > lineage.html      an interactive page, offline
  keldra-lineage etl/ --trace sales.orders.amount --downstream
  keldra-lineage etl/ -f dot | dot -Tsvg > lineage.svg
  keldra-lineage --dbt jaffle_shop/               a dbt project after `dbt docs generate`
  keldra-lineage --query-log history.csv.gz -f jsonl   a warehouse's query history
  keldra-lineage --query-log jobs.parquet --output lineage.duckdb

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


class _Version(argparse.Action):
    """--version: the installed version, looked up only when asked for."""

    def __init__(self, option_strings, dest=argparse.SUPPRESS, default=argparse.SUPPRESS,
                 help="show the program's version number and exit"):
        super().__init__(option_strings, dest=dest, default=default, nargs=0, help=help)

    def __call__(self, parser, namespace, values, option_string=None):
        from keldra_lineage import __version__

        _write(f"{parser.prog} {__version__}\n")
        parser.exit()


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
    p.add_argument("--query-log", action="append", default=[], metavar="FILE",
                   help="a query history: CSV, TSV, JSON lines or Parquet, optionally .gz or .zst "
                        "(may be repeated); each distinct query is analysed once")
    p.add_argument("--query-column", metavar="NAME",
                   help="the logs' query column (default: query_text, query, querytxt, sql or statement)")
    p.add_argument("--id-column", metavar="NAME",
                   help="the logs' query id column (default: query_id, job_id, queryid, statement_id or id)")
    p.add_argument("-f", "--format", choices=output.formats(), default=None, metavar="FORMAT",
                   help=f"output format (default: {output.DEFAULT}): "
                        + ", ".join(f"{f.name} ({f.summary})" for f in output.formats().values()))
    p.add_argument("--output", metavar="PATH",
                   help="write the run into a lineage store: a .duckdb or .sqlite/.db file or a folder "
                        "of Parquet files (standard output then has records only with -f)")
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
                   help="namespace of the jobs and datasets of -f openlineage and --emit (default: default)")
    p.add_argument("--emit", action="store_true",
                   help="send an OpenLineage run event for every statement through the transport "
                        "that OPENLINEAGE_URL or openlineage.yml configures")
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
                   help="do not report warnings or skipped statements (with --exact: nor show progress)")
    p.add_argument("--warnings", choices=("all", "summary", "none"), default="summary",
                   help="warnings on standard error: all, the first 20 and then a summary by kind "
                        "(summary, the default) or none")
    p.add_argument("--no-progress", action="store_true", help="no progress bar (shown on a terminal only)")
    p.add_argument("--version", action=_Version)
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
        try:
            sys.stdout.write(text)
        except UnicodeEncodeError:
            # a name the output's encoding cannot hold (bytes of a file name that
            # is not UTF-8, from where no name was made safe): as escapes
            encoding = sys.stdout.encoding or "utf-8"
            sys.stdout.write(text.encode(encoding, "backslashreplace").decode(encoding))
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
    if not args.paths and not args.execute and not args.dbt and not args.query_log:
        parser.print_usage(sys.stderr)
        print("keldra-lineage: error: give a PATH, - for standard input, -e SQL, --dbt PATH "
              "or --query-log FILE", file=sys.stderr)
        return 2
    if args.jobs is not None and args.jobs < 1:
        parser.error("--jobs must be at least 1")
    if args.exact:
        for option, value in (("--query-log", args.query_log), ("--output", args.output)):
            if value:
                parser.error(f"{option} needs the lineage engine (not --exact)")
        args.format = args.format or output.DEFAULT
        return _run_exact(parser, args)
    if (args.query_column or args.id_column) and not args.query_log:
        parser.error("--query-column and --id-column go with --query-log FILE")
    if args.dialect is None and not args.dbt:
        args.dialect = "generic"
    return _run_engine(parser, args)


def _run_exact(parser, args) -> int:
    """The original analysis, as it has always been."""
    writer = output.get(args.format).exact
    if writer is None:
        parser.error(f"-f {args.format} needs the lineage engine (not --exact)")
    engine_only = {"--trace": args.trace, "--emit": args.emit, "--schema": args.schema, "--schema-url": args.schema_url,
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
    _write(writer(rows))
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


def _is_create(sql: str) -> bool:
    """A view's definition given whole (SQLite keeps the CREATE VIEW statement)."""
    return sql.lstrip().lower().startswith("create")


def _run_engine(parser, args) -> int:
    from keldra_lineage.records import located
    from keldra_lineage.reporting import Progress, Reporter

    if args.trace is not None and "." not in args.trace.strip(". "):
        parser.error(f"--trace {args.trace!r}: give the column as TABLE.COLUMN")
    if args.trace and not (args.upstream or args.downstream):
        parser.error("--trace needs --upstream or --downstream")
    if (args.upstream or args.downstream) and not args.trace:
        parser.error("--upstream and --downstream go with --trace TABLE.COLUMN")
    if args.trace and args.format and not output.get(args.format).trace:
        parser.error(f"--trace gives columns, not datasets: choose another format than {args.format}")
    try:
        catalog = _catalog(args)
    except Exception as e:  # a bad schema, or a database that cannot be reached (SQLAlchemy's errors)
        from keldra_lineage.catalog import redacted, url_secrets

        text = redacted(" ".join(str(e).split()), [s for url in args.schema_url for s in url_secrets(url)])
        if isinstance(e, (OSError, ValueError)):
            print(f"keldra-lineage: error: schema: {text}", file=sys.stderr)
        else:
            print(f"keldra-lineage: error: schema: {type(e).__name__}: {text[:300]}", file=sys.stderr)
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
                print(f"keldra-lineage: {printable(note)}", file=sys.stderr)
            print(f"keldra-lineage: {project.summary()}", file=sys.stderr)

    # Every input in order: (name, text or None, target, kind, problem, fatal).
    # The views of a database come first: the queries over them trace
    # through them to their tables.
    inputs = [(f"<view {name}>", sql, None if _is_create(sql) else name, "create_view", None, True)
              for name, sql in (catalog.views if catalog is not None else ())]
    inputs += [(i.name, i.text, None, None, i.error, i.fatal) for i in read_inputs(args.paths, args.execute)]
    if project is not None:
        inputs += [(m.file, m.text, m.relation, m.kind, m.problem and f"1: {m.problem}", m.fatal)
                   for m in project.models]
    readable = [(text, target) for _, text, target, _, _, _ in inputs if text is not None]
    total = sum(len(t.encode("utf-8", "surrogatepass")) for t, _ in readable)
    logs_size = [os.path.getsize(f) if os.path.isfile(f) else 0 for f in args.query_log]
    # a compressed log's size says nothing of the text it holds: no total then
    known = all(not f.endswith((".gz", ".zst", ".zstd", ".parquet", ".pq")) for f in args.query_log)
    progress = Progress(total + sum(logs_size) if known else None,
                        not args.no_progress and sys.stderr is not None and sys.stderr.isatty())
    reporter = Reporter("none" if args.quiet else args.warnings, progress=progress)
    try:
        out = _Output(args, progress)
    except _EmitError as e:
        progress.close()
        print(f"keldra-lineage: error: --emit: {e}", file=sys.stderr)
        return 2
    except ValueError as e:
        progress.close()
        print(f"keldra-lineage: error: --output {' '.join(str(e).split())}", file=sys.stderr)
        return 2
    from keldra_lineage.worker import Supervisor, WorkerStartError

    # The analysis runs in worker processes only: this one reads, supervises and writes.
    workers = Supervisor(args.dialect, catalog, args.jobs or DEFAULT_JOBS)
    results = analysis.lineage_run(readable, args.dialect, catalog, workers.workers, supervisor=workers)

    failed = stopped = False
    try:
        for name, text, target, kind, problem, fatal in inputs:
            if text is None:
                if not fatal:
                    reporter.warning(f"{name}:{problem.replace(': ', ': warning: ', 1)}", "skipped_input")
                    continue
                failed = True
                reporter.error(f"{name}:{problem}")
                out.problem(name, problem, "unreadable_input")
                if args.fail_fast:
                    stopped = True
                    break
                continue
            status, *payload = next(results)
            statements = payload[0]
            if status == "error":
                failed = True
                reporter.error(located(name, 1, statements))
                out.problem(name, statements, "engine_fault")
                statements = []
            elif kind is not None:
                statements = analysis.named_as(statements, kind)
            for st in statements:
                if st.error is not None:
                    failed = True
                    reporter.error(located(name, st.line, st.error))
                    continue
                for w in st.warnings:
                    reporter.warning(located(name, st.line, w, "warning: "), w.kind)
            out.statements(name, statements, text)
            progress.advance(len(text.encode("utf-8", "surrogatepass")), len(statements))
            if failed and args.fail_fast:
                stopped = True
                break
        if not stopped:
            failed = _read_logs(args, catalog, reporter, out, progress, workers) or failed
        out.close(parser)
    except WorkerStartError as e:
        out.close(parser)
        reporter.error(f"keldra-lineage: error: {e}")
        failed = True
    finally:
        results.close()
        workers.close()
        progress.close()
        out.discard()
    reporter.close()
    return out.status or (1 if failed else 0)


def _read_logs(args, catalog, reporter, out, progress, workers) -> bool:
    """Every --query-log in order, each row as it is read; whether some failed."""
    if not args.query_log:
        return False  # nor import the fingerprint's tokenizer
    from keldra_lineage.querylog import LogAnalyser, QueryLogError, read_query_log

    analyser = LogAnalyser(args.dialect, catalog, supervisor=workers)
    failed = False
    for log in args.query_log:
        try:
            for result in analyser.run(read_query_log(log, args.query_column, args.id_column)):
                row = result.row
                for p in result.problems:
                    if p.kind == "missing_query":
                        reporter.warning(f"{row.where}: warning: {p.message}", p.kind)
                    else:
                        failed = True
                        reporter.error(f"{row.where}: {p.message}")
                first = result.occurrence == 1   # a copy's messages were said for its first row
                for st in result.statements:
                    if st.error is not None:
                        failed = True
                        reporter.error(f"{row.where}: {st.error}")
                    elif first:
                        for w in st.warnings:
                            reporter.warning(f"{row.where}: warning: {w}", w.kind)
                out.log_result(result)
                progress.advance(len(row.query.encode("utf-8", "surrogatepass")) if row.query else 0,
                                 len(result.statements))
                if failed and args.fail_fast:
                    return True
        except QueryLogError as e:
            failed = True
            reporter.error(f"{e.file}: {' '.join(e.message.split())}")
            out.problem(e.file, e.message, "unreadable_input")
            if args.fail_fast:
                return True
    return failed


class _EmitError(Exception):
    """--emit cannot send: no transport configured."""


class _Output:
    """Where the results go as each input is done: the writer of the output
    format (keldra_lineage.output), the OpenLineage events of --emit and the
    lineage store of --output."""

    def __init__(self, args, progress):
        def write(text):
            progress.clear()
            _write(text)

        self.args = args
        self.status = 0
        self.run = output.Run(write, logs=bool(args.query_log), namespace=args.namespace,
                              dialect=args.dialect or "generic", trace=args.trace, upstream=args.upstream)
        # with --output alone the records go to the store only
        name = args.format or (output.DEFAULT if not args.output or args.trace else None)
        self.writer = output.get(name).writer(self.run) if name else None
        self.store = None
        if args.output:
            from keldra_lineage.store import LineageStore

            self.store = LineageStore(args.output)
        self.emitter = None
        if args.emit:
            from keldra_lineage import openlineage

            try:
                self.emitter = openlineage.Emitter()
            except openlineage.EmitError as e:
                raise _EmitError(str(e)) from None

    def statements(self, name, statements, text=""):
        if self.store is not None:
            self.store.add_statements(name, statements)
        self._add(output.Done(self.run, name, statements, text))

    def log_result(self, result):
        if self.store is not None:
            self.store.add_log_result(result)
        self._add(output.Done(self.run, result.row.file, result.statements, result=result))

    def _add(self, done):
        if self.writer is not None:
            self.writer.add(done)
        if self.emitter is not None:
            from keldra_lineage import openlineage

            for st, event in done.events():
                try:
                    self.emitter.emit(event)
                except openlineage.EmitError as e:
                    _fail(f"--emit: {done.name}:{st.line}: {e}")

    def problem(self, name, message, kind):
        if self.store is not None:
            from keldra_lineage import Message

            self.store.add_problem(path_text(name), Message(kind, None, None, " ".join(str(message).split())))

    def close(self, parser):
        if self.emitter is not None:
            self.emitter.close()
        if self.writer is not None:
            try:
                self.writer.close()
            except output.NoSuchColumn as e:
                print(f"keldra-lineage: error: {printable(str(e))}", file=sys.stderr)
                self.status = 2
        if self.store is not None:
            store, self.store = self.store, None
            store.close()

    def discard(self):
        """After a failure or an interrupt: the store keeps what it had."""
        if self.store is not None:
            store, self.store = self.store, None
            store.discard()
