"""Running a query's SQL on DuckDB, Spark or PostgreSQL, and reading the answer back as a
pyarrow Table shaped like the in-memory one.

`run` takes a connection or session over tables the caller registered;
`duckdb_over_files` and `spark_over_files` make one over data files for the
command line, handed the columns read once for every engine (see
_files.Source), so that a file answers the same on each."""

from __future__ import annotations

import importlib
import os
import re
import shutil
import tempfile
from pathlib import Path
from typing import Any, Optional

# The package that provides each engine, for the error that names it.
PACKAGES = {"duckdb": "duckdb", "pyspark": "pyspark", "pyarrow": "pyarrow", "yaml": "PyYAML",
            "psycopg": "psycopg[binary]"}


class MissingPackage(ImportError):
    """An optional package that a feature needs is not installed."""


def need(module: str, feature: str) -> Any:
    """Imports `module`, or raises MissingPackage naming what to install."""
    try:
        return importlib.import_module(module)
    except ImportError:
        package = PACKAGES.get(module, module)
        raise MissingPackage(f"{feature} needs the Python package '{package}': pip install {package}") from None


def kind(engine: Any) -> str:
    """"memory", "duckdb", "spark" or "postgres" for an engine argument of
    Context.query."""
    if isinstance(engine, str):
        if engine.lower() == "memory":
            return "memory"
        raise ValueError(f"engine {engine!r}: use 'memory', a DuckDB connection, a Spark session or a "
                         "psycopg connection")
    root = type(engine).__module__.partition(".")[0]
    if root in ("duckdb", "_duckdb") and hasattr(engine, "sql"):
        return "duckdb"
    if root == "pyspark" and hasattr(engine, "sql"):
        return "spark"
    if root == "psycopg" and hasattr(engine, "cursor"):
        return "postgres"
    raise TypeError("engine must be 'memory', a DuckDB connection, a Spark session or a psycopg connection, "
                    f"not {type(engine).__name__}")


def run(engine: Any, engine_kind: str, sql: str) -> Any:
    """The answer of `sql` on the engine, normalised as `normalise` says."""
    if engine_kind == "duckdb":
        relation = engine.sql(sql)
        fetch = getattr(relation, "to_arrow_table", None) or relation.arrow
        table = fetch()
    elif engine_kind == "postgres":
        table = postgres_table(engine, sql)
    else:
        table = engine.sql(sql).toArrow()
    return normalise(table)


# PostgreSQL's type oids and the Arrow types their values become.
_PG_TYPES = {16: "bool", 20: "int64", 21: "int64", 23: "int64", 25: "string", 1043: "string", 1042: "string",
             700: "float64", 701: "float64", 1082: "date32", 1114: "timestamp", 1184: "timestamp", 1700: "numeric"}


def postgres_table(con: Any, sql: str) -> Any:
    """The answer of `sql` on a psycopg connection as an Arrow table. Dates,
    grains and parts of timestamps with a zone are read in UTC, as in
    memory. A numeric column (PostgreSQL sums integers as numerics) becomes
    64-bit integers when every value is whole, floats otherwise."""
    import datetime as dt

    import pyarrow as pa

    with con.transaction():
        with con.cursor() as cur:
            cur.execute("SET LOCAL TimeZone = 'UTC'")
            cur.execute(sql)
            names = [c.name for c in cur.description]
            oids = [c.type_code for c in cur.description]
            rows = cur.fetchall()
    columns = []
    for i, oid in enumerate(oids):
        values = [r[i] for r in rows]
        kind = _PG_TYPES.get(oid)
        if kind == "numeric":
            whole = all(v is None or v == v.to_integral_value() for v in values)
            values = [None if v is None else int(v) if whole else float(v) for v in values]
            columns.append(pa.array(values, pa.int64() if whole else pa.float64()))
        elif kind == "timestamp":
            values = [v.astimezone(dt.timezone.utc).replace(tzinfo=None) if v is not None and v.tzinfo else v
                      for v in values]
            columns.append(pa.array(values, pa.timestamp("us")))
        elif kind is not None:
            columns.append(pa.array(values, getattr(pa, kind)()))
        else:
            columns.append(pa.array([None if v is None else str(v) for v in values], pa.string()))
    return pa.Table.from_arrays(columns, names=names)


