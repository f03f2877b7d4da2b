"""Times the in-memory engine against DuckDB on TPC-H data.

Generates the TPC-H tables at a scale factor (examples/tpch/data.py, Parquet
under build/tpch/sf<SF>/), binds the Arrow tables once into one context with
examples/tpch/manifest.json, and answers each case: nine TPC-H questions
asked as the semantic queries of examples/tpch/queries/, and a few more
semantic queries over the same manifest (a month of ship dates, LIKE on a
joined part, IN on a base string, a top 10 of suppliers, a year of order
dates, a HAVING and a top 20 over the 1.5M order keys of scale factor 1).

Engines: ours through Context.execute; DuckDB with one and with two threads
running the SQL that Context.sql writes for the query over the registered
Arrow tables; and DuckDB with one thread running the same SQL over native
DuckDB tables made once from the Arrow tables (CREATE TABLE AS). Every
engine's answer must equal ours (in order where the query orders it, floats
to a relative 1e-9), and for a TPC-H question ours must also equal DuckDB
running the official query text, matched as tests/python/test_tpch.py does.
Prints a table, writes build/bench/tpch.json and a bar chart of the ratios,
build/bench/tpch.png. Exits 1 when an answer differs or a query fails;
missed speed goals are only reported.

    python bench/tpch.py [--sf 1] [--runs 5] [--out build/bench] [--cases q01,top20_orderkeys]
"""

from __future__ import annotations

import argparse
import gc
import json
import math
import os
import statistics
import sys
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
from compare import aligned, duck_connections, floats_equal, ms, pick_cases, time_case, timed  # noqa: E402  bench/compare.py
import test_tpch  # noqa: E402  tests/python/test_tpch.py: the official answers' matching rules

ENGINES = ["ours", "duckdb-1", "duckdb-2", "duckdb-native-1"]
CASE_GOAL = 0.5  # ours / duckdb-1, per case
GEOMEAN_GOAL = 0.3  # geometric mean of ours / duckdb-1
NATIVE_GOAL = 1.0  # ours / duckdb-native-1, per case

TPCH_QUERIES = [f"q{i:02d}" for i in range(1, 23)]


def between(field: str, start: str, end: str) -> list[dict]:
    """start <= field < end."""
    return [{"field": field, "operator": ">=", "value": start},
            {"field": field, "operator": "<", "value": end}]


def q(dims: list[str], measures: list[str], **extra) -> dict:
    return {"model": "lineitem", "dimensions": dims, "measures": measures, **extra}


# Semantic queries beyond the TPC-H questions, over the same manifest.
EXTRA = [
    ("month_shipmode", "a month of ship dates, by ship mode",
     # time_range needs its time dimension among the dimensions; at the month
     # grain it is one value, so the groups are the ship modes.
     q(["lineitem.l_shipmode", "lineitem.l_shipdate"], ["revenue", "count_order"],
       time_grains={"lineitem.l_shipdate": "month"},
       time_range={"start": "1995-03-01", "end": "1995-03-31"})),
    ("like_part_month", "p_name LIKE '%green%', a month",
     q([], ["revenue", "sum_qty"],
       filters=[{"field": "part.p_name", "operator": "like", "value": "%green%"},
                *between("lineitem.l_shipdate", "1995-09-01", "1995-10-01")])),
    ("in_base_string", "l_shipmode IN (MAIL, SHIP), by flag",
     q(["lineitem.l_returnflag"], ["sum_qty", "revenue", "count_order"],
       filters=[{"field": "lineitem.l_shipmode", "operator": "in", "values": ["MAIL", "SHIP"]}])),
    ("quarter_supplier_top10", "a quarter, top 10 suppliers",
     q(["supplier.s_name"], ["revenue"],
       filters=between("lineitem.l_shipdate", "1996-01-01", "1996-04-01"),
       order_by=[["revenue", "desc"], "supplier.s_name"], limit=10)),
    ("orderdate_priority", "a year of order dates, by priority",
     q(["orders.o_orderpriority"], ["revenue", "count_order"],
       filters=between("orders.o_orderdate", "1994-01-01", "1995-01-01"),
       order_by=["orders.o_orderpriority"])),
    ("having_orderkeys", "by order key, sum_qty > 300",
     q(["lineitem.l_orderkey"], ["sum_qty"],
       filters=[{"field": "sum_qty", "operator": ">", "value": 300}])),
    ("top20_orderkeys", "by order key, top 20 by revenue",
     q(["lineitem.l_orderkey"], ["revenue"],
       order_by=[["revenue", "desc"], "lineitem.l_orderkey"], limit=20)),
]


