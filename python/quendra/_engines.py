"""Running a query's SQL on DuckDB or Spark, and reading the answer back as a
pyarrow Table shaped like the in-memory one.

Each engine reads its own tables: `run` takes a connection or session over
tables the caller registered; `duckdb_over_files` and `spark_over_files`
make one over data files read in place, for the command line."""

from __future__ import annotations

import importlib
import os
import re
import shutil
import tempfile
from pathlib import Path
from typing import Any, Optional

# The package that provides each engine, for the error that names it.
PACKAGES = {"duckdb": "duckdb", "pyspark": "pyspark", "pyarrow": "pyarrow", "yaml": "PyYAML"}


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
    """"memory", "duckdb" or "spark" for an engine argument of Context.query."""
    if isinstance(engine, str):
        if engine.lower() == "memory":
            return "memory"
        raise ValueError(f"engine {engine!r}: use 'memory', a DuckDB connection or a Spark session")
    root = type(engine).__module__.partition(".")[0]
    if root in ("duckdb", "_duckdb") and hasattr(engine, "sql"):
        return "duckdb"
    if root == "pyspark" and hasattr(engine, "sql"):
        return "spark"
    raise TypeError(f"engine must be 'memory', a DuckDB connection or a Spark session, not {type(engine).__name__}")


def run(engine: Any, engine_kind: str, sql: str) -> Any:
    """The answer of `sql` on the engine, normalised as `normalise` says."""
    if engine_kind == "duckdb":
        relation = engine.sql(sql)
        fetch = getattr(relation, "to_arrow_table", None) or relation.arrow
        table = fetch()
    else:
        table = engine.sql(sql).toArrow()
    return normalise(table)


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


def _duck_literal(text: str) -> str:
    return "'" + text.replace("'", "''") + "'"


class Session:
    """An engine over data files, with what it must clean up. Use as a
    context manager; `engine` goes to Context.query."""

    def __init__(self, engine: Any, close: Any, scratch: Optional[Path]):
        self.engine = engine
        self._close = close
        self._scratch = scratch

    def __enter__(self) -> "Session":
        return self

    def __exit__(self, *exc: object) -> None:
        try:
            self._close()
        finally:
            if self._scratch is not None:
                shutil.rmtree(self._scratch, ignore_errors=True)


def duckdb_over_files(files: dict[str, tuple[Path, str]], memory_limit: Optional[str] = None) -> Session:
    """An in-process DuckDB whose views read each file where it lies:
    `files` maps table names to (path, kind), kind one of parquet, csv, ipc.
    With `memory_limit`, DuckDB keeps its working memory under it and spills
    to a scratch folder, so a query may read data larger than memory."""
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
        for n, (name, (path, file_kind)) in enumerate(files.items()):
            parts, path = _parts(name), path.resolve()
            if len(parts) == 2:
                con.execute(f"CREATE SCHEMA IF NOT EXISTS {_quote(parts[0], chr(34))}")
            target = ".".join(_quote(p, '"') for p in parts)
            if file_kind == "ipc":
                # DuckDB reads Arrow IPC through a pyarrow dataset, scanned
                # lazily batch by batch from the file.
                source = f"__quendra_ipc_{n}"
                con.register(source, _ipc_dataset(path))
            else:
                reader = "read_parquet" if file_kind == "parquet" else "read_csv"
                source = f"{reader}({_duck_literal(str(path))})"
            con.execute(f"CREATE VIEW {target} AS SELECT * FROM {source}")
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


def _ipc_dataset(path: Path) -> Any:
    import pyarrow as pa
    import pyarrow.dataset as ds
    import pyarrow.ipc as ipc

    try:
        return ds.dataset(str(path), format="ipc")
    except pa.ArrowInvalid:  # the streaming format has no footer to scan by
        with open(path, "rb") as f:
            return ipc.open_stream(f).read_all()


def spark_over_files(files: dict[str, tuple[Path, str]], remote: Optional[str] = None) -> Session:
    """A Spark session whose tables read each file where it lies: a local
    session, or Spark Connect at `remote` (sc://host:port), which must see
    the same paths. Time zone UTC, as the library reads timestamps. Arrow
    IPC files, which Spark does not read, are copied to Parquet first."""
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
        for n, (name, (path, file_kind)) in enumerate(files.items()):
            parts, path = _parts(name), path.resolve()
            if file_kind == "ipc":
                path, file_kind = _ipc_to_parquet(path, scratch / f"ipc_{n}.parquet"), "parquet"
            options = {"header": "true", "inferSchema": "true"} if file_kind == "csv" else {}
            if len(parts) == 1:
                spark.read.options(**options).format(file_kind).load(str(path)).createOrReplaceTempView(name)
                continue
            # A temporary view cannot live in a database: an external table does.
            spark.sql(f"CREATE DATABASE IF NOT EXISTS {_quote(parts[0], '`')}")
            opts = ", ".join(f"{k} {_spark_literal(v)}" for k, v in {"path": str(path), **options}.items())
            spark.sql(f"CREATE TABLE IF NOT EXISTS {'.'.join(_quote(p, '`') for p in parts)} "
                      f"USING {file_kind} OPTIONS ({opts})")
    except BaseException:
        session.__exit__()
        raise
    return session


def _spark_literal(text: str) -> str:
    return "'" + text.replace("\\", "\\\\").replace("'", "\\'") + "'"


def _ipc_to_parquet(path: Path, out: Path) -> Path:
    """Copies an Arrow IPC file to Parquet one batch at a time."""
    import pyarrow.parquet as pq

    dataset = _ipc_dataset(path)
    batches = dataset.to_batches()
    with pq.ParquetWriter(str(out), dataset.schema) as writer:
        for batch in batches:
            writer.write_batch(batch)
    return out
