"""The lineage engine at the limits of the stack: deep statements give an
error record in any thread, whatever its stack size, and never crash."""
import json
import os
import subprocess
import sys
import threading
from pathlib import Path

import pytest

import keldra_lineage

DEEP = {
    "nested parentheses": "SELECT " + "(" * 45 + "a" + ")" * 45 + " FROM t",
    "a long operator chain": "SELECT " + " + ".join(["a"] * 3000) + " FROM t",
    "an endless operator chain": "SELECT " + "+".join(["a"] * 100_000) + " FROM t",
    "a long OR chain": "SELECT a FROM t WHERE " + " OR ".join(["a = 1"] * 2000),
    "an endless cast chain": "SELECT a" + "::int" * 30_000 + " FROM t",
    "an endless LIKE chain": "SELECT a" + " LIKE b" * 30_000 + " FROM t",
    "an endless IS NULL chain": "SELECT a" + " IS NULL" * 30_000 + " FROM t",
    "nested subqueries": "SELECT a FROM " + "(SELECT a FROM " * 60 + "t" + ") x" * 60,
}


def run_in_thread(stack_kib, fn):
    """fn() in a thread with a stack of stack_kib KiB; its result or exception."""
    out = {}

    def body():
        try:
            out["value"] = fn()
        except BaseException as e:  # handed back to the test
            out["error"] = e

    old = threading.stack_size(stack_kib * 1024)
    try:
        thread = threading.Thread(target=body)
        thread.start()
        thread.join()
    finally:
        threading.stack_size(old)
    if "error" in out:
        raise out["error"]
    return out["value"]


@pytest.mark.parametrize("stack_kib", [256, 1024, None])
@pytest.mark.parametrize("name", DEEP)
def test_deep_statements_give_a_record_in_any_thread(name, stack_kib):
    sql = DEEP[name] + ";\nSELECT b FROM u"
    call = lambda: keldra_lineage.lineage(sql)  # noqa: E731
    first, second = call() if stack_kib is None else run_in_thread(stack_kib, call)
    # the deep statement is resolved or refused with a message; the next one is intact
    if first.error is not None:
        assert first.error.startswith("line 1, column ")
        assert "nested too deeply" in first.error or "recursion limit" in first.error
        assert first.columns == ()
    assert second.error is None and second.line == 2
    assert [(c.name, [(s.table, s.column) for s in c.sources]) for c in second.columns] == [("b", [("u", "b")])]


def test_operator_chains_within_the_limit_are_resolved():
    # in a thread with a large stack: the sanitizer build's frames are larger
    sql = "SELECT " + " + ".join(f"c{i}" for i in range(3000)) + " AS total FROM t"
    [st] = run_in_thread(256 * 1024, lambda: keldra_lineage.lineage(sql))
    assert st.error is None
    assert len(st.columns[0].sources) == 3000


def test_the_catalog_failing_is_not_swallowed():
    class Broken(keldra_lineage.Catalog):
        __slots__ = ()

        def resolve(self, parts):
            raise KeyError(parts)

    with pytest.raises(KeyError):
        keldra_lineage.lineage("SELECT a FROM t", schema=Broken())


