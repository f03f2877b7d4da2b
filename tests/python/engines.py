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


# PostgreSQL: a throwaway server of Debian's package, initialised in a
# temporary folder as its own user (the server refuses to run as root),
# listening on a Unix socket in that folder only.

PG_USER = "quendra-pg"
PG_TYPES = {"int64": "BIGINT", "string": "TEXT", "large_string": "TEXT", "double": "DOUBLE PRECISION",
            "bool": "BOOLEAN", "timestamp[us]": "TIMESTAMP", "date32[day]": "DATE"}


def _pg_bin() -> Path:
    import glob
    import shutil

    found = shutil.which("pg_ctl")
    if found:
        return Path(os.path.realpath(found)).parent
    versions = sorted(glob.glob("/usr/lib/postgresql/*/bin/pg_ctl"))
    if not versions:
        raise RuntimeError("no PostgreSQL server: tools/install-deps.sh installs Debian's postgresql package")
    return Path(versions[-1]).parent


class PostgresServer:
    def __init__(self, folder: Path):
        import subprocess

        self.bin = _pg_bin()
        self.folder = folder
        self.data = folder / "data"
        self.prefix: list[str] = []
        if os.geteuid() == 0:
            import pwd

            try:
                pwd.getpwnam(PG_USER)
            except KeyError:
                subprocess.run(["useradd", "--system", "--no-create-home", "--shell", "/usr/sbin/nologin", PG_USER],
                               check=True)
            subprocess.run(["chown", PG_USER, str(folder)], check=True)
            os.chmod(folder, 0o755)
            self.prefix = ["runuser", "-u", PG_USER, "--"]
        self._run(["initdb", "-D", str(self.data), "-U", "postgres", "--auth=trust", "-E", "UTF8",
                   "--locale=C.UTF-8", "--no-sync"])
        options = f"-c listen_addresses='' -c unix_socket_directories={folder} -c fsync=off -c TimeZone=UTC"
        self._run(["pg_ctl", "-D", str(self.data), "-l", str(folder / "log"), "-o", options, "-w", "start"])
        self.dsn = f"host={folder} user=postgres dbname=postgres"

    def _run(self, argv: list[str]) -> None:
        import subprocess

        subprocess.run(self.prefix + [str(self.bin / argv[0])] + argv[1:], check=True, cwd=self.folder,
                       stdout=subprocess.DEVNULL)

    def stop(self) -> None:
        self._run(["pg_ctl", "-D", str(self.data), "-m", "immediate", "-w", "stop"])


def postgres_load(con, name: str, table) -> None:
    """`table` (Arrow) as PostgreSQL table `name`, its types kept."""
    cols = ", ".join(quote(f.name, '"') + " " + PG_TYPES[str(f.type)] for f in table.schema)
    with con.cursor() as cur:
        cur.execute(f"CREATE TABLE {name} ({cols})")
        with cur.copy(f"COPY {name} FROM STDIN") as copy:
            for row in table.to_pylist():
                copy.write_row(tuple(row.values()))
    con.commit()


def postgres_connection(dsn: str):
    import psycopg
    import pyarrow.parquet as pq

    con = psycopg.connect(dsn)
    con.execute("SET TimeZone = 'UTC'")
    for name in PLAIN_TABLES:
        postgres_load(con, name, pq.read_table(DATA / f"{name}.parquet"))
    con.execute("CREATE SCHEMA sales")
    postgres_load(con, "sales.returns", pq.read_table(DATA / "returns.parquet"))
    legacy = quote(LEGACY_TABLE, '"')
    con.execute(f"CREATE TABLE {legacy} AS SELECT * FROM orders WHERE id <= {LEGACY_MAX_ID}")
    con.commit()
    con.autocommit = True
    return con


def postgres_run(con, sql: str) -> tuple[list[str], list[tuple]]:
    """Rows as memory answers them: numerics (sums of integers) as integers
    when whole, floats otherwise."""
    from decimal import Decimal

    with con.cursor() as cur:
        cur.execute(sql)
        names = [d.name for d in cur.description]
        rows = cur.fetchall()

    def plain(v):
        if isinstance(v, Decimal):
            return int(v) if v == v.to_integral_value() else float(v)
        return v

    return names, [tuple(plain(v) for v in r) for r in rows]
