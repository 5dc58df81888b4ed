"""Running the analysis over statements, in this process or in worker processes."""
from __future__ import annotations

import contextlib
import io
import re
import signal
from collections import deque
from collections.abc import Callable, Iterable, Iterator
from concurrent.futures import FIRST_COMPLETED, ProcessPoolExecutor, wait
from concurrent.futures.process import BrokenProcessPool
from dataclasses import dataclass

Record = tuple  # (database, table, src, tgt)


def _original():
    """The original analysis's module, imported when first needed (the
    lineage engine does not need its parser, which is slow to import)."""
    import sqlparse_main

    return sqlparse_main


def analyse(sql: str):
    """("ok", records) or ("error", message) for one statement.

    Whatever the library prints while analysing is kept out of the command's
    output and added to the error message.
    """
    printed = io.StringIO()
    try:
        with contextlib.redirect_stdout(printed):
            records = _original().KeldraParseMain()._parse_sql(sql)
        rows = sorted({(r.database, r.table, r.src, r.tgt) for r in records}, key=_sort_key)
        return ("ok", rows)
    except Exception as e:  # every failure of a statement is reported, and the run goes on
        message = f"{type(e).__name__}: {_describe(e)}"
        extra = printed.getvalue().strip()
        if extra:
            message += f" (printed: {' '.join(extra.split())})"
        return ("error", message)


# The parser lists every alternative it expected; where it stopped is what a
# reader needs.
_STOPPED = re.compile(r'found (".*?") \(at char \d+, \(line:(\d+), col:(\d+)\)')


def _describe(error: Exception) -> str:
    text = " ".join(str(error).split())
    stopped = _STOPPED.search(text) if type(error).__name__ == "ParseException" else None
    if stopped:
        near, line, col = stopped.groups()
        return f"cannot parse the statement near {near} (line {line}, column {col} of the cleaned text)"
    return text if len(text) <= 500 else text[:497] + "..."


def _sort_key(row):
    return tuple("" if v is None else str(v) for v in row)


def analyse_all(texts: list[str], jobs: int, fail_fast: bool = False, progress=None):
    """Results for each distinct text, in input order; identical texts are analysed once.

    With fail_fast the results end at the first failure.
    """
    results: dict[str, tuple] = {}
    with contextlib.closing(run_jobs(analyse, dict.fromkeys(texts), jobs)) as outcomes:
        for text, result in outcomes:
            if isinstance(result, WorkerDied):
                result = ("error", f"the worker process analysing the statement {result}")
            results[text] = result
            if progress:
                progress()
            if fail_fast and result[0] == "error":
                break
    return results


# The job runner: what it runs is the caller's business.

@dataclass(frozen=True)
class WorkerDied:
    """The result of a job whose worker process ended before giving one."""
    exitcode: int | None

    def __str__(self) -> str:
        if self.exitcode is None:
            how = "no exit status"
        elif self.exitcode >= 0:
            how = f"exit status {self.exitcode}"
        else:
            try:
                how = f"killed by {signal.Signals(-self.exitcode).name}"
            except ValueError:
                how = f"killed by signal {-self.exitcode}"
        return f"ended abruptly ({how})"


