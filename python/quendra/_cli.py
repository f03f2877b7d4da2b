"""Command line:

    python -m quendra version
    python -m quendra load  --manifest FILE
    python -m quendra sql   --manifest FILE --query JSON_OR_FILE [--dialect duckdb|spark|postgres]
    python -m quendra run   --manifest FILE [--data DIR] [--table NAME=FILE ...] --query JSON_OR_FILE
                            [--engine memory|duckdb|spark] [--memory-limit SIZE] [--spark-remote sc://HOST:PORT]
                            [--format table|csv|json]
    python -m quendra run   --manifest FILE --query JSON_OR_FILE --engine postgres --dsn postgresql://...
    python -m quendra check --manifest FILE [--data DIR] [--table NAME=FILE ...] [--engine memory|duckdb]
                            [--format text|json]

A manifest is JSON, or YAML when its name ends in .yaml or .yml (PyYAML).
`--query` is the path of a file holding the query document when such a file
exists, and otherwise the query's JSON text itself.

Every Parquet (.parquet), CSV (.csv) and Arrow IPC (.arrow, .feather, .ipc)
file of --data is a table named after the file (its name without the
extension); `--table NAME=FILE` names a file otherwise, such as
"sales.returns". Each file is read once, with one reading of its column
types (see _columns), and the same Arrow columns go to every engine. `run`
answers in memory over the files bound, or runs the query's SQL on DuckDB
or Spark over them, or on PostgreSQL over the tables of its database.
`check` plans every field of every model and, with
data, probes them over it.

Every failure is one line on standard error and a non-zero exit status,
never a traceback; a failure about a field or a rule of the manifest or the
query adds a second line, the documentation page that explains it (its file
in the source tree): `see: docs/reference/query.md#filters`.
"""

from __future__ import annotations

import argparse
import json
import math
import sys
from datetime import date, datetime
from pathlib import Path
from typing import Any, Optional, Sequence

from . import _docs
from ._engines import MissingPackage, duckdb_over_files, need, spark_over_files
from ._files import (CliError, DeclaredError, bind_all, query_bytes, query_label, read_manifest, read_sources,
                     tables_to_bind)
from ._jsontext import not_json
from ._native import DIALECTS, Context, Error, version, with_now


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


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="python -m quendra")
    parser.add_argument("--library", help="path to libquendra.so (default: the one installed with the package, "
                                          "else the build directory)")
    sub = parser.add_subparsers(dest="command", required=True)
    sub.add_parser("version", help="print the library version")

    def command(name: str, text: str) -> argparse.ArgumentParser:
        p = sub.add_parser(name, help=text)
        p.add_argument("--manifest", required=True, help="manifest file: JSON, or YAML (.yaml, .yml)")
        return p

    def data_options(p: argparse.ArgumentParser) -> None:
        p.add_argument("--data", help="directory whose Parquet, CSV and Arrow IPC files become tables")
        p.add_argument("--table", action="append", default=[], metavar="NAME=FILE",
                       help="read FILE as table NAME (repeatable)")

    command("load", "load a manifest and report its size")
    sql = command("sql", "compile a query into one SQL statement")
    sql.add_argument("--query", required=True, help="query JSON text, or a file holding it")
    sql.add_argument("--dialect", default="duckdb", choices=sorted(DIALECTS), help="SQL dialect (default duckdb)")
    sql.add_argument("--verbose", action="store_true", help="say which instant a relative time_range was read at")
    run = command("run", "answer a query over data files")
    data_options(run)
    run.add_argument("--query", required=True, help="query JSON text, or a file holding it")
    run.add_argument("--engine", default="memory", choices=["memory", "duckdb", "spark", "postgres"],
                     help="memory: bind the files and answer in the library (default); duckdb, spark: run the "
                          "query's SQL there, reading the files in place; postgres: run it on the database of "
                          "--dsn over its own tables")
    run.add_argument("--dsn", metavar="URL", help="postgres only: the database (postgresql://user@host/db, or "
                                                  "key=value pairs as psycopg reads them)")
    run.add_argument("--memory-limit", metavar="SIZE",
                     help="duckdb only: its memory limit (such as 500MB); larger data spills to disk")
    run.add_argument("--spark-remote", metavar="URL", help="spark only: a Spark Connect server (sc://host:port) "
                                                          "instead of a local session")
    run.add_argument("--format", default="table", choices=["table", "csv", "json"], help="output format")
    run.add_argument("--verbose", action="store_true", help="say which instant a relative time_range was read at")
    check = command("check", "plan every dimension and measure of every model; with data, probe them")
    data_options(check)
    check.add_argument("--engine", default="memory", choices=["memory", "duckdb"],
                       help="duckdb: probe on DuckDB too, over the same tables (default memory only)")
    serve = command("serve", "answer queries over HTTP, with an explorer page at /")
    data_options(serve)
    serve.add_argument("--engine", default="memory", choices=["memory", "duckdb", "spark", "postgres"],
                       help="where queries are answered (default memory)")
    serve.add_argument("--dsn", metavar="URL", help="postgres only: the database whose tables answer")
    serve.add_argument("--host", default="127.0.0.1", help="address to bind (default 127.0.0.1)")
    serve.add_argument("--port", type=int, default=8000, help="port (default 8000)")
    serve.add_argument("--token", help="require 'Authorization: Bearer TOKEN' on /v1/ requests")
    serve.add_argument("--reload", action="store_true", help="reload the manifest when its file changes")
    serve.add_argument("--timeout", type=float, default=30.0, help="seconds before a request fails with 504")
    serve.add_argument("--workers", type=int, default=4, help="queries answered at once (default 4)")
    serve.add_argument("--docs", metavar="DIR", help="serve this built documentation site at /docs/, where error "
                                                    "messages link (default: build/site of the source tree, "
                                                    "when `make docs` built it)")
    check.add_argument("--format", default="text", choices=["text", "json"], help="output format")
    return parser