def test_a_call_at_interpreter_shutdown_raises_instead_of_crashing(tmp_path):
    # With a 2 MiB main stack every parse goes to a thread of its own, which
    # cannot start once the interpreter is finalizing.
    script = tmp_path / "at_exit.py"
    script.write_text(
        "import keldra_lineage\n"
        "class AtExit:\n"
        "    def __del__(self):\n"
        "        try:\n"
        "            keldra_lineage.lineage('SELECT a FROM t')\n"
        "        except RuntimeError as e:\n"
        "            print('raised:', e)\n"
        "print(keldra_lineage.lineage('SELECT a FROM t')[0].columns[0].name)\n"
        "keldra_lineage.kept = AtExit()\n")
    done = subprocess.run(["sh", "-c", f'ulimit -s 2048 && "{sys.executable}" -P "{script}"'],
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines()[0] == "a"
    assert done.stdout.splitlines()[1:] in ([], ["raised: the interpreter is shutting down: no statement can be parsed"])


# ---------------------------------------------------------------- any token
# The parser's stack is sized from a bound on the tree's depth that holds for
# any token, so no chain crashes, whatever its operator, keyword or bracket,
# in a thread of any stack size.  A thread of 4.4 MiB is the hard case: the
# statement is short enough to parse on the caller's stack, the tree too deep
# for it.

CHAIN_SCRIPT = r"""
import json, sys, threading
sys.path.insert(0, sys.argv[1])
import keldra_lineage
from hostile_shapes import CHAINS, NESTS, chain, nest

def run():
    for kind, names, build, depth in (("chain", CHAINS, chain, 16_000), ("nest", NESTS, nest, 2_000)):
        for name in names:
            sql, dialect = build(name, depth)
            found = keldra_lineage.lineage(sql + ";\nSELECT b FROM u", dialect=dialect)
            first, second = found[0], found[-1]
            print(json.dumps([name, first.error, second.error, [c.name for c in second.columns]]), flush=True)

threading.stack_size(int(4.4 * 1024 * 1024))
thread = threading.Thread(target=run)
thread.start()
thread.join()
"""


def test_chains_of_every_operator_keyword_and_bracket_never_crash():
    from hostile_shapes import CHAINS, NESTS
    done = subprocess.run([sys.executable, "-P", "-c", CHAIN_SCRIPT, str(Path(__file__).parent)],
                          capture_output=True, text=True, timeout=600)
    seen = [json.loads(line) for line in done.stdout.splitlines()]
    assert done.returncode == 0, f"crashed after {seen[-1][0] if seen else 'nothing'}: {done.stderr[-2000:]}"
    assert [s[0] for s in seen] == list(CHAINS) + list(NESTS)
    for name, first, second, columns in seen:
        # the chain is resolved or refused with a message; what follows is intact
        assert first is None or first.startswith("line 1, column "), (name, first)
        assert second is None and [c.lower() for c in columns] == ["b"], name


def test_at_time_zone_chain_in_a_thread_of_4_4_mib():
    sql = "SELECT x" + " AT TIME ZONE 'a'" * 15_000 + " FROM t;\nSELECT b FROM u"
    first, second = run_in_thread(4506, lambda: keldra_lineage.lineage(sql))
    assert first.error == "line 1, column 1: the statement is nested too deeply to analyse"
    assert [c.name for c in second.columns] == ["b"]


def test_plus_chain_with_arrays_on_the_main_thread():
    # the commas inside ARRAY[...] once reset the count of operators
    from hostile_shapes import chain
    sql, _ = chain("array every 5,000 terms", 50_000)
    done = subprocess.run([sys.executable, "-P", "-c",
                           "import sys, keldra_lineage; print(keldra_lineage.lineage(sys.stdin.read())[0].error)"],
                          input=sql, capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr[-2000:]
    assert done.stdout == "line 1, column 1: the statement is nested too deeply to analyse\n"


def test_long_flat_lists_are_not_deep():
    from hostile_shapes import flat_case, in_list
    [case] = keldra_lineage.lineage(flat_case(10_001))
    assert case.error is None
    assert [(c.name, [(s.table, s.column, s.type) for s in c.sources]) for c in case.columns] == [
        ("c", [("t", "a", "INDIRECT")])]
    [listed] = keldra_lineage.lineage(in_list(100_000))
    assert listed.error is None and [c.name for c in listed.columns] == ["a"]
    assert [(s.table, s.column, s.subtype) for s in listed.indirect] == [("t", "a", "FILTER")]


@pytest.mark.skipif(bool(os.environ.get("KELDRA_SANITIZED")),
                    reason="AddressSanitizer's shadow memory needs more address space than the limit leaves")
def test_only_a_statement_whose_stack_cannot_be_mapped_is_refused():
    # With the address space limited, the parse of 3 MB of `+1` cannot have the
    # stack its bound asks for: an error record at the statement's start, and
    # the statement after it is parsed as usual.
    code = ("import resource, keldra_lineage\n"
            "sql = 'SELECT 1' + '+1' * 1_500_000 + ';\\n  SELECT b FROM u'\n"
            "resource.setrlimit(resource.RLIMIT_AS, (1 << 30, resource.RLIM_INFINITY))\n"
            "first, second = keldra_lineage.lineage(sql)\n"
            "print(first.error)\nprint(second.error, second.line, [c.name for c in second.columns])\n")
    done = subprocess.run([sys.executable, "-P", "-c", code], capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr[-2000:]
    assert done.stdout.splitlines() == [
        "line 1, column 1: the statement is too long to parse safely: its parse may need 1465 MiB of stack,"
        " more than can be mapped",
        "None 2 ['b']"]


# ------------------------------------------------------- threads at exit
# A daemon thread still in the engine when the interpreter exits is ended by
# the interpreter as it asks for the GIL; the unwind of that thread-exit goes
# through the engine's frames and must neither be swallowed nor touch Python.

AT_EXIT_SCRIPT = r"""
import threading, time, keldra_lineage
from sqlparse_main import KeldraParseMain

class Slow(keldra_lineage.Catalog):
    __slots__ = ()
    def resolve(self, parts):
        sum(range(2000))  # Python code: the GIL is given up and asked for again
        return ("t", ("a", "b"))

long_sql = "SELECT " + ", ".join(f"a + {i}" for i in range(40_000)) + " FROM t"  # over 256 KiB

def forever(call):
    while True:
        call()

calls = [lambda: keldra_lineage.lineage("SELECT a, b FROM t JOIN u ON t.a = u.b", schema=Slow()),
         lambda: keldra_lineage.lineage(long_sql),
         lambda: KeldraParseMain()._parse_sql("SELECT a FROM t")]
for call in calls:
    for _ in range(2):
        threading.Thread(target=forever, args=(call,), daemon=True).start()
time.sleep(1.5)
print("exiting", flush=True)
"""


def test_daemon_threads_in_the_engine_at_interpreter_exit():
    done = subprocess.run([sys.executable, "-P", "-c", AT_EXIT_SCRIPT], capture_output=True, text=True,
                          timeout=300)
    assert (done.returncode, done.stdout) == (0, "exiting\n"), done.stderr[-2000:]
    assert "FATAL" not in done.stderr and "Traceback" not in done.stderr


# ------------------------------------------------------------ nesting
# Past its recursion limit the parser reads some constructs again at every
# level (48 ARRAY[ never end), so a nest that reaches the limit is refused
# before the parse, at the bracket past it.

def test_nests_of_every_kind_past_the_limit_are_refused_at_their_bracket():
    from hostile_shapes import NESTS, nest
    for name in [n for n, (_, opening, _) in NESTS.items() if any(b in opening for b in "([{")]:
        sql, dialect = nest(name, 200)
        first, second = keldra_lineage.lineage(sql + ";\nSELECT b FROM u", dialect=dialect)
        assert first.error is not None and first.error.kind == "too_deep", (name, first.error)
        assert first.error.line == 1 and 8 <= first.error.column < len(sql), (name, first.error)
        assert f"more than {keldra_lineage.MAX_NESTING} levels" in first.error.message
        assert [c.name.lower() for c in second.columns] == ["b"], name


def test_the_limit_is_where_the_parser_stops():
    assert keldra_lineage.MAX_NESTING == 48
    # SELECT and 47 brackets are read; the 48th bracket is refused, there
    for opening, closing in (("ARRAY[", "]"), ("CAST(", " AS int)"), ("(", ")"), ("f(", ")")):
        [within] = keldra_lineage.lineage("SELECT " + opening * 47 + "a" + closing * 47 + " FROM t")
        assert within.error is None and [(s.table, s.column) for s in within.columns[0].sources] == [("t", "a")]
        [past] = keldra_lineage.lineage("SELECT " + opening * 48 + "a" + closing * 48 + " FROM t")
        assert (past.error.kind, past.error.line, past.error.column) == ("too_deep", 1, 7 + 48 * len(opening))
    # a subquery spends a level for its bracket and one for its SELECT
    [within] = keldra_lineage.lineage("SELECT x FROM " + "(SELECT x FROM " * 23 + "t" + ") q" * 23)
    assert within.error is None and within.columns[0].sources[0].table == "t"
    [past] = keldra_lineage.lineage("SELECT x FROM " + "(SELECT x FROM " * 24 + "t" + ") q" * 24)
    assert past.error.kind == "too_deep"
    # VALUES has no SELECT: 48 brackets are read
    [values] = keldra_lineage.lineage("VALUES " + "(" * 48 + "1" + ")" * 48)
    assert values.error is None


def test_brackets_in_strings_names_and_comments_do_not_count():
    deep = "(" * 300
    for dialect, sql in (("generic", f"SELECT '{deep}' AS a, \"{deep}\" FROM t -- {deep}\n"),
                         ("postgres", f"SELECT $x${deep}$x$ AS a /* {deep} */ FROM t"),
                         ("mssql", f"SELECT [{deep}] FROM t"),
                         ("mysql", f"SELECT `{deep}` FROM t # {deep}\n")):
        [st] = keldra_lineage.lineage(sql, dialect=dialect)
        assert st.error is None, (dialect, st.error)


def test_a_rewriting_past_the_limit_is_no_recovery():
    # sqloxide rejects the statement, sqlglot's rewriting of it is refused
    # like any text: the parser's error stands
    sql = "SELECT " + "ARRAY[" * 60 + "1" + "]" * 60 + " FROM t QUALIFY"
    [st] = keldra_lineage.lineage(sql)
    assert st.error.kind == "too_deep"


# ------------------------------------------------------------ output columns
# A star over a join of the previous CTE with itself doubles the columns at
# every level: the statement stops once its queries pass MAX_COLUMNS.

def test_stars_over_self_joins_stop_at_the_column_limit():
    from hostile_shapes import self_join_stars
    assert keldra_lineage.MAX_COLUMNS == 100_000
    [small] = keldra_lineage.lineage(self_join_stars(10))
    assert small.error is None and len(small.columns) == 2 ** 11
    assert {(s.table, s.column) for c in small.columns for s in c.sources} == {("t", "a"), ("t", "b")}
    first, second = keldra_lineage.lineage(self_join_stars(22) + ";\nSELECT b FROM u")
    assert first.error.kind == "too_wide" and "100,000 output columns" in first.error.message
    assert first.columns == () and first.indirect == ()
    assert [c.name for c in second.columns] == ["b"]


def test_wide_schemas_within_the_limit_are_expanded():
    columns = [f"c{i}" for i in range(40_000)]
    sql = "WITH a AS (SELECT * FROM wide) SELECT * FROM a"
    [st] = keldra_lineage.lineage(sql, schema={"wide": columns})
    assert st.error is None and [c.name for c in st.columns] == columns
    # three blocks of 40,000 are more than the statement keeps
    [st] = keldra_lineage.lineage("WITH a AS (SELECT * FROM wide), b AS (SELECT * FROM a) SELECT * FROM b",
                                  schema={"wide": columns})
    assert st.error.kind == "too_wide"


@pytest.mark.skipif(bool(os.environ.get("KELDRA_SANITIZED")),
                    reason="AddressSanitizer's shadow memory needs more address space than the limit leaves")
def test_the_column_limit_holds_memory_down():
    # 22 levels once made 4.2 million columns in 3.5 GB; with the address
    # space limited to 1 GiB the statement is refused, not out of memory
    code = ("import resource, sys\n"
            f"sys.path.insert(0, {str(Path(__file__).parent)!r})\n"
            "import keldra_lineage\nfrom hostile_shapes import self_join_stars\n"
            "resource.setrlimit(resource.RLIMIT_AS, (1 << 30, resource.RLIM_INFINITY))\n"
            "[st] = keldra_lineage.lineage(self_join_stars(22))\nprint(st.error.kind)\n")
    done = subprocess.run([sys.executable, "-P", "-c", code], capture_output=True, text=True, timeout=300)
    assert (done.returncode, done.stdout) == (0, "too_wide\n"), done.stderr[-2000:]


def test_the_command_line_reports_the_column_limit(tmp_path):
    from hostile_shapes import self_join_stars
    script = tmp_path / "stars.sql"
    script.write_text("SELECT a FROM t;\n" + self_join_stars(20) + ";\n")
    done = subprocess.run([sys.executable, "-P", "-m", "keldra_lineage", str(script), "-f", "jsonl"],
                          capture_output=True, text=True, timeout=300)
    assert done.returncode == 1
    assert f"{script}:2:1: the statement's queries have more than 100,000 output columns" in done.stderr
    assert [json.loads(line)["column"] for line in done.stdout.splitlines()] == ["a"]


# ------------------------------------------------------------ warnings
# An ambiguous column's warning names a few of its sources and counts the
# rest, so n columns over n tables write n warnings of bounded length, not
# n * n names.

def test_ambiguous_column_warnings_name_five_sources_and_count_the_rest():
    tables = [f"t{i}" for i in range(200)]
    sql = "SELECT " + ", ".join(f"c{i}" for i in range(300)) + " FROM " + " CROSS JOIN ".join(tables)
    [st] = keldra_lineage.lineage(sql)
    assert [w.kind for w in st.warnings] == ["ambiguous_column"] * 300
    assert st.warnings[0].message == "column 'c0' is ambiguous: it could come from t0, t1, t2, t3, t4 and 195 more"
    assert {len(w.message) for w in st.warnings} <= set(range(60, 80))
    # a few sources are all named
    [st] = keldra_lineage.lineage("SELECT c FROM t0 JOIN t1 ON t0.k = t1.k JOIN t2 ON t1.k = t2.k")
    assert st.warnings[0].message == "column 'c' is ambiguous: it could come from t0, t1, t2"


def test_ambiguity_through_a_star_over_many_tables_is_counted_too():
    joined = " CROSS JOIN ".join(f"s{i}" for i in range(12))
    [st] = keldra_lineage.lineage(f"SELECT x FROM (SELECT * FROM {joined}) u")
    assert [w.message for w in st.warnings] == [
        "column 'x' is ambiguous: it could come from s0, s1, s2, s3, s4 and 7 more"]


def test_repeated_warnings_are_given_once():
    # the same unknown column read in the select list and twice in WHERE, at
    # three positions: three warnings; one position read twice: one
    [st] = keldra_lineage.lineage("SELECT t.zz FROM t WHERE t.zz > 0 AND t.zz < 9", schema={"t": ["a"]})
    assert [(w.kind, w.column) for w in st.warnings] == [("unknown_column", 8), ("unknown_column", 26),
                                                         ("unknown_column", 39)]
