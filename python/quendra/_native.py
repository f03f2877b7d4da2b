"""ctypes binding of the nine exported functions."""

from __future__ import annotations

import ctypes
import json
import os
from pathlib import Path
from typing import Any, Optional, Union

from ._errors import CODES, Error

# Dialects of quendra_emit_sql, by name.
DIALECTS = {"duckdb": 0, "spark": 1, "postgres": 2}

_PACKAGE_DIR = Path(__file__).resolve().parent
_REPO_ROOT = _PACKAGE_DIR.parents[1]
_lib: Optional[ctypes.CDLL] = None
_lib_path: Optional[Path] = None


def find_library(path: Union[str, os.PathLike, None] = None) -> Path:
    """The library to load: `path` when given (a file, or a directory holding
    libquendra.so), else the copy installed inside this package (by pip),
    else the release build of the checkout this package lies in."""
    if path is not None:
        p = Path(path)
        if p.is_dir():
            p = p / "libquendra.so"
        if not p.is_file():
            raise FileNotFoundError(f"libquendra not found at {p}")
        return p
    for candidate in (_PACKAGE_DIR / "libquendra.so",
                      _REPO_ROOT / "build" / "release" / "libquendra.so"):
        if candidate.is_file():
            return candidate
    raise FileNotFoundError(
        "libquendra.so not found; install the package with pip, build the library "
        "with 'make', or pass its path explicitly")


def library(path: Union[str, os.PathLike, None] = None) -> ctypes.CDLL:
    """Loads (once) and returns the shared library with its signatures set."""
    global _lib, _lib_path
    if _lib is not None and (path is None or find_library(path) == _lib_path):
        return _lib
    p = find_library(path)
    lib = ctypes.CDLL(str(p))
    vp, sz = ctypes.c_void_p, ctypes.c_size_t
    lib.quendra_new.restype = vp
    lib.quendra_new.argtypes = []
    lib.quendra_free.restype = None
    lib.quendra_free.argtypes = [vp]
    lib.quendra_version.restype = ctypes.c_char_p
    lib.quendra_version.argtypes = []
    lib.quendra_last_error.restype = ctypes.c_char_p
    lib.quendra_last_error.argtypes = [vp]
    lib.quendra_load_models.restype = ctypes.c_int
    lib.quendra_load_models.argtypes = [vp, ctypes.c_char_p, sz]
    lib.quendra_bind_column.restype = ctypes.c_int
    lib.quendra_bind_column.argtypes = [vp, ctypes.c_char_p, ctypes.c_char_p, vp, vp]
    lib.quendra_clear_tables.restype = None
    lib.quendra_clear_tables.argtypes = [vp]
    lib.quendra_execute.restype = ctypes.c_int
    lib.quendra_execute.argtypes = [vp, ctypes.c_char_p, sz, vp, vp]
    lib.quendra_emit_sql.restype = ctypes.c_int
    # The SQL text is read through a plain pointer and its length: string
    # values inside it may hold NUL bytes, which c_char_p would cut at.
    lib.quendra_emit_sql.argtypes = [vp, ctypes.c_char_p, sz, ctypes.c_int,
                                     ctypes.POINTER(vp), ctypes.POINTER(sz)]
    _lib, _lib_path = lib, p
    return lib


def version(path: Union[str, os.PathLike, None] = None) -> str:
    """The library's version text."""
    return library(path).quendra_version().decode()


def _as_bytes(doc: Union[dict, list, str, bytes, bytearray, memoryview]) -> bytes:
    if isinstance(doc, (bytes, bytearray, memoryview)):
        return bytes(doc)
    if isinstance(doc, str):
        return doc.encode("utf-8")
    return json.dumps(doc).encode("utf-8")


RELATIVE = ("last", "this", "previous", "to_date")


def with_now(query: Union[dict, str, bytes]) -> tuple[Union[dict, str, bytes], Optional[str]]:
    """The query with "now" set from the system clock when its time_range is
    relative and it has none (the library has no clock), and that instant;
    else the query as given and None. Text that is not a JSON object is left
    for the library to refuse."""
    doc: Any = query
    if not isinstance(query, dict):
        if b'"time_range"' not in _as_bytes(query):
            return query, None
        try:
            doc = json.loads(_as_bytes(query))
        except ValueError:
            return query, None
    if not isinstance(doc, dict) or "now" in doc:
        return query, None
    tr = doc.get("time_range")
    if not isinstance(tr, dict) or not any(k in tr for k in RELATIVE):
        return query, None
    from datetime import datetime, timezone
    now = datetime.now(timezone.utc).strftime("%Y-%m-%dT%H:%M:%S.%fZ")
    return dict(doc, now=now), now


