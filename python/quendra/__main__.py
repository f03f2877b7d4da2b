"""Command line: python -m quendra version | load --manifest FILE"""

from __future__ import annotations

import argparse
import sys
from pathlib import Path

from ._native import Context, Error, version


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m quendra")
    parser.add_argument("--library", help="path to libquendra.so (default: the build directory)")
    sub = parser.add_subparsers(dest="command", required=True)
    sub.add_parser("version", help="print the library version")
    load = sub.add_parser("load", help="load a manifest and report its models")
    load.add_argument("--manifest", required=True, help="manifest JSON file")
    args = parser.parse_args(argv)

    if args.command == "version":
        print(version(args.library))
        return 0
    text = Path(args.manifest).read_bytes()
    with Context(args.library) as ctx:
        try:
            ctx.load_models(text)
        except Error as e:
            print(f"error: {e}", file=sys.stderr)
            return e.code
    print(f"loaded {args.manifest} ({len(text)} bytes)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
