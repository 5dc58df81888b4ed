"""Cleaning of SQL text: block comments, hints, line comments, blank lines."""
import re

import pytest
from hypothesis import given, settings, strategies as st

from sqlparse_main import KeldraParseMain

clean = KeldraParseMain._re_hint


def reference(sql):
    """A direct transcription of the cleaning steps, character by character."""
    write_tag = 0
    write_limit = ""
    sql_result = ""
    for c in sql:
        if write_limit + c == "/*":
            sql_result = sql_result.strip("/")
            write_tag += 1
        if write_tag == 0:
            sql_result += c
        if write_limit + c == "*/":
            write_tag -= 1
        write_limit = c if c in "/*" else ""
    sql_result = re.sub("--.*\n?", "\n", sql_result)
    return "\n".join(line for line in sql_result.split("\n") if line.strip())


@pytest.mark.parametrize("sql, expected", [
    ("", ""),
    ("SELECT /*+ INDEX(t idx) */ a FROM t", "SELECT  a FROM t"),
    ("SELECT a/*c*/FROM t", "SELECT aFROM t"),
    ("SELECT a -- note\nFROM t", "SELECT a \nFROM t"),
    ("SELECT a\n-- only a comment\nFROM t", "SELECT a\nFROM t"),
    ("/* a /* b */ c */SELECT 1", "SELECT 1"),
    ("/*/SELECT 1", "SELECT 1"),
    ("SELECT a FROM t /* never closed", "SELECT a FROM t "),
    ("SELECT a */ b FROM t", "SELECT a */"),
    ("SELECT '/*' AS x FROM t", "SELECT '"),
    ("SELECT 'a--b' FROM t", "SELECT 'a"),
    ("a//*x*/b", "ab"),
    ("SELECT a -- /* opens\nFROM t\n*/ WHERE 1", "SELECT a "),
    ("SELECT /* -- gone */ a", "SELECT  a"),
    ("\n \n\tSELECT a\r\n\n  \nFROM t  \n\u00a0\n\u2028\n", "\tSELECT a\r\nFROM t  "),
    # A stray "*/" sets the counter below 0; the next "/*" strips the kept "/"
    # and brings it back to 0, so its own "*" is kept.
    ("x */ y /* z", "x ** z"),
    ("SELECT a /*+ hint */ FROM orders -- note", "SELECT a  FROM orders "),
])
def test_examples(sql, expected):
    assert clean(sql) == expected
    assert clean(sql) == reference(sql)


def test_whitespace_is_what_str_strip_strips():
    for ch in "\u00a0\u2028\u0085\x1c\x1d\x1e\x1f\x0b\x0c\r\u3000":
        assert clean(f"a\n{ch}{ch}\nb") == "a\nb"
    assert clean("a\n\u200b\nb") == "a\n\u200b\nb"  # zero-width space is no whitespace


def test_any_str_kind_and_lone_surrogates():
    text = "SELECT \ud800 /* \U0001f600 */ é -- ☃\n\udfff"
    assert clean(text) == reference(text)
    assert clean("\U0001f600/*x*/\U0001f600") == "\U0001f600\U0001f600"


def test_call_forms_and_bad_input():
    assert KeldraParseMain()._re_hint(sql="a") == "a"
    with pytest.raises(TypeError):
        clean()
    with pytest.raises(TypeError):
        clean("a", "b")
    with pytest.raises(TypeError, match="'bogus'"):
        clean(bogus="a")
    for bad in (None, b"SELECT 1", 5, ["S"]):
        with pytest.raises(TypeError, match="must be str"):
            clean(bad)


def test_linear_time_on_large_input():
    # Millions of markers: a quadratic strip or concatenation would not finish.
    big = "/" * 2_000_000 + "/*x*/" + "a\n\n" * 1_000_000 + "-- c\n" * 500_000
    out = clean(big)
    assert out == "\n".join(["a"] * 1_000_000)


alphabet = st.sampled_from(list("/*-\n\r \ta'é\u00a0\u2028\U0001f600\ud800x"))


@settings(max_examples=3000, deadline=None)
@given(st.text(alphabet, max_size=40))
def test_agrees_with_reference(sql):
    assert clean(sql) == reference(sql)
