"""The SQL text of each statement of an input, for the page and the `sql`
job facet of OpenLineage events: the lines from the statement's first line
to the line before the next statement's, without the comment lines
that lead into the next one."""
from __future__ import annotations

MAX_CHARS = 20_000   # a statement longer than this is cut, with a mark


def statement_texts(text: str, statements) -> dict[int, str]:
    """{statement index: its SQL text} for the engine's statements of `text`.
    Statements that share a line share its text."""
    lines = text.splitlines()
    starts = sorted({st.line for st in statements})
    after = {line: nxt for line, nxt in zip(starts, starts[1:] + [len(lines) + 1])}
    out = {}
    for st in statements:
        own = lines[st.line - 1:after[st.line] - 1]
        while own and (not own[-1].strip() or own[-1].lstrip().startswith("--")):
            own.pop()   # the next statement's leading comment
        sql = "\n".join(own).strip()
        out[st.index] = sql if len(sql) <= MAX_CHARS else sql[:MAX_CHARS] + "\n..."
    return out