def _load(ctx: Context, manifest: str) -> None:
    text = read_manifest(manifest)
    try:
        ctx.load_models(text)
    except Error as e:
        where = not_json(e, text)
        if where:
            raise CliError(f"manifest {manifest}: not JSON: {where}", e.code) from None
        raise CliError(f"manifest {manifest}: {e}", e.code, _docs.see(e.code_text, e.message)) from None


def _query_error(e: Error, query: Any, arg: str) -> CliError:
    """The failure of the query given as `arg`, saying where its text is
    not JSON when that is the failure."""
    where = not_json(e, query)
    if where:
        return CliError(f"{query_label(arg)}: not JSON: {where}", e.code)
    return CliError(f"query: {e}", e.code, _docs.see(e.code_text, e.message))


def _run(args: argparse.Namespace, ctx: Context) -> str:
    if args.memory_limit and args.engine != "duckdb":
        raise CliError("--memory-limit applies to --engine duckdb only")
    if args.spark_remote and args.engine != "spark":
        raise CliError("--spark-remote applies to --engine spark only")
    if args.dsn and args.engine != "postgres":
        raise CliError("--dsn applies to --engine postgres only")
    if args.engine == "postgres" and not args.dsn:
        raise CliError("--engine postgres needs --dsn, the database to run on")
    if args.engine == "postgres" and (args.data or args.table):
        raise CliError("--engine postgres reads the tables of its database: --data and --table do not apply")
    _load(ctx, args.manifest)
    query = _clocked(query_bytes(args.query), args.verbose)
    if args.engine == "postgres":
        return _run_postgres(args, ctx, query)
    sources = read_sources(tables_to_bind(args.data, args.table), ctx._manifest)
    if args.engine == "memory":
        bind_all(ctx, sources)
        return render(_answer(ctx, query, "memory", args.query), args.format)
    try:
        ctx.sql(query, args.engine)  # a query that cannot be planned fails before an engine starts
    except Error as e:
        raise _query_error(e, query, args.query) from None
    open_engine = duckdb_over_files if args.engine == "duckdb" else spark_over_files
    option = args.memory_limit if args.engine == "duckdb" else args.spark_remote
    try:
        with open_engine(sources, option) as session:
            return render(_answer(ctx, query, session.engine, args.query), args.format)
    except (CliError, MissingPackage):
        raise
    except ValueError as e:
        raise CliError(str(e)) from None
    except Exception as e:  # the engine's own failure, whatever its type
        raise CliError(f"{args.engine}: {_first_line(e)}") from None


def _run_postgres(args: argparse.Namespace, ctx: Context, query: Any) -> str:
    try:
        ctx.sql(query, "postgres")  # a query that cannot be planned fails before connecting
    except Error as e:
        raise _query_error(e, query, args.query) from None
    psycopg = need("psycopg", "--engine postgres")
    try:
        with psycopg.connect(args.dsn) as con:
            return render(_answer(ctx, query, con, args.query), args.format)
    except CliError:
        raise
    except Exception as e:  # the engine's own failure, whatever its type
        raise CliError(f"postgres: {_first_line(e)}") from None


