"""The main job on the example data: answer a few queries with the example
manifest both in memory (the library over the bound Arrow columns) and
through DuckDB (the library's SQL over the same Parquet files), show the SQL
for DuckDB and Spark, print both results side by side and say whether they
agree. Exits non-zero when any pair disagrees. Then it serves the same
manifest and data over HTTP (`python -m quendra serve`), prints the address
and one curl call with its answer, and keeps serving until Ctrl-C when run
from a terminal."""

from __future__ import annotations

import json
import math
import os
import shlex
import socket
import subprocess
import sys
import time
import urllib.request
from datetime import date, datetime
from pathlib import Path

import duckdb
import pyarrow.parquet as pq

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "python"))

import quendra  # noqa: E402

DATA = ROOT / "examples" / "data"

QUERIES = [
    ("Revenue by month and customer region in the first half of 2024, top 8", {
        "model": "orders",
        "dimensions": ["orders.created_at", "customers.region"],
        "time_grain": "month",
        "measures": ["revenue", "order_count"],
        "time_range": {"start": "2024-01-01", "end": "2024-06-30"},
        "filters": [{"field": "orders.status", "operator": "in", "values": ["paid", "Paid"]}],
        "order_by": [["revenue", "desc"]],
        "limit": 8,
    }),
    ("Statuses with more than 40 orders, with calculated measures", {
        "model": "orders",
        "dimensions": ["orders.status"],
        "measures": ["order_count", "avg_order_value", "revenue_per_customer", "net_revenue"],
        "filters": [{"field": "order_count", "operator": ">", "value": 40}],
        "order_by": ["orders.status"],
    }),
    ("Orders per week around the turn of 2024 (weeks start on Monday)", {
        "model": "orders",
        "dimensions": ["orders.created_at"],
        "time_grain": "week",
        "measures": ["order_count"],
        "time_range": {"start": "2023-12-18", "end": "2024-01-14"},
        "order_by": ["orders.created_at"],
    }),
    ("Orders whose note is one of two awkward texts", {
        "model": "orders",
        "dimensions": ["orders.id", "orders.note"],
        "filters": [{"field": "orders.note", "operator": "in", "values": ["it's", "x\\' OR 1=1 --"]}],
        "order_by": ["orders.id"],
    }),
    ("Returns by the status of the returned order (table sales.returns)", {
        "model": "returns",
        "dimensions": ["order.status"],
        "measures": ["return_count", "refunded"],
        "order_by": [["return_count", "desc"], "order.status"],
    }),
    ("Revenue by quarter of 2024 against the same quarter a year earlier, and year to date", {
        "model": "orders",
        "dimensions": ["orders.created_at"],
        "time_grain": "quarter",
        "measures": ["revenue", "revenue_last_year", "yoy_growth", "revenue_ytd"],
        "time_range": {"start": "2024-01-01", "end": "2024-12-31"},
        "order_by": ["orders.created_at"],
    }),
    ("Returns by the region of the returned order's customer, through two joins, with filtered measures", {
        "model": "returns",
        "dimensions": ["order.customers.region"],
        "measures": ["return_count", "vip_returns", "damaged_refunds", "damaged_share"],
        "order_by": ["order.customers.region"],
    }),
]


def load_tables() -> duckdb.DuckDBPyConnection:
    con = duckdb.connect()
    for name in ("orders", "customers", "products"):
        con.execute(f"CREATE TABLE {name} AS SELECT * FROM read_parquet(?)", [str(DATA / f"{name}.parquet")])
    con.execute("CREATE SCHEMA sales")
    con.execute("CREATE TABLE sales.returns AS SELECT * FROM read_parquet(?)", [str(DATA / "returns.parquet")])
    return con


# Tables as the manifest names them, and the files that hold them.
TABLES = {"orders": "orders", "customers": "customers", "products": "products", "sales.returns": "returns"}


def bind_tables(ctx: quendra.Context) -> None:
    for name, file in TABLES.items():
        ctx.bind(name, pq.read_table(DATA / f"{file}.parquet"))


def same(a, b) -> bool:
    """Equal values; floats to a relative 1e-9, since the engines may add a
    group's values in different orders."""
    if isinstance(a, float) and isinstance(b, float):
        return (math.isnan(a) and math.isnan(b)) or math.isclose(a, b, rel_tol=1e-9, abs_tol=1e-9)
    return a == b


def agree(x: list[tuple], y: list[tuple]) -> bool:
    return len(x) == len(y) and all(len(r) == len(s) and all(map(same, r, s)) for r, s in zip(x, y))


def side_by_side(left: str, right: str, gap: int = 4) -> str:
    a, b = left.splitlines(), right.splitlines()
    width = max(len(line) for line in a)
    a += [""] * (len(b) - len(a))
    b += [""] * (len(a) - len(b))
    return "\n".join((x.ljust(width + gap) + y).rstrip() for x, y in zip(a, b))


