"""Reading a compiled dbt project: its models as SQL texts, its tables as a schema.

dbt writes what it knows of a project into its target folder: ``manifest.json``
(every node with its compiled SQL, its relation in the warehouse and what it
depends on; written by ``dbt compile``, ``dbt run``, ``dbt build`` and ``dbt
docs generate``) and ``catalog.json`` (the columns of every relation, as the
warehouse lists them; written by ``dbt docs generate``). This module turns
them into the inputs of a lineage session -- one `Model` per model and
snapshot, in dependency order -- and a schema; it knows nothing of lineage.
"""
from __future__ import annotations

import json
import os
from dataclasses import dataclass, field
from graphlib import CycleError, TopologicalSorter
from pathlib import Path
from typing import NamedTuple

__all__ = ["DbtProjectError", "Model", "Project", "read_project"]

# dbt's adapter type -> the engine's dialect for its SQL.
ADAPTER_DIALECTS = {
    "athena": "hive",
    "bigquery": "bigquery",
    "clickhouse": "clickhouse",
    "databricks": "databricks",
    "duckdb": "duckdb",
    "fabric": "mssql",
    "hive": "hive",
    "mysql": "mysql",
    "postgres": "postgres",
    "redshift": "redshift",
    "snowflake": "snowflake",
    "oracle": "oracle",
    "spark": "spark",
    "sqlite": "sqlite",
    "sqlserver": "mssql",
    "synapse": "mssql",
    "teradata": "teradata",
    "trino": "trino",
}

# The manifest versions this reader knows (dbt 1.5 to 1.10 and later 1.x).
OLDEST_MANIFEST, NEWEST_MANIFEST = 9, 12

# Nodes with SQL that are not tables of the warehouse: left out, and counted.
_NOT_MODELS = {"test": ("test", "tests"), "analysis": ("analysis", "analyses"),
               "operation": ("hook", "hooks"), "unit_test": ("unit test", "unit tests"),
               "sql_operation": ("SQL operation", "SQL operations")}
_EPHEMERAL = ("ephemeral model (inlined where used)", "ephemeral models (inlined where used)")


class DbtProjectError(ValueError):
    """A dbt project whose artifacts cannot be read: missing, malformed or too old."""


class Model(NamedTuple):
    """One model or snapshot: the SQL that defines its relation."""
    unique_id: str           # model.shop.customers
    file: str                # its original file path, as dbt writes it
    relation: str | None     # the table or view it builds, as dbt writes it
    text: str | None         # its compiled SQL; None when there is none to read
    kind: str                # "dbt_model" or "dbt_snapshot"
    problem: str | None = None  # why there is no SQL to read
    fatal: bool = False      # the problem is an error (a warning otherwise)


@dataclass(frozen=True)
class Project:
    """What a compiled dbt project gives a lineage run."""
    target: Path             # the folder holding manifest.json
    dialect: str
    models: tuple[Model, ...]                # in dependency order
    schema: dict                             # {database: {schema: {table: [columns]}}}
    left_out: dict[tuple[str, str], int] = field(default_factory=dict)  # ("test", "tests") -> 2
    notes: tuple[str, ...] = ()              # what a reader should know of the project as a whole

    def summary(self) -> str:
        """One line: what was read and what was left out."""
        kinds: dict[str, int] = {}
        for m in self.models:
            kinds[m.kind] = kinds.get(m.kind, 0) + 1
        read = ", ".join(_count(n, w) for w, n in (("model", kinds.get("dbt_model", 0)),
                                                  ("snapshot", kinds.get("dbt_snapshot", 0))) if n)
        line = f"dbt: {read or 'no models'} ({self.dialect})"
        if self.left_out:
            line += "; left out, not models: " + ", ".join(
                f"{n} {words[n != 1]}" for words, n in self.left_out.items())
        return line


def _count(n: int, word: str) -> str:
    return f"{n} {word}{'' if n == 1 else 's'}"


def read_project(path: str | os.PathLike) -> Project:
    """The project whose artifacts lie in `path`: a dbt project folder (its
    ``target/`` is read) or a target folder. Raises DbtProjectError when there
    is no manifest or it cannot be read."""
    target = _target_folder(Path(path))
    manifest = _load(target / "manifest.json")
    _check_version(target / "manifest.json", manifest)
    catalog_path = target / "catalog.json"
    catalog = _load(catalog_path) if catalog_path.is_file() else None
    notes = [] if catalog is not None else [
        "no catalog.json: the columns of sources and seeds are those the project's YAML declares "
        "(run `dbt docs generate` for the warehouse's own)"]

    adapter = (manifest.get("metadata") or {}).get("adapter_type")
    dialect = ADAPTER_DIALECTS.get(adapter or "")
    if dialect is None:
        dialect = "generic"
        notes.append(f"adapter type {adapter!r} has no dialect of its own here: read as generic SQL")

    nodes = _section(manifest, "nodes")
    sources = _section(manifest, "sources")
    left_out: dict[tuple[str, str], int] = {}
    picked: dict[str, dict] = {}
    for uid, node in nodes.items():
        rtype = node.get("resource_type")
        if rtype in ("model", "snapshot"):
            picked[uid] = node
        elif rtype in _NOT_MODELS:
            left_out[_NOT_MODELS[rtype]] = left_out.get(_NOT_MODELS[rtype], 0) + 1
    ephemeral = {uid for uid, n in picked.items() if _materialized(n) == "ephemeral"}
    if ephemeral:
        # dbt's compiler inlines them into the models that use them
        left_out[_EPHEMERAL] = len(ephemeral)

    models = tuple(_model(uid, picked[uid]) for uid in _in_order(picked, ephemeral))
    schema = _schema(nodes, sources, catalog)
    return Project(target, dialect, models, schema, left_out, tuple(notes))