def _clocked(query: bytes, verbose: bool) -> Any:
    """The query with "now" from the system clock when a relative
    time_range needs it, said on stderr with --verbose."""
    query, now = with_now(query)
    if now is not None and verbose:
        print(f"now: {now} (the system clock)", file=sys.stderr)
    return query


def _answer(ctx: Context, query: Any, engine: Any, arg: str) -> Any:
    try:
        return ctx.query(query, engine)
    except Error as e:
        raise _query_error(e, query, arg) from None


def _first_line(e: BaseException) -> str:
    lines = [line.strip() for line in str(e).splitlines() if line.strip()]
    return lines[0] if lines else type(e).__name__


def _check(args: argparse.Namespace, ctx: Context) -> tuple[str, int]:
    _load(ctx, args.manifest)
    probe = bool(args.data or args.table)
    if not probe:
        return _check_report(args, ctx.check())
    sources = read_sources(tables_to_bind(args.data, args.table), ctx._manifest, strict=False)
    faults: list[DeclaredError] = []
    bind_all(ctx, sources, faults)
    if args.engine == "memory":
        return _check_report(args, ctx.check(probe=True), faults)
    try:
        with duckdb_over_files(sources) as session:
            return _check_report(args, ctx.check(probe=True, engines=("memory", session.engine)), faults)
    except ValueError as e:
        raise CliError(str(e)) from None


def _check_report(args: argparse.Namespace, report: Any, faults: Sequence[DeclaredError] = ()) -> tuple[str, int]:
    """The report as text or JSON, with the declared columns that the data
    does not hold (a problem of the model's "columns", found reading it)."""
    from ._check import Problem

    report.problems[:0] = [Problem(e.model, "column", e.column, str(e), 1, "invalid", "probe") for e in faults]
    probe = bool(args.data or args.table)
    if args.format == "json":
        text = json.dumps(report.to_dict(), ensure_ascii=False)
    else:
        summary = (f"{report.models} model{'s' * (report.models != 1)}, {report.fields} "
                   f"field{'s' * (report.fields != 1)}{', probed over the data' if probe else ''}: ")
        n = len(report.problems)
        summary += f"{n} problem{'s' * (n != 1)}" if n else "no problems"
        text = "\n".join([str(p) for p in report.problems] + [summary])
    return text, 0 if report.ok else 1


def main(argv: Optional[list[str]] = None) -> int:
    args = _parser().parse_args(argv)
    try:
        if args.command == "version":
            print(version(args.library))
            return 0
        with Context(args.library) as ctx:
            if args.command == "load":
                _load(ctx, args.manifest)
                print(f"loaded {args.manifest} ({len(ctx._manifest or b'')} bytes)")
            elif args.command == "sql":
                _load(ctx, args.manifest)
                query = _clocked(query_bytes(args.query), args.verbose)
                try:
                    print(ctx.sql(query, args.dialect))
                except Error as e:
                    raise _query_error(e, query, args.query) from None
            elif args.command == "run":
                print(_run(args, ctx))
            elif args.command == "serve":
                from ._serve import Config, built_site, serve
                read_manifest(args.manifest)  # a missing or unreadable file fails before the server starts
                files = tables_to_bind(args.data, args.table)
                if args.dsn and args.engine != "postgres":
                    raise CliError("--dsn applies to --engine postgres only")
                if args.engine == "postgres" and not args.dsn:
                    raise CliError("--engine postgres needs --dsn, the database to run on")
                if args.engine == "postgres" and (args.data or args.table):
                    raise CliError("--engine postgres reads the tables of its database: --data and --table do not "
                                   "apply")
                docs = Path(args.docs) if args.docs else built_site()
                if docs is not None and not docs.is_dir():
                    raise CliError(f"--docs {args.docs}: no such directory")
                serve(Config(args.manifest, files, args.engine, args.token, args.reload, args.timeout,
                             max(1, args.workers), docs, args.dsn), args.host, args.port)
            else:
                text, status = _check(args, ctx)
                print(text)
                return status
        return 0
    except CliError as e:
        print(f"error: {e}", file=sys.stderr)
        if e.see:
            print(f"see: {_docs.source_path(e.see)}", file=sys.stderr)
        return e.code
    except (MissingPackage, FileNotFoundError) as e:  # FileNotFoundError: the library itself
        print(f"error: {e}", file=sys.stderr)
        return 1
