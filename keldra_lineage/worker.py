"""The lineage engine in supervised worker processes: a statement that kills
the process analysing it (a crash in native code, an abort, the kernel's
out-of-memory killer) costs that statement only.

The command's own process never analyses: it reads, hands `Job`s to the
workers, and writes their results in order.  One worker (slot 0) holds the
run's session, the tables its texts created; with more slots the others
analyse texts each in a session of their own.

When a worker dies, the job it was running is known (every job is answered
as soon as it is done).  A fresh worker replays the texts that defined the
session's tables so far, then runs the dead job again one statement at a
time, each statement the engine's splitter cut given alone with the rest of
the text blanked (newlines kept, so that every position stays what it was).
A statement that kills that worker too becomes an error record of its own;
no statement runs more than twice.  A worker that dies before it is ready is
`WorkerStartError`: the run cannot go on.
"""
from __future__ import annotations

import gc
import multiprocessing
import os
import signal
import sys
from collections import deque
from multiprocessing.connection import wait as wait_for_any
from multiprocessing.reduction import ForkingPickler
from typing import NamedTuple, Optional

from ._results import Message, Statement

__all__ = ["Job", "Supervisor", "WorkerStartError", "SESSION", "FRESH"]

# Where a job runs: in the run's session; in a session of its own (with the
# catalog completed by `defaults`, a query-log row's database and schema);
# or after the last FRESH job, in its session (a statement of a text run
# statement by statement).
SESSION, FRESH, CONTINUE = "session", "fresh", "continue"

# Workers are forked: they start at once, with the catalog (whatever Python
# object it is) and the imported modules as the parent has them.
_FORK = multiprocessing.get_context("fork")
_READY = "ready"


class Job(NamedTuple):
    mode: str
    text: str
    name: Optional[str] = None
    defaults: Optional[tuple] = None   # (database, schema) of a FRESH session's catalog
    prelude: tuple = ()                # (text, name) run first in a FRESH session


class WorkerStartError(RuntimeError):
    """A worker process died before it could take a job: nothing can be analysed."""


def with_defaults(catalog, defaults: Optional[tuple], cache: dict):
    """`catalog` completing unqualified names with `defaults` (database,
    schema), one per pair in `cache` (which keeps the last 256)."""
    if catalog is None or not defaults or not any(defaults):
        return catalog
    found = cache.get(defaults)
    if found is None:
        from .catalog import Catalog

        if len(cache) >= 256:
            cache.clear()
        database, schema = defaults
        found = cache[defaults] = Catalog.merge(catalog, default_schema=schema, default_database=database)
    return found


def how_it_died(exitcode: Optional[int]) -> str:
    """"signal 11: SIGSEGV", "exit status 3"."""
    if exitcode is None:
        return "no exit status"
    if exitcode >= 0:
        return f"exit status {exitcode}"
    try:
        return f"signal {-exitcode}: {signal.Signals(-exitcode).name}"
    except ValueError:
        return f"signal {-exitcode}"


def crashed_statement(index: int, line: int, column: int, how: str) -> Statement:
    """The record of a statement whose worker died while analysing it."""
    error = Message("worker_died", line, column, f"the worker process analysing this statement died ({how})")
    return Statement(index, line, "other", None, (), (), (), error)


class Ticket:
    """A job handed to the supervisor, and its result once known:
    ("ok", statements, created) or ("error", message), `created` telling
    whether the job's own session holds a table (FRESH and CONTINUE jobs)."""

    __slots__ = ("job", "result", "parent", "pieces", "piece", "crashes")

    def __init__(self, job: Job, parent: Optional["Ticket"] = None, piece: Optional[tuple] = None):
        self.job = job
        self.result = None
        self.parent = parent     # the ticket of the whole text, for one of its statements
        self.piece = piece       # (begin, end, line, column) of that statement
        self.pieces = None       # the statements' tickets, once the text runs statement by statement
        self.crashes = {}        # piece number -> its crash record, once known

    @property
    def done(self) -> bool:
        return self.result is not None


# Jobs go down the pipe in batches, each read by the worker when it has
# none left.  A job waits in the outbox only while the worker has `_LOW` or
# more ahead of it, and never while this process waits for a result.
_BATCH = 16
_LOW = 8
_PIPE_SIZE = 1 << 20   # asked for the jobs' pipe (the kernel may give less)