def _target_folder(path: Path) -> Path:
    if (path / "manifest.json").is_file():
        return path
    if (path / "target" / "manifest.json").is_file():
        return path / "target"
    if not path.exists():
        raise DbtProjectError(f"{path}: no such file or directory")
    raise DbtProjectError(f"{path}: no manifest.json here or in {path / 'target'}: "
                          "run `dbt compile` (or `dbt docs generate`, which also lists the columns) first")


def _load(path: Path) -> dict:
    try:
        with open(path, "rb") as f:
            data = json.load(f)
    except OSError as e:
        raise DbtProjectError(f"{path}: cannot read: {e.strerror or e}") from None
    except (json.JSONDecodeError, UnicodeDecodeError) as e:
        raise DbtProjectError(f"{path}: not valid JSON: {e}") from None
    if not isinstance(data, dict):
        raise DbtProjectError(f"{path}: not a dbt artifact (the top level is a {type(data).__name__})")
    return data


def _check_version(path: Path, manifest: dict) -> None:
    url = str((manifest.get("metadata") or {}).get("dbt_schema_version", ""))
    stem = url.rsplit("/", 1)[-1]            # ".../manifest/v12.json"
    if not (stem.startswith("v") and stem.endswith(".json") and stem[1:-5].isdigit()):
        raise DbtProjectError(f"{path}: not a dbt manifest (no manifest schema version in its metadata)")
    version = int(stem[1:-5])
    if version < OLDEST_MANIFEST:
        raise DbtProjectError(f"{path}: manifest v{version} is older than v{OLDEST_MANIFEST}: "
                              "compile the project with dbt 1.5 or later")


def _section(manifest: dict, name: str) -> dict:
    value = manifest.get(name) or {}
    if not isinstance(value, dict):
        raise DbtProjectError(f"manifest.json: {name!r} is not a mapping")
    return value


def _materialized(node: dict) -> str | None:
    return (node.get("config") or {}).get("materialized")


def _in_order(picked: dict[str, dict], skipped: set[str]) -> list[str]:
    """The models to analyse, each after those it depends on; ties by id."""
    graph = TopologicalSorter()
    for uid in sorted(picked):
        if uid in skipped:
            continue
        deps = ((picked[uid].get("depends_on") or {}).get("nodes")) or []
        graph.add(uid, *sorted(d for d in deps if d in picked and d not in skipped))
    try:
        return list(graph.static_order())
    except CycleError as e:
        raise DbtProjectError(f"manifest.json: the models depend on each other in a cycle: "
                              f"{' -> '.join(e.args[1])}") from None


def _model(uid: str, node: dict) -> Model:
    kind = "dbt_snapshot" if node.get("resource_type") == "snapshot" else "dbt_model"
    file = node.get("original_file_path") or node.get("path") or uid
    relation = node.get("relation_name")
    name = node.get("name") or uid
    if node.get("language") == "python":
        return Model(uid, file, relation, None, kind,
                     f"{name} is a Python model: it has no SQL to read; its columns come from catalog.json")
    text = node.get("compiled_code") or node.get("compiled_sql")
    if not text or not text.strip():
        return Model(uid, file, relation, None, kind,
                     f"{name} has no compiled code in manifest.json: run `dbt compile`", fatal=True)
    if relation is None:
        return Model(uid, file, None, None, kind, f"{name} builds no relation: there is nothing to trace to",
                     fatal=True)
    return Model(uid, file, relation, text, kind)


def _schema(nodes: dict, sources: dict, catalog: dict | None) -> dict:
    """{database: {schema: {table: [columns]}}}: catalog.json's columns where it
    lists the relation, else the columns the project's YAML declares."""
    out: dict = {}

    def add(database, schema, name, columns):
        if not name or not columns:
            return
        out.setdefault(database or "", {}).setdefault(schema or "", {})[name] = list(dict.fromkeys(columns))

    listed = set()
    if catalog is not None:
        for section in ("sources", "nodes"):
            for uid, entry in (catalog.get(section) or {}).items():
                meta = entry.get("metadata") or {}
                cols = sorted((entry.get("columns") or {}).values(), key=lambda c: c.get("index", 0))
                add(meta.get("database"), meta.get("schema"), meta.get("name"), [c["name"] for c in cols])
                listed.add(uid)
    for uid, node in [*sources.items(), *nodes.items()]:
        if uid in listed or node.get("resource_type") not in ("source", "seed", "model", "snapshot"):
            continue
        declared = [c.get("name") or k for k, c in (node.get("columns") or {}).items()]
        name = node.get("identifier") or node.get("alias") or node.get("name")
        add(node.get("database"), node.get("schema"), name, declared)
    # names without a database (some adapters have none) go one level up
    flat = {}
    for database, schemas in out.items():
        for schema, tables in schemas.items():
            for table, cols in tables.items():
                parts = [p for p in (database, schema, table) if p]
                flat[tuple(parts)] = cols
    nested: dict = {}
    for parts, cols in flat.items():
        level = nested
        for p in parts[:-1]:
            level = level.setdefault(p, {})
        level[parts[-1]] = cols
    return nested
