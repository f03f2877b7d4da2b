"""TPC-H tables for the examples and tests, made by tpchgen-cli.

    python examples/tpch/data.py [--sf 0.01]

writes the eight tables as Parquet under build/tpch/sf<SF>/ and does nothing
when they are already there. `load(sf)` reads them back as Arrow tables in
the types the engine binds: tpchgen-cli writes money as decimal128(15, 2) and
text as string_view, which become float64 and utf8.
"""

from __future__ import annotations

import argparse
import shutil
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
TABLES = ("lineitem", "orders", "customer", "nation", "region", "supplier", "part", "partsupp")


def folder(sf: float) -> Path:
    return ROOT / "build" / "tpch" / f"sf{sf:g}"


def generate(sf: float = 0.01) -> Path:
    out = folder(sf)
    if all((out / f"{t}.parquet").exists() for t in TABLES):
        return out
    cli = Path(sys.executable).with_name("tpchgen-cli")
    cli = str(cli) if cli.exists() else shutil.which("tpchgen-cli")
    if cli is None:
        raise RuntimeError("tpchgen-cli not found: pip install -r tests/python/requirements.txt")
    # Write beside the target and rename, so an interrupted run leaves nothing half made.
    tmp = out.with_name(out.name + ".tmp")
    shutil.rmtree(tmp, ignore_errors=True)
    tmp.mkdir(parents=True)
    subprocess.run([cli, "parquet", "-s", f"{sf:g}", "-o", str(tmp), "-q"], check=True)
    shutil.rmtree(out, ignore_errors=True)
    tmp.rename(out)
    return out


def bindable(table):
    """The table with every column in a type the engine binds. Decimals go
    through their text, which gives the nearest float64 (a direct cast is off
    by an ulp for some values, e.g. 2501.74)."""
    import pyarrow as pa

    columns = []
    for column in table.columns:
        t = column.type
        if pa.types.is_decimal(t):
            column = column.cast(pa.string()).cast(pa.float64())
        elif pa.types.is_string_view(t) or pa.types.is_large_string(t):
            column = column.cast(pa.string())
        columns.append(column)
    return pa.table(columns, names=table.column_names)


def load(sf: float = 0.01) -> dict:
    import pyarrow.parquet as pq

    out = generate(sf)
    return {t: bindable(pq.read_table(out / f"{t}.parquet")) for t in TABLES}


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sf", type=float, default=0.01, help="scale factor (default 0.01)")
    print(generate(parser.parse_args().sf))
