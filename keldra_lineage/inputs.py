"""Reading the inputs and splitting them into statements."""
from __future__ import annotations

import os
import re
import sys
from dataclasses import dataclass
from pathlib import Path

import sqlparse


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
    """One input of the lineage engine: its text, or why it has none."""
    name: str
    text: str | None
    error: str | None = None   # "LINE:COL: message" when the input cannot be read


def read_inputs(paths: list[str], expressions: list[str]) -> list[Input]:
    """Every input, in the order given; folders recursively. A path that
    cannot be read, a binary file or one that is not UTF-8 is an Input with an
    error: the run goes on without it. A UTF-8 byte-order mark is skipped."""
    out: list[Input] = []
    for path in paths:
        if path == "-":
            if sys.stdin is None:
                out.append(Input("<stdin>", None, "1:1: cannot read: standard input is closed"))
            else:
                out.append(_decoded("<stdin>", sys.stdin.buffer.read()))
            continue
        p = Path(path)
        files = sorted(f for f in p.rglob("*.sql") if f.is_file()) if p.is_dir() else [p]
        for f in files:
            try:
                data = f.read_bytes()
            except OSError as e:
                out.append(Input(os.fspath(f), None, f"1:1: cannot read: {e.strerror or e}"))
                continue
            out.append(_decoded(os.fspath(f), data))
    for i, text in enumerate(expressions, 1):
        out.append(Input("<expr>" if len(expressions) == 1 else f"<expr{i}>", text))
    return out


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