def run_jobs(func: Callable, items: Iterable, workers: int) -> Iterator[tuple]:
    """(item, func(item)) for every item, in input order, from `workers` processes.

    With one worker the jobs run in this process. A job whose worker process
    dies (a signal, os._exit, a crash in native code) does not take the
    others with it: the jobs in flight in the dead pool are run again, one by
    one in a fresh pool and then each in a process of its own, and one that
    kills that process too gives WorkerDied instead of a result. An exception
    raised by func ends the run. Closing the iterator, or an exception such as
    KeyboardInterrupt while it waits, ends the worker processes at once.
    """
    items = list(items)
    workers = min(workers, len(items))
    if workers <= 1:
        for item in items:
            yield item, func(item)
        return
    # Jobs go to the workers in batches: a job costs the pool about 0.1 ms,
    # a short statement takes little more. Small batches keep the work to
    # redo after a worker's death small.
    yield from _run(func, items, workers, batch=max(1, min(len(items) // (workers * 8), 16)))


def _run(func, items: list, workers: int, batch: int):
    todo = deque(items[i:i + batch] for i in range(0, len(items), batch))
    while todo:
        with _pool(workers) as pool:
            left = yield from _run_in(pool, func, todo, limit=2 * workers)
        if left:
            yield from _run_again(func, left, workers, batch)


def _run_in(pool, func, todo: deque, limit: int):
    """Yield (item, result) in input order while the pool lives; when it dies,
    return the batches in flight as (batch, future), in input order."""
    window = deque()   # (batch, future) in input order, not yet given out
    running = set()
    while todo or window:
        while todo and len(running) < limit:
            try:
                future = _submit(pool, func, todo[0])
            except BrokenProcessPool:
                return window
            window.append((todo.popleft(), future))
            running.add(future)
        if running:
            _, running = wait(running, return_when=FIRST_COMPLETED)
        while window and window[0][1].done():
            if _died(window[0][1]):
                return window
            batch, future = window.popleft()
            yield from zip(batch, future.result())
    return window


def _run_again(func, left, workers: int, batch: int):
    """The batches in flight when a pool died, in input order: the results of
    those that had finished; the others run again in smaller units."""
    lost = [item for chunk, future in left if _died(future) for item in chunk]
    if batch > 1:
        again = _run(func, lost, min(workers, len(lost)), 1)
    else:
        again = ((item, _run_alone(func, item)) for item in lost)
    with contextlib.closing(again):
        for chunk, future in left:
            if _died(future):
                for _ in chunk:
                    yield next(again)
            else:
                yield from zip(chunk, future.result())


def _run_alone(func, item):
    """func(item) in a process of its own, or WorkerDied."""
    with _pool(1) as pool:
        future = _submit(pool, func, [item])
        [process] = _processes(pool)
        try:
            [result] = future.result()
            return result
        except BrokenProcessPool:
            pool.shutdown(wait=True)  # the pool's own thread reaps the process
            return WorkerDied(process.exitcode)


def _died(future) -> bool:
    """The job's worker process died (waits for the future)."""
    return isinstance(future.exception(), BrokenProcessPool)


def _run_batch(func, batch: list) -> list:
    return [func(item) for item in batch]


@contextlib.contextmanager
def _pool(workers: int):
    pool = ProcessPoolExecutor(max_workers=workers, initializer=_ignore_interrupts)
    try:
        yield pool
    except BaseException:
        # Interrupted, closed early or failed: the jobs still running are of no use.
        for process in _processes(pool):
            process.terminate()
        raise
    finally:
        pool.shutdown(wait=True, cancel_futures=True)


def _processes(pool: ProcessPoolExecutor) -> list:
    # The executor offers no public way to end its workers before Python 3.14
    # (terminate_workers); this is the table that method reads.
    return list((pool._processes or {}).values())


def _submit(pool: ProcessPoolExecutor, func, batch: list):
    # The pool forks its workers inside submit. A Ctrl-C that reached a worker
    # before it ignores SIGINT would print a traceback from it, so the
    # workers start with SIGINT blocked and unblock it once it is ignored.
    with _sigint_blocked():
        return pool.submit(_run_batch, func, batch)


@contextlib.contextmanager
def _sigint_blocked():
    before = signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT})
    try:
        yield
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, before)


def _ignore_interrupts():
    # A Ctrl-C at the terminal goes to the workers too; the parent ends them.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    signal.pthread_sigmask(signal.SIG_UNBLOCK, {signal.SIGINT})


# The lineage engine: one job per input text, all of them one session, run by
# supervised worker processes (worker.py).

# Texts handed to the workers ahead of the one whose result is written next:
# enough that a worker never waits for the next, few enough that memory does
# not grow with the run.
_AHEAD_PER_WORKER = 8
_AHEAD_CHARS = 1 << 24


def lineage_run(inputs: Iterable[tuple[str, str | None]], dialect: str, catalog, jobs: int,
                progress=None, supervisor=None) -> Iterator[tuple]:
    """("ok", statements) or ("error", message) for every (text, name) of
    `inputs`, in input order, each as soon as it is known: the texts are one
    session, so a table created by an earlier text feeds the later ones.

    Worker processes analyse the texts (`supervisor`'s, or `jobs` of a
    supervisor of this run's own), so a statement that kills its process is
    that statement's error and nothing else is lost.  With one job one worker
    runs the texts in order in the run's session.  With more, the workers
    analyse texts at once, each in a session of its own; a text's result
    stands as it is unless the texts before it created tables or it creates
    one itself: then it runs again in the run's session, so that the results
    never depend on the number of jobs."""
    from keldra_lineage.worker import FRESH, SESSION, Job, Supervisor

    runner = supervisor if supervisor is not None else Supervisor(dialect, catalog, jobs)
    parallel = runner.workers > 1
    defined = False  # whether the run's session may hold a table yet
    pending: deque = deque()
    chars = 0
    texts = iter(inputs)
    try:
        while True:
            # Once the session may hold a table, the texts read ahead in
            # sessions of their own run again in it, in order, before any
            # later text goes there.
            while (len(pending) < _AHEAD_PER_WORKER * runner.workers and chars < _AHEAD_CHARS
                   and not (defined and pending and pending[-1].job.mode == FRESH)):
                item = next(texts, None)
                if item is None:
                    break
                text, name = item
                pending.append(runner.submit(Job(FRESH if parallel and not defined else SESSION, text, name)))
                chars += len(text)
            if not pending:
                return
            ticket = pending.popleft()
            chars -= len(ticket.job.text)
            result = runner.wait(ticket)
            if ticket.job.mode == FRESH and result[0] == "ok" and (result[2] or defined):
                result = runner.wait(runner.in_session(ticket))
                defined = True
            yield result[:2]
            if progress:
                progress()
    finally:
        if supervisor is None:
            runner.close()


def named_as(statements, kind: str) -> list:
    """The statements with `kind` as the kind of the query that a name
    defined (a dbt model's): the one query with a target."""
    return [st._replace(kind=kind) if st.kind == "query" and st.target is not None else st
            for st in statements]
