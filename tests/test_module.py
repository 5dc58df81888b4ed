"""What importing sqlparse_main offers, and the repair of the parser's engine."""
import os
import subprocess
import sys
from pathlib import Path

import pytest

import keldra_var
import sqlparse_main
from sqlparse_main import Analyze, KeldraParseMain

from conftest import run_python

ANALYZE_METHODS = {
    "__init__": "(self, tree)",
    "analyze_sql": "(self, level=0)",
    "_analyze_sql_start": "(self, tree, level)",
    "_analyze_from_value": "(self, tree, level)",
    "_analyze_from_value_master": "(self, tree, column, level)",
    "_master_from_value": "(self, tree, column, level)",
    "_none_master_from_value": "(self, tree, column, level)",
    "_check_union": "(self, level)",
    "_get_all_select_value": "(self, tree, level)",
    "_analyze_select_value": "(self, tree, select_value_list, level, master=None)",
    "_analyze_column": "(self, tree, column, level)",
    "_analyze_column_asterisk": "(self, tree, column, level)",
    "_one_replace_other": "(self, full_path, one, other)",
    "_one_search_other": "(tree, full_path, one, other)",
}
FACADE_METHODS = {"__init__": "(self)", "_re_hint": "(sql)", "_parse_sql": "(self, sql)"}


def test_module_names_in_binding_order():
    names = [n for n in vars(sqlparse_main) if not n.startswith("__")]
    assert names == ["re", "parse", "KeldraVar", "json", "KeldraParseMain", "Analyze"]
    import json
    import re

    from moz_sql_parser import parse
    assert sqlparse_main.re is re and sqlparse_main.json is json
    assert sqlparse_main.parse is parse
    assert sqlparse_main.KeldraVar is keldra_var.KeldraVar


@pytest.mark.parametrize("cls, methods", [(KeldraParseMain, FACADE_METHODS), (Analyze, ANALYZE_METHODS)])
def test_classes_methods_and_docstrings(cls, methods):
    assert cls.__bases__ == (object,)
    assert cls.__module__ == "sqlparse_main"
    for name, params in methods.items():
        assert getattr(cls, name).__doc__ == f"{cls.__name__}.{name}{params}", name
    static = {n for n, v in vars(cls).items() if isinstance(v, staticmethod)}
    assert static == {"_re_hint"} if cls is KeldraParseMain else {"_one_search_other"}


def test_instances_behave_like_plain_objects():
    kpm = KeldraParseMain()
    kpm.note = 1
    assert vars(kpm) == {"note": 1}
    analyzer = Analyze({"select": "*"})
    assert analyzer.tree == {"select": "*"} and analyzer._var == {"sqls": []}
    analyzer.tree = {"other": 1}
    assert analyzer.tree == {"other": 1}
    import weakref
    assert weakref.ref(analyzer)() is analyzer
    # Class attributes can be patched.
    Analyze.extra = 5
    try:
        assert analyzer.extra == 5
    finally:
        del Analyze.extra


def test_argument_binding():
    a = Analyze(tree={"select": {"value": "x"}})
    assert a.analyze_sql(level=0) == [] and a.analyze_sql() == []
    with pytest.raises(TypeError, match=r"takes from 1 to 2 positional arguments but 3 were given"):
        a.analyze_sql(0, 1)
    with pytest.raises(TypeError, match=r"missing 2 required positional arguments: 'tree' and 'level'"):
        a._analyze_sql_start()
    with pytest.raises(TypeError, match="multiple values for argument 'tree'"):
        a._get_all_select_value({}, tree={}, level=0)
    with pytest.raises(TypeError, match="unexpected keyword argument 'bogus'"):
        a._check_union(bogus=1)
    with pytest.raises(TypeError):
        Analyze()
    with pytest.raises(TypeError):
        KeldraParseMain(1)
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'sql'"):
        KeldraParseMain()._parse_sql()
    with pytest.raises(TypeError):
        Analyze._one_search_other({}, "a", "b")


def test_subclass_overrides_take_effect():
    calls = []

    class Spy(Analyze):
        def __init__(self, tree):
            super().__init__(tree)
            calls.append("init")

        def _analyze_sql_start(self, tree, level):
            calls.append(("start", tree, level))

    Spy({"select": {"value": "a"}}).analyze_sql(3)
    assert calls == ["init", ("start", {"select": {"value": "a"}}, 3)]


# --- the engine repair, against a throw-away site directory ------------------------

BUILT = Path(sqlparse_main.__file__).parent
ENGINE_LINE = "from collections import Iterable\n"
FAKE_PARSER = "from mo_parsing import infix\n\ndef parse(sql):\n    return {'select': {'value': sql}}\n"


def make_site(root, *, ply="package", engine=ENGINE_LINE + "x = 1\n" + ENGINE_LINE, parser=FAKE_PARSER):
    root.mkdir(parents=True, exist_ok=True)
    if ply == "package":
        (root / "ply").mkdir()
        (root / "ply" / "__init__.py").write_text("")
    elif ply == "module":
        (root / "ply.py").write_text("# ply as a single module\n")
    if engine is not None:
        (root / "mo_parsing").mkdir()
        (root / "mo_parsing" / "__init__.py").write_text("")
        (root / "mo_parsing" / "infix.py").write_text(engine)
    (root / "moz_sql_parser").mkdir()
    (root / "moz_sql_parser" / "__init__.py").write_text(parser)
    return root


