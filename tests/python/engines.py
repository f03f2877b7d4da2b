"""The example data in real SQL engines: DuckDB in process, Spark in local mode.

Both engines get the same tables from the same Parquet files:
orders, customers, products, the schema-qualified sales.returns, and a copy
of the first orders under a table name that holds both quote characters.
"""

from __future__ import annotations

import os
import time
from pathlib import Path
from typing import Any

from reference import DATA, LEGACY_MAX_ID, LEGACY_TABLE

PLAIN_TABLES = ("orders", "customers", "products")


def quote(name: str, q: str) -> str:
    return q + name.replace(q, q + q) + q


def duckdb_connection():
    import duckdb

    con = duckdb.connect()
    for name in PLAIN_TABLES:
        con.execute(f"CREATE TABLE {name} AS SELECT * FROM read_parquet(?)", [str(DATA / f"{name}.parquet")])
    con.execute("CREATE SCHEMA sales")
    con.execute("CREATE TABLE sales.returns AS SELECT * FROM read_parquet(?)", [str(DATA / "returns.parquet")])
    legacy = quote(LEGACY_TABLE, '"')
    con.execute(f"CREATE TABLE {legacy} AS SELECT * FROM orders WHERE id <= {LEGACY_MAX_ID}")
    return con


def duckdb_run(con, sql: str) -> tuple[list[str], list[tuple]]:
    cur = con.execute(sql)
    return [d[0] for d in cur.description], cur.fetchall()


def spark_session(warehouse: Path):
    """A local Spark session sized for a few hundred rows, with the example
    tables registered and its catalog under `warehouse`. Timestamps are read
    and shown in UTC."""
    os.environ["TZ"] = "UTC"  # pyspark turns timestamps into local datetimes
    time.tzset()
    from pyspark.sql import SparkSession

    spark = (
        SparkSession.builder.master("local[2]")
        .appName("quendra-tests")
        .config("spark.ui.enabled", "false")
        .config("spark.ui.showConsoleProgress", "false")
        .config("spark.sql.shuffle.partitions", "2")
        .config("spark.default.parallelism", "2")
        .config("spark.sql.session.timeZone", "UTC")
        .config("spark.driver.memory", "1g")
        .config("spark.driver.extraJavaOptions", "-Duser.timezone=UTC")
        .config("spark.sql.warehouse.dir", str(warehouse))
        .config("spark.sql.adaptive.enabled", "false")
        .getOrCreate()
    )
    spark.sparkContext.setLogLevel("ERROR")
    for name in PLAIN_TABLES:
        spark.read.parquet(str(DATA / f"{name}.parquet")).createOrReplaceTempView(name)
    spark.sql("CREATE DATABASE IF NOT EXISTS sales")
    spark.sql(f"CREATE TABLE IF NOT EXISTS sales.returns USING parquet LOCATION '{DATA / 'returns.parquet'}'")
    legacy = quote(LEGACY_TABLE, "`")
    spark.sql(f"CREATE OR REPLACE TEMPORARY VIEW {legacy} AS SELECT * FROM orders WHERE id <= {LEGACY_MAX_ID}")
    return spark


def spark_run(spark, sql: str) -> tuple[list[str], list[tuple[Any, ...]]]:
    df = spark.sql(sql)
    return list(df.columns), [tuple(r) for r in df.collect()]
