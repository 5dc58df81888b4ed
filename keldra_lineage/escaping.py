"""Names and texts made safe to write: quoting for the drawing languages
(dot, mermaid)."""
from __future__ import annotations


def dot_quote(text: str) -> str:
    """A dot string: backslash, quote and newline escaped."""
    return '"' + str(text).replace("\\", "\\\\").replace('"', '\\"').replace("\n", "\\n") + '"'


def mermaid_label(text: str) -> str:
    """A quoted mermaid label: inside one only the quote itself needs an entity."""
    return '"' + str(text).replace('"', "#quot;") + '"'