def _target(t: Any) -> Any:
    """The in-memory result type that an engine's column type stands for."""
    import pyarrow as pa

    types = pa.types
    if types.is_dictionary(t):
        return _target(t.value_type)
    if types.is_integer(t):
        return pa.int64()
    if types.is_decimal(t):  # DuckDB sums integers as HUGEINT, handed out as decimal(38, 0)
        return pa.int64() if t.scale == 0 else pa.float64()
    if types.is_floating(t):
        return pa.float64()
    if types.is_string(t) or types.is_large_string(t) or types.is_string_view(t):
        return pa.string()
    if types.is_date(t):
        return pa.date32()
    if types.is_timestamp(t):
        # The zone is dropped, not applied: the instant stays in UTC, as the
        # library binds any zoned timestamp.
        return pa.timestamp("us")
    return t


def normalise(table: Any) -> Any:
    """The table with in-memory result types: int64, float64, bool, utf8,
    date32 and timestamp[us] without a zone; every column nullable; the
    engine's column names kept (repeated ones too)."""
    import pyarrow as pa

    columns, fields = [], []
    for field, column in zip(table.schema, table.columns):
        target = _target(field.type)
        if pa.types.is_dictionary(column.type):
            column = pa.chunked_array([c.dictionary_decode() for c in column.chunks], field.type.value_type)
        if column.type != target:
            # Exact casts except where the in-memory engine itself is not
            # exact either: sub-microsecond time and decimal fractions.
            lossy = pa.types.is_timestamp(column.type) or pa.types.is_decimal(column.type) and target == pa.float64()
            try:
                column = column.cast(target, safe=not lossy)
            except pa.ArrowInvalid as e:
                raise OverflowError(f"column {field.name!r} ({field.type}) does not fit {target}: {e}") from None
        columns.append(column)
        fields.append(pa.field(field.name, target, nullable=True))
    return pa.Table.from_arrays(columns, schema=pa.schema(fields))


# --- engines over data files, for the command line -------------------------


def _parts(name: str) -> list[str]:
    """A table name as the SQL writer splits it: at dots, schema then table."""
    parts = name.split(".")
    if len(parts) > 2 or not all(parts):
        raise ValueError(f"table {name!r}: a data file can be read as 'table' or 'schema.table' only")
    return parts


def _quote(name: str, q: str) -> str:
    return q + name.replace(q, q + q) + q


class Session:
    """An engine over data files, with what it must clean up. Use as a
    context manager; `engine` goes to Context.query."""

    def __init__(self, engine: Any, close: Any, scratch: Optional[Path]):
        self.engine = engine
        self._close = close
        self._scratch = scratch
        self.scans: list[Any] = []  # DuckDB: the Arrow data each view reads, by number

    def cursor(self) -> Any:
        """DuckDB: a cursor for another thread. The Arrow data registered
        for the views is visible to its own connection only, so the cursor
        registers it again."""
        cur = self.engine.cursor()
        for n, scan in enumerate(self.scans):
            cur.register(f"__quendra_{n}", scan)
        return cur

    def __enter__(self) -> "Session":
        return self

    def __exit__(self, *exc: object) -> None:
        try:
            self._close()
        finally:
            if self._scratch is not None:
                shutil.rmtree(self._scratch, ignore_errors=True)


