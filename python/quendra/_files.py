"""The command line's inputs: the manifest (JSON, or YAML with PyYAML), the
query text and the data files of --data and --table."""

from __future__ import annotations

import json
from datetime import date, datetime
from pathlib import Path
from typing import Any, Union

from ._native import Context, Error

# File extensions bound from --data, by reader.
_READERS = {".parquet": "parquet", ".csv": "csv", ".arrow": "ipc", ".feather": "ipc", ".ipc": "ipc"}


class CliError(Exception):
    """A failure to report as "error: ..." with exit status `code`."""

    def __init__(self, message: str, code: int = 1):
        super().__init__(message)
        self.code = code


def query_bytes(arg: str) -> bytes:
    """--query: the file it names when there is one, else the JSON text."""
    path = Path(arg)
    try:
        if path.is_file():
            return path.read_bytes()
    except OSError:  # e.g. a JSON text too long to be a file name
        pass
    return arg.encode("utf-8")


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


def read_table(path: Path) -> Any:
    from ._engines import need

    pa = need("pyarrow", "reading data files")
    kind = file_kind(path)
    try:
        if kind == "parquet":
            import pyarrow.parquet as pq
            return pq.read_table(path)
        if kind == "csv":
            import pyarrow.csv as pcsv
            return pcsv.read_csv(path)
        import pyarrow.ipc as ipc
        try:
            return ipc.open_file(path).read_all()
        except pa.ArrowInvalid:
            return ipc.open_stream(path).read_all()
    except (OSError, pa.ArrowException) as e:
        raise CliError(f"{path}: cannot read: {e}") from None


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


def bind_all(ctx: Context, files: dict[str, Path]) -> None:
    for name, path in files.items():
        table = read_table(path)
        for column, values in zip(table.column_names, table.columns):
            try:
                ctx.bind(name, {column: values})
            except Error as e:
                raise CliError(f"{path}: column {column!r} ({values.type}): {e.message or e}", e.code) from None


