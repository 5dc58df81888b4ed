"""Names and texts made safe to write: control characters escaped where a
line must stay one line, file names that are not UTF-8 shown by their bytes,
and the quoting of the drawing languages (dot, mermaid)."""
from __future__ import annotations

import os
import re

# What would break a line or play tricks on a terminal: the C0 and C1
# controls (a newline, ESC, CSI), the line and paragraph separators, the
# bidirectional overrides and isolates that reorder what is shown; and the
# surrogate escapes by which Python holds the bytes of a name that is not
# UTF-8.
_UNSAFE = re.compile("[\x00-\x1f\x7f-\x9f\u2028\u2029\u202a-\u202e\u2066-\u2069\udc80-\udcff]")
_NAMED = {"\n": "\\n", "\r": "\\r", "\t": "\\t"}


def _escape(m: re.Match) -> str:
    c = m[0]
    code = ord(c)
    if c in _NAMED:
        return _NAMED[c]
    if 0xDC80 <= code <= 0xDCFF:
        return f"\\x{code - 0xDC00:02x}"   # the byte it stands for
    return f"\\x{code:02x}" if code <= 0xFF else f"\\u{code:04x}"


def printable(text: str) -> str:
    """`text` with each unsafe character as an escape: `\\n`, `\\t`, `\\x1b`,
    `\\u202e`, and a byte of a name that is not UTF-8 as `\\xff`; for a cell
    of a table and a line on standard error."""
    return _UNSAFE.sub(_escape, text) if unsafe(text) else text


def unsafe(text: str) -> bool:
    """Whether `printable` would change `text` (most text is printable, which
    str tells fastest)."""
    return not text.isprintable() and _UNSAFE.search(text) is not None


def path_text(path) -> str:
    """A file name as text that can be written anywhere (valid UTF-8): the
    name itself when it is UTF-8, else with each byte that is not as `\\xNN`."""
    name = os.fspath(path)
    if isinstance(name, bytes):
        return name.decode("utf-8", "backslashreplace")
    try:
        name.encode("utf-8")
        return name
    except UnicodeEncodeError:
        return os.fsencode(name).decode("utf-8", "backslashreplace")


def dot_quote(text: str) -> str:
    """A dot string: backslash, quote and newline escaped."""
    return '"' + str(text).replace("\\", "\\\\").replace('"', '\\"').replace("\n", "\\n") + '"'


def mermaid_label(text: str) -> str:
    """A quoted mermaid label: the quote and control characters as entities
    (`#quot;`, `#10;`), which is all a label must not hold."""
    text = str(text).replace('"', "#quot;")
    return '"' + (re.sub("[\x00-\x1f\x7f-\x9f]", lambda m: f"#{ord(m[0])};", text) if unsafe(text) else text) + '"'
