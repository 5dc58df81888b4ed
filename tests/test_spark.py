"""keldra_lineage.spark on a real local Spark (local[2]) against the
single-process analysis of the same log."""
import os
import sys

import pyarrow as pa
import pyarrow.parquet as pq
import pytest

from keldra_lineage.querylog import LogAnalyser, read_query_log
from keldra_lineage.spark import LINEAGE_FIELDS, lineage

QUERIES = [
    "SELECT o.id, o.amount * 2 AS doubled FROM shop.orders o WHERE o.amount > {n}",
    "INSERT INTO mart.daily SELECT day, sum(amount) FROM orders GROUP BY day",
    "SELECT c.name, count(*) AS n FROM customers c JOIN orders o ON o.customer_id = c.id GROUP BY 1",
    "SELECT * FROM orders",
    "SELECT broken FROM WHERE {n}",
    None,
]


@pytest.fixture(scope="module")
def spark():
    os.environ["PYSPARK_PYTHON"] = sys.executable
    os.environ["PYSPARK_DRIVER_PYTHON"] = sys.executable
    # the workers import the installed package, not the source tree they start in
    os.environ["PYTHONSAFEPATH"] = "1"
    from pyspark.sql import SparkSession

    builder = (SparkSession.builder.master("local[2]").appName("keldra-lineage-test")
               .config("spark.ui.enabled", "false").config("spark.sql.shuffle.partitions", "2")
               .config("spark.driver.bindAddress", "127.0.0.1").config("spark.driver.host", "127.0.0.1"))
    # Under tools/sanitize the sanitizer runtime is preloaded: the Python
    # workers need it (they load the sanitized engine), the JVM must not have
    # it (it handles its own segmentation faults).
    preload = os.environ.pop("LD_PRELOAD", None)
    try:
        if preload:
            builder = builder.config("spark.executorEnv.LD_PRELOAD", preload)
        session = builder.getOrCreate()
    finally:
        if preload:
            os.environ["LD_PRELOAD"] = preload
    yield session
    session.stop()


def test_spark_lineage_matches_the_single_process_analysis(spark, tmp_path):
    rows = [{"query_id": f"q{k}", "query_text": None if QUERIES[k % 6] is None else QUERIES[k % 6].format(n=k),
             "user_name": f"u{k % 3}", "schema_name": "sales" if k % 2 else None} for k in range(60)]
    path = tmp_path / "log.parquet"
    pq.write_table(pa.Table.from_pylist(rows), path)
    schema = {"sales.orders": ["id", "amount", "day", "customer_id"], "sales.customers": ["id", "name"],
              "orders": ["id", "amount", "day"]}

    df = spark.read.parquet(str(path)).repartition(2)
    out = lineage(df, query_column="query_text", dialect="generic", schema=schema, key_columns=["query_id"])
    assert out.columns == ["query_id", *LINEAGE_FIELDS]
    key = lambda r: tuple("" if v is None else str(v) for v in r)  # noqa: E731
    collected = out.collect()
    got = sorted((tuple(r) for r in collected), key=key)

    expected = []
    for result in LogAnalyser("generic", schema).run(read_query_log(path)):
        for st in result.statements:
            head = (result.row.id, st.index, st.kind, st.target)
            if st.error is not None:
                expected.append(head + (None,) * 5 + (result.fingerprint, st.error.message, st.error.kind))
                continue
            for c in st.columns:
                for s in c.sources or [None]:
                    expected.append(head + ((c.name, s.table, s.column, s.type, s.subtype) if s else
                                            (c.name, None, None, None, None)) + (result.fingerprint, None, None))
            for s in st.indirect:
                expected.append(head + (None, s.table, s.column, s.type, s.subtype, result.fingerprint, None, None))
    assert got == sorted(expected, key=key)
    assert len(got) > 60
    # the row's default schema completed the names on the executors too
    assert ("q1", "sales.orders") in {(r.query_id, r.source_table) for r in collected}
    assert ("q2", "orders") in {(r.query_id, r.source_table) for r in collected}
    assert any(r.error_kind == "parse_error" for r in collected)


def test_spark_lineage_keeps_all_other_columns_by_default(spark):
    df = spark.createDataFrame([("1", "ann", "SELECT a FROM t")], ["id", "who", "sql"])
    [row] = lineage(df, query_column="sql").collect()
    assert (row.id, row.who, row.target_column, row.source_table, row.source_column) == ("1", "ann", "a", "t", "a")
    with pytest.raises(ValueError, match="no query column 'query_text': the DataFrame's columns are id, who, sql"):
        lineage(df)
