"""The command line's inputs: the manifest (JSON, or YAML with PyYAML), the
query text and the data files of --data and --table."""

from __future__ import annotations

import json
from datetime import date, datetime
from pathlib import Path
from typing import Any, Optional, Union

from ._native import Context, Error

# File extensions bound from --data, by reader.
_READERS = {".parquet": "parquet", ".csv": "csv", ".arrow": "ipc", ".feather": "ipc", ".ipc": "ipc"}


class CliError(Exception):
    """A failure to report as "error: ..." with exit status `code`, and
    `see`, the documentation target that explains it (see _docs), if any."""

    def __init__(self, message: str, code: int = 1, see: Optional[str] = None):
        super().__init__(message)
        self.code = code
        self.see = see


class DeclaredError(CliError):
    """A column of a file that does not hold the kind `model` declares."""

    def __init__(self, message: str, model: str, column: str):
        super().__init__(message)
        self.model, self.column = model, column


def query_bytes(arg: str) -> bytes:
    """--query: the file it names when there is one, else the JSON text."""
    path = Path(arg)
    try:
        if path.is_file():
            return path.read_bytes()
    except OSError:  # e.g. a JSON text too long to be a file name
        pass
    return arg.encode("utf-8")


def query_label(arg: str) -> str:
    """How messages name the query given as --query: "query FILE" when
    it was read from a file, else "query"."""
    try:
        return f"query {arg}" if Path(arg).is_file() else "query"
    except OSError:
        return "query"


def read_manifest(arg: str) -> Union[bytes, dict]:
    """The manifest file's JSON text, or for .yaml and .yml the document
    PyYAML reads (dates written bare become their ISO text)."""
    path = Path(arg)
    try:
        text = path.read_bytes()
    except OSError as e:
        raise CliError(f"cannot read manifest {arg}: {e.strerror or e}") from None
    if path.suffix.lower() not in (".yaml", ".yml"):
        return text
    from ._engines import need

    yaml = need("yaml", "a YAML manifest")
    try:
        doc = yaml.safe_load(text)
    except yaml.YAMLError as e:
        raise CliError(f"manifest {arg}: not valid YAML: {' '.join(str(e).split())}") from None
    return _json_ready(doc, arg)


def _json_ready(value: Any, where: str) -> Any:
    if isinstance(value, dict):
        bad = [k for k in value if not isinstance(k, str)]
        if bad:
            raise CliError(f"manifest {where}: key {bad[0]!r} is not text (quote it in YAML)")
        return {k: _json_ready(v, where) for k, v in value.items()}
    if isinstance(value, list):
        return [_json_ready(v, where) for v in value]
    if isinstance(value, (date, datetime)):
        return value.isoformat()
    return value


def file_kind(path: Path) -> str:
    """parquet, csv or ipc, by the file's extension."""
    kind = _READERS.get(path.suffix.lower())
    if kind is None:
        raise CliError(f"{path}: not a Parquet, CSV or Arrow IPC file")
    if not path.is_file():
        raise CliError(f"{path}: no such file")
    return kind


class Source:
    """One data file, read once: its columns as every engine gets them.
    `table()` reads the whole file into Arrow (once); `scan()` is what
    DuckDB registers: the table, or for Parquet and IPC files without
    declared columns a pyarrow dataset scanned lazily, batch by batch, with
    the same types, so that DuckDB can answer over a file larger than
    memory."""

    def __init__(self, path: Path, kind: str, declared: dict[str, tuple[str, str]]):
        self.path, self.kind, self.declared = path, kind, declared
        self._table: Any = None

    def table(self) -> Any:
        if self._table is None:
            self._table = _read(self.path, self.kind, self.declared)
        return self._table

    def scan(self) -> Any:
        if self._table is not None or self.kind == "csv" or self.declared:
            return self.table()
        from ._engines import need

        pa = need("pyarrow", "reading data files")
        import pyarrow.dataset as ds
        try:
            return ds.dataset(str(self.path), format=self.kind)
        except pa.ArrowInvalid:  # the streaming IPC format has no footer to scan by
            return self.table()
        except (OSError, pa.ArrowException) as e:
            raise CliError(f"{self.path}: cannot read: {e}") from None