class _Worker:
    """One worker process: the jobs go down one pipe, a result per job comes
    up another.  `sent` holds the tickets not yet answered, in order; the
    last `len(outbox)` of them are still to be written to the pipe.

    Writing jobs never blocks this process: the jobs written and not yet
    answered fit in half the pipe (a worker reads a job before it answers
    it), or there are none and the worker is waiting to read.  So the worker
    may block writing a result and this process never waits for it to read
    at the same time."""

    def __init__(self, dialect: str, catalog, replay: list, others: list):
        jobs_out, jobs_in = _FORK.Pipe(duplex=False)[::-1]   # (write end, read end)
        results_in, results_out = _FORK.Pipe(duplex=False)
        self.room = _pipe_room(jobs_out.fileno())
        # the child closes its copies of this side's ends, and the other workers'
        others = [*others, jobs_out, results_in]
        self.process = _FORK.Process(target=_serve, daemon=True, name="keldra-lineage worker",
                                     args=(jobs_in, results_out, dialect, catalog, replay, others))
        before = signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT})
        try:
            self.process.start()
        finally:
            signal.pthread_sigmask(signal.SIG_SETMASK, before)
        jobs_in.close()
        results_out.close()
        self.jobs = jobs_out
        self.results = results_in
        self.sent: deque = deque()
        self.outbox: list = []
        self._outbox_size = 0            # at least as many bytes as the outbox pickles to
        self._full = False               # the outbox waits for answers to make room
        self._batches: deque = deque()   # [jobs not yet answered, bytes] per batch written
        self._unread = 0                 # bytes of the batches written and not all answered
        try:
            ready = self.results.recv()
        except (EOFError, OSError):
            ready = None
        if ready != _READY:
            self.close()
            raise WorkerStartError(f"the worker process died at start-up ({how_it_died(self.process.exitcode)})")

    def send(self, ticket: Ticket) -> bool:
        """False when the worker has gone."""
        job = tuple(ticket.job)   # a plain tuple pickles without Python calls
        self.sent.append(ticket)
        self.outbox.append(job)
        # a lower bound of its bytes: a text's characters, each one byte or more
        self._outbox_size += len(job[1]) + sum(len(text) for text, _ in job[4])
        if len(self.outbox) >= _BATCH or self.written < _LOW:
            return self.flush()
        return True

    @property
    def written(self) -> int:
        """How many of the unanswered jobs the worker has been given."""
        return len(self.sent) - len(self.outbox)

    def flush(self) -> bool:
        """Write the outbox if it fits; False when the worker has gone.  An
        outbox that does not fit waits for answers, which make room: it is
        not tried again before one comes."""
        if not self.outbox or self._full:
            return True
        if self.written and self._unread + self._outbox_size > self.room:
            self._full = True
            return True
        data = ForkingPickler.dumps(self.outbox)
        size = len(data) + 16   # and the message's header
        if self.written and self._unread + size > self.room:
            self._full = True
            return True
        try:
            self.jobs.send_bytes(data)
        except OSError:   # a broken pipe: it died
            return False
        self._batches.append([len(self.outbox), size])
        self._unread += size
        self.outbox = []
        self._outbox_size = 0
        return True

    def answered(self) -> Ticket:
        """The ticket of the result that has just come."""
        batch = self._batches[0]
        batch[0] -= 1
        if not batch[0]:
            self._unread -= batch[1]
            self._batches.popleft()
            self._full = False
        return self.sent.popleft()

    def close(self, kill: bool = False) -> None:
        self.jobs.close()
        if kill and self.process.is_alive():
            self.process.kill()
        self.process.join()
        self.results.close()


