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