def cases() -> list[dict]:
    plan = []
    for name in TPCH_QUERIES:
        query = json.loads((TPCH / "queries" / f"{name}.json").read_text())
        plan.append(dict(name=name, label=f"TPC-H {name.upper()}", query=query, official=True))
    for name, label, query in EXTRA:
        plan.append(dict(name=name, label=label, query=query, official=False))
    return plan


def order_keys(query: dict, names: list[str]) -> list[int]:
    """The output column of each order_by entry."""
    return [names.index(o if isinstance(o, str) else o[0]) for o in query.get("order_by", [])]


def column_equal(x: pa.Array, y: pa.Array, fl: bool) -> bool:
    return floats_equal(x, y) if fl else x.equals(y)


def differs(ours: pa.Table, other: pa.Table, query: dict) -> str | None:
    """None when `other` is the same answer as `ours`, else what differs.
    Columns are matched by position (dimensions first, then measures, in
    query order, in every engine); floats agree to a relative 1e-9. An
    ordered query's order-by columns must agree row by row; then the rows,
    sorted by the dimensions, must agree as a multiset, except that under a
    limit the rows tied with the last one on every order key may be other
    groups of the same keys."""
    problem, a, b, fl = aligned(ours, other)
    if problem:
        return problem
    names = a.column_names
    keys = order_keys(query, ours.column_names)
    for i in keys:
        if not column_equal(a.column(i).combine_chunks(), b.column(i).combine_chunks(), fl[i]):
            return f"order-by column {ours.column_names[i]!r} differs"
    if keys and "limit" in query and a.num_rows:
        def cut(t: pa.Table) -> pa.Table:
            rows = list(zip(*(t.column(i).to_pylist() for i in keys)))
            return t.filter(pa.array([not test_tpch.same(r, rows[-1]) for r in rows], pa.bool_()))
        a, b = cut(a), cut(b)
        if a.num_rows != b.num_rows:
            return "rows tied at the limit differ in number"
    n_dims = len(query.get("dimensions", []))
    if n_dims:
        sort = [(n, "ascending", "at_end") for n in names[:n_dims]]
        a, b = a.sort_by(sort), b.sort_by(sort)
    for i in range(ours.num_columns):
        if not column_equal(a.column(i).combine_chunks(), b.column(i).combine_chunks(), fl[i]):
            return f"column {ours.column_names[i]!r} differs"
    return None


def official_differs(name: str, ctx: quendra.Context, con) -> str | None:
    """None when ours agrees with DuckDB running the official text, by the
    rules of tests/python/test_tpch.py (renames, value converters, LIMIT
    ties, float tolerance), else the failed check."""
    try:
        test_tpch.test_tpch_query(name, "memory", None, ctx, con)
    except AssertionError as e:
        return "official answer: " + (str(e).splitlines()[0] if str(e) else "differs")
    return None


def geomean(values: list[float]) -> float:
    return math.exp(statistics.fmean(math.log(v) for v in values)) if values else float("nan")