def read_sources(files: dict[str, Path], manifest: Any = None, strict: bool = True) -> dict[str, Source]:
    """The files to bind, by table name, each to be read with the column
    kinds that the models reading its table declare (`manifest`: the
    manifest's JSON text or document). A declaration at fault fails, or
    without `strict` is left out (for check, which reports it)."""
    from ._columns import declared

    doc = json.loads(manifest) if isinstance(manifest, (bytes, str)) else manifest
    kinds, faults = declared(doc.get("models") if isinstance(doc, dict) else None)
    if faults and strict:
        model, _, message = faults[0]
        raise CliError(f"model '{model}': {message}")
    return {name: Source(path, file_kind(path), kinds.get(name, {})) for name, path in files.items()}


def _read(path: Path, kind: str, declared: dict[str, tuple[str, str]]) -> Any:
    from ._engines import need

    pa = need("pyarrow", "reading data files")
    try:
        if kind == "parquet":
            import pyarrow.parquet as pq
            table = pq.read_table(path)
        elif kind == "csv":
            return _read_csv(path, declared)
        else:
            import pyarrow.ipc as ipc
            try:
                table = ipc.open_file(path).read_all()
            except pa.ArrowInvalid:
                table = ipc.open_stream(path).read_all()
    except (OSError, pa.ArrowException) as e:
        raise CliError(f"{path}: cannot read: {e}") from None
    if not declared:
        return table
    from . import _columns
    return _declare(path, table, declared, lambda c, k, where: c if k is None else _columns.convert(c, k, where))


def _declare(path: Path, table: Any, declared: dict[str, tuple[str, str]], each: Any) -> Any:
    """The table with `each(column, kind, where)` applied to every column,
    kind the declared one or None."""
    import pyarrow as pa

    missing = [c for c in declared if c not in table.column_names]
    if missing:
        kind, model = declared[missing[0]]
        raise DeclaredError(f"{path}: no column '{missing[0]}', which model '{model}' declares {kind}",
                            model, missing[0])
    columns = []
    for name, column in zip(table.column_names, table.columns):
        kind, model = declared.get(name, (None, None))
        try:
            columns.append(each(column.combine_chunks(), kind, f"{path}: column '{name}'"))
        except ValueError as e:
            if model is None:
                raise CliError(str(e)) from None
            raise DeclaredError(str(e), model, name) from None
    return pa.Table.from_arrays(columns, names=table.column_names)


def _read_csv(path: Path, declared: dict[str, tuple[str, str]]) -> Any:
    """Every column read as text (the empty field null), then converted by
    its declared kind or the one inference."""
    import pyarrow as pa
    import pyarrow.csv as pcsv

    from . import _columns

    try:
        with pcsv.open_csv(path) as reader:
            names = reader.schema.names
        options = pcsv.ConvertOptions(column_types={n: pa.string() for n in names}, null_values=[""],
                                      strings_can_be_null=True, quoted_strings_can_be_null=True)
        table = pcsv.read_csv(path, convert_options=options)
    except (OSError, pa.ArrowException) as e:
        raise CliError(f"{path}: cannot read: {e}") from None

    def each(column: Any, kind: Optional[str], where: str) -> Any:
        return _columns.infer(column) if kind is None else _columns.convert(column, kind, where)

    return _declare(path, table, declared, each)


def tables_to_bind(data: str | None, extra: list[str]) -> dict[str, Path]:
    out: dict[str, Path] = {}
    if data is not None:
        folder = Path(data)
        if not folder.is_dir():
            raise CliError(f"{folder}: no such directory")
        for path in sorted(folder.iterdir()):
            if path.suffix.lower() in _READERS and path.is_file():
                out[path.stem] = path
    for item in extra:
        name, sep, file = item.partition("=")
        if not sep or not name or not file:
            raise CliError(f"--table {item!r}: expected NAME=FILE")
        out[name] = Path(file)
    return out


def bind_all(ctx: Context, sources: dict[str, Source], faults: Optional[list[DeclaredError]] = None) -> None:
    """Binds every source's table. With `faults`, a declared column that
    does not read as its kind is added there and read without the
    declaration, instead of failing."""
    for name, source in sources.items():
        while True:
            try:
                table = source.table()
                break
            except DeclaredError as e:
                if faults is None:
                    raise
                faults.append(e)
                source.declared = {k: v for k, v in source.declared.items() if k != e.column}
        for column, values in zip(table.column_names, table.columns):
            try:
                ctx.bind(name, {column: values})
            except Error as e:
                raise CliError(f"{source.path}: column {column!r} ({values.type}): {e.message or e}", e.code) from None