def _pipe_room(fd: int) -> int:
    """Bytes of jobs that may wait in the pipe `fd` writes to, after asking
    for `_PIPE_SIZE`: half of what it holds, less three pages (a pipe holds
    whole pages, and the bytes in it may start and end part way through
    one); none in a pipe of a few pages, where a job is written only when
    none is outstanding."""
    import fcntl
    import mmap

    size = 1 << 16
    try:
        size = fcntl.fcntl(fd, fcntl.F_SETPIPE_SZ, _PIPE_SIZE)
    except OSError:   # more than this user may have
        try:
            size = fcntl.fcntl(fd, fcntl.F_GETPIPE_SZ)
        except OSError:
            pass
    return max(0, size // 2 - 3 * mmap.PAGESIZE)


class Supervisor:
    """Runs `Job`s on `workers` processes; `submit` hands one over, `wait`
    gives its result.  Results are the same as one process running the jobs
    in the order they were submitted (SESSION jobs in one session)."""

    def __init__(self, dialect: str, catalog, workers: int = 1):
        self.dialect = dialect
        self.catalog = catalog
        self._slots: list[Optional[_Worker]] = [None] * max(1, workers)
        self._replay: list = []   # (text, name) the run's session ran that may have defined tables
        self.deaths = 0

    @property
    def workers(self) -> int:
        return len(self._slots)

    def submit(self, job: Job) -> Ticket:
        ticket = Ticket(job)
        self._send(ticket, self._slot_for(job))
        return ticket

    def in_session(self, ticket: Ticket) -> Ticket:
        """`ticket`'s text run again in the run's session; a statement that
        killed a worker the first time is not run again."""
        job = ticket.job._replace(mode=SESSION, defaults=None, prelude=())
        if not ticket.pieces:
            return self.submit(job)
        whole = Ticket(job)
        whole.pieces = [Ticket(p.job._replace(mode=SESSION, defaults=None, prelude=()), whole, p.piece)
                        for p in ticket.pieces]
        whole.crashes = dict(ticket.crashes)
        for number, piece in enumerate(whole.pieces):
            if number in whole.crashes:
                piece.result = ("crashed", None)
        if all(p.done for p in whole.pieces):
            whole.result = _assemble(whole)
        for piece in whole.pieces:
            if not piece.done:
                self._send(piece, 0)
        return whole

    def _slot_for(self, job: Job) -> int:
        if job.mode == SESSION or len(self._slots) == 1:
            return 0
        # the least busy worker; a dead or unstarted one counts as idle
        return min(range(len(self._slots)),
                   key=lambda k: len(self._slots[k].sent) if self._slots[k] is not None else 0)

    def _send(self, ticket: Ticket, slot: int) -> None:
        worker = self._slots[slot]
        if worker is None:
            others = [c for w in self._slots if w is not None for c in (w.jobs, w.results)]
            worker = self._slots[slot] = _Worker(self.dialect, self.catalog,
                                                 self._replay if slot == 0 else [], others)
        if not worker.send(ticket):
            self._died(slot)

    def ready(self, ticket: Ticket) -> bool:
        """Whether the result is known, reading what has come without waiting."""
        if not ticket.done:
            self._pump(timeout=0)
        return ticket.done

    def wait(self, ticket: Ticket):
        while not ticket.done:
            if not self._pump(timeout=None):
                raise RuntimeError("a job's result was awaited that no worker has")
        return ticket.result

    def _pump(self, timeout) -> bool:
        """Read the results that have come (waiting up to `timeout` seconds,
        None: until one comes); False when no worker has a job.  What waits
        in an outbox is written first: all of it before a wait."""
        for slot, worker in enumerate(self._slots):
            if worker is not None and worker.outbox and (timeout is None or worker.written < _LOW):
                if not worker.flush():
                    self._died(slot)
        busy = {w.results: k for k, w in enumerate(self._slots) if w is not None and w.written}
        if not busy:
            return False
        for conn in wait_for_any(list(busy), timeout):
            slot = busy[conn]
            worker = self._slots[slot]
            try:
                while True:
                    result = _received(conn.recv())
                    self._answered(worker.answered(), result, slot)
                    if not conn.poll():
                        break
            except (EOFError, OSError):
                self._died(slot)
        return True

    def _answered(self, ticket: Ticket, result, slot: int) -> None:
        if ticket.job.mode == SESSION and result[0] == "ok" and _may_define(result[1]):
            self._replay.append((ticket.job.text, ticket.job.name))
        self._settle(ticket, result)

    def _settle(self, ticket: Ticket, result) -> None:
        ticket.result = result
        whole = ticket.parent
        if whole is not None and all(p.done for p in whole.pieces):
            whole.result = _assemble(whole)

    def _died(self, slot: int) -> None:
        """The worker in `slot` has died: its first unanswered job was running."""
        worker = self._slots[slot]
        self._slots[slot] = None
        try:  # what it answered before it died
            while worker.written and worker.results.poll():
                result = _received(worker.results.recv())
                self._answered(worker.answered(), result, slot)
        except (EOFError, OSError):
            pass
        worker.close(kill=True)
        self.deaths += 1
        how = how_it_died(worker.process.exitcode)
        again = []
        if not worker.written:   # it had no job: it was given none, or had answered all it was
            running, queued = None, list(worker.sent)
        else:
            running, *queued = worker.sent
            if running.parent is None:
                again = self._split(running)
            else:
                begin, end, line, column = running.piece
                number = running.parent.pieces.index(running)
                running.parent.crashes[number] = crashed_statement(0, line, column, how)
                self._settle(running, ("crashed", how))
        # A statement of a text run statement by statement in a session of
        # its own (CONTINUE) whose session died with the worker, its text's
        # FRESH statement being done: it starts that session anew.
        fresh = set()   # texts whose session the new worker starts
        for t in again + queued:
            if t.job.mode == FRESH:
                fresh.add(t.parent)
            elif t.job.mode == CONTINUE and t.parent not in fresh:
                fresh.add(t.parent)
                t.job = t.job._replace(mode=FRESH, defaults=t.parent.job.defaults,
                                       prelude=t.parent.job.prelude + _done_part(t.parent))
            self._send(t, slot)

    def _split(self, ticket: Ticket) -> list:
        """The tickets of the text's statements, one job each."""
        from . import _engine

        text = ticket.job.text
        pieces = _engine.split(text, self.dialect)
        ticket.pieces = []
        if not pieces:
            ticket.result = ("ok", [], False)
            return []
        session = ticket.job.mode == SESSION
        for k, piece in enumerate(pieces):
            begin, end, line, column = piece
            last = k == len(pieces) - 1
            mode = SESSION if session else (FRESH if k == 0 else CONTINUE)
            job = Job(mode, "\n" * (line - 1) + " " * (column - 1) + text[begin:end],
                      ticket.job.name if last else None,
                      ticket.job.defaults if mode == FRESH else None,
                      ticket.job.prelude if mode == FRESH else ())
            ticket.pieces.append(Ticket(job, ticket, piece))
        return ticket.pieces

    def close(self) -> None:
        """End the workers: those still busy at once."""
        slots, self._slots = self._slots, [None] * len(self._slots)
        for worker in slots:
            if worker is not None:
                worker.close(kill=bool(worker.sent))

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def _received(result):
    """A worker's answer with its statements unpacked."""
    if result[0] != "ok":
        return result
    from ._engine import unpack_statements

    try:
        return ("ok", unpack_statements(result[1]), result[2])
    except ValueError as e:   # damaged on the way: this job's error, not the run's end
        return ("error", f"{type(e).__name__}: {e}")


def _may_define(statements) -> bool:
    """Whether a text's statements may have created or filled a table (only
    a statement with a target can)."""
    return any(st.target is not None and st.error is None for st in statements)


def _done_part(whole: Ticket) -> tuple:
    """(text, name) of the statements of `whole` that ran before a crash and
    may have defined a table: what a fresh session of its own replays."""
    return tuple((p.job.text, p.job.name) for p in whole.pieces
                 if p.done and p.result[0] == "ok" and _may_define(p.result[1]))


def _assemble(whole: Ticket):
    """The result of a text run statement by statement: its statements
    numbered as one run would number them, a crashed one as its error."""
    statements = []
    created = False
    for number, piece in enumerate(whole.pieces):
        if piece.result[0] == "error":
            return piece.result
        if piece.result[0] == "crashed":
            statements.append(whole.crashes[number]._replace(index=len(statements) + 1))
            continue
        _, found, made = piece.result
        created = created or made
        statements.extend(st._replace(index=len(statements) + 1) for st in found)
    return ("ok", statements, created)


# -- the worker's side -------------------------------------------------------

def _serve(jobs, results, dialect, catalog, replay, others) -> None:
    """A worker's life: replay, say it is ready, answer every job in order."""
    # What the parent made stays out of this process's collections: they would
    # write to every object, and so copy the pages the fork shares.
    gc.freeze()
    for conn in others:   # the parent's ends of the pipes, inherited: not this process's to hold
        conn.close()
    signal.signal(signal.SIGINT, signal.SIG_IGN)   # Ctrl-C is the parent's to handle
    signal.pthread_sigmask(signal.SIG_UNBLOCK, {signal.SIGINT})
    # Nothing reaches the command's output from here; the parent's buffered
    # output, copied by the fork, is never written twice.
    devnull = os.open(os.devnull, os.O_WRONLY)
    if 1 not in (jobs.fileno(), results.fileno()):   # a closed standard output: a pipe may have its number
        os.dup2(devnull, 1)
    sys.stdout = open(devnull, "w", closefd=False)
    from ._engine import pack_statements
    from .session import Session

    session = Session(dialect, catalog)
    for text, name in replay:
        try:
            session.lineage(text, name)
        except Exception:  # it failed the same way the first time: nothing was defined
            pass
    results.send(_READY)
    queue: deque = deque()
    own = None
    catalogs: dict = {}
    while True:
        if not queue:
            try:
                queue.extend(jobs.recv())   # a batch of Jobs' fields
            except (EOFError, OSError):   # the parent has gone: nothing left to do
                os._exit(0)
        mode, text, name, defaults, prelude = queue.popleft()
        try:
            if mode == SESSION:
                statements = session.lineage(text, name)
                created = False
            else:
                if mode == FRESH:
                    own = Session(dialect, with_defaults(catalog, defaults, catalogs))
                    for before, before_name in prelude:
                        own.lineage(before, before_name)
                statements = own.lineage(text, name)
                created = bool(own.tables)
            # packed by the engine: pickling the result tuples one by one
            # would cost this process a third of an analysis
            result = ("ok", pack_statements(statements), created)
        except Exception as e:  # an engine fault loses this job only
            result = ("error", f"{type(e).__name__}: {' '.join(str(e).split())}")
        try:
            results.send(result)
        except (OSError, ValueError):
            os._exit(0)
