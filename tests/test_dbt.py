"""dbt projects: the bundled project built by real dbt-core and dbt-duckdb, then read back."""
import json
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import keldra_lineage
from keldra_lineage import Source, dbt
from test_cli_engine import run

PROJECT = Path(__file__).resolve().parent / "dbt_project"
RAW_C, RAW_O = "keldra.main.raw_customers", "keldra.main.raw_orders"
STG_C, STG_O = "keldra.main.stg_customers", "keldra.main.stg_orders"
CUSTOMERS = "keldra.main.customers"


def dbt_command(*args, cwd, profiles):
    exe = Path(sys.executable).parent / "dbt"
    env = dict(os.environ, DBT_SEND_ANONYMOUS_USAGE_STATS="false", DO_NOT_TRACK="1",
               DBT_PROFILES_DIR=str(profiles))
    done = subprocess.run([str(exe), *args], cwd=cwd, env=env, capture_output=True, text=True, timeout=600)
    assert done.returncode == 0, done.stdout + done.stderr


@pytest.fixture(scope="session")
def built(tmp_path_factory):
    """The bundled project, seeded, run, snapshotted and documented in a
    temporary folder: the folder of its project."""
    top = tmp_path_factory.mktemp("dbt")
    project = top / "project"
    shutil.copytree(PROJECT, project)
    (top / "profiles.yml").write_text(
        "keldra_shop:\n  target: dev\n  outputs:\n    dev:\n      type: duckdb\n"
        f"      path: {top / 'keldra.duckdb'}\n      threads: 1\n")
    for step in (["seed"], ["run"], ["snapshot"], ["docs", "generate"]):
        dbt_command(*step, cwd=project, profiles=top)
    return project


def by_target(statements):
    return {st.target: st for st in statements if st.target}


def sources_of(st, column):
    return next(c.sources for c in st.columns if c.name == column)


def test_lineage_composes_from_sources_through_every_model(built):
    statements = keldra_lineage.dbt_lineage(built)
    models = by_target(statements)
    assert list(models) == [STG_C, STG_O, "keldra.snapshots.orders_snapshot", CUSTOMERS,
                            "keldra.main.customer_flags", "keldra.main.big_spenders"]
    assert {st.kind for st in statements} == {"dbt_model", "dbt_snapshot"}
    assert all(st.error is None for st in statements)
    # the Python model: no SQL, one warning naming it
    python = models.pop("keldra.main.customer_flags")
    assert (python.columns, python.warnings) == ((), (
        "customer_flags is a Python model: it has no SQL to read; its columns come from catalog.json",))
    assert all(st.warnings == () for st in models.values())

    stg_c = models[STG_C]  # a star over a source, expanded from catalog.json
    assert [c.name for c in stg_c.columns] == ["customer_id", "first_name", "last_name"]
    assert sources_of(stg_c, "customer_id") == (Source(RAW_C, "id", "DIRECT", "IDENTITY"),)
    # the macro compiled into the model
    assert sources_of(models[STG_O], "amount") == (Source(RAW_O, "amount_cents", "DIRECT", "TRANSFORMATION"),)

    mart = models[CUSTOMERS]  # through the ephemeral model that dbt inlined as a CTE
    assert sources_of(mart, "lifetime_value") == (Source(STG_O, "amount", "DIRECT", "AGGREGATION"),)
    assert sources_of(mart, "full_name") == (Source(STG_C, "first_name", "DIRECT", "TRANSFORMATION"),
                                             Source(STG_C, "last_name", "DIRECT", "TRANSFORMATION"))
    assert sources_of(mart, "order_count") == ()
    assert set(mart.indirect) == {Source(STG_C, "customer_id", "INDIRECT", "JOIN"),
                                  Source(STG_O, "customer_id", "INDIRECT", "JOIN"),
                                  Source(STG_O, "customer_id", "INDIRECT", "GROUP_BY"),
                                  Source(STG_O, "status", "INDIRECT", "FILTER")}
    # the child of a Python model resolves through the columns catalog.json lists
    assert sources_of(models["keldra.main.big_spenders"], "full_name") == (
        Source("keldra.main.customer_flags", "full_name", "DIRECT", "IDENTITY"),)


def test_results_equal_the_models_as_one_text_of_views(built):
    project = dbt.read_project(built)
    text = ";\n".join(f"CREATE VIEW {m.relation} AS {m.text}" for m in project.models if m.text)
    as_views = by_target(keldra_lineage.lineage(text, "duckdb", schema=project.schema))
    as_models = by_target(st for st in keldra_lineage.dbt_lineage(built / "target") if st.columns)
    assert as_views.keys() == as_models.keys()
    for target, st in as_models.items():
        assert (st.columns, st.indirect) == (as_views[target].columns, as_views[target].indirect), target


def test_the_reader_lists_what_it_left_out(built):
    project = dbt.read_project(built)
    assert project.dialect == "duckdb"
    assert project.summary() == (
        "dbt: 5 models, 1 snapshot (duckdb); left out, not models: 1 analysis, 1 hook, "
        "2 tests, 1 ephemeral model (inlined where used)")
    python = [m for m in project.models if m.file.endswith(".py")]
    assert [(m.text, m.fatal) for m in python] == [(None, False)]
    assert "Python model" in python[0].problem
    # catalog.json's columns, in the warehouse's order
    assert project.schema["keldra"]["snapshots"]["orders_snapshot"] == [
        "id", "user_id", "status", "dbt_scd_id", "dbt_updated_at", "dbt_valid_from", "dbt_valid_to"]


