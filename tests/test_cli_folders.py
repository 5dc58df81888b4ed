"""What the command line reads below a folder: every SQL file, in any case of
its suffix, and for every one it does not read, a line saying why."""
import os
import socket
import subprocess
import sys
from pathlib import Path

import pytest

from test_cli_engine import run


def command(*args, cwd):
    """The command over a folder that holds a FIFO: a run that opened it would
    wait for a writer, so it gets a short time to end."""
    exe = Path(sys.executable).parent / "keldra-lineage"
    return subprocess.run([str(exe), *map(str, args)], capture_output=True, text=True, timeout=60, cwd=cwd)


@pytest.fixture
def odd_folder(tmp_path):
    """A folder of SQL files beside everything a folder can hold that is not one."""
    d = tmp_path / "sql"
    (d / "nested").mkdir(parents=True)
    (tmp_path / "elsewhere").mkdir()
    (d / "a.sql").write_text("SELECT a FROM t1;\n")
    (d / "B.SQL").write_text("SELECT b FROM t2;\n")
    (d / "nested" / "c.Sql").write_text("SELECT c FROM t3;\n")
    (d / "notes.txt").write_text("SELECT nothing FROM here;\n")
    (tmp_path / "elsewhere" / "e.sql").write_text("SELECT e FROM t4;\n")
    (d / "dangling.sql").symlink_to("gone.sql")
    (d / "loop.sql").symlink_to("loop.sql")
    (d / "nested" / "up").symlink_to("..")
    (d / "linked").symlink_to(tmp_path / "elsewhere")
    (d / "to_a.sql").symlink_to("a.sql")
    os.mkfifo(d / "pipe.sql")
    sock = socket.socket(socket.AF_UNIX)
    sock.bind(str(d / "nested" / "sock.sql"))
    yield d
    sock.close()


def test_every_file_below_a_folder_is_read_or_said_why_not(odd_folder):
    done = command("sql", "-f", "csv", cwd=odd_folder.parent)
    assert done.returncode == 1   # two files could not be read
    read = {line.split(",")[0] for line in done.stdout.splitlines()[1:]}
    assert read == {"sql/a.sql", "sql/B.SQL", "sql/nested/c.Sql", "sql/to_a.sql"}
    # in the order of the paths, among the files read
    assert done.stderr.splitlines() == [
        "sql/dangling.sql:1:1: cannot read: a dangling symbolic link (to gone.sql)",
        "sql/linked:1:1: warning: skipped: a symbolic link to a folder, not followed "
        "(give it as a PATH to read it)",
        "sql/loop.sql:1:1: cannot read: a loop of symbolic links",
        "sql/nested/sock.sql:1:1: warning: skipped: a socket, not a file of SQL",
        "sql/nested/up:1:1: warning: skipped: a symbolic link to a folder, not followed "
        "(give it as a PATH to read it)",
        "sql/pipe.sql:1:1: warning: skipped: a FIFO (named pipe), not a file of SQL",
    ]
    # -q hides the warnings, never the errors
    quiet = command("sql", "-q", "-f", "csv", cwd=odd_folder.parent)
    assert quiet.stdout == done.stdout
    assert [line.split(":")[0] for line in quiet.stderr.splitlines()] == ["sql/dangling.sql", "sql/loop.sql"]
    # the linked folder, given as a PATH, is read
    linked = command("sql/linked", "-f", "csv", cwd=odd_folder.parent)
    assert linked.returncode == 0 and "sql/linked/e.sql,1,1,query,,e,t4,e" in linked.stdout


def test_skipped_files_alone_leave_the_run_successful(tmp_path):
    os.mkfifo(tmp_path / "pipe.sql")
    (tmp_path / "q.sql").write_text("SELECT a FROM t;\n")
    done = command(".", "-f", "jsonl", cwd=tmp_path)
    assert done.returncode == 0
    assert done.stderr == "pipe.sql:1:1: warning: skipped: a FIFO (named pipe), not a file of SQL\n"
    assert '"file": "q.sql"' in done.stdout
    # a FIFO named on the command line is read: that is how `<(...)` gives SQL
    given = subprocess.run(f'"{Path(sys.executable).parent / "keldra-lineage"}" <(echo "SELECT z FROM w") -f csv',
                           shell=True, executable="/bin/bash", capture_output=True, text=True, timeout=60)
    assert given.returncode == 0 and ",z,w,z,DIRECT,IDENTITY" in given.stdout


def test_many_skipped_files_are_summed_up(tmp_path):
    for k in range(25):
        (tmp_path / f"link{k:02}").symlink_to(tmp_path)
    (tmp_path / "q.sql").write_text("SELECT a FROM t;\n")
    done = run(".", cwd=tmp_path)
    assert done.returncode == 0
    lines = done.stderr.splitlines()
    assert len(lines) == 21 and lines[0].startswith("link00:1:1: warning: skipped: a symbolic link to a folder")
    assert "25 warnings, 5 not shown (skipped_input 25)" in lines[-1]