def run_import(*sites, code="import sqlparse_main; print(sqlparse_main.parse('x'))"):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([*map(str, sites), str(BUILT)]),
               PYTHONDONTWRITEBYTECODE="1")
    return subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True,
                          timeout=120)


def test_repair_rewrites_every_old_line_and_imports_again(tmp_path):
    site = make_site(tmp_path / "site")
    infix = site / "mo_parsing" / "infix.py"
    infix.chmod(0o640)
    done = run_import(site)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "{'select': {'value': 'x'}}"
    assert infix.read_text() == "from collections.abc import Iterable\nx = 1\nfrom collections.abc import Iterable\n"
    assert infix.stat().st_mode & 0o7777 == 0o640
    assert sorted(p.name for p in infix.parent.iterdir()) == ["__init__.py", "infix.py"]
    # The next process imports at once and leaves the file alone.
    before = infix.stat().st_mtime_ns
    assert run_import(site).returncode == 0
    assert infix.stat().st_mtime_ns == before


def test_working_parser_needs_no_repair(tmp_path):
    site = make_site(tmp_path / "site", ply=None, engine=None, parser="def parse(sql):\n    return sql\n")
    done = run_import(site, code="import sys, sqlparse_main; print('ply' in sys.modules)")
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "False"


def test_missing_ply_ends_the_import(tmp_path):
    site = make_site(tmp_path / "site", ply=None)
    done = run_import(site, code="import sys; sys.modules['ply'] = None\nimport sqlparse_main")
    assert done.returncode != 0
    assert "ImportError" in done.stderr and "During handling of the above exception" in done.stderr
    assert (site / "mo_parsing" / "infix.py").read_text().startswith(ENGINE_LINE)


def test_missing_engine_file_changes_nothing(tmp_path):
    ply_site = make_site(tmp_path / "ply_site", engine=None, parser="")
    (ply_site / "moz_sql_parser" / "__init__.py").unlink()
    (ply_site / "moz_sql_parser").rmdir()
    engine_site = make_site(tmp_path / "engine_site", ply=None)
    done = run_import(ply_site, engine_site)
    assert done.returncode != 0
    assert "FileNotFoundError" in done.stderr
    assert (engine_site / "mo_parsing" / "infix.py").read_text().startswith(ENGINE_LINE)
    assert not (ply_site / "mo_parsing").exists()


def test_ply_file_is_never_rewritten(tmp_path):
    # ply as a module file: the computed path is ply's own file.
    site = make_site(tmp_path / "site", ply="module")
    ply_file = site / "ply.py"
    before = ply_file.stat().st_mtime_ns
    done = run_import(site)
    assert done.returncode != 0
    assert done.stderr.count("cannot import name 'Iterable'") == 2
    assert ply_file.stat().st_mtime_ns == before
    assert ply_file.read_text() == "# ply as a single module\n"


def test_read_only_installation_imports_with_the_engine_repaired_in_memory(tmp_path):
    # Nobody may write beside the engine (a system-wide install, a read-only
    # container): the corrected engine is loaded from memory and the file is
    # left as it is, in this process and the next.
    site = make_site(tmp_path / "site")
    infix = site / "mo_parsing" / "infix.py"
    infix.chmod(0o444)
    (site / "mo_parsing").chmod(0o555)
    # Running as root, permissions do not stop a write: refuse it the way a
    # read-only file system does.
    deny = ("import errno, os, tempfile\n"
            "def refuse(*args, **kwargs):\n"
            "    raise OSError(errno.EROFS, os.strerror(errno.EROFS))\n"
            "tempfile.mkstemp = refuse\n")
    code = deny + ("import sys, sqlparse_main\n"
                   "print(sqlparse_main.parse('x'))\n"
                   "print(sys.modules['mo_parsing.infix'].x, sys.modules['mo_parsing.infix'].__file__)\n"
                   "print(type(sys.modules['mo_parsing.infix'].Iterable).__name__)\n")
    try:
        for _ in range(2):
            done = run_import(site, code=code)
            assert done.returncode == 0, done.stderr
            assert done.stdout.splitlines() == ["{'select': {'value': 'x'}}", f"1 {infix}", "ABCMeta"]
            assert infix.read_text() == ENGINE_LINE + "x = 1\n" + ENGINE_LINE
            assert sorted(p.name for p in infix.parent.iterdir()) == ["__init__.py", "infix.py"]
    finally:
        (site / "mo_parsing").chmod(0o755)


@pytest.mark.parametrize("sql", [
    'SELECT "a\\"b" FROM t',                 # the parser warns, then raises
    "SELECT a FROM t WHERE b = 'x' AND",
])
def test_the_parser_logs_nothing_to_standard_output(sql):
    # The parser's logging library writes its warnings (with a long trace) to
    # the standard output it found at its import, past any later redirection
    # of sys.stdout; the module sends them nowhere.
    code = ("import sys, sqlparse_main\n"
            "from mo_parsing.exceptions import ParseException\n"
            "try:\n"
            f"    sqlparse_main.KeldraParseMain()._parse_sql({sql!r})\n"
            "except ParseException as e:\n"
            "    print('ParseException', file=sys.stderr)\n")
    done = run_python(code)
    assert done.returncode == 0, done.stderr
    assert done.stdout == ""
    assert done.stderr == "ParseException\n"
