"""Statements as OpenLineage datasets carrying a `columnLineage` facet."""
from __future__ import annotations

SCHEMA_URL = ("https://openlineage.io/spec/facets/1-2-0/ColumnLineageDatasetFacet.json"
              "#/$defs/ColumnLineageDatasetFacet")


def producer() -> str:
    from keldra_lineage import __version__

    return f"https://pypi.org/project/keldra-lineage/{__version__}/"


def _transformation(source) -> dict:
    return {"type": source.type, "subtype": source.subtype,
            "description": source.subtype.lower().replace("_", " "), "masking": False}


def _input_fields(namespace: str, sources) -> list[dict]:
    """One input field per source column, holding all its transformations. A
    source the engine could not attribute to a table names no dataset and is
    left out."""
    fields: dict[tuple, dict] = {}
    for s in sources:
        if s.table is None:
            continue
        field = fields.setdefault((s.table, s.column), {
            "namespace": namespace, "name": s.table, "field": s.column, "transformations": []})
        t = _transformation(s)
        if t not in field["transformations"]:
            field["transformations"].append(t)
    return list(fields.values())


def dataset(file: str, statement, namespace: str) -> dict:
    """The dataset a statement writes (its target; for a query, `FILE#N`, N
    the statement's number in the file, unique where `FILE:LINE` is not)
    with the lineage of each of its columns. Sources that affect every column
    (joins, filters, grouping, sorting) are the facet's `dataset` entries."""
    columns: dict[str, list] = {}
    for column in statement.columns:
        columns.setdefault(column.name, []).extend(column.sources)
    facet = {
        "_producer": producer(),
        "_schemaURL": SCHEMA_URL,
        "fields": {name: {"inputFields": _input_fields(namespace, sources)}
                   for name, sources in columns.items()},
        "dataset": _input_fields(namespace, statement.indirect),
    }
    return {"namespace": namespace, "name": statement.target or f"{file}#{statement.index}",
            "facets": {"columnLineage": facet}}
