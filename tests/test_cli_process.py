"""The keldra-lineage command as a process: dying workers, Ctrl-C, a reader that goes away."""
import csv
import io
import os
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent

# The command with its worker function wrapped: a statement on the table
# `crash` ends the worker process with os._exit, one on `killed` kills it
# with SIGKILL (as the kernel's out-of-memory killer would), one on `hang`
# writes the process id to MARK and sleeps; everything else is analysed as
# usual. Workers that start afresh (spawn, forkserver) import it too.
WRAPPER = """\
import os, signal, sys, time
import keldra_lineage.analysis as analysis
from keldra_lineage.cli import main

MARK = {mark!r}
real = analysis.analyse

def analyse(sql):
    if "FROM db.crash" in sql:
        os._exit(3)
    if "FROM db.killed" in sql:
        os.kill(os.getpid(), signal.SIGKILL)
    if "FROM db.hang" in sql:
        with open(MARK, "w") as f:
            f.write(str(os.getpid()))
        time.sleep(600)
    return real(sql)

analysis.analyse = analyse
if __name__ == "__main__":
    sys.exit(main())
"""


def statements(count, tables):
    """`count` statements, two records each; statement i reads tables.get(i, f"t{i}")."""
    return "".join(f"SELECT a{i}, b AS c{i} FROM db.{tables.get(i, f't{i}')};\n" for i in range(count))


@pytest.fixture
def wrapped(tmp_path):
    mark = tmp_path / "hanging.pid"
    script = tmp_path / "wrapped.py"
    script.write_text(WRAPPER.format(mark=str(mark)))
    return [sys.executable, str(script), "--exact"], mark


def csv_rows(text):
    return list(csv.reader(io.StringIO(text)))[1:]


# Few statements go to the workers one by one, many in batches: a dying
# worker loses a whole batch, and only the statements that kill their worker
# again when they run alone are errors.
@pytest.mark.parametrize("count", [8, 80])
def test_a_dying_worker_loses_only_its_statement(count, tmp_path, wrapped):
    cmd, _ = wrapped
    crash, killed = 1, count - 3
    sql = tmp_path / "q.sql"
    sql.write_text(statements(count, {crash: "crash", killed: "killed"}))
    done = subprocess.run([*cmd, sql, "-f", "csv", "-j", "2"], capture_output=True, text=True,
                          timeout=300)
    assert done.returncode == 1
    assert done.stderr.splitlines() == [
        f"{sql}:{crash + 1}: statement {crash + 1}: the worker process analysing the statement "
        "ended abruptly (exit status 3)",
        f"    SELECT a{crash}, b AS c{crash} FROM db.crash;",
        f"{sql}:{killed + 1}: statement {killed + 1}: the worker process analysing the statement "
        "ended abruptly (killed by SIGKILL)",
        f"    SELECT a{killed}, b AS c{killed} FROM db.killed;"]
    # Every other statement keeps its records, in order.
    expected = [[str(sql), str(i + 1), "db", f"t{i}", col, tgt]
                for i in range(count) if i not in (crash, killed)
                for col, tgt in sorted([(f"a{i}", f"a{i}"), ("b", f"c{i}")])]
    assert csv_rows(done.stdout) == expected


def wait_for(mark, proc):
    """The process id written to `mark` once a statement hangs."""
    while not mark.exists() or not mark.read_text():
        assert proc.poll() is None, proc.communicate()
        time.sleep(0.05)
    return int(mark.read_text())


def gone(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return True
    return False


# Ctrl-C at a terminal signals the whole process group; `kill -INT` the
# command alone. Either way the workers end with it, and no record reaches
# standard output. Without that, the hanging statement keeps the command
# alive past the timeout.
@pytest.mark.parametrize("jobs", ["1", "2"])
@pytest.mark.parametrize("to_group", [True, False], ids=["ctrl-c", "kill"])
def test_interrupt_ends_at_once(jobs, to_group, tmp_path, wrapped):
    cmd, mark = wrapped
    sql = tmp_path / "q.sql"
    sql.write_text(statements(40, {30: "hang"}))
    proc = subprocess.Popen([*cmd, sql, "-f", "csv", "-j", jobs], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True, start_new_session=True)
    try:
        analysing = wait_for(mark, proc)
        if to_group:
            os.killpg(proc.pid, signal.SIGINT)
        else:
            proc.send_signal(signal.SIGINT)
        out, err = proc.communicate(timeout=60)
    finally:
        if proc.poll() is None:
            os.killpg(proc.pid, signal.SIGKILL)
    # Killed by SIGINT, as a C program ends on Ctrl-C: the shell reports 130.
    assert proc.returncode == -signal.SIGINT
    assert err == "keldra-lineage: interrupted\n"
    assert out == ""
    assert gone(analysing)


def test_shell_reports_status_130(tmp_path, wrapped):
    cmd, mark = wrapped
    sql = tmp_path / "q.sql"
    sql.write_text(statements(3, {1: "hang"}))
    script = " ".join(f"'{part}'" for part in [*cmd, str(sql), "-j", "1"])
    shell = subprocess.Popen(["bash", "-c", f"{script}; echo status $?"], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True)
    # With one job the command analyses, and hangs, in its own process.
    os.kill(wait_for(mark, shell), signal.SIGINT)
    out, err = shell.communicate(timeout=60)
    assert out == "status 130\n"
    assert err == "keldra-lineage: interrupted\n"


def command():
    exe = Path(sys.executable).parent / "keldra-lineage"
    return [str(exe)] if exe.exists() else [sys.executable, "-m", "keldra_lineage"]


def test_reader_gone_before_the_output():
    read, write = os.pipe()
    os.close(read)
    with os.fdopen(write, "wb") as closed:
        done = subprocess.run([*command(), "examples/", "-j", "1"], stdout=closed,
                              stderr=subprocess.PIPE, text=True, cwd=ROOT, timeout=300)
    # Ended by SIGPIPE like cat or grep (the shell reports 141), without a word.
    assert done.returncode == -signal.SIGPIPE
    assert done.stderr == ""


def test_reader_takes_one_line(tmp_path):
    sql = tmp_path / "q.sql"
    sql.write_text(statements(1500, {}))  # far more output than a pipe holds
    # With PYTHONUNBUFFERED the interpreter's own text layer drops the rest of
    # a write the pipe took only in part, so nothing reports the closed pipe;
    # the command runs with buffered output as it normally does.
    env = {k: v for k, v in os.environ.items() if k != "PYTHONUNBUFFERED"}
    proc = subprocess.Popen([*command(), "--exact", sql, "-f", "csv", "-j", "2"], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, env=env)
    assert proc.stdout.readline() == b"file,statement,database,table,src,tgt\n"
    proc.stdout.close()
    err = proc.stderr.read()
    assert proc.wait(timeout=300) == -signal.SIGPIPE
    assert err == b""