def cell(value) -> str:
    if value is None:
        return "NULL"
    if isinstance(value, float):
        return f"{value:.2f}"
    if isinstance(value, datetime):
        return value.isoformat(sep=" ")
    if isinstance(value, date):
        return value.isoformat()
    if isinstance(value, str):  # control characters shown escaped, everything else as is
        return "".join(c if c.isprintable() else repr(c)[1:-1] for c in value)
    return str(value)


def table(names: list[str], rows: list[tuple]) -> str:
    cells = [[cell(v) for v in row] for row in rows]
    widths = [max([len(n)] + [len(r[i]) for r in cells]) for i, n in enumerate(names)]
    right = [all(isinstance(row[i], (int, float)) and not isinstance(row[i], bool) for row in rows if row[i] is not None)
             for i in range(len(names))]

    def line(values: list[str]) -> str:
        return " | ".join(v.rjust(w) if r else v.ljust(w) for v, w, r in zip(values, widths, right)).rstrip()

    out = [line(names), "-+-".join("-" * w for w in widths)]
    out += [line(r) for r in cells]
    out.append(f"({len(rows)} row{'s' if len(rows) != 1 else ''})")
    return "\n".join(out)


def indent(text: str) -> str:
    return "\n".join("    " + line for line in text.splitlines())


def main() -> int:
    print(f"libquendra {quendra.version()} ({quendra.find_library()})")
    con = load_tables()
    disagreements = 0
    with quendra.Context() as ctx:
        ctx.load_models((ROOT / "examples" / "manifest.json").read_bytes())
        bind_tables(ctx)
        for n, (title, query) in enumerate(QUERIES, 1):
            print(f"\n=== {n}. {title}\n")
            print("  Query:")
            print(indent(json.dumps(query, ensure_ascii=False)))
            duck_sql = ctx.sql(query, "duckdb")
            print("\n  DuckDB SQL:")
            print(indent(duck_sql))
            print("\n  Spark SQL:")
            print(indent(ctx.sql(query, "spark")))
            mem = ctx.execute(query)
            mem_rows = [tuple(col[i].as_py() for col in mem.columns) for i in range(mem.num_rows)]
            cur = con.execute(duck_sql)
            duck_rows = cur.fetchall()
            names = mem.column_names
            left = "In memory:\n" + table(names, mem_rows)
            right = "DuckDB:\n" + table([d[0] for d in cur.description], duck_rows)
            print()
            print(indent(side_by_side(left, right)))
            ok = agree(mem_rows, duck_rows)
            disagreements += not ok
            print("\n  " + ("The two answers agree." if ok else "THE TWO ANSWERS DISAGREE."))
        try:
            ctx.execute({"model": "orders", "measures": ["no_such_measure"]})
        except quendra.Error as e:
            print(f"\nA query naming an unknown measure is refused: {e}")
    print(f"\n{len(QUERIES) - disagreements} of {len(QUERIES)} queries agree in memory and in DuckDB.")
    serve()
    return 1 if disagreements else 0


def serve() -> None:
    """The HTTP API and the explorer page over the same files."""
    port = 8000
    with socket.socket() as s:
        if s.connect_ex(("127.0.0.1", port)) == 0:  # taken: any free port
            with socket.socket() as free:
                free.bind(("127.0.0.1", 0))
                port = free.getsockname()[1]
    command = [sys.executable, "-m", "quendra", "serve", "--manifest", str(ROOT / "examples" / "manifest.json"),
               "--data", str(DATA), "--table", f"sales.returns={DATA / 'returns.parquet'}", "--port", str(port)]
    quiet = subprocess.DEVNULL if not sys.stdin.isatty() else None  # its log of requests, when watched
    server = subprocess.Popen(command, env=dict(os.environ, PYTHONPATH=str(ROOT / "python")), stdout=quiet, stderr=quiet)
    base = f"http://127.0.0.1:{port}"
    try:
        for _ in range(300):
            try:
                with urllib.request.urlopen(base + "/healthz", timeout=1) as r:
                    if json.load(r)["status"] == "ok":
                        break
            except OSError:
                if server.poll() is not None:
                    raise RuntimeError(f"the server stopped: {shlex.join(command)}") from None
            time.sleep(0.1)
        query = {"model": "orders", "dimensions": ["customers.region"], "measures": ["revenue"],
                 "order_by": [["revenue", "desc"]], "limit": 3}
        body = json.dumps(query)
        print(f"\n=== Serving: the explorer page at {base}/ and the HTTP API under {base}/v1/\n")
        print("  " + shlex.join(["curl", "-s", "-X", "POST", f"{base}/v1/query", "-d", body]))
        req = urllib.request.Request(base + "/v1/query", data=body.encode(), method="POST")
        with urllib.request.urlopen(req, timeout=30) as r:
            print(indent(r.read().decode()))
        if sys.stdin.isatty():
            print(f"\n  Serving until Ctrl-C; open {base}/ in a browser.")
            server.wait()
    except KeyboardInterrupt:
        pass
    finally:
        server.terminate()
        server.wait()


if __name__ == "__main__":
    sys.exit(main())