@pytest.mark.parametrize("jobs", ["1", "2"])
def test_the_command_line_reads_a_project(built, jobs):
    done = run("--dbt", built, "-f", "json", "-j", jobs)
    assert done.returncode == 0, done.stderr
    records = json.loads(done.stdout)
    assert {r["file"] for r in records} == {
        "models/staging/stg_customers.sql", "models/staging/stg_orders.sql", "models/marts/customers.sql",
        "models/marts/big_spenders.sql", "snapshots/orders_snapshot.sql"}
    assert {"file": "models/staging/stg_orders.sql", "statement": 1, "line": 1, "kind": "dbt_model",
            "target": STG_O, "column": "amount", "source_table": RAW_O, "source_column": "amount_cents",
            "type": "DIRECT", "subtype": "TRANSFORMATION"} in records
    assert done.stderr.splitlines() == [
        "keldra-lineage: dbt: 5 models, 1 snapshot (duckdb); left out, not models: 1 analysis, 1 hook, "
        "2 tests, 1 ephemeral model (inlined where used)",
        "models/marts/customer_flags.py:1: warning: customer_flags is a Python model: it has no SQL to read; "
        "its columns come from catalog.json"]


def test_a_trace_goes_from_a_mart_back_to_the_raw_tables(built):
    done = run("--dbt", built, "--trace", f"{CUSTOMERS}.lifetime_value", "--upstream", "-f", "json", "-q")
    assert done.returncode == 0, done.stderr
    reached = {(r["table"], r["column"]): (r["depth"], r["type"], r["subtype"]) for r in json.loads(done.stdout)}
    assert reached[STG_O, "amount"] == (1, "DIRECT", "AGGREGATION")
    assert reached[RAW_O, "amount_cents"] == (2, "DIRECT", "TRANSFORMATION")
    # what shapes the whole mart: the join key, back to the raw tables
    assert reached[STG_C, "customer_id"] == (1, "INDIRECT", "JOIN")
    assert reached[RAW_C, "id"] == (2, "DIRECT", "IDENTITY")
    assert {table for table, _ in reached} == {STG_O, STG_C, RAW_O, RAW_C}


@pytest.mark.parametrize("fmt", ["table", "csv", "jsonl", "dot", "mermaid", "openlineage"])
def test_every_format_works_with_a_project(built, fmt):
    done = run("--dbt", built, "-f", fmt, "-q")
    assert done.returncode == 0, done.stderr
    assert "stg_orders" in done.stdout and "amount_cents" in done.stdout


def test_a_model_without_compiled_code_is_one_error_and_the_rest_is_reported(built, tmp_path):
    target = tmp_path / "target"
    target.mkdir()
    manifest = json.loads((built / "target" / "manifest.json").read_text())
    manifest["nodes"]["model.keldra_shop.stg_orders"]["compiled_code"] = None
    (target / "manifest.json").write_text(json.dumps(manifest))
    done = run("--dbt", target, "-f", "json", "-q")
    assert done.returncode == 1
    assert done.stderr == ("models/staging/stg_orders.sql:1: stg_orders has no compiled code in "
                           "manifest.json: run `dbt compile`\n")
    records = json.loads(done.stdout)
    # without catalog.json the sources' declared columns still expand the star
    assert {(r["target"], r["column"], r["source_table"], r["source_column"]) for r in records
            if r["target"] == STG_C} == {(STG_C, "customer_id", RAW_C, "id"),
                                         (STG_C, "first_name", RAW_C, "first_name"),
                                         (STG_C, "last_name", RAW_C, "last_name")}
    assert any(r["target"] == CUSTOMERS for r in records)


def test_a_folder_without_a_manifest_says_what_to_run(tmp_path):
    done = run("--dbt", tmp_path)
    assert done.returncode == 2
    assert "no manifest.json" in done.stderr and "dbt compile" in done.stderr
    with pytest.raises(dbt.DbtProjectError, match="dbt compile"):
        keldra_lineage.dbt_lineage(tmp_path)


def test_an_old_or_foreign_manifest_is_refused(tmp_path):
    (tmp_path / "manifest.json").write_text(json.dumps(
        {"metadata": {"dbt_schema_version": "https://schemas.getdbt.com/dbt/manifest/v7.json"}}))
    with pytest.raises(dbt.DbtProjectError, match="v7 is older than v9"):
        dbt.read_project(tmp_path)
    (tmp_path / "manifest.json").write_text("[]")
    with pytest.raises(dbt.DbtProjectError, match="not a dbt artifact"):
        dbt.read_project(tmp_path)


def test_the_bundled_example_artifacts_are_readable():
    example = Path(__file__).resolve().parent.parent / "examples" / "dbt"
    statements = keldra_lineage.dbt_lineage(example)
    assert CUSTOMERS in by_target(statements)
    assert all(st.error is None for st in statements)
