"""The lineage engine at the limits of the stack: deep statements give an
error record in any thread, whatever its stack size, and never crash."""
import subprocess
import sys
import threading

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
    [st] = keldra_lineage.lineage("SELECT " + " + ".join(f"c{i}" for i in range(3000)) + " AS total FROM t")
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
