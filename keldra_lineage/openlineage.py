"""Statements as OpenLineage run events, built with the official client's
models (openlineage-python), written as JSON lines or sent through the
client's configured transport."""
from __future__ import annotations

from datetime import datetime, timezone

from openlineage.client.event_v2 import InputDataset, Job, OutputDataset, Run, RunEvent, RunState
from openlineage.client.facet_v2 import column_lineage_dataset as lineage_facet
from openlineage.client.facet_v2 import job_type_job, schema_dataset, sql_job
from openlineage.client.serde import Serde
from openlineage.client.uuid import generate_new_uuid

SCHEMA_URL = ("https://openlineage.io/spec/facets/1-2-0/ColumnLineageDatasetFacet.json"
              "#/$defs/ColumnLineageDatasetFacet")


class EmitError(Exception):
    """The events cannot be sent: no transport configured, or it failed."""


def producer() -> str:
    from keldra_lineage import __version__

    return f"https://pypi.org/project/keldra-lineage/{__version__}/"


def _transformation(source) -> lineage_facet.Transformation:
    return lineage_facet.Transformation(type=source.type, subtype=source.subtype,
                                        description=source.subtype.lower().replace("_", " "), masking=False)


def _input_fields(namespace: str, sources) -> list:
    """One input field per source column, holding all its transformations. A
    source the engine could not attribute to a table names no dataset and is
    left out."""
    fields: dict[tuple, lineage_facet.InputField] = {}
    for s in sources:
        if s.table is None:
            continue
        field = fields.setdefault((s.table, s.column), lineage_facet.InputField(
            namespace=namespace, name=s.table, field=s.column, transformations=[]))
        t = _transformation(s)
        if t not in field.transformations:
            field.transformations.append(t)
    return list(fields.values())


def output_name(file: str, statement) -> str:
    """The dataset a statement writes: its target; for a query `FILE#N`, N the
    statement's number in the file (unique where `FILE:LINE` is not)."""
    return statement.target or f"{file}#{statement.index}"


def job_name(file: str, statement) -> str:
    return f"{file}#{statement.index}"


def run_event(file: str, statement, sql: str, namespace: str, dialect: str = "generic") -> RunEvent:
    """The COMPLETE event of one statement's run: the tables it reads, the
    dataset it writes with the `schema` and `columnLineage` facets (sources
    that affect every column -- joins, filters, grouping, sorting -- are the
    facet's `dataset` entries), and its SQL in the `sql` job facet."""
    columns: dict[str, list] = {}
    for column in statement.columns:
        columns.setdefault(column.name, []).extend(column.sources)
    read = dict.fromkeys(s.table for c in statement.columns for s in c.sources if s.table is not None)
    read.update(dict.fromkeys(s.table for s in statement.indirect if s.table is not None))
    written = output_name(file, statement)
    lineage = lineage_facet.ColumnLineageDatasetFacet(
        fields={name: lineage_facet.Fields(inputFields=_input_fields(namespace, sources))
                for name, sources in columns.items()},
        dataset=_input_fields(namespace, statement.indirect),
        producer=producer())
    schema = schema_dataset.SchemaDatasetFacet(
        fields=[schema_dataset.SchemaDatasetFacetFields(name=name, ordinal_position=i)
                for i, name in enumerate(columns, 1)],
        producer=producer())
    job_facets = {
        "sql": sql_job.SQLJobFacet(query=sql, dialect=dialect, producer=producer()),
        "jobType": job_type_job.JobTypeJobFacet(processingType="BATCH", integration="KELDRA_LINEAGE",
                                                jobType="QUERY", producer=producer()),
    }
    return RunEvent(
        eventType=RunState.COMPLETE,
        eventTime=datetime.now(timezone.utc).isoformat(),
        run=Run(runId=str(generate_new_uuid())),
        job=Job(namespace=namespace, name=job_name(file, statement), facets=job_facets),
        inputs=[InputDataset(namespace=namespace, name=name) for name in read],
        outputs=[OutputDataset(namespace=namespace, name=written,
                               facets={"schema": schema, "columnLineage": lineage})],
        producer=producer(),
    )


def to_json(event: RunEvent) -> str:
    """One line of JSON, as the client's transports serialise the event."""
    return Serde.to_json(event)


class Emitter:
    """The client and the transport its configuration names (OPENLINEAGE_URL,
    openlineage.yml, OPENLINEAGE__ variables: HTTP, file, console, Kafka where
    installed)."""

    def __init__(self):
        import logging
        import os

        from openlineage.client import OpenLineageClient

        # Without a configuration the client warns that it falls back to
        # logging the events; that case is an error here, said once.
        quiet = logging.getLogger("openlineage.client.client")
        hush = logging.Filter("no such logger")
        quiet.addFilter(hush)
        try:
            self.client = OpenLineageClient()
        finally:
            quiet.removeFilter(hush)
        configured = bool(self.client.config.transport and self.client.config.transport.get("type"))
        if not configured and not os.environ.get("OPENLINEAGE_URL") \
                and os.getenv("OPENLINEAGE_DISABLED", "").lower().strip() != "true":
            # the client would fall back to logging the events, where nobody sees them
            raise EmitError("no OpenLineage transport configured: set OPENLINEAGE_URL, or write an "
                            "openlineage.yml (or name one in OPENLINEAGE_CONFIG)")

    def emit(self, event: RunEvent):
        try:
            self.client.emit(event)
        except Exception as e:  # every transport fails its own way (requests, kafka, OSError)
            raise EmitError(f"{type(e).__name__}: {' '.join(str(e).split())[:300]}") from e

    def close(self):
        self.client.close()
