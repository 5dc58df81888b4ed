"""Reading the inputs and splitting them into statements."""
from __future__ import annotations

import errno
import os
import re
import stat
import sys
from dataclasses import dataclass
from pathlib import Path

import sqlparse

from keldra_lineage.escaping import path_text


class InputError(Exception):
    """An input that cannot be read (a usage error)."""


@dataclass(frozen=True)
class Statement:
    source: str      # file name, "<stdin>" or "<expr>"
    number: int      # 1-based position among the source's statements
    line: int        # line of the source on which the statement begins
    text: str

    @property
    def where(self) -> str:
        return f"{self.source}:{self.line}"

    @property
    def first_line(self) -> str:
        for line in self.text.splitlines():
            if line.strip() and not line.strip().startswith("--"):
                return line.strip()
        return self.text.strip().splitlines()[0] if self.text.strip() else ""


def collect_sources(paths: list[str], expressions: list[str]) -> list[tuple[str, str]]:
    """(name, text) of every input, in the order given; folders recursively."""
    sources: list[tuple[str, str]] = []
    for path in paths:
        if path == "-":
            if sys.stdin is None:
                raise InputError("-: standard input is closed")
            sources.append(("<stdin>", sys.stdin.read()))
            continue
        p = Path(path)
        if p.is_dir():
            files = sorted(f for f in p.rglob("*.sql") if f.is_file())
        elif p.exists():
            files = [p]
        else:
            raise InputError(f"{path}: no such file or directory")
        for f in files:
            try:
                sources.append((os.fspath(f), f.read_text(encoding="utf-8")))
            except (OSError, UnicodeDecodeError) as e:
                raise InputError(f"{f}: cannot read: {e}") from None
    for i, text in enumerate(expressions, 1):
        sources.append(("<expr>" if len(expressions) == 1 else f"<expr{i}>", text))
    return sources


def split_statements(name: str, text: str) -> list[Statement]:
    """The statements of one source; text that is only comments is no statement."""
    out = []
    pos = 0
    from sqlparse_main import KeldraParseMain  # the original analysis's text cleaning

    for piece in sqlparse.split(text):
        at = text.find(piece, pos)
        if at < 0:
            at = pos
        pos = at + len(piece)
        if not KeldraParseMain._re_hint(piece).strip(" \t\r\n;"):
            continue
        out.append(Statement(name, len(out) + 1, text.count("\n", 0, at) + 1, piece))
    return out


_FIRST_WORD = re.compile(r"[\s(]*([A-Za-z_]+)")


def is_select(statement: Statement) -> bool:
    """A SELECT (or WITH ... SELECT) query; DDL, SET, USE and the like are not."""
    from sqlparse_main import KeldraParseMain

    m = _FIRST_WORD.match(KeldraParseMain._re_hint(statement.text))
    return bool(m) and m.group(1).lower() in ("select", "with")


@dataclass(frozen=True)
class Input:
    """One input of the lineage engine: its text, or why it has none. A
    problem is an error (the run fails) unless `fatal` is false: then it is
    a warning about a file that was skipped on purpose."""
    name: str
    text: str | None
    error: str | None = None   # "LINE:COL: message" when the input cannot be read
    fatal: bool = True


SQL_SUFFIX = ".sql"   # of the files read below a folder, in any case (.SQL, .Sql)


def read_inputs(paths: list[str], expressions: list[str]) -> list[Input]:
    """Every input, in the order given; folders recursively. A path that
    cannot be read, a binary file or one that is not UTF-8 is an Input with an
    error: the run goes on without it. A UTF-8 byte-order mark is skipped.
    Below a folder every `*.sql` file is read and every one that is not
    read is an Input saying why (see `folder_files`)."""
    out: list[Input] = []
    for path in paths:
        if path == "-":
            if sys.stdin is None:
                out.append(Input("<stdin>", None, "1:1: cannot read: standard input is closed"))
            else:
                out.append(_decoded("<stdin>", sys.stdin.buffer.read()))
            continue
        p = Path(path)
        for f in folder_files(p) if p.is_dir() else [p]:
            if isinstance(f, Input):
                out.append(f)
                continue
            try:
                data = f.read_bytes()
            except OSError as e:
                out.append(Input(path_text(f), None, f"1:1: cannot read: {e.strerror or e}"))
                continue
            out.append(_decoded(path_text(f), data))
    for i, text in enumerate(expressions, 1):
        out.append(Input("<expr>" if len(expressions) == 1 else f"<expr{i}>", text))
    return out


