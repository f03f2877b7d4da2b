"""Calendars: time ranges relative to a query's "now" (random instants,
units and forms), weeks from any weekday and fiscal years from any month,
against a model written with Python's datetime, in memory and in DuckDB;
the refusals; and the clock that the Python package and the command line
read when a query has no "now"."""

from __future__ import annotations

import json
import random
from datetime import date, datetime, timedelta, timezone

import duckdb
import pyarrow as pa
import pytest

import quendra
from test_engines import cli

MANIFEST = {"models": {"events": {"table": "events", "dimensions": {
    "at": {"expr": "at", "time": True}, "day": {"expr": "day", "time": True}},
    "measures": {"n": {"agg": "count"}}}}}
START = datetime(2019, 1, 1)
# Every 5 hours and 7 minutes over seven years, and its days.
ATS = [START + timedelta(minutes=307 * k) for k in range(12_000)]
TABLE = pa.table({"at": pa.array(ATS, pa.timestamp("us")), "day": pa.array([a.date() for a in ATS], pa.date32())})


def floor(t: datetime, unit: str) -> datetime:
    d = t.replace(hour=0, minute=0, second=0, microsecond=0)
    if unit == "week":
        return d - timedelta(days=d.weekday())
    if unit in ("month", "quarter", "year"):
        month = 1 if unit == "year" else d.month - (d.month - 1) % 3 if unit == "quarter" else d.month
        return d.replace(month=month, day=1)
    return d


