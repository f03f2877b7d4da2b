"""Command line:

    python -m quendra version
    python -m quendra load --manifest FILE
    python -m quendra sql --manifest FILE --query JSON_OR_FILE [--dialect duckdb|spark]

`--query` is the path of a file holding the query document when such a file
exists, and otherwise the query's JSON text itself.
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
    parser.add_argument("--library", help="path to libquendra.so (default: the build directory)")
    sub = parser.add_subparsers(dest="command", required=True)
    sub.add_parser("version", help="print the library version")
    load = sub.add_parser("load", help="load a manifest and report its models")
    load.add_argument("--manifest", required=True, help="manifest JSON file")
    sql = sub.add_parser("sql", help="compile a query into one SQL statement")
    sql.add_argument("--manifest", required=True, help="manifest JSON file")
    sql.add_argument("--query", required=True, help="query JSON text, or a file holding it")
    sql.add_argument("--dialect", default="duckdb", choices=sorted(DIALECTS), help="SQL dialect (default duckdb)")
    args = parser.parse_args(argv)

    if args.command == "version":
        print(version(args.library))
        return 0
    text = Path(args.manifest).read_bytes()
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
