"""The fingerprint that query logs used before the engine had its own: sqlglot's
tokens.  Kept for the tests only, as the baseline the engine's fingerprint is
held against: it must never merge two texts that this one keeps apart."""
from __future__ import annotations

import hashlib

from sqlglot.dialects.dialect import Dialect
from sqlglot.errors import TokenError
from sqlglot.tokens import TokenType

__all__ = ["Fingerprinter"]

# The engine's dialect names that sqlglot spells otherwise (None: its default).
_SQLGLOT_DIALECT = {"generic": None, "ansi": None, "mssql": "tsql"}

_LITERALS = frozenset({
    TokenType.STRING, TokenType.NUMBER, TokenType.BIT_STRING, TokenType.HEX_STRING,
    TokenType.BYTE_STRING, TokenType.NATIONAL_STRING, TokenType.RAW_STRING,
    TokenType.NATIONAL_RAW_STRING, TokenType.HEREDOC_STRING, TokenType.UNICODE_STRING,
})
_BY = frozenset({TokenType.GROUP_BY, TokenType.ORDER_BY, TokenType.SORT_BY, TokenType.CLUSTER_BY,
                 TokenType.DISTRIBUTE_BY, TokenType.PARTITION_BY})
# what may stand inside a BY list without ending it
_IN_BY = frozenset({TokenType.COMMA, TokenType.NUMBER, TokenType.VAR, TokenType.IDENTIFIER,
                    TokenType.DOT, TokenType.ASC, TokenType.DESC, TokenType.FIRST, TokenType.L_PAREN,
                    TokenType.R_PAREN})
_KEYWORD, _WORD, _LITERAL, _QUOTED, _BY_START, _IN_BY_LIST = range(6)
_ACTION = {**{k: _IN_BY_LIST for k in _IN_BY}, **{k: _LITERAL for k in _LITERALS},
           **{k: _BY_START for k in _BY}, TokenType.VAR: _WORD, TokenType.IDENTIFIER: _QUOTED}
_MEMO_CHARS = 1 << 24      # characters of text remembered before the memo starts over
_MEMO_MAX_TEXT = 1 << 16   # longer texts are not remembered


class Fingerprinter:
    """fingerprint(text) for one dialect, with a memo of recent exact texts."""

    def __init__(self, dialect: str = "generic"):
        name = _SQLGLOT_DIALECT.get(dialect, dialect)
        self._tokenizer = Dialect.get_or_raise(name).tokenizer_class()
        self._memo: dict[str, str] = {}
        self._memo_chars = 0

    def __call__(self, text: str) -> str:
        memo = self._memo
        hit = memo.get(text)
        if hit is not None:
            return hit
        digest = hashlib.blake2b(self.normalised(text).encode("utf-8", "surrogatepass"),
                                 digest_size=8).hexdigest()
        if len(text) <= _MEMO_MAX_TEXT:
            if self._memo_chars + len(text) > _MEMO_CHARS:
                memo.clear()
                self._memo_chars = 0
            memo[text] = digest
            self._memo_chars += len(text)
        return digest

    def normalised(self, text: str) -> str:
        """The text the fingerprint hashes: tokens joined by one space."""
        try:
            tokens = self._tokenizer.tokenize(text)
        except TokenError:
            # the tokenizer stops (an open quote): the analysis reports the
            # error; copies that differ in whitespace only still meet
            return "\x00" + " ".join(text.split())
        out = []
        append = out.append
        in_by = False   # inside a BY list, where a bare integer names a column
        ordinal = False  # ... just after BY or a comma of it
        action = _ACTION
        for tok in tokens:
            kind = tok.token_type
            act = action.get(kind, _KEYWORD)
            if act == _KEYWORD:
                append(tok.text.upper())
                in_by = ordinal = False
            elif act == _WORD:
                append(tok.text)
                ordinal = False
            elif act == _LITERAL:
                append(tok.text if in_by and ordinal and kind is TokenType.NUMBER else "?")
                ordinal = False
            elif act == _QUOTED:
                append('"' + tok.text.replace('"', '""') + '"')
                ordinal = False
            elif act == _BY_START:
                append(tok.text.upper())
                in_by = ordinal = True
            else:  # a comma or another token that a BY list may hold
                append(tok.text.upper())
                ordinal = kind is TokenType.COMMA
        return " ".join(out)


