"""DATE_DIFF over random dates and timestamps (years 1 to 9999, before and
after 1970, around year ends, leap days and unit boundaries, with nulls),
in every mix of dates and timestamps: memory and the DuckDB SQL against
DuckDB's own date_diff over the same rows, the Spark SQL against the same,
and zoned counts against a zoneinfo model. Then the refusals."""

from __future__ import annotations

import random
from datetime import date, datetime, timedelta, timezone
from zoneinfo import ZoneInfo

import duckdb
import pyarrow as pa
import pytest

import quendra

UNITS = ["second", "minute", "hour", "day", "week", "month", "quarter", "year"]
MIXES = {"tt": ("a_ts", "b_ts"), "dt": ("a_d", "b_ts"), "td": ("a_ts", "b_d"), "dd": ("a_d", "b_d")}
DIMS = {f"{u}_{m}": f"DATE_DIFF('{u}', {a}, {b})" for u in UNITS for m, (a, b) in MIXES.items()}
MANIFEST = {"models": {"spans": {"table": "spans",
                                 "dimensions": {"id": "id", **DIMS},
                                 "measures": {"n": {"agg": "count"}}}}}
LO, HI = datetime(1, 1, 1), datetime(9999, 12, 31, 23, 59, 59, 999999)


def instants(rng: random.Random, n: int) -> list[tuple]:
    """Pairs of instants: anywhere, close together, on both sides of a unit
    boundary, at the ends of the range."""
    edges = [datetime(1969, 12, 31, 23, 59, 59, 500000), datetime(1970, 1, 1), datetime(2024, 2, 29, 23, 30),
             datetime(2023, 12, 31, 23, 59, 59, 999999), datetime(1900, 3, 1), datetime(2000, 2, 29), LO, HI]
    out = []
    for _ in range(n):
        shape = rng.random()
        a = LO + timedelta(microseconds=rng.randrange(int((HI - LO).total_seconds() * 1e6)))
        if shape < 0.2:
            a = rng.choice(edges)
        if shape < 0.35:
            b = LO + timedelta(microseconds=rng.randrange(int((HI - LO).total_seconds() * 1e6)))
        else:
            span = timedelta(microseconds=rng.choice([1, 10**6, 60 * 10**6, 86400 * 10**6, 400 * 86400 * 10**6]))
            b = a + rng.uniform(-40, 40) * span
        b = min(max(b, LO), HI)
        out.append((a, b))
    return out


def make_table(rng: random.Random, n: int = 1500) -> pa.Table:
    pairs = instants(rng, n)
    def maybe(v):
        return None if rng.random() < 0.05 else v
    cols = {"id": list(range(n)),
            "a_ts": [maybe(a) for a, _ in pairs], "b_ts": [maybe(b) for _, b in pairs],
            "a_d": [maybe(a.date()) for a, _ in pairs], "b_d": [maybe(b.date()) for _, b in pairs]}
    return pa.table({"id": pa.array(cols["id"], pa.int64()),
                     "a_ts": pa.array(cols["a_ts"], pa.timestamp("us")), "b_ts": pa.array(cols["b_ts"], pa.timestamp("us")),
                     "a_d": pa.array(cols["a_d"], pa.date32()), "b_d": pa.array(cols["b_d"], pa.date32())})


def rows(t: pa.Table) -> dict:
    return {r["id"]: r for r in t.to_pylist()}


QUERY = {"model": "spans", "dimensions": ["id", *DIMS], "measures": ["n"]}


@pytest.fixture(scope="module")
def world():
    table = make_table(random.Random(49))
    with quendra.Context() as ctx:
        ctx.load_models(MANIFEST)
        ctx.bind("spans", table)
        con = duckdb.connect()
        con.register("spans", table)
        cols = ", ".join(f"date_diff('{name.split('_')[0]}', {a}, {b}) AS {name}"
                         for name, (a, b) in ((k, MIXES[k.split('_')[1]]) for k in DIMS))
        cur = con.execute(f"SELECT id, {cols} FROM spans")
        names = [d[0] for d in cur.description]
        want = {r[0]: dict(zip(names, r)) for r in cur.fetchall()}
        yield ctx, con, table, want


def assert_same(got: dict, want: dict, where: str) -> None:
    assert got.keys() == want.keys()
    for i, w in want.items():
        g = got[i]
        bad = {k: (g[k], w[k]) for k in DIMS if g[k] != w[k]}
        assert not bad, (where, i, bad)


def test_memory_and_duckdb_sql_count_as_duckdb_does(world):
    ctx, con, _, want = world
    assert_same(rows(ctx.execute(QUERY)), want, "memory")
    assert_same(rows(ctx.query(QUERY, engine=con)), want, ctx.sql(QUERY, "duckdb")[:300])


def test_spark_sql_counts_as_duckdb_does(world, spark):
    ctx, _, table, want = world
    spark.createDataFrame(table).createOrReplaceTempView("spans")
    assert_same(rows(ctx.query(QUERY, engine=spark)), want, ctx.sql(QUERY, "spark")[:300])