def duckdb_over_files(sources: dict[str, Any], memory_limit: Optional[str] = None) -> Session:
    """An in-process DuckDB with a view per table over the Arrow data of its
    source (`sources` maps table names to _files.Source), in UTC like the
    library. With `memory_limit`, DuckDB keeps its working memory under it
    and spills to a scratch folder, so a query over a lazily scanned file
    may read data larger than memory."""
    duckdb = need("duckdb", "--engine duckdb")
    scratch = Path(tempfile.mkdtemp(prefix="quendra-duckdb-"))
    config: dict[str, Any] = {"temp_directory": str(scratch)}
    if memory_limit:
        # Keeping insertion order would hold whole results back in memory;
        # and every thread keeps buffers of its own, which a small limit
        # cannot hold for many threads: one thread per 128 MiB of it.
        config.update(memory_limit=memory_limit, preserve_insertion_order=False)
        size = _bytes(memory_limit)
        if size is not None:
            config["threads"] = max(1, min(os.cpu_count() or 1, size // (128 << 20)))
    try:
        con = duckdb.connect(config=config)
    except duckdb.Error as e:
        shutil.rmtree(scratch, ignore_errors=True)
        raise ValueError(f"cannot start DuckDB: {e}") from None
    session = Session(con, con.close, scratch)
    try:
        con.execute("SET enable_progress_bar = false")  # it would draw on the terminal
        # Date parts and grains of zoned timestamps are read in UTC, as in memory.
        con.execute("SET TimeZone = 'UTC'")
        for n, (name, source) in enumerate(sources.items()):
            parts = _parts(name)
            if len(parts) == 2:
                con.execute(f"CREATE SCHEMA IF NOT EXISTS {_quote(parts[0], chr(34))}")
            target = ".".join(_quote(p, '"') for p in parts)
            session.scans.append(source.scan())
            con.register(f"__quendra_{n}", session.scans[-1])
            con.execute(f"CREATE VIEW {target} AS SELECT * FROM __quendra_{n}")
    except BaseException:
        session.__exit__()
        raise
    return session


def _bytes(size: str) -> Optional[int]:
    """Bytes in a DuckDB size text such as "500MB" or "2GiB"; None when it
    is not one (DuckDB then says what is wrong with it)."""
    m = re.fullmatch(r"\s*(\d+(?:\.\d+)?)\s*([kmgt]?i?b)?\s*", size, re.I)
    if not m:
        return None
    unit = (m.group(2) or "b").lower()
    power = "bkmgt".index(unit[0]) if unit != "b" else 0
    return int(float(m.group(1)) * (1024 if "i" in unit else 1000) ** power)


def spark_over_files(sources: dict[str, Any], remote: Optional[str] = None) -> Session:
    """A Spark session with a table per source (`sources` maps table names
    to _files.Source), made from its Arrow data: a local session, or Spark
    Connect at `remote` (sc://host:port), to which the data is sent. Time
    zone UTC, as the library reads timestamps. A name `schema.table` is a
    table saved in that database (a temporary view cannot live in one),
    replacing one of that name."""
    need("pyspark", "--engine spark")
    from pyspark.sql import SparkSession

    scratch = Path(tempfile.mkdtemp(prefix="quendra-spark-"))
    try:
        if remote:
            try:
                spark = SparkSession.builder.remote(remote).getOrCreate()
            except ImportError as e:  # the Connect client's own packages
                raise MissingPackage(f"--spark-remote needs Spark Connect's client: pip install 'pyspark[connect]' "
                                     f"({str(e).strip().splitlines()[0]})") from None
            spark.conf.set("spark.sql.session.timeZone", "UTC")
        else:
            # Spark logs warnings of its own start to standard error; only
            # errors are of use on a command line.
            log_config = scratch / "log4j2.properties"
            log_config.write_text("rootLogger.level = error\nrootLogger.appenderRef.stderr.ref = console\n"
                                  "appender.console.type = Console\nappender.console.name = console\n"
                                  "appender.console.target = SYSTEM_ERR\n"
                                  "appender.console.layout.type = PatternLayout\n"
                                  "appender.console.layout.pattern = %p %c: %m%n\n")
            spark = (SparkSession.builder.master("local[*]").appName("quendra")
                     .config("spark.driver.extraJavaOptions", f"-Dlog4j2.configurationFile={log_config.as_uri()}")
                     .config("spark.ui.enabled", "false")
                     .config("spark.ui.showConsoleProgress", "false")
                     .config("spark.sql.session.timeZone", "UTC")
                     .config("spark.sql.warehouse.dir", str(scratch / "warehouse"))
                     .getOrCreate())
            spark.sparkContext.setLogLevel("ERROR")
    except BaseException:
        shutil.rmtree(scratch, ignore_errors=True)
        raise
    session = Session(spark, spark.stop, scratch)
    try:
        for name, source in sources.items():
            parts = _parts(name)
            frame = spark.createDataFrame(spark_table(source.table()))
            if len(parts) == 1:
                frame.createOrReplaceTempView(name)
                continue
            spark.sql(f"CREATE DATABASE IF NOT EXISTS {_quote(parts[0], '`')}")
            frame.write.mode("overwrite").saveAsTable(".".join(_quote(p, "`") for p in parts))
    except BaseException:
        session.__exit__()
        raise
    return session


def spark_table(table: Any) -> Any:
    """The same values in types Spark reads from Arrow: signed integers,
    32-bit offsets, date32, microsecond timestamps, dictionaries decoded."""
    import pyarrow as pa

    columns = []
    for column in table.columns:
        t = column.type
        if pa.types.is_dictionary(t):
            column, t = column.cast(t.value_type), t.value_type
        if pa.types.is_unsigned_integer(t):
            t = {8: pa.int16(), 16: pa.int32(), 32: pa.int64(), 64: pa.int64()}[t.bit_width]
        elif pa.types.is_large_string(t) or pa.types.is_string_view(t):
            t = pa.string()
        elif pa.types.is_date64(t):
            t = pa.date32()
        elif pa.types.is_timestamp(t):
            t = pa.timestamp("us", t.tz)
        columns.append(column.cast(t, safe=not pa.types.is_timestamp(t)))
    return pa.Table.from_arrays(columns, names=table.column_names)