def _parse_error(raw: bytes) -> tuple[Optional[str], Optional[str]]:
    """(code text, message) from an error document; a message given as an
    array of bytes (not valid UTF-8) is decoded with backslash escapes."""
    if not raw:
        return None, None
    doc = json.loads(raw.decode("utf-8"))
    message: Any = doc.get("message")
    if isinstance(message, list):
        message = bytes(message).decode("utf-8", "backslashreplace")
    return doc.get("code"), message


def _stamped(table: Any, now: Optional[str]) -> Any:
    """The table with the clock's instant in its schema metadata, when the
    query was given one."""
    if now is None:
        return table
    return table.replace_schema_metadata({**(table.schema.metadata or {}), b"quendra.now": now.encode()})


class Context:
    """One library context: a manifest, bound tables and query calls.

    Not thread-safe: use one context per thread. Closing (or garbage
    collection) frees the native context."""

    def __init__(self, library_path: Union[str, os.PathLike, None] = None):
        self._lib = library(library_path)
        self._manifest: Optional[bytes] = None  # the text loaded last, for check()
        self._ptr = self._lib.quendra_new()
        if not self._ptr:
            raise MemoryError("quendra_new could not allocate a context")

    def close(self) -> None:
        if getattr(self, "_ptr", None):
            self._lib.quendra_free(self._ptr)
            self._ptr = None

    def __enter__(self) -> "Context":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __del__(self) -> None:
        self.close()

    def _handle(self) -> int:
        if not self._ptr:
            raise ValueError("context is closed")
        return self._ptr

    def last_error(self) -> str:
        """The raw error document of the last failure ('' when none)."""
        raw = self._lib.quendra_last_error(self._ptr)
        return raw.decode("utf-8") if raw else ""

    def _check(self, code: int) -> None:
        if code != 0:
            code_text, message = _parse_error(self._lib.quendra_last_error(self._ptr) or b"")
            raise Error(code, code_text, message)

    def load_models(self, manifest: Union[dict, str, bytes]) -> None:
        """Replaces the manifest (a dict, or JSON text as str or bytes)."""
        data = _as_bytes(manifest)
        self._check(self._lib.quendra_load_models(self._handle(), data, len(data)))
        self._manifest = data

    def bind(self, table_name: Union[str, bytes], data: Any) -> None:
        """Binds every column of `data` under `table_name`, copying the values
        into the context. `data` is a pyarrow Table or RecordBatch, or a
        mapping from column names to pyarrow arrays (chunked arrays are
        combined first; other sequences go through pyarrow.array).

        `data` may also be any object with the Arrow PyCapsule interface
        (`__arrow_c_stream__`, or `__arrow_c_array__` holding a struct
        array): a polars DataFrame, a DuckDB relation, a nanoarrow stream;
        and a pandas DataFrame goes through pyarrow. Text views become large
        utf8 and dictionaries their values.

        Columns are bound one at a time, each exported through the Arrow C
        Data Interface and released by the library once copied. When a column
        fails, Error is raised and the columns before it stay bound."""
        from . import _arrow

        table = _arrow.name_bytes(table_name)
        for name, column in _arrow.columns(data):
            handle = self._handle()
            c_array, c_schema = _arrow.export(_arrow.as_array(column))
            # The library takes both structures over and releases them
            # whatever the outcome, so nothing here may fail in between.
            self._check(self._lib.quendra_bind_column(
                handle, table, name, ctypes.addressof(c_array), ctypes.addressof(c_schema)))

    def bind_tables(self, tables: Any) -> None:
        """Binds several tables: a mapping from table names to anything
        `bind` takes, bound in its order."""
        from collections.abc import Mapping

        if not isinstance(tables, Mapping):
            raise TypeError(f"bind_tables takes a mapping of table names to data, not {type(tables).__name__}")
        for name, data in tables.items():
            self.bind(name, data)

    def clear_tables(self) -> None:
        """Drops every bound table and frees its memory."""
        self._lib.quendra_clear_tables(self._handle())

    def sql(self, query: Union[dict, str, bytes], dialect: Union[str, int] = "duckdb") -> str:
        """Compiles a query (a dict, or JSON text as str or bytes) into one SQL
        statement for `dialect`: "duckdb", "spark" or "postgres" (case-insensitive), or
        the library's number for it (0, 1). Raises `Error` on failure."""
        if isinstance(dialect, str):
            try:
                number = DIALECTS[dialect.lower()]
            except KeyError:
                raise ValueError(f"unknown dialect {dialect!r}; use 'duckdb', 'spark' or 'postgres'") from None
        elif isinstance(dialect, int) and not isinstance(dialect, bool):
            number = dialect  # passed through: the library checks the range
        else:
            raise TypeError(f"dialect must be a name or an int, not {type(dialect).__name__}")
        data = _as_bytes(query)
        ptr, size = ctypes.c_void_p(), ctypes.c_size_t()
        self._check(self._lib.quendra_emit_sql(self._handle(), data, len(data), number,
                                               ctypes.byref(ptr), ctypes.byref(size)))
        # The text belongs to the context until its next query call: copy it now.
        return ctypes.string_at(ptr.value, size.value).decode("utf-8") if size.value else ""

    def execute(self, query: Union[dict, str, bytes]) -> Any:
        """Runs a query in memory over the bound tables and returns a
        pyarrow.Table: one column per output name, dimensions first, then
        measures, in query order (a name asked twice appears twice). Raises
        `Error` on failure. The table owns its memory: it stays valid after
        further queries, clear_tables() and close().

        >>> import pyarrow as pa, quendra
        >>> with quendra.Context() as ctx:
        ...     ctx.load_models({"models": {"sales": {"table": "sales",
        ...         "dimensions": {"region": "region"},
        ...         "measures": {"revenue": {"agg": "sum", "expr": "amount"}}}}})
        ...     ctx.bind("sales", pa.table({"region": ["n", "s", "n"], "amount": [1, 2, 3]}))
        ...     t = ctx.execute({"model": "sales", "dimensions": ["region"], "measures": ["revenue"]})
        >>> t.to_pylist()
        [{'region': 'n', 'revenue': 4}, {'region': 's', 'revenue': 2}]

        A relative time_range without "now" is answered as of the system
        clock; the instant used is the answer's schema metadata
        b"quendra.now"."""
        from . import _arrow

        query, now = with_now(query)
        data = _as_bytes(query)
        c_array, c_schema = _arrow.ArrowArray(), _arrow.ArrowSchema()
        self._check(self._lib.quendra_execute(self._handle(), data, len(data),
                                              ctypes.addressof(c_array), ctypes.addressof(c_schema)))
        return _stamped(_arrow.import_table(c_array, c_schema), now)


    def query(self, query: Union[dict, str, bytes], engine: Any = "memory") -> Any:
        """Answers a query on `engine` and returns a pyarrow.Table: "memory"
        runs `execute`; a DuckDB connection, a Spark session (local or
        Spark Connect) or a psycopg 3 connection to PostgreSQL runs the
        query's SQL in its dialect over the tables registered there, under
        the names the manifest gives.

        The engine's answer has the in-memory answer's column names, and its
        types are normalised to the in-memory ones: integers (DuckDB's
        HUGEINT sums and PostgreSQL's whole numerics too) to int64, floats and fractional decimals to
        float64, text to utf8, dates to date32, timestamps to microseconds
        without a zone (the UTC instant kept). Raises `Error` when the query
        cannot be planned; the engine's own exception when it fails there."""
        from . import _engines

        engine_kind = _engines.kind(engine)
        if engine_kind == "memory":
            return self.execute(query)
        query, now = with_now(query)
        return _stamped(_engines.run(engine, engine_kind, self.sql(query, engine_kind)), now)

    def check(self, probe: bool = False, engines: Any = ("memory",)) -> Any:
        """Checks the loaded manifest: plans a query for every dimension and
        every measure of every model (its own dimensions and those of its
        joins) and reports every problem at once, each with its model and
        field, and the column kinds the models declare. With `probe`, also
        answers one-row queries over the bound tables per model, join,
        dimension (a time dimension at every grain it allows), measure and
        segment, which finds missing tables, join keys that are not unique
        and type errors; on each of `engines`: "memory", or a DuckDB
        connection or Spark session holding the same tables. Returns a
        `quendra.CheckReport`; its `problems` list is empty when all is
        well."""
        from . import _check

        if self._manifest is None:
            raise ValueError("no manifest loaded")
        return _check.check(self, self._manifest, probe, Context(_lib_path), engines)
