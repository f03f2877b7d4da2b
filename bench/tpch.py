"""Times the in-memory engine against DuckDB, chDB, DataFusion and Polars on TPC-H data.

Generates the TPC-H tables at a scale factor (examples/tpch/data.py, Parquet
under build/tpch/sf<SF>/), binds the Arrow tables once into one context with
examples/tpch/manifest.json and LINEITEM_ADDITIONS, and answers each case:
the 22 TPC-H questions asked as the semantic queries of
examples/tpch/queries/, and fourteen more
semantic queries over the same manifest (a month of ship dates, LIKE on a
joined part, IN on a base string, a top 10 of suppliers, a year of order
dates, a HAVING and a top 20 over the 1.5M order keys of scale factor 1;
groups by YEAR, QUARTER and ISODOW dimensions, a year by day with a
month-to-date total, a trailing 7-day window under an ISODOW filter and the
previous day's revenue, three CASE dimensions, a free filter of IN, NOT
LIKE, ABS, DAY and MONTH, and a measure filtered through the composite
lineitem-partsupp key).

Engines: ours through Context.execute; DuckDB with one and with two threads
running the SQL that Context.sql writes for the query over the registered
Arrow tables; DuckDB with one thread running that SQL over native DuckDB
tables made once from the Arrow tables (CREATE TABLE AS); and three more
engines on one thread each, over the same Arrow tables loaded once, running
hand-written SQL: chDB (tables in its Memory engine), DataFusion (memory
tables) and Polars (its SQL context over lazy frames). Their SQL is the
official text of examples/tpch/official/ for a TPC-H question and the
statement of EXTRA for the other cases, put into each one's dialect by the
small rewrites of `DIALECTS`.

Every answer is checked before it is timed: DuckDB's against ours (in order
where the query orders it, floats to a relative 1e-9); ours, for a TPC-H
question, against DuckDB running the official text, matched as
tests/python/test_tpch.py does; and the other engines' against DuckDB
running the official text, or against ours for the other cases.

Prints the times, the ratios of ours to each engine and to the fastest
single-thread engine (DuckDB, chDB, DataFusion or Polars), their geometric
means and the speed goals, which are judged on ratios of minimum times;
writes build/bench/tpch.json and a chart of the ratios, build/bench/tpch.png.
Exits 1 when an answer differs or a query fails; missed goals are only
reported.

    python bench/tpch.py [--sf 1] [--runs 5] [--out build/bench]
                         [--cases q01,top20_orderkeys] [--engines chdb-1,polars-1]
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
from decimal import Decimal
from pathlib import Path

import numpy as np
import pyarrow as pa

ROOT = Path(__file__).resolve().parents[1]
TPCH = ROOT / "examples" / "tpch"
sys.path.insert(0, str(ROOT / "python"))
sys.path.insert(0, str(ROOT / "bench"))
sys.path.insert(0, str(ROOT / "tests" / "python"))
sys.path.insert(0, str(TPCH))

import quendra  # noqa: E402
import data  # noqa: E402  examples/tpch/data.py
# Importing bench/compare.py sets POLARS_MAX_THREADS=1, before anything imports Polars.
from compare import aligned, duck_connections, floats_equal, pick_cases, time_case, timed  # noqa: E402
import test_tpch  # noqa: E402  tests/python/test_tpch.py: the official answers' matching rules

PEERS = ["chdb-1", "datafusion-1", "polars-1"]
ENGINES = ["ours", "duckdb-1", "duckdb-2", "duckdb-native-1", *PEERS]
SINGLE = ["duckdb-1", *PEERS]  # the single-thread engines, of which the fastest is the bar
SHORT = {"duckdb-1": "duck-1", "duckdb-2": "duck-2", "duckdb-native-1": "native-1", "chdb-1": "chdb-1",
         "datafusion-1": "df-1", "polars-1": "polars-1", "fastest": "fastest"}
# Goals, judged on ratios of minimum times.
CASE_GOAL = 0.5  # ours / duckdb-1, per case
GEOMEAN_GOAL = 0.3  # geometric mean of ours / duckdb-1
FASTEST_GOAL = 0.8  # ours / fastest single-thread engine, per case
FASTEST_GEOMEAN_GOAL = 0.5  # geometric mean of ours / fastest
NATIVE_GOAL = 1.0  # ours / duckdb-native-1, per case
DATAFUSION_BATCH = 8192  # DataFusion's batch size, and the size of the batches its tables are given in

TPCH_QUERIES = [f"q{i:02d}" for i in range(1, 23)]


# What the cases beyond the TPC-H questions add to lineitem: dimensions of
# date parts and CASE bands, and measures along time. They live here, not in
# examples/tpch/manifest.json, so that the examples' SQL stays as it is.
LINEITEM_ADDITIONS = {
    "dimensions": {
        "ship_year": "YEAR(l_shipdate)",
        "ship_quarter": "QUARTER(l_shipdate)",
        "ship_isodow": "ISODOW(l_shipdate)",
        "qty_band": "CASE WHEN l_quantity <= 10 THEN 'small' WHEN l_quantity <= 30 THEN 'medium' ELSE 'large' END",
        "discount_band": "CASE WHEN l_discount = 0 THEN 'none' WHEN l_discount < 0.055 THEN 'low' ELSE 'high' END",
        "ship_class": "CASE WHEN l_shipmode IN ('AIR', 'REG AIR') THEN 'air' WHEN l_shipmode = 'MAIL' THEN 'mail' "
                      "ELSE 'surface' END",
    },
    "measures": {
        "revenue_mtd": {"measure": "revenue", "running": "month"},
        "revenue_7d": {"measure": "revenue", "trailing": 7, "unit": "day"},
        "revenue_prev_day": {"measure": "revenue", "offset": 1, "unit": "day"},
    },
}


def manifest() -> dict:
    """examples/tpch/manifest.json with LINEITEM_ADDITIONS."""
    m = json.loads((TPCH / "manifest.json").read_text())
    for part, entries in LINEITEM_ADDITIONS.items():
        m["models"]["lineitem"][part].update(entries)
    return m


def between(field: str, start: str, end: str) -> list[dict]:
    """start <= field < end."""
    return [{"field": field, "operator": ">=", "value": start},
            {"field": field, "operator": "<", "value": end}]


def q(dims: list[str], measures: list[str], **extra) -> dict:
    return {"model": "lineitem", "dimensions": dims, "measures": measures, **extra}


def days_1995(measures: list[str], **extra) -> dict:
    """The ship days of 1995 in order, with `measures` (some derived along time)."""
    return q(["lineitem.l_shipdate"], measures, time_grains={"lineitem.l_shipdate": "day"},
             time_range={"start": "1995-01-01", "end": "1995-12-31"}, order_by=["lineitem.l_shipdate"], **extra)


def ship_days(first: str, where: str = "") -> str:
    """A common table expression `daily` of the revenue of each ship day from
    `first` to the end of 1995: the days a derived measure reads, which start
    before 1995 when it looks back."""
    return f"""with daily as (
          select l_shipdate as ship_day, sum(l_extendedprice * (1 - l_discount)) as revenue
          from lineitem
          where l_shipdate >= date '{first}' and l_shipdate < date '1996-01-01'{where}
          group by l_shipdate)
        """


# Semantic queries beyond the TPC-H questions, over the same manifest, each
# with a statement of the same meaning for the other engines: its columns in
# the query's order (dimensions, then measures), a LEFT JOIN where the query
# groups by a joined model's field (lines without a match are a group of
# their own) or where only a measure's filter reads it (they still count in
# the other measures), and a plain JOIN where a filter on that model drops
# them anyway.
EXTRA = [
    ("month_shipmode", "a month of ship dates, by ship mode",
     # time_range needs its time dimension among the dimensions; at the month
     # grain it is one value, so the groups are the ship modes.
     q(["lineitem.l_shipmode", "lineitem.l_shipdate"], ["revenue", "count_order"],
       time_grains={"lineitem.l_shipdate": "month"},
       time_range={"start": "1995-03-01", "end": "1995-03-31"}),
     """select l_shipmode, date_trunc('month', l_shipdate) as ship_month,
               sum(l_extendedprice * (1 - l_discount)) as revenue, count(*) as count_order
        from lineitem
        where l_shipdate >= date '1995-03-01' and l_shipdate < date '1995-04-01'
        group by l_shipmode, date_trunc('month', l_shipdate)"""),
    ("like_part_month", "p_name LIKE '%green%', a month",
     q([], ["revenue", "sum_qty"],
       filters=[{"field": "part.p_name", "operator": "like", "value": "%green%"},
                *between("lineitem.l_shipdate", "1995-09-01", "1995-10-01")]),
     """select sum(l_extendedprice * (1 - l_discount)) as revenue, sum(l_quantity) as sum_qty
        from lineitem join part on l_partkey = p_partkey
        where p_name like '%green%' and l_shipdate >= date '1995-09-01' and l_shipdate < date '1995-10-01'"""),
    ("in_base_string", "l_shipmode IN (MAIL, SHIP), by flag",
     q(["lineitem.l_returnflag"], ["sum_qty", "revenue", "count_order"],
       filters=[{"field": "lineitem.l_shipmode", "operator": "in", "values": ["MAIL", "SHIP"]}]),
     """select l_returnflag, sum(l_quantity) as sum_qty,
               sum(l_extendedprice * (1 - l_discount)) as revenue, count(*) as count_order
        from lineitem
        where l_shipmode in ('MAIL', 'SHIP')
        group by l_returnflag"""),
    ("quarter_supplier_top10", "a quarter, top 10 suppliers",
     q(["supplier.s_name"], ["revenue"],
       filters=between("lineitem.l_shipdate", "1996-01-01", "1996-04-01"),
       order_by=[["revenue", "desc"], "supplier.s_name"], limit=10),
     """select s_name, sum(l_extendedprice * (1 - l_discount)) as revenue
        from lineitem left join supplier on l_suppkey = s_suppkey
        where l_shipdate >= date '1996-01-01' and l_shipdate < date '1996-04-01'
        group by s_name
        order by revenue desc, s_name
        limit 10"""),
    ("orderdate_priority", "a year of order dates, by priority",
     q(["orders.o_orderpriority"], ["revenue", "count_order"],
       filters=between("orders.o_orderdate", "1994-01-01", "1995-01-01"),
       order_by=["orders.o_orderpriority"]),
     """select o_orderpriority, sum(l_extendedprice * (1 - l_discount)) as revenue, count(*) as count_order
        from lineitem join orders on l_orderkey = o_orderkey
        where o_orderdate >= date '1994-01-01' and o_orderdate < date '1995-01-01'
        group by o_orderpriority
        order by o_orderpriority"""),
    ("having_orderkeys", "by order key, sum_qty > 300",
     q(["lineitem.l_orderkey"], ["sum_qty"],
       filters=[{"field": "sum_qty", "operator": ">", "value": 300}]),
     """select l_orderkey, sum(l_quantity) as sum_qty
        from lineitem
        group by l_orderkey
        having sum(l_quantity) > 300"""),
    ("top20_orderkeys", "by order key, top 20 by revenue",
     q(["lineitem.l_orderkey"], ["revenue"],
       order_by=[["revenue", "desc"], "lineitem.l_orderkey"], limit=20),
     """select l_orderkey, sum(l_extendedprice * (1 - l_discount)) as revenue
        from lineitem
        group by l_orderkey
        order by revenue desc, l_orderkey
        limit 20"""),
    ("year_quarter_isodow", "by YEAR, QUARTER, ISODOW of ship date",
     q(["lineitem.ship_year", "lineitem.ship_quarter", "lineitem.ship_isodow"], ["revenue", "count_order"]),
     """select extract(year from l_shipdate) as ship_year, extract(quarter from l_shipdate) as ship_quarter,
               extract(isodow from l_shipdate) as ship_isodow,
               sum(l_extendedprice * (1 - l_discount)) as revenue, count(*) as count_order
        from lineitem
        group by 1, 2, 3"""),
    # l_shipdate is a date, so its day grain is the date itself, and each
    # day is one row of `daily`.
    ("month_to_date", "a year by day, month-to-date revenue",
     days_1995(["revenue", "revenue_mtd"]),
     ship_days("1995-01-01") + """select ship_day, revenue,
               sum(revenue) over (partition by date_trunc('month', ship_day) order by ship_day
                                  rows between unbounded preceding and current row) as revenue_mtd
        from daily
        order by ship_day"""),
    # The free filter also selects the rows the trailing window reads, those
    # of the six days before 1995 included. The frame is a RANGE of dates:
    # weekends leave no row, so six rows back would reach past the week.
    ("trailing_7d_isodow", "a year of weekdays, trailing 7 days",
     days_1995(["revenue", "revenue_7d"], filter="ISODOW(l_shipdate) <= 5"),
     ship_days("1994-12-26", " and extract(isodow from l_shipdate) <= 5") + """select ship_day, revenue, revenue_7d
        from (select ship_day, revenue,
                     sum(revenue) over (order by ship_day range between interval '6 days' preceding and current row)
                       as revenue_7d
              from daily) as w
        where ship_day >= date '1995-01-01'
        order by ship_day"""),
    # The day before is matched by date, not by position: a day without
    # lines before it would have no previous revenue.
    ("offset_day_year", "a year by day, previous day's revenue",
     days_1995(["revenue", "revenue_prev_day"]),
     ship_days("1994-12-31") + """select d.ship_day, d.revenue, p.revenue as revenue_prev_day
        from daily as d left join daily as p on p.ship_day = d.ship_day - interval '1 day'
        where d.ship_day >= date '1995-01-01'
        order by d.ship_day"""),
    ("three_case_dims", "by three CASE dimensions",
     q(["lineitem.qty_band", "lineitem.discount_band", "lineitem.ship_class"], ["revenue", "count_order"]),
     """select case when l_quantity <= 10 then 'small' when l_quantity <= 30 then 'medium' else 'large' end as qty_band,
               case when l_discount = 0 then 'none' when l_discount < 0.055 then 'low' else 'high' end as discount_band,
               case when l_shipmode in ('AIR', 'REG AIR') then 'air' when l_shipmode = 'MAIL' then 'mail'
                    else 'surface' end as ship_class,
               sum(l_extendedprice * (1 - l_discount)) as revenue, count(*) as count_order
        from lineitem
        group by 1, 2, 3"""),
    ("free_filter", "IN, NOT LIKE, ABS, DAY, MONTH filter",
     q(["lineitem.l_returnflag"], ["sum_qty", "revenue", "count_order"],
       filter="l_shipmode IN ('MAIL', 'SHIP', 'AIR') AND l_comment NOT LIKE '%special%' AND ABS(l_quantity - 25) < 10"
              " AND DAY(l_shipdate) <= 15 AND MONTH(l_shipdate) IN (1, 2, 3)"),
     """select l_returnflag, sum(l_quantity) as sum_qty,
               sum(l_extendedprice * (1 - l_discount)) as revenue, count(*) as count_order
        from lineitem
        where l_shipmode in ('MAIL', 'SHIP', 'AIR') and l_comment not like '%special%' and abs(l_quantity - 25) < 10
          and extract(day from l_shipdate) <= 15 and extract(month from l_shipdate) in (1, 2, 3)
        group by l_returnflag"""),
    ("composite_key_measure", "measure filtered through a composite key",
     q(["lineitem.l_returnflag", "lineitem.l_linestatus"], ["scarce_revenue", "revenue"]),
     """select l_returnflag, l_linestatus,
               sum(case when ps_availqty < 1000 then l_extendedprice * (1 - l_discount) end) as scarce_revenue,
               sum(l_extendedprice * (1 - l_discount)) as revenue
        from lineitem left join partsupp on l_partkey = ps_partkey and l_suppkey = ps_suppkey
        group by l_returnflag, l_linestatus"""),
]


def cases() -> list[dict]:
    plan = []
    for name in TPCH_QUERIES:
        query = json.loads((TPCH / "queries" / f"{name}.json").read_text())
        text = (TPCH / "official" / f"{name}.sql").read_text()
        plan.append(dict(name=name, label=f"TPC-H {name.upper()}", query=query, official=True, text=text))
    for name, label, query, text in EXTRA:
        plan.append(dict(name=name, label=label, query=query, official=False, text=text))
    return plan


def exact_decimals(sql: str) -> str:
    """Folds a sum or difference of two decimal literals (Q6's `0.06 + 0.01`)
    into one literal, where no product or quotient binds tighter. DuckDB,
    whose answer is the reference, computes it in exact decimals; an engine
    that reads the literals as doubles gets 0.06 + 0.01 = 0.06999999999999999,
    and a BETWEEN up to it drops the lines whose discount is 0.07."""
    def fold(m: re.Match) -> str:
        if m[1]:
            return m[0]
        a, b = Decimal(m[2]), Decimal(m[4])
        return str(a + b if m[3] == "+" else a - b)
    return re.sub(r"([-+*/]\s*)?\b(\d+\.\d+)\s*([-+])\s*(\d+\.\d+)\b(?!\s*[*/])", fold, sql)


def day_offsets(sql: str) -> str:
    """A RANGE frame's `interval 'N days'` offset as the number N, which is
    how ClickHouse takes an offset over a Date (it refuses INTERVALs there)."""
    return re.sub(r"\binterval\s+'(\d+) days?'(?=\s+(preceding|following)\b)", r"\1", sql, flags=re.I)


# Each engine's dialect of the DuckDB-flavoured texts. chDB, DataFusion and
# Polars all parse the texts as they are (typed date literals, INTERVAL
# arithmetic, EXTRACT, ISODOW included, SUBSTRING ... FROM ... FOR,
# correlated subqueries, window frames), but for ClickHouse's RANGE offsets
# over dates, which are numbers of days; what can differ is meaning: chDB and
# DataFusion read decimal literals as doubles, and ClickHouse's outer joins
# and aggregates over no rows differ from standard SQL, which chdb_engine's
# session settings restore.
DIALECTS = {
    "chdb-1": lambda sql: day_offsets(exact_decimals(sql)),
    "datafusion-1": exact_decimals,
    "polars-1": lambda sql: sql,  # reads decimal literals as decimals
}


def chdb_engine(tables: dict[str, pa.Table]):
    """(run, version): chDB on one thread over Memory tables copied once from
    the Arrow tables."""
    import chdb
    from chdb import session

    con = session.Session()
    con.query("SET max_threads = 1")
    # Standard SQL where ClickHouse differs: an outer join's missing side is
    # NULL, not its type's default (which COUNT would count), and an aggregate
    # over no rows is NULL, not 0.
    con.query("SET join_use_nulls = 1")
    con.query("SET aggregate_functions_null_for_empty = 1")
    for name, table in tables.items():
        # A column without nulls as a plain (not Nullable) ClickHouse column,
        # as a ClickHouse user declares it.
        table = table.cast(pa.schema([f.with_nullable(c.null_count > 0) for f, c in zip(table.schema, table.columns)]))
        con.query(f"CREATE TABLE {name} ENGINE = Memory AS SELECT * FROM Python(table)")
    engine = con.query("SELECT version()", "ArrowTable").column(0)[0].as_py()
    return (lambda sql: con.query(sql, "ArrowTable")), f"{chdb.__version__} (engine {engine})"


def datafusion_engine(tables: dict[str, pa.Table]):
    """(run, version): DataFusion with one partition over memory tables of
    the Arrow tables' buffers."""
    import datafusion
    from datafusion import SessionConfig, SessionContext

    ctx = SessionContext(SessionConfig().with_target_partitions(1).with_batch_size(DATAFUSION_BATCH))
    for name, table in tables.items():
        ctx.register_record_batches(name, [table.to_batches(max_chunksize=DATAFUSION_BATCH)])
    return (lambda sql: ctx.sql(sql).to_arrow_table()), datafusion.__version__


def polars_engine(tables: dict[str, pa.Table]):
    """(run, version): Polars' SQL context over lazy frames made once from
    the Arrow tables, on the one thread that POLARS_MAX_THREADS gives it."""
    import polars as pl

    if pl.thread_pool_size() != 1:
        raise RuntimeError(f"Polars runs {pl.thread_pool_size()} threads: it was imported before bench/compare.py")
    frames = pl.SQLContext({name: pl.from_arrow(table).lazy() for name, table in tables.items()}, eager=False)
    return (lambda sql: frames.execute(sql).collect().to_arrow()), pl.__version__


PEER_ENGINES = {"chdb-1": chdb_engine, "datafusion-1": datafusion_engine, "polars-1": polars_engine}


def order_keys(query: dict, names: list[str]) -> list[int]:
    """The output column of each order_by entry."""
    return [names.index(o if isinstance(o, str) else o[0]) for o in query.get("order_by", [])]


def official_order(text: str, names: list[str]) -> tuple[list[int], bool]:
    """The output columns of an official text's final ORDER BY, and whether
    a LIMIT follows it."""
    parts = re.split(r"\border\s+by\b", text, flags=re.I)
    if len(parts) == 1:
        return [], False
    keys, *limit = re.split(r"\blimit\b", parts[-1], flags=re.I)
    return [names.index(k.split()[0]) for k in keys.strip().rstrip(";").split(",")], bool(limit)


def column_equal(x: pa.Array, y: pa.Array, fl: bool) -> bool:
    return floats_equal(x, y) if fl else x.equals(y)


def comparable(t: pa.Table) -> pa.Table:
    """Dates as timestamps: engines truncate dates to a month as either."""
    return pa.table([c.cast(pa.timestamp("us")) if pa.types.is_date(c.type) else c for c in t.columns],
                    names=t.column_names)


def rows_differ(want: pa.Table, got: pa.Table, keys: list[int], limited: bool) -> str | None:
    """None when `got` is the same answer as `want`, else what differs.
    Columns are matched by position; floats agree to a relative 1e-9. The
    order-by columns (positions `keys`) must agree row by row; then the rows,
    sorted by every column (exact ones first), must agree as a multiset,
    except that under a limit the rows tied with the last one on every order
    key may be other rows with the same keys."""
    problem, a, b, fl = aligned(comparable(want), comparable(got))
    if problem:
        return problem
    names = a.column_names
    for i in keys:
        if not column_equal(a.column(i).combine_chunks(), b.column(i).combine_chunks(), fl[i]):
            return f"order-by column {want.column_names[i]!r} differs"
    if keys and limited and a.num_rows:
        def cut(t: pa.Table) -> pa.Table:
            rows = list(zip(*(t.column(i).to_pylist() for i in keys)))
            return t.filter(pa.array([not test_tpch.same(r, rows[-1]) for r in rows], pa.bool_()))
        a, b = cut(a), cut(b)
        if a.num_rows != b.num_rows:
            return "rows tied at the limit differ in number"
    sort = [(n, "ascending", "at_end") for n, _ in sorted(zip(names, fl), key=lambda x: x[1])]
    a, b = a.sort_by(sort), b.sort_by(sort)
    for i in range(len(names)):
        if not column_equal(a.column(i).combine_chunks(), b.column(i).combine_chunks(), fl[i]):
            return f"column {want.column_names[i]!r} differs"
    return None


def differs(ours: pa.Table, other: pa.Table, query: dict) -> str | None:
    """rows_differ for another engine's answer to the semantic query, whose
    columns come in the query's order (dimensions, then measures)."""
    return rows_differ(ours, other, order_keys(query, ours.column_names), "limit" in query)


def official_differs(name: str, ctx: quendra.Context, con) -> str | None:
    """None when ours agrees with DuckDB running the official text, by the
    rules of tests/python/test_tpch.py (renames, value converters, LIMIT
    ties, float tolerance), else the failed check."""
    try:
        test_tpch.test_tpch_query(name, "memory", None, ctx, con)
    except AssertionError as e:
        return "official answer: " + (str(e).splitlines()[0] if str(e) else "differs")
    return None


def first_line(exc: Exception) -> str:
    return str(exc).strip().splitlines()[0] if str(exc).strip() else type(exc).__name__


def geomean(values: list[float]) -> float:
    return math.exp(statistics.fmean(math.log(v) for v in values)) if values else float("nan")


def mark(value: float, goal: float) -> str:
    return " " if value <= goal else "!"


def chart(results: list[dict], sf: float, means: dict[str, float], path: Path) -> None:
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    x = np.arange(len(results))
    series = [("duckdb-1", "DuckDB", "#2b6cb0"), ("chdb-1", "chDB", "#dd6b20"),
              ("datafusion-1", "DataFusion", "#38a169"), ("polars-1", "Polars", "#805ad5")]
    width = 0.8 / len(series)
    fig, ax = plt.subplots(figsize=(16, 6))
    shown = []
    for k, (engine, label, color) in enumerate(series):
        values = [c["ratio_of_min"][engine] for c in results]
        shown += values
        ax.bar(x + (k - (len(series) - 1) / 2) * width, values, width,
               label=f"ours / {label} (geometric mean {means[engine]:.2f})", color=color)
    fastest = [c["ratio_of_min"]["fastest"] for c in results]
    ax.scatter(x, fastest, marker="_", s=400, linewidths=2, color="black", zorder=3,
               label=f"ours / fastest of the four (geometric mean {means['fastest']:.2f})")
    for i, v in enumerate(fastest):
        ax.annotate(f"{v:.2f}", (i, v), textcoords="offset points", xytext=(0, 4), ha="center", fontsize=7)
    ax.axhline(CASE_GOAL, color="#c53030", linewidth=0.8, linestyle="--", label=f"goal vs DuckDB ({CASE_GOAL})")
    ax.axhline(FASTEST_GOAL, color="black", linewidth=0.8, linestyle=":", label=f"goal vs fastest ({FASTEST_GOAL})")
    ax.axhline(1.0, color="black", linewidth=0.8)
    ax.set_yscale("log")
    low, high = min(shown + [CASE_GOAL]) / 1.5, max(shown + [1.0]) * 4  # room for the legend
    ticks = [t for t in (0.01, 0.02, 0.05, 0.1, 0.2, 0.3, 0.5, 0.8, 1, 2, 5, 10, 20, 50, 100) if low <= t <= high]
    ax.set_yticks(ticks, [f"{t:g}" for t in ticks])
    ax.minorticks_off()
    ax.set_xticks(x, [c["name"] for c in results], rotation=35, ha="right", fontsize=8)
    ax.set_ylabel("time ratio (lower is faster for ours)")
    ax.set_title(f"TPC-H scale factor {sf:g}: ours relative to each engine on one thread, "
                 "by minimum query time", fontsize=10)
    ax.set_ylim(low, high)
    ax.legend(fontsize=8, ncol=3, loc="upper center")
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


def print_tables(plan: list[dict], engines: list[str], sf: float, runs: int) -> None:
    others = engines[1:] + ["fastest"]
    print(f"\nTPC-H scale factor {sf:g}, {runs} runs per engine; times in ms, min / median")
    print(f"{'case':<24}{'rows':>8}" + "".join(f"{e:>19}" for e in engines))
    for c in plan:
        line = f"{c['name']:<24}{c.get('rows_out', '?'):>8}"
        if "ratio" in c:
            line += "".join(f"{c['min'][e] * 1000:.1f} / {c['median'][e] * 1000:.1f}".rjust(19)
                            if e in c["min"] else f"{'-':>19}" for e in engines)
        else:
            line += f"{'not timed':>{19 * len(engines)}}"
        print(line)

    print(f"\nours / each engine; '!' marks a missed goal: /duck-1 <= {CASE_GOAL}, /native-1 <= {NATIVE_GOAL}, "
          f"/fastest <= {FASTEST_GOAL} (the fastest single-thread engine; by minimum, named at the right)")
    print(f"{'':<24}{'by median':^{10 * len(others)}}  |{'by minimum':^30}")
    head = f"{'case':<24}" + "".join(f"{'/' + SHORT[e]:>10}" for e in others)
    head += "  |" + "".join(f"{'/' + SHORT[e]:>10}" for e in ("duckdb-1", "duckdb-native-1", "fastest"))
    print(head + f"  {'fastest':<13} check")
    goals = {"duckdb-1": CASE_GOAL, "duckdb-native-1": NATIVE_GOAL, "fastest": FASTEST_GOAL}
    for c in plan:
        line = f"{c['name']:<24}"
        if "ratio" in c:
            line += "".join(f"{c['ratio'][e]:>10.2f}" for e in others) + "  |"
            line += "".join(f"{c['ratio_of_min'][e]:>9.2f}{mark(c['ratio_of_min'][e], goal)}"
                            if e in c["ratio_of_min"] else f"{'-':>10}" for e, goal in goals.items())
            line += f"  {c['fastest']:<13}"
        else:
            line += f"{'not timed':>{10 * len(others) + 45}} "
        bad = [f"{e} ({v})" for e, v in c["check"].items() if v != "ok"]
        print(line + ("ok" if not bad else "WRONG: " + "; ".join(bad)))


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sf", type=float, default=1.0, help="TPC-H scale factor (default 1)")
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--out", type=Path, default=ROOT / "build" / "bench")
    parser.add_argument("--cases", help="comma-separated case names to run (default: all); "
                        "a partial run prints its tables and writes nothing")
    parser.add_argument("--engines", help="comma-separated engines to run besides ours and duckdb-1, which always "
                        f"run (default: all of {', '.join(ENGINES[2:])}); a partial run writes nothing")
    args = parser.parse_args()
    plan = pick_cases(parser, cases(), args.cases)
    engines = ENGINES
    if args.engines:
        wanted = set(args.engines.split(","))
        if wanted - set(ENGINES):
            parser.error(f"unknown engine {', '.join(sorted(wanted - set(ENGINES)))}; engines: {', '.join(ENGINES)}")
        engines = [e for e in ENGINES if e in wanted | {"ours", "duckdb-1"}]
    single = [e for e in SINGLE if e in engines]
    load_before = os.getloadavg()
    print(f"load average {load_before[0]:.2f} {load_before[1]:.2f} {load_before[2]:.2f} on {os.cpu_count()} cores")

    t, _ = timed(lambda: data.generate(args.sf))
    print(f"TPC-H scale factor {args.sf:g} under {data.folder(args.sf)} ({t:.1f} s)")
    t, tables = timed(lambda: data.load(args.sf))
    print(f"read {sum(x.num_rows for x in tables.values()):,} rows in {t:.1f} s "
          f"({tables['lineitem'].num_rows:,} lineitem rows)")
    ctx = quendra.Context()
    ctx.load_models(json.dumps(manifest()).encode())
    t, _ = timed(lambda: [ctx.bind(name, table) for name, table in tables.items()])
    print(f"bound in {t:.1f} s")

    import duckdb

    versions = {"quendra": quendra.version(), "duckdb": duckdb.__version__, "pyarrow": pa.__version__}
    ducks = duck_connections(tables)
    native = None
    if "duckdb-native-1" in engines:
        native = duckdb.connect(config={"threads": 2})
        for name, table in tables.items():
            native.register("arrow_" + name, table)
        t, _ = timed(lambda: [native.execute(f'CREATE TABLE "{n}" AS SELECT * FROM "arrow_{n}"') for n in tables])
        for name in tables:
            native.unregister("arrow_" + name)
        native.execute("SET threads = 1")
        print(f"native DuckDB tables made in {t:.1f} s")
    peers = {}
    for e in engines:
        if e in PEER_ENGINES:
            t, (peers[e], version) = timed(lambda: PEER_ENGINES[e](tables))
            versions[e.removesuffix("-1")] = version
            print(f"{e} {version}: tables loaded in {t:.1f} s")

    failures = []
    for case in plan:
        query = case["query"]
        case["sql"] = ctx.sql(query, "duckdb")
        case["peer_sql"] = {e: DIALECTS[e](case["text"]) for e in peers}
        run = {
            "ours": lambda: ctx.execute(query),
            "duckdb-1": lambda: ducks[1].sql(case["sql"]).to_arrow_table(),
            "duckdb-2": lambda: ducks[2].sql(case["sql"]).to_arrow_table(),
            "duckdb-native-1": lambda: native.sql(case["sql"]).to_arrow_table(),
            **{e: (lambda e=e: peers[e](case["peer_sql"][e])) for e in peers},
        }
        gc.collect()
        case["check"] = {}
        answers = {}
        for e in engines:  # also the warm-up run
            try:
                answers[e] = run[e]()
            except Exception as exc:  # a failing query is a wrong answer
                case["check"][e] = f"failed: {first_line(exc)}"
                failures.append(f"{case['name']}: {e}: {case['check'][e]}")
        if "ours" not in answers:
            print(f"  {case['name']:<24} ours failed: {case['check']['ours']}", flush=True)
            continue
        case["rows_out"] = answers["ours"].num_rows
        if case["official"]:
            problem = official_differs(case["name"], ctx, ducks[2])
            case["check"]["official"] = problem or "ok"
            if problem:
                failures.append(f"{case['name']}: {problem}")
            want = ducks[2].sql(case["text"]).to_arrow_table()
            keys, limited = official_order(case["text"], want.column_names)
        for e in engines[1:]:
            if e in answers:
                if e in peers and case["official"]:
                    problem = rows_differ(want, answers[e], keys, limited)
                    problem = problem and f"official answer: {problem}"
                else:
                    problem = differs(answers["ours"], answers[e], query)
                case["check"][e] = problem or "ok"
                if problem:
                    failures.append(f"{case['name']}: {e}: {problem}")
        del answers
        if any(v.startswith("failed") for v in case["check"].values()):
            print(f"  {case['name']:<24} a query failed, not timed", flush=True)
            continue
        time_case(case, run, engines, args.runs, case["name"])
        fastest = min(single, key=case["min"].get)
        case["fastest"] = fastest
        case["ratio"]["fastest"] = case["median"]["ours"] / min(case["median"][e] for e in single)
        case["ratio_of_min"]["fastest"] = case["min"]["ours"] / case["min"][fastest]

    timed_cases = [c for c in plan if "ratio" in c]
    others = engines[1:] + ["fastest"]
    means = {e: geomean([c["ratio"][e] for c in timed_cases]) for e in others}
    means_of_min = {e: geomean([c["ratio_of_min"][e] for c in timed_cases]) for e in others}
    load_after = os.getloadavg()

    print_tables(plan, engines, args.sf, args.runs)
    print("geometric means of ours / engine, by median: "
          + ", ".join(f"{e} {means[e]:.3f}" for e in others)
          + "\n                                 by minimum: "
          + ", ".join(f"{e} {means_of_min[e]:.3f}" for e in others))
    missed = {e: [c["name"] for c in timed_cases if c["ratio_of_min"][e] > goal]
              for e, goal in (("duckdb-1", CASE_GOAL), ("fastest", FASTEST_GOAL), ("duckdb-native-1", NATIVE_GOAL))
              if e in engines + ["fastest"]}
    print(f"goals, on ratios of minimum times; the fastest is the fastest of {', '.join(single)}:")
    for e, goal in (("duckdb-1", CASE_GOAL), ("fastest", FASTEST_GOAL), ("duckdb-native-1", NATIVE_GOAL)):
        if e in missed:
            print(f"  {'!' if missed[e] else ' '} every case ours / {e} <= {goal}: "
                  + (f"missed by {', '.join(missed[e])}" if missed[e] else "met"))
    for e, goal in (("fastest", FASTEST_GEOMEAN_GOAL), ("duckdb-1", GEOMEAN_GOAL)):
        print(f"  {mark(means_of_min[e], goal)} geometric mean of ours / {e} {means_of_min[e]:.3f} <= {goal}: "
              + ("met" if means_of_min[e] <= goal else "missed"))
    print(f"load average before {load_before[0]:.2f}, after {load_after[0]:.2f}")
    for f in failures:
        print(f"WRONG ANSWER {f}", file=sys.stderr)

    if args.cases or args.engines:
        return 1 if failures else 0
    report = {
        "sf": args.sf, "runs": args.runs, "cores": os.cpu_count(),
        "load_before": load_before, "load_after": load_after,
        "rows": {name: t.num_rows for name, t in tables.items()},
        "versions": versions, "engines": engines, "single_thread_engines": single,
        "goals_on": "ratios of minimum times",
        "goals": {"case_duckdb1": CASE_GOAL, "geomean_duckdb1": GEOMEAN_GOAL, "case_fastest": FASTEST_GOAL,
                  "geomean_fastest": FASTEST_GEOMEAN_GOAL, "case_native1": NATIVE_GOAL},
        "geomean_ratio": means, "geomean_ratio_of_min": means_of_min,
        "missed_goal_duckdb1": missed["duckdb-1"], "missed_goal_fastest": missed["fastest"],
        "missed_goal_native1": missed["duckdb-native-1"],
        "missed_geomean_goal_duckdb1": not means_of_min["duckdb-1"] <= GEOMEAN_GOAL,
        "missed_geomean_goal_fastest": not means_of_min["fastest"] <= FASTEST_GEOMEAN_GOAL,
        "cases": plan, "failures": failures,
    }
    args.out.mkdir(parents=True, exist_ok=True)
    (args.out / "tpch.json").write_text(json.dumps(report, indent=1))
    written = [args.out / "tpch.json"]
    if timed_cases:
        chart(timed_cases, args.sf, means_of_min, args.out / "tpch.png")
        written.append(args.out / "tpch.png")
    print(f"wrote {' and '.join(str(p) for p in written)}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