def folder_files(folder: Path) -> list[Path | Input]:
    """The files below `folder` to read, sorted by path, and among them an
    Input for each one that is not read and why: a dangling symbolic link, a
    link loop or a folder that cannot be listed is an error; a FIFO, socket
    or device named `*.sql` (never opened: reading a FIFO would wait for a
    writer) and a symbolic link to a folder (not followed, as `grep -r` does
    not: so that no folder is read twice and no loop is walked; give it as a
    PATH to read it) are warnings. Other files are not SQL and are passed
    over in silence."""
    found: list[tuple[Path, Path | Input]] = []
    stack = [folder]
    while stack:
        here = stack.pop()
        try:
            with os.scandir(here) as listing:
                entries = list(listing)
        except OSError as e:
            found.append((here, Input(path_text(here), None, f"1:1: cannot read the folder: {e.strerror or e}")))
            continue
        for entry in entries:
            p = Path(entry.path)
            try:
                if entry.is_dir(follow_symlinks=False):
                    stack.append(p)
                    continue
                if entry.is_symlink() and entry.is_dir():
                    found.append((p, _skipped(p, "a symbolic link to a folder, not followed "
                                                 "(give it as a PATH to read it)")))
                    continue
            except OSError:
                pass   # a file that went away while listed: reported below, as it is now
            if not entry.name.lower().endswith(SQL_SUFFIX):
                continue
            found.append((p, _file(entry, p)))
    found.sort(key=lambda item: item[0])
    return [f for _, f in found]


def _file(entry: os.DirEntry, p: Path) -> Path | Input:
    """The file to read, or why it is not read."""
    try:
        mode = entry.stat().st_mode   # through a link
    except OSError as e:
        if entry.is_symlink() and e.errno == errno.ENOENT:
            return Input(path_text(p), None, f"1:1: cannot read: a dangling symbolic link "
                                             f"(to {path_text(os.readlink(p))})")
        if e.errno == errno.ELOOP:
            return Input(path_text(p), None, "1:1: cannot read: a loop of symbolic links")
        return Input(path_text(p), None, f"1:1: cannot read: {e.strerror or e}")
    if stat.S_ISREG(mode):
        return p
    what = ("a FIFO (named pipe)" if stat.S_ISFIFO(mode) else "a socket" if stat.S_ISSOCK(mode)
            else "a device" if stat.S_ISCHR(mode) or stat.S_ISBLK(mode) else "not a regular file")
    return _skipped(p, f"{what}, not a file of SQL")


def _skipped(p: Path, why: str) -> Input:
    return Input(path_text(p), None, f"1:1: skipped: {why}", fatal=False)


def _decoded(name: str, data: bytes) -> Input:
    if data.startswith(b"\xef\xbb\xbf"):
        data = data[3:]
    nul = data.find(b"\0")
    if nul >= 0:
        line, col = _position(data, nul)
        return Input(name, None, f"{line}:{col}: a binary file, not SQL text (a NUL byte)")
    try:
        return Input(name, data.decode("utf-8"))
    except UnicodeDecodeError as e:
        line, col = _position(data, e.start)
        return Input(name, None, f"{line}:{col}: not UTF-8 text (byte 0x{data[e.start]:02x}: {e.reason})")


def _position(data: bytes, at: int) -> tuple[int, int]:
    """1-based line and column (in characters) of byte `at`."""
    line_start = data.rfind(b"\n", 0, at) + 1
    return data.count(b"\n", 0, at) + 1, len(data[line_start:at].decode("utf-8", "replace")) + 1
