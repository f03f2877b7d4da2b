"""`python -m quendra run`: bind data files, answer one query in memory and
print the result. Every failure becomes one line on stderr and a non-zero
exit status, never a traceback."""

from __future__ import annotations

import argparse
import json
import math
import sys
from datetime import date, datetime
from pathlib import Path
from typing import Any

from ._native import Context, Error

# File extensions bound from --data, by reader.
_READERS = {".parquet": "parquet", ".csv": "csv", ".arrow": "ipc", ".feather": "ipc", ".ipc": "ipc"}


class CliError(Exception):
    """A failure to report as "error: ..." with exit status `code`."""

    def __init__(self, message: str, code: int = 1):
        super().__init__(message)
        self.code = code


def read_table(path: Path) -> Any:
    import pyarrow as pa

    kind = _READERS.get(path.suffix.lower())
    if kind is None:
        raise CliError(f"{path}: not a Parquet, CSV or Arrow IPC file")
    if not path.is_file():
        raise CliError(f"{path}: no such file")
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


def _text(value: Any) -> str:
    if value is None:
        return "NULL"
    if isinstance(value, datetime):
        return value.isoformat(sep=" ")
    if isinstance(value, date):
        return value.isoformat()
    if isinstance(value, float):
        return repr(value)
    return str(value)


def _json_value(value: Any) -> Any:
    if isinstance(value, float) and not math.isfinite(value):
        return str(value)  # JSON has no NaN or infinity
    if isinstance(value, (date, datetime)):
        return _text(value)
    return value


def render(result: Any, fmt: str) -> str:
    names = result.column_names
    rows = [tuple(col[i].as_py() for col in result.columns) for i in range(result.num_rows)]
    if fmt == "json":
        return json.dumps({"columns": names, "rows": [[_json_value(v) for v in r] for r in rows]}, ensure_ascii=False)
    if fmt == "csv":
        import csv
        import io
        buf = io.StringIO()
        writer = csv.writer(buf, lineterminator="\n")
        writer.writerow(names)
        writer.writerows([["" if v is None else _text(v) for v in r] for r in rows])
        return buf.getvalue().rstrip("\n")
    cells = [[_text(v) for v in r] for r in rows]
    widths = [max([len(n)] + [len(r[i]) for r in cells]) for i, n in enumerate(names)]
    lines = [" | ".join(n.ljust(w) for n, w in zip(names, widths)).rstrip(), "-+-".join("-" * w for w in widths)]
    lines += [" | ".join(c.ljust(w) for c, w in zip(r, widths)).rstrip() for r in cells]
    lines.append(f"({len(rows)} row{'' if len(rows) == 1 else 's'})")
    return "\n".join(lines)


def run_command(args: argparse.Namespace) -> int:
    from .__main__ import _query_bytes

    try:
        try:
            manifest = Path(args.manifest).read_bytes()
        except OSError as e:
            raise CliError(f"cannot read manifest {args.manifest}: {e.strerror or e}") from None
        files = tables_to_bind(args.data, args.table)
        with Context(args.library) as ctx:
            try:
                ctx.load_models(manifest)
            except Error as e:
                raise CliError(f"manifest {args.manifest}: {e}", e.code) from None
            bind_all(ctx, files)
            try:
                result = ctx.execute(_query_bytes(args.query))
            except Error as e:
                raise CliError(f"query: {e}", e.code) from None
        print(render(result, args.format))
        return 0
    except CliError as e:
        print(f"error: {e}", file=sys.stderr)
        return e.code
    except FileNotFoundError as e:  # the library itself
        print(f"error: {e}", file=sys.stderr)
        return 1
