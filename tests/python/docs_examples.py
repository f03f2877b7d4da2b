"""The documentation's examples, as the tests and their author run them.

Each folder under docs/examples/ holds a manifest.json (else the example
manifest, examples/manifest.json, applies) and queries: NAME.json, with the
answer the pages show in NAME.txt, or the failure they show in NAME.error
(`code_text (code): message`), and optionally the SQL they show in
NAME.duckdb.sql or NAME.spark.sql. Every query reads the example data.

    python tests/python/docs_examples.py [--write] [FOLDER/NAME ...]

prints each example's answer in memory and on DuckDB, and with --write
stores the in-memory one as the answer (or failure, or SQL) to show."""

from __future__ import annotations

import json
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "python"))
sys.path.insert(0, str(Path(__file__).resolve().parent))

import quendra  # noqa: E402

EXAMPLES = ROOT / "docs" / "examples"
DATA = ROOT / "examples" / "data"
# The example data's tables, as the manifests name them.
TABLES = {"orders": "orders", "customers": "customers", "products": "products", "sales.returns": "returns"}


def examples() -> list[Path]:
    """Every query file of the documentation's examples."""
    return sorted(p for p in EXAMPLES.glob("*/*.json") if p.name != "manifest.json" and ".excerpt." not in p.name)


def manifest_of(query: Path) -> Path:
    own = query.parent / "manifest.json"
    return own if own.exists() else ROOT / "examples" / "manifest.json"


def shown(table) -> str:
    """A pyarrow table as the pages show answers: as `python -m quendra run`
    prints it, floats to 10 significant digits, since engines add a group's
    values in different orders."""
    import pyarrow as pa
    from quendra._cli import render

    columns = [pa.array([None if v is None else float(f"{v:.10g}") for v in col.to_pylist()], pa.float64())
               if pa.types.is_floating(col.type) else col for col in table.columns]
    return render(pa.table(columns, names=table.column_names), "table") + "\n"


def bind(ctx) -> None:
    import pyarrow.parquet as pq
    ctx.bind_tables({name: pq.read_table(DATA / f"{file}.parquet") for name, file in TABLES.items()})


def failure(e: quendra.Error) -> str:
    return f"{e.code_text} ({e.code}): {e.message}\n"


def answer(ctx, query: dict, engine="memory") -> str:
    """What a query answers on an engine, as shown: a table or a failure."""
    try:
        return shown(ctx.query(query, engine=engine))
    except quendra.Error as e:
        return failure(e)


def main(args: list[str]) -> int:
    import engines
    write = "--write" in args
    picked = [a for a in args if a != "--write"]
    con = engines.duckdb_connection()
    for path in examples():
        name = f"{path.parent.name}/{path.stem}"
        if picked and name not in picked:
            continue
        query = json.loads(path.read_text())
        with quendra.Context() as ctx:
            ctx.load_models(manifest_of(path).read_bytes())
            bind(ctx)
            mem, duck = answer(ctx, query), answer(ctx, query, con)
            print(f"=== {name}\n{mem}" + ("" if duck == mem else f"--- DuckDB differs:\n{duck}"))
            if write:
                failed = not mem.endswith("s)\n") and not mem.endswith("row)\n")
                path.with_suffix(".error" if failed else ".txt").write_text(mem)
                for dialect in ("duckdb", "spark"):
                    sql = path.with_suffix(f".{dialect}.sql")
                    if sql.exists():
                        sql.write_text(ctx.sql(query, dialect) + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