def local_model(unit: str, a, b, z) -> int | None:
    """DATE_DIFF of the wall-clock times of two UTC instants in z (a date
    stays its day, as its midnight)."""
    if a is None or b is None:
        return None
    def wall(x):
        if isinstance(x, datetime):
            return x.replace(tzinfo=timezone.utc).astimezone(z).replace(tzinfo=None)
        return datetime.combine(x, datetime.min.time())
    a, b = wall(a), wall(b)
    epoch = datetime(1970, 1, 1)
    us = lambda t: (t - epoch) // timedelta(microseconds=1)  # noqa: E731
    per = {"second": 10**6, "minute": 60 * 10**6, "hour": 3600 * 10**6, "day": 86400 * 10**6}
    if unit in per:
        return us(b) // per[unit] - us(a) // per[unit]
    if unit == "week":
        d = us(b) // per["day"] - us(a) // per["day"]
        return d // 7 if d >= 0 else -(-d // 7)
    if unit == "month":
        return (b.year * 12 + b.month) - (a.year * 12 + a.month)
    if unit == "quarter":
        return (b.year * 4 + (b.month - 1) // 3) - (a.year * 4 + (a.month - 1) // 3)
    return b.year - a.year


def test_a_time_zone_counts_wall_clock_boundaries(spark):
    """Instants around offset changes, counted in the zone's wall-clock time
    by memory, DuckDB and Spark alike."""
    rng = random.Random(5)
    z = ZoneInfo("America/New_York")
    base = [datetime(2024, 3, 10, 6, 30), datetime(2024, 11, 3, 5, 30), datetime(2023, 12, 31, 4, 59),
            datetime(2024, 1, 1, 5, 0), datetime(1969, 12, 31, 12, 0)]
    pairs = []
    for _ in range(300):
        a = rng.choice(base) + timedelta(minutes=rng.randrange(-180, 180))
        pairs.append((a, a + timedelta(minutes=rng.randrange(-3000, 3000))))
    table = pa.table({"id": pa.array(range(len(pairs)), pa.int64()),
                      "a_ts": pa.array([a for a, _ in pairs], pa.timestamp("us")),
                      "b_ts": pa.array([b for _, b in pairs], pa.timestamp("us")),
                      "a_d": pa.array([a.date() for a, _ in pairs], pa.date32()),
                      "b_d": pa.array([None] + [b.date() for _, b in pairs[1:]], pa.date32())})
    want = {}
    for i, (a, b) in enumerate(pairs):
        vals = {"a_ts": a, "b_ts": b, "a_d": a.date(), "b_d": None if i == 0 else b.date()}
        want[i] = {name: local_model(name.split("_")[0], vals[MIXES[name.split("_")[1]][0]],
                                     vals[MIXES[name.split("_")[1]][1]], z) for name in DIMS}
    query = dict(QUERY, time_zone="America/New_York")
    with quendra.Context() as ctx:
        ctx.load_models(MANIFEST)
        ctx.bind("spans", table)
        con = duckdb.connect()
        con.register("spans", table)
        spark.createDataFrame(table).createOrReplaceTempView("spans")
        assert_same(rows(ctx.execute(query)), want, "memory")
        assert_same(rows(ctx.query(query, engine=con)), want, "duckdb")
        assert_same(rows(ctx.query(query, engine=spark)), want, "spark")


def test_bad_units_and_operands_are_refused_when_planned(world):
    ctx, _, _, _ = world
    units = "'second', 'minute', 'hour', 'day', 'week', 'month', 'quarter' or 'year'"
    for text in ["DATE_DIFF('days', a_d, b_d) > 1", "DATE_DIFF(unit, a_d, b_d) > 1", "DATE_DIFF(NULL, a_d, b_d) > 1"]:
        for engine in ("duckdb", "spark"):
            with pytest.raises(quendra.Error) as e:
                ctx.sql({"model": "spans", "measures": ["n"], "filter": text}, engine)
            assert (e.value.code_text, e.value.message) == (
                "Invalid", f"function 'DATE_DIFF': the unit must be a text literal: {units}, in expression '{text}'")
    with pytest.raises(quendra.Error) as e:
        ctx.sql({"model": "spans", "measures": ["n"], "filter": "DATE_DIFF('day', a_d) > 1"})
    assert e.value.message == "function 'DATE_DIFF' takes 3 arguments, not 2, in expression 'DATE_DIFF('day', a_d) > 1'"
    # An operand that is no time fails when the rows are read, as other
    # functions' operands do.
    with pytest.raises(quendra.Error) as e:
        ctx.execute({"model": "spans", "measures": ["n"], "filter": "DATE_DIFF('day', id, b_d) > 1"})
    assert e.value.code_text == "Invalid" and e.value.message.startswith("type mismatch in expression")


def test_nulls_and_filters(world):
    """A null operand is a null count; a count in a filter keeps the rows
    DuckDB's own date_diff keeps."""
    ctx, con, _, _ = world
    for cond in ["> 3", "< -100", "= 0", "IS NULL"]:
        query = {"model": "spans", "dimensions": ["id"], "measures": ["n"],
                 "filter": f"DATE_DIFF('month', a_d, b_ts) {cond}"}
        got = sorted(r["id"] for r in ctx.execute(query).to_pylist())
        want = sorted(r[0] for r in con.execute(f"SELECT id FROM spans WHERE date_diff('month', a_d, b_ts) {cond}").fetchall())
        assert got == want, cond
        assert sorted(r["id"] for r in ctx.query(query, engine=con).to_pylist()) == want, cond
    one = {"model": "spans", "dimensions": ["id"], "measures": ["n"], "filter": "DATE_DIFF('day', NULL, NULL) IS NULL"}
    assert ctx.execute(one).num_rows == ctx.query(one, engine=con).num_rows == 1500