def chart(results: list[dict], sf: float, means: dict[str, float], path: Path) -> None:
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    x = np.arange(len(results))
    series = [("duckdb-1", "ours / DuckDB (1 thread)", "#2b6cb0"),
              ("duckdb-2", "ours / DuckDB (2 threads)", "#90cdf4"),
              ("duckdb-native-1", "ours / DuckDB native tables (1 thread)", "#a0aec0")]
    fig, ax = plt.subplots(figsize=(13, 5.5))
    shown = []
    for k, (engine, label, color) in enumerate(series):
        values = [c["ratio"][engine] for c in results]
        shown += values
        bars = ax.bar(x + (k - 1) * 0.27, values, 0.27, label=label, color=color)
        if engine == "duckdb-1":
            ax.bar_label(bars, fmt="%.2f", fontsize=7)
    ax.axhline(CASE_GOAL, color="#c53030", linewidth=0.8, linestyle="--", label=f"goal vs DuckDB 1 thread ({CASE_GOAL})")
    ax.axhline(1.0, color="black", linewidth=0.8)
    ax.set_yscale("log")
    low, high = min(shown + [CASE_GOAL]) / 1.5, max(shown + [1.0]) * 2.5  # room for the legend
    ticks = [t for t in (0.02, 0.05, 0.1, 0.2, 0.3, 0.5, 0.7, 1, 2, 5, 10, 20, 50) if low <= t <= high]
    ax.set_yticks(ticks, [f"{t:g}" for t in ticks])
    ax.minorticks_off()
    ax.set_xticks(x, [c["name"] for c in results], rotation=35, ha="right", fontsize=8)
    ax.set_ylabel("time ratio (lower is faster for ours)")
    ax.set_title(f"TPC-H scale factor {sf:g}: median query time, ours relative to DuckDB; geometric means: "
                 f"1 thread {means['duckdb-1']:.2f}, 2 threads {means['duckdb-2']:.2f}, "
                 f"native 1 thread {means['duckdb-native-1']:.2f}", fontsize=10)
    ax.set_ylim(low, high)
    ax.legend(fontsize=8, ncol=4, loc="upper center")
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sf", type=float, default=1.0, help="TPC-H scale factor (default 1)")
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--out", type=Path, default=ROOT / "build" / "bench")
    parser.add_argument("--cases", help="comma-separated case names to run (default: all); "
                        "a partial run prints its table and writes nothing")
    args = parser.parse_args()
    plan = cases()
    plan = pick_cases(parser, plan, args.cases)
    load_before = os.getloadavg()
    print(f"load average {load_before[0]:.2f} {load_before[1]:.2f} {load_before[2]:.2f} on {os.cpu_count()} cores")

    t, _ = timed(lambda: data.generate(args.sf))
    print(f"TPC-H scale factor {args.sf:g} under {data.folder(args.sf)} ({t:.1f} s)")
    t, tables = timed(lambda: data.load(args.sf))
    print(f"read {sum(x.num_rows for x in tables.values()):,} rows in {t:.1f} s "
          f"({tables['lineitem'].num_rows:,} lineitem rows)")
    ctx = quendra.Context()
    ctx.load_models((TPCH / "manifest.json").read_bytes())
    t, _ = timed(lambda: [ctx.bind(name, table) for name, table in tables.items()])
    print(f"bound in {t:.1f} s")

    import duckdb

    ducks = duck_connections(tables)
    native = duckdb.connect(config={"threads": 2})
    for name, table in tables.items():
        native.register("arrow_" + name, table)
    t, _ = timed(lambda: [native.execute(f'CREATE TABLE "{n}" AS SELECT * FROM "arrow_{n}"') for n in tables])
    for name in tables:
        native.unregister("arrow_" + name)
    native.execute("SET threads = 1")
    print(f"native DuckDB tables made in {t:.1f} s")

    failures = []
    for case in plan:
        query = case["query"]
        case["sql"] = ctx.sql(query, "duckdb")
        run = {
            "ours": lambda: ctx.execute(query),
            "duckdb-1": lambda: ducks[1].sql(case["sql"]).to_arrow_table(),
            "duckdb-2": lambda: ducks[2].sql(case["sql"]).to_arrow_table(),
            "duckdb-native-1": lambda: native.sql(case["sql"]).to_arrow_table(),
        }
        gc.collect()
        case["check"] = {}
        answers = {}
        for e in ENGINES:  # also the warm-up run
            try:
                answers[e] = run[e]()
            except Exception as exc:  # a failing query is a wrong answer
                case["check"][e] = f"failed: {str(exc).splitlines()[0] if str(exc) else type(exc).__name__}"
                failures.append(f"{case['name']}: {e}: {case['check'][e]}")
        if "ours" not in answers:
            print(f"  {case['name']:<24} ours failed: {case['check']['ours']}", flush=True)
            continue
        case["rows_out"] = answers["ours"].num_rows
        for e in ENGINES[1:]:
            if e in answers:
                problem = differs(answers["ours"], answers[e], query)
                case["check"][e] = problem or "ok"
                if problem:
                    failures.append(f"{case['name']}: {e}: {problem}")
        if case["official"]:
            problem = official_differs(case["name"], ctx, ducks[2])
            case["check"]["official"] = problem or "ok"
            if problem:
                failures.append(f"{case['name']}: {problem}")
        del answers
        if len(case["check"]) < len(ENGINES) - 1 or any(v.startswith("failed") for v in case["check"].values()):
            print(f"  {case['name']:<24} a query failed, not timed", flush=True)
            continue
        time_case(case, run, ENGINES, args.runs, case["name"])

    timed_cases = [c for c in plan if "ratio" in c]
    means = {e: geomean([c["ratio"][e] for c in timed_cases]) for e in ENGINES[1:]}
    load_after = os.getloadavg()

    print(f"\nTPC-H scale factor {args.sf:g}, {args.runs} runs per engine; times in ms, min / median; "
          "ratios of ours to each by median")
    head = f"{'case':<24}{'rows':>8}" + "".join(f"{e:>22}" for e in ENGINES)
    head += f"{'/duck-1':>9}{'/duck-2':>9}{'/native-1':>11}  check"
    print(head)
    for c in plan:
        line = f"{c['name']:<24}{c.get('rows_out', '?'):>8}"
        if "ratio" in c:
            line += "".join(f"{ms(c['min'][e])} /{ms(c['median'][e])}" for e in ENGINES)
            r1, r2, rn = (c["ratio"][e] for e in ENGINES[1:])
            line += f"{r1:>8.2f}{' ' if r1 <= CASE_GOAL else '!'}{r2:>8.2f} {rn:>9.2f}{' ' if rn <= NATIVE_GOAL else '!'}"
        else:
            line += f"{'not timed':>{22 * len(ENGINES) + 29}}"
        bad = [f"{e} ({v})" for e, v in c["check"].items() if v != "ok"]
        line += " " + ("ok" if not bad else "WRONG: " + "; ".join(bad))
        print(line)
    print(f"geometric mean of ours / duckdb-1: {means['duckdb-1']:.3f} (goal {GEOMEAN_GOAL}"
          f"{', missed' if not means['duckdb-1'] <= GEOMEAN_GOAL else ', met'}); "
          f"/ duckdb-2: {means['duckdb-2']:.3f}; / duckdb-native-1: {means['duckdb-native-1']:.3f}")
    slow = [c["name"] for c in timed_cases if c["ratio"]["duckdb-1"] > CASE_GOAL]
    slower_than_native = [c["name"] for c in timed_cases if c["ratio"]["duckdb-native-1"] > NATIVE_GOAL]
    print(f"'!' marks a missed goal: ours / duckdb-1 <= {CASE_GOAL} missed by "
          f"{', '.join(slow) or 'none'}; ours <= duckdb-native-1 missed by {', '.join(slower_than_native) or 'none'}")
    print(f"load average before {load_before[0]:.2f}, after {load_after[0]:.2f}")
    for f in failures:
        print(f"WRONG ANSWER {f}", file=sys.stderr)

    if args.cases:
        return 1 if failures else 0
    report = {
        "sf": args.sf, "runs": args.runs, "cores": os.cpu_count(),
        "load_before": load_before, "load_after": load_after,
        "rows": {name: t.num_rows for name, t in tables.items()},
        "versions": {"quendra": quendra.version(), "duckdb": duckdb.__version__, "pyarrow": pa.__version__},
        "geomean_ratio": means, "geomean_goal_duckdb1": GEOMEAN_GOAL,
        "case_goal_duckdb1": CASE_GOAL, "case_goal_native1": NATIVE_GOAL,
        "missed_goal_duckdb1": slow, "missed_goal_native1": slower_than_native,
        "cases": plan, "failures": failures,
    }
    args.out.mkdir(parents=True, exist_ok=True)
    (args.out / "tpch.json").write_text(json.dumps(report, indent=1))
    written = [args.out / "tpch.json"]
    if timed_cases:
        chart(timed_cases, args.sf, means, args.out / "tpch.png")
        written.append(args.out / "tpch.png")
    print(f"wrote {' and '.join(str(p) for p in written)}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
