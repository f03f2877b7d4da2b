"""Command line:

    python -m quendra version
    python -m quendra load --manifest FILE
    python -m quendra sql --manifest FILE --query JSON_OR_FILE [--dialect duckdb|spark]
    python -m quendra run --manifest FILE --data DIR --query JSON_OR_FILE
                          [--table NAME=FILE ...] [--format table|csv|json]

`--query` is the path of a file holding the query document when such a file
exists, and otherwise the query's JSON text itself.

`run` answers the query in memory: every Parquet (.parquet), CSV (.csv) and
Arrow IPC (.arrow, .feather, .ipc) file of DIR is bound as a table named
after the file (its name without the extension); `--table NAME=FILE` binds
a file under any other name, such as one with a dot ("sales.returns").
"""

from __future__ import annotations

import argparse
import sys
from pathlib import Path

from ._native import DIALECTS, Context, Error, version


def _query_bytes(arg: str) -> bytes:
    path = Path(arg)
    try:
        if path.is_file():
            return path.read_bytes()
    except OSError:  # e.g. a JSON text too long to be a file name
        pass
    return arg.encode("utf-8")


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m quendra")
    parser.add_argument("--library", help="path to libquendra.so (default: the one installed with the package, else the build directory)")
    sub = parser.add_subparsers(dest="command", required=True)
    sub.add_parser("version", help="print the library version")
    load = sub.add_parser("load", help="load a manifest and report its models")
    load.add_argument("--manifest", required=True, help="manifest JSON file")
    sql = sub.add_parser("sql", help="compile a query into one SQL statement")
    sql.add_argument("--manifest", required=True, help="manifest JSON file")
    sql.add_argument("--query", required=True, help="query JSON text, or a file holding it")
    sql.add_argument("--dialect", default="duckdb", choices=sorted(DIALECTS), help="SQL dialect (default duckdb)")
    run = sub.add_parser("run", help="answer a query in memory over data files")
    run.add_argument("--manifest", required=True, help="manifest JSON file")
    run.add_argument("--data", help="directory whose Parquet, CSV and Arrow IPC files become tables")
    run.add_argument("--table", action="append", default=[], metavar="NAME=FILE",
                     help="bind FILE as table NAME (repeatable)")
    run.add_argument("--query", required=True, help="query JSON text, or a file holding it")
    run.add_argument("--format", default="table", choices=["table", "csv", "json"], help="output format")
    args = parser.parse_args(argv)

    if args.command == "version":
        print(version(args.library))
        return 0
    if args.command == "run":
        from ._run import run_command
        return run_command(args)
    try:
        text = Path(args.manifest).read_bytes()
    except OSError as e:
        print(f"error: cannot read manifest {args.manifest}: {e.strerror or e}", file=sys.stderr)
        return 1
    with Context(args.library) as ctx:
        try:
            ctx.load_models(text)
            if args.command == "sql":
                print(ctx.sql(_query_bytes(args.query), args.dialect))
                return 0
        except Error as e:
            print(f"error: {e}", file=sys.stderr)
            return e.code
    print(f"loaded {args.manifest} ({len(text)} bytes)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