def shift(t: datetime, n: int, unit: str) -> datetime:
    if unit in ("day", "week"):
        return t + timedelta(days=n * (7 if unit == "week" else 1))
    months = t.year * 12 + t.month - 1 + n * {"month": 1, "quarter": 3, "year": 12}[unit]
    return t.replace(year=months // 12, month=months % 12 + 1)


def expected(now: datetime, rng_doc: dict) -> tuple[datetime, datetime, bool]:
    """[lo, hi) of the range, or [lo, hi] when the last flag is set."""
    form = next(k for k in ("last", "this", "previous", "to_date") if k in rng_doc)
    unit = rng_doc["unit"] if form == "last" else rng_doc[form]
    p0 = floor(now, unit)
    if form == "last":
        n = rng_doc["last"]
        if rng_doc.get("complete"):
            return shift(p0, -n, unit), p0, False
        return shift(p0, -(n - 1), unit), shift(p0, 1, unit), False
    if form == "this":
        return p0, shift(p0, 1, unit), False
    if form == "previous":
        return shift(p0, -1, unit), p0, False
    return p0, now, True


@pytest.fixture(scope="module")
def engines():
    with quendra.Context() as ctx:
        ctx.load_models(MANIFEST)
        ctx.bind("events", TABLE)
        con = duckdb.connect()
        con.register("events", TABLE)
        yield ctx, con


def test_relative_ranges_keep_the_rows_a_calendar_says(engines):
    ctx, con = engines
    rng = random.Random(31)
    for k in range(300):
        now = START + timedelta(seconds=rng.randrange(7 * 365 * 86400))
        unit = rng.choice(["day", "week", "month", "quarter", "year"])
        form = rng.choice(["last", "last", "this", "previous", "to_date"])
        doc = {"last": rng.choice([1, 2, 3, 7, 30]), "unit": unit} if form == "last" else {form: unit}
        if form == "last" and rng.random() < 0.5:
            doc["complete"] = rng.random() < 0.7
        # An instant written in UTC, with "Z", or at another offset.
        offset = rng.choice([None, 0, 120, -330])
        text = now.isoformat(sep=rng.choice("T "))
        if offset is not None:
            local = now + timedelta(minutes=offset)
            sign = "-" if offset < 0 else "+"
            text = local.isoformat(sep="T") + (f"{sign}{abs(offset) // 60:02d}:{abs(offset) % 60:02d}" if offset else "Z")
        dim = rng.choice(["at", "day"])
        query = {"model": "events", "dimensions": [dim], "measures": ["n"], "time_range": doc, "now": text}
        lo, hi, closed = expected(now, doc)
        values = ATS if dim == "at" else [datetime.combine(a.date(), datetime.min.time()) for a in ATS]
        want = sum(1 for v in values if lo <= v and (v <= hi if closed else v < hi))
        got = sum(ctx.execute(query).column("n").to_pylist())
        duck = sum(r[1] for r in con.execute(ctx.sql(query, "duckdb")).fetchall())
        assert got == duck == want, (k, query, lo, hi)


def test_refusals():
    with quendra.Context() as ctx:
        ctx.load_models(MANIFEST)
        base = {"model": "events", "dimensions": ["at"], "measures": ["n"], "now": "2024-05-01T10:00:00Z"}
        for tr, now, message in [
            ({"last": 7, "unit": "day"}, None, "a relative time_range needs the query's 'now': the library has no clock"),
            ({"this": "fortnight"}, "2024-05-01", "unknown time_range unit 'fortnight'"),
            ({"this": "hour"}, "2024-05-01", "unknown time_range unit 'hour'"),
            ({"last": 0, "unit": "day"}, "2024-05-01", "time_range 'last' must be an integer from 1 to 100000"),
            ({"last": 2}, "2024-05-01", "time_range 'last' needs a unit: day, week, month, quarter or year"),
            ({"this": "day", "start": "2024-01-01"}, "2024-05-01", "time_range may not mix 'this' with 'start' and 'end'"),
            ({"this": "day", "previous": "day"}, "2024-05-01",
             "time_range may hold one of 'last', 'this', 'previous' and 'to_date'"),
            ({"this": "day"}, "2024-05-01T10:00:00+25:00", "bad now '2024-05-01T10:00:00+25:00'"),
            ({"this": "day"}, "yesterday", "bad now 'yesterday'"),
        ]:
            query = dict(base, time_range=tr)
            if now is None:
                del query["now"]
            else:
                query["now"] = now
            with pytest.raises(quendra.Error) as e:
                ctx.sql(query)
            assert (e.value.code_text, e.value.message) == ("Invalid", message)


def test_the_package_and_the_command_line_read_the_clock(engines, tmp_path):
    ctx, _ = engines
    query = {"model": "events", "dimensions": ["day"], "measures": ["n"], "time_range": {"last": 30, "unit": "year"}}
    before = datetime.now(timezone.utc)
    answer = ctx.execute(query)
    used = datetime.fromisoformat(answer.schema.metadata[b"quendra.now"].decode().replace("Z", "+00:00"))
    assert before <= used <= datetime.now(timezone.utc)
    assert sum(answer.column("n").to_pylist()) == len(ATS)
    # A query that says its now keeps it, and no metadata is added.
    fixed = dict(query, now="2020-01-01")
    assert ctx.execute(fixed).schema.metadata in (None, {})
    assert ctx.execute(dict(fixed, time_range={"this": "day"})).column("n").to_pylist() == [
        sum(1 for a in ATS if a.date() == date(2020, 1, 1))]
    manifest = tmp_path / "m.json"
    manifest.write_text(json.dumps(MANIFEST))
    out = cli("sql", "--manifest", str(manifest), "--query", json.dumps(query), "--verbose")
    assert out.returncode == 0 and out.stderr.startswith("now: ") and "(the system clock)" in out.stderr
    assert f"'{date.today().year - 29}-01-01'" in out.stdout or f"'{date.today().year - 30}-01-01'" in out.stdout


DAYS = ["monday", "tuesday", "wednesday", "thursday", "friday", "saturday", "sunday"]


@pytest.mark.parametrize("start", range(7))
def test_weeks_start_on_the_calendars_day(start, engines):
    """Weekly groups and "this week" from each weekday, for timestamps and
    dates, against Python's calendar."""
    _, con = engines
    model = MANIFEST["models"]["events"]
    # The model's calendar decides over the manifest's.
    manifest = {"calendar": {"week_start": DAYS[(start + 3) % 7]},
                "models": {"events": dict(model, calendar={"week_start": DAYS[start].upper()})}}
    with quendra.Context() as ctx:
        ctx.load_models(manifest)
        ctx.bind("events", TABLE)
        for dim in ("at", "day"):
            query = {"model": "events", "dimensions": [dim], "time_grain": "week", "measures": ["n"],
                     "order_by": [dim], "time_range": {"start": "2020-02-10", "end": "2020-06-30"}}
            want: dict = {}
            for a in ATS:
                if datetime(2020, 2, 10) <= a < datetime(2020, 7, 1):
                    first = datetime.combine(a.date() - timedelta(days=(a.weekday() - start) % 7), datetime.min.time())
                    want[first] = want.get(first, 0) + 1
            for rows in (ctx.execute(query).to_pylist(), [dict(zip((dim, "n"), r))
                                                           for r in con.execute(ctx.sql(query, "duckdb")).fetchall()]):
                assert {r[dim]: r["n"] for r in rows} == want
            this = {"model": "events", "dimensions": [dim], "measures": ["n"], "now": "2021-03-03T12:00:00Z",
                    "time_range": {"this": "week"}}
            first = date(2021, 3, 3) - timedelta(days=(date(2021, 3, 3).weekday() - start) % 7)
            assert sum(ctx.execute(this).column("n").to_pylist()) == sum(
                1 for a in ATS if first <= a.date() < first + timedelta(days=7))
    with quendra.Context() as ctx:
        ctx.load_models({"calendar": {"week_start": "someday"}, "models": MANIFEST["models"]})
        with pytest.raises(quendra.Error, match="calendar: week_start must be a weekday's name, such as 'sunday'"):
            ctx.sql({"model": "events", "measures": ["n"]})
        ctx.load_models({"calendar": {"fiscal_start": 4}, "models": MANIFEST["models"]})
        with pytest.raises(quendra.Error, match="calendar: unknown key 'fiscal_start'"):
            ctx.sql({"model": "events", "measures": ["n"]})


def fiscal(d: date, first: int) -> tuple[int, int, datetime, datetime]:
    """(FISCAL_YEAR, FISCAL_QUARTER, the fiscal quarter's and year's first
    midnight) of d, for a fiscal year starting in month `first`."""
    months = d.year * 12 + d.month - 1 - (first - 1)  # months since the start of fiscal year 0
    start_year = months // 12 * 12 + first - 1
    start_quarter = months // 3 * 3 + first - 1
    year = months // 12 + (1 if first > 1 else 0)
    return (year, months % 12 // 3 + 1, datetime(start_quarter // 12, start_quarter % 12 + 1, 1),
            datetime(start_year // 12, start_year % 12 + 1, 1))


@pytest.mark.parametrize("first", [1, 2, 4, 7, 10, 12])
def test_fiscal_years_from_any_month(first, engines):
    """Fiscal quarter and year grains, FISCAL_YEAR and FISCAL_QUARTER, a
    running total that restarts each fiscal year, offsets by fiscal
    quarters and "the previous fiscal year", for timestamps and dates."""
    _, con = engines
    model = dict(MANIFEST["models"]["events"], dimensions=dict(
        MANIFEST["models"]["events"]["dimensions"], fy="FISCAL_YEAR(at)", fq="FISCAL_QUARTER(day)"),
        measures={"n": {"agg": "count"}, "ytd": {"measure": "n", "running": "fiscal_year"},
                  "prev_q": {"measure": "n", "offset": 1, "unit": "fiscal_quarter"}})
    with quendra.Context() as ctx:
        ctx.load_models({"calendar": {"fiscal_year_start": first}, "models": {"events": model}})
        ctx.bind("events", TABLE)
        info = [(a, fiscal(a.date(), first)) for a in ATS]
        for q in [{"model": "events", "dimensions": ["fy", "fq"], "measures": ["n"], "order_by": ["fy", "fq"]}]:
            want: dict = {}
            for _, (fy, fq, _, _) in info:
                want[(fy, fq)] = want.get((fy, fq), 0) + 1
            for rows in (ctx.execute(q).to_pylist(), [dict(zip(("fy", "fq", "n"), r))
                                                       for r in con.execute(ctx.sql(q, "duckdb")).fetchall()]):
                assert {(r["fy"], r["fq"]): r["n"] for r in rows} == want
        for dim in ("at", "day"):
            for grain, pick in (("fiscal_quarter", 2), ("fiscal_year", 3)):
                q = {"model": "events", "dimensions": [dim], "time_grain": grain, "measures": ["n"], "order_by": [dim]}
                want = {}
                for _, f in info:
                    want[f[pick]] = want.get(f[pick], 0) + 1
                for rows in (ctx.execute(q).to_pylist(), [dict(zip((dim, "n"), r))
                                                           for r in con.execute(ctx.sql(q, "duckdb")).fetchall()]):
                    assert {r[dim]: r["n"] for r in rows} == want, (grain, dim)
            q = {"model": "events", "dimensions": [dim], "time_grain": "fiscal_quarter", "measures": ["n", "ytd", "prev_q"],
                 "order_by": [dim]}
            quarters = sorted({f[2] for _, f in info})
            counts = {k: sum(1 for _, f in info if f[2] == k) for k in quarters}
            for rows in (ctx.execute(q).to_pylist(), [dict(zip((dim, "n", "ytd", "prev_q"), r))
                                                       for r in con.execute(ctx.sql(q, "duckdb")).fetchall()]):
                for r in rows:
                    year_start = next(f[3] for _, f in info if f[2] == r[dim])
                    assert r["ytd"] == sum(c for k, c in counts.items() if year_start <= k <= r[dim])
                    before = datetime(r[dim].year - (r[dim].month <= 3), (r[dim].month - 4) % 12 + 1, 1)
                    assert r["prev_q"] == counts.get(before), (r, before)
        q = {"model": "events", "dimensions": ["day"], "measures": ["n"], "now": "2022-08-15T00:00:00Z",
             "time_range": {"previous": "fiscal_year"}}
        this_year = fiscal(date(2022, 8, 15), first)[3]
        last_year = datetime(this_year.year - 1, this_year.month, 1)
        assert sum(ctx.execute(q).column("n").to_pylist()) == sum(1 for a in ATS if last_year <= a < this_year)
        # Fiscal quarters are whole calendar quarters only when the year starts on one.
        by_quarter = {"model": "events", "dimensions": ["day"], "time_grain": "quarter", "measures": ["prev_q"]}
        if (first - 1) % 3:
            with pytest.raises(quendra.Error, match="unit 'fiscal_quarter' does not fit the grain 'quarter'"):
                ctx.sql(by_quarter)
        else:
            ctx.sql(by_quarter)
