"""Many-joins against a reference that forms the query's rows literally:
every row a chain of LEFT JOINs makes, the filter applied to them, then
each model's distinct rows per group. In memory and in DuckDB's SQL the
answers must be the reference's."""

from __future__ import annotations

import datetime
import itertools
import random

import duckdb
import pyarrow as pa
import pytest

import quendra

MANIFEST = {"models": {
    "customer": {"table": "customer", "primary_key": "c_id",
                 "dimensions": {"c_id": "c_id", "seg": "seg", "n_id": "n_id"},
                 "measures": {"n": {"agg": "count"}, "bal": {"agg": "sum", "expr": "bal"},
                              "rich": {"agg": "count", "filters": [{"field": "customer.c_id", "operator": ">", "value": 20}]}},
                 "joins": {"orders": {"model": "orders", "type": "many", "left_on": "c_id", "right_on": "o_cust"},
                           "returns": {"model": "returns", "type": "many", "left_on": "c_id", "right_on": "r_cust"},
                           "nation": {"model": "nation", "left_on": "n_id", "right_on": "n_id"}}},
    "orders": {"table": "orders", "primary_key": "o_id",
               "dimensions": {"o_id": "o_id", "o_cust": "o_cust", "prio": "prio"},
               "measures": {"n": {"agg": "count"}, "total": {"agg": "sum", "expr": "total"},
                            "kinds": {"agg": "nunique", "expr": "prio"}},
               "joins": {"items": {"model": "items", "type": "many", "left_on": ["o_id", "prio"],
                                   "right_on": ["i_order", "i_prio"]}}},
    "items": {"table": "items", "primary_key": ["i_id"],
              "dimensions": {"i_id": "i_id", "i_order": "i_order", "i_prio": "i_prio", "kind": "kind", "qty": "qty"},
              "measures": {"units": {"agg": "sum", "expr": "qty"}, "n": {"agg": "count"}}},
    "returns": {"table": "returns", "primary_key": "r_id",
                "dimensions": {"r_id": "r_id", "r_cust": "r_cust", "amt": "amt"},
                "measures": {"amount": {"agg": "sum", "expr": "amt"}, "top": {"agg": "max", "expr": "amt"}}},
    "nation": {"table": "nation", "dimensions": {"n_id": "n_id", "region": "region"},
               "measures": {"n": {"agg": "count"}}},
}}

# Dimensions and filters, each with how the reference reads it off a row
# (a dict per model, None where a join found nothing).
DIMS = {"customer.seg": lambda r: r["c"]["seg"], "orders.prio": lambda r: r["o"] and r["o"]["prio"],
        "orders.items.kind": lambda r: r["i"] and r["i"]["kind"], "nation.region": lambda r: r["n"] and r["n"]["region"]}
FILTERS = [
    ({"field": "orders.prio", "operator": "=", "value": "x"}, lambda r: r["o"] is not None and r["o"]["prio"] == "x"),
    ({"field": "orders.items.qty", "operator": ">", "value": 2},
     lambda r: r["i"] is not None and r["i"]["qty"] is not None and r["i"]["qty"] > 2),
    ({"field": "customer.seg", "operator": "is not null"}, lambda r: r["c"]["seg"] is not None),
    ({"field": "returns.amt", "operator": "<", "value": 3},
     lambda r: r["r"] is not None and r["r"]["amt"] is not None and r["r"]["amt"] < 3),
    ({"field": "nation.region", "operator": "=", "value": "east"}, lambda r: r["n"] is not None and r["n"]["region"] == "east"),
]
# Measures: the model (row key in the reference) and the aggregate over its
# distinct rows.
def _sum(col):
    return lambda rows: sum(v[col] for v in rows if v[col] is not None) if any(v[col] is not None for v in rows) else None


MEASURES = {
    "n": ("c", len), "bal": ("c", _sum("bal")), "rich": ("c", lambda rows: sum(1 for v in rows if v["c_id"] > 20)),
    "orders.n": ("o", len), "orders.total": ("o", _sum("total")),
    "orders.kinds": ("o", lambda rows: len({v["prio"] for v in rows if v["prio"] is not None})),
    "orders.items.units": ("i", _sum("qty")), "orders.items.n": ("i", len),
    "returns.amount": ("r", _sum("amt")),
    "returns.top": ("r", lambda rows: max((v["amt"] for v in rows if v["amt"] is not None), default=None)),
    "nation.n": ("n", len),
}
KEYS = {"c": "c_id", "o": "o_id", "i": "i_id", "r": "r_id", "n": "n_id"}


def make_tables(rng: random.Random) -> dict[str, list[dict]]:
    nations = [{"n_id": k, "region": rng.choice(["east", "west", None])} for k in range(rng.randint(0, 3))]
    customers = [{"c_id": k, "seg": rng.choice(["a", "b", None]), "bal": rng.choice([None, 1, 4, 7, 10]),
                  "n_id": rng.choice([None, 0, 1, 2, 9])} for k in rng.sample(range(40), rng.randint(0, 8))]
    orders, items, returns = [], [], []
    cust_ids = [c["c_id"] for c in customers] + [99, None]
    for c in cust_ids:
        for _ in range(rng.choice([0, 0, 1, 2, 3]) if c is not None else rng.choice([0, 1])):
            orders.append({"o_id": len(orders) + 100, "o_cust": c, "prio": rng.choice(["x", "y", None]),
                           "total": rng.choice([None, 1, 2, 5, 8])})
        for _ in range(rng.choice([0, 1, 2])):
            returns.append({"r_id": len(returns) + 500, "r_cust": c, "amt": rng.choice([None, 1, 2, 4])})
    for o in orders + [{"o_id": 7777, "prio": "x"}]:
        for _ in range(rng.choice([0, 1, 2, 3])):
            # Most lines repeat their order's priority, the key's second part.
            prio = o["prio"] if rng.random() < 0.8 else rng.choice(["x", "y", None])
            items.append({"i_id": len(items) + 900, "i_order": o["o_id"], "i_prio": prio,
                          "kind": rng.choice(["p", "q", None]), "qty": rng.choice([None, 1, 3, 6])})
    return {"customer": customers, "orders": orders, "items": items, "returns": returns, "nation": nations}


def arrow(rows: list[dict], names: list[str]) -> pa.Table:
    return pa.table({n: pa.array([r.get(n) for r in rows], pa.string() if n in ("seg", "prio", "i_prio", "kind", "region")
                                 else pa.int64()) for n in names})


SCHEMA = {"customer": ["c_id", "seg", "bal", "n_id"], "orders": ["o_id", "o_cust", "prio", "total"],
          "items": ["i_id", "i_order", "i_prio", "kind", "qty"], "returns": ["r_id", "r_cust", "amt"],
          "nation": ["n_id", "region"]}


def reference(t: dict, dims: list[str], measures: list[str], filters: list) -> dict:
    """Group key -> measure values, from every row of the LEFT JOINs."""
    def matches(rows, pred):
        hit = [r for r in rows if pred(r)]
        return hit or [None]
    groups: dict = {}
    for c in t["customer"]:
        for o, r, n in itertools.product(matches(t["orders"], lambda o: o["o_cust"] == c["c_id"]),
                                         matches(t["returns"], lambda r: r["r_cust"] == c["c_id"]),
                                         matches(t["nation"], lambda n: c["n_id"] is not None and n["n_id"] == c["n_id"])):
            lines = [None] if o is None else matches(
                t["items"], lambda i: i["i_order"] == o["o_id"] and o["prio"] is not None and i["i_prio"] == o["prio"])
            for i in lines:
                row = {"c": c, "o": o, "r": r, "n": n, "i": i}
                if not all(f(row) for _, f in filters):
                    continue
                seen = groups.setdefault(tuple(DIMS[d](row) for d in dims), {m: {} for m in "conri"})
                for m, v in row.items():
                    if v is not None:
                        seen[m][v[KEYS[m]]] = v
    if not dims and not groups:
        groups[()] = {m: {} for m in "conri"}
    return {key: tuple(MEASURES[m][1](list(seen[MEASURES[m][0]].values())) for m in measures)
            for key, seen in groups.items()}


def answers(table) -> dict:
    cols = [c.to_pylist() for c in table.columns] if hasattr(table, "columns") else None
    return cols


def engines(manifest: dict, t: dict):
    """A context and a DuckDB connection over the same tables."""
    ctx = quendra.Context()
    ctx.load_models(manifest)
    con = duckdb.connect()
    for name, rows in t.items():
        table = arrow(rows, SCHEMA[name])
        ctx.bind(name, table)
        con.register(name, table)
    return ctx, con


@pytest.mark.parametrize("seed", range(12))
def test_memory_and_duckdb_answer_as_the_rows_of_the_joins_say(seed, tmp_path):
    rng = random.Random(seed)
    t = make_tables(rng)
    ctx, con = engines(MANIFEST, t)
    for k in range(25):
        dims = rng.sample(sorted(DIMS), rng.choice([0, 1, 1, 2]))
        measures = rng.sample(sorted(MEASURES), rng.randint(1, 4))
        filters = rng.sample(FILTERS, rng.choice([0, 0, 1, 2]))
        query = {"model": "customer", "dimensions": dims, "measures": measures,
                 "filters": [f for f, _ in filters]}
        want = reference(t, dims, measures, filters)
        mem = ctx.query(query)
        mem_rows = list(zip(*[c.to_pylist() for c in mem.columns])) if mem.num_rows else []
        duck_rows = con.execute(ctx.sql(query, "duckdb")).fetchall()
        for engine, rows in (("memory", mem_rows), ("duckdb", duck_rows)):
            got = {tuple(r[:len(dims)]): tuple(r[len(dims):]) for r in rows}
            # A count of no rows is 0, a sum of none is null.
            assert got == want, f"seed {seed} query {k} {engine}: {query}"


# Row scopes: each model's where, and the reference's test for it on a row
# of that model (a null verdict fails, as in SQL).
WHERES = {
    "customer": ([{"operator": "or", "conditions": [{"field": "bal", "operator": "is null"},
                                                    {"field": "bal", "operator": ">", "value": 1}]}],
                 lambda v: v["bal"] is None or v["bal"] > 1),
    "orders": ([{"field": "prio", "operator": "!=", "value": "y"}], lambda v: v["prio"] is not None and v["prio"] != "y"),
    "items": ([{"field": "kind", "operator": "is not null"}, {"field": "qty", "operator": "<", "value": 6}],
              lambda v: v["kind"] is not None and v["qty"] is not None and v["qty"] < 6),
    "returns": ([{"field": "amt", "operator": "in", "values": [2, 4]}], lambda v: v["amt"] in (2, 4)),
    "nation": ([{"field": "region", "operator": "=", "value": "east"}], lambda v: v["region"] == "east"),
}
SEGMENTS = {("customer", "a"): ([{"field": "seg", "operator": "=", "value": "a"}], lambda r: r["c"]["seg"] == "a"),
            ("orders", "x"): ([{"field": "prio", "operator": "=", "value": "x"}],
                              lambda r: r["o"] is not None and r["o"]["prio"] == "x"),
            ("items", "big"): ([{"field": "qty", "operator": ">", "value": 2}],
                               lambda r: r["i"] is not None and r["i"]["qty"] is not None and r["i"]["qty"] > 2)}
SEGMENT_PATHS = {"customer": "", "orders": "orders.", "items": "orders.items."}


@pytest.mark.parametrize("seed", range(8))
def test_where_and_segments_answer_as_if_failing_rows_were_never_there(seed):
    """A model's where: the same answers as over its table without the rows
    that fail it, whether the model is queried, joined one-to-one, joined
    many, or counted by a dimension defined by a measure. A segment: the
    same answers as its filters."""
    rng = random.Random(seed + 700)
    t = make_tables(rng)
    scoped = rng.sample(sorted(WHERES), rng.randint(1, len(WHERES)))
    manifest = {"models": {name: dict(model) for name, model in MANIFEST["models"].items()}}
    for name in scoped:
        manifest["models"][name]["where"] = WHERES[name][0]
    for (model, seg), (filters, _) in SEGMENTS.items():
        manifest["models"][model].setdefault("segments", {})[seg] = filters
    manifest["models"]["customer"]["dimensions"] = dict(MANIFEST["models"]["customer"]["dimensions"],
                                                        n_orders={"measure": "orders.n"})
    kept = {name: [v for v in rows if name not in scoped or WHERES[name][1](v)] for name, rows in t.items()}
    per_customer: dict = {}
    for o in kept["orders"]:
        per_customer[o["o_cust"]] = per_customer.get(o["o_cust"], 0) + 1
    dims = dict(DIMS, **{"customer.n_orders": lambda r: per_customer.get(r["c"]["c_id"], 0)})
    ctx, con = engines(manifest, t)
    for k in range(20):
        names = rng.sample(sorted(dims), rng.choice([0, 1, 1, 2]))
        measures = rng.sample(sorted(MEASURES), rng.randint(1, 3))
        filters = rng.sample(FILTERS, rng.choice([0, 1]))
        segments = rng.sample(sorted(SEGMENTS), rng.choice([0, 1, 2]))
        query = {"model": "customer", "dimensions": names, "measures": measures, "filters": [f for f, _ in filters],
                 "segments": [SEGMENT_PATHS[m] + s for m, s in segments]}
        tests = filters + [(None, SEGMENTS[s][1]) for s in segments]
        saved = dict(DIMS)
        DIMS.update(dims)
        try:
            want = reference(kept, names, measures, tests)
        finally:
            DIMS.clear()
            DIMS.update(saved)
        mem = ctx.query(query)
        mem_rows = list(zip(*[c.to_pylist() for c in mem.columns])) if mem.num_rows else []
        duck_rows = con.execute(ctx.sql(query, "duckdb")).fetchall()
        for engine, rows in (("memory", mem_rows), ("duckdb", duck_rows)):
            got = {tuple(r[:len(names)]): tuple(r[len(names):]) for r in rows}
            assert got == want, f"seed {seed} query {k} {engine}: where on {scoped}: {query}"


def test_a_measure_keyed_by_dates_counts_timestamps_at_their_midnights():
    """A dimension defined by a joined model's measure, whose key is a date
    met by a timestamp: under a filter (which reads only the keys of the
    rows it leaves, here within an hour) each row still finds its
    midnight's count, as the join itself and DuckDB's SQL do."""
    day = pa.array([datetime.date(1970, 11, 26), datetime.date(1970, 11, 26), datetime.date(1970, 11, 27)],
                   pa.date32())
    midnight = datetime.datetime(1970, 11, 26)
    at = pa.array([midnight, midnight + datetime.timedelta(minutes=30), midnight, None], pa.timestamp("us"))
    manifest = {"models": {
        "ev": {"table": "ev", "dimensions": {"id": "id", "at": "at", "per_day": {"measure": "cal.rows"}},
               "measures": {"n": {"agg": "count"}},
               "joins": {"cal": {"model": "cal", "left_on": "at", "right_on": "day"}}},
        "cal": {"table": "cal", "dimensions": {"day": "day"}, "measures": {"rows": {"agg": "count"}}}}}
    tables = {"ev": pa.table({"id": pa.array([1, 2, 3, 4], pa.int64()), "at": at}), "cal": pa.table({"day": day})}
    ctx = quendra.Context()
    ctx.load_models(manifest)
    con = duckdb.connect()
    for name, table in tables.items():
        ctx.bind(name, table)
        con.register(name, table)
    for filters in ([], [{"field": "ev.id", "operator": "<=", "value": 3}]):
        query = {"model": "ev", "dimensions": ["ev.id", "ev.per_day"], "measures": ["n"], "filters": filters}
        mem = ctx.query(query)
        got = sorted(zip(*[c.to_pylist() for c in mem.columns]))
        assert got == sorted(con.execute(ctx.sql(query, "duckdb")).fetchall())
        assert got == [(1, 2, 1), (2, 0, 1), (3, 2, 1), (4, 0, 1)][:3 if filters else 4]


def _rank(values: list, desc: bool) -> list:
    """SQL's RANK() of each value among values, nulls last either way."""
    def beats(other, v):
        if other is None:
            return False
        return v is None or (other > v if desc else other < v)
    return [1 + sum(beats(o, v) for o in values) for v in values]


@pytest.mark.parametrize("seed", range(10))
def test_totals_and_ranks_count_each_row_of_their_model_once(seed):
    """Totals (over all rows and over a partition) and ranks of every
    measure, the queried model's across many-joins and joined models':
    a total is the measure over its partition's rows, each row of its model
    once (never a sum of the groups, nor of the repeated rows), and a rank
    orders the groups by the measure."""
    rng = random.Random(seed + 1_300)
    t = make_tables(rng)
    manifest = {"models": {name: dict(model) for name, model in MANIFEST["models"].items()}}
    names = sorted(MEASURES)
    own = dict(MANIFEST["models"]["customer"]["measures"])
    for i, m in enumerate(names):
        own[f"all{i}"] = {"measure": m, "total": True}
        own[f"seg{i}"] = {"measure": m, "total": ["customer.seg", "orders.prio"]}
        own[f"rk{i}"] = {"measure": m, "rank": "asc" if i % 2 else "desc", "within": ["nation.region"]}
    manifest["models"]["customer"] = dict(manifest["models"]["customer"], measures=own)
    ctx, con = engines(manifest, t)
    for k in range(20):
        dims = rng.sample(sorted(DIMS), rng.choice([0, 1, 2, 2]))
        picked = rng.sample(range(len(names)), rng.randint(1, 3))
        asked = [f"{kind}{i}" for i in picked for kind in rng.sample(["all", "seg", "rk"], rng.randint(1, 3))]
        filters = rng.sample(FILTERS, rng.choice([0, 0, 1, 2]))
        query = {"model": "customer", "dimensions": dims, "measures": asked, "filters": [f for f, _ in filters]}
        groups = reference(t, dims, names, filters)
        keys = sorted(groups, key=repr)
        want = {}
        for key in keys:
            row = []
            for name in asked:
                i = int(name.lstrip("alsegrk"))
                if name.startswith("rk"):
                    within = [j for j, d in enumerate(dims) if d == "nation.region"]
                    peers = [g for g in keys if all(g[j] == key[j] for j in within)]
                    ranks = _rank([groups[g][i] for g in peers], i % 2 == 0)
                    row.append(ranks[peers.index(key)])
                    continue
                part = [] if name.startswith("all") else [d for d in dims if d in ("customer.seg", "orders.prio")]
                totals = reference(t, part, [names[i]], filters)
                row.append(totals[tuple(key[dims.index(d)] for d in part)][0])
            want[key] = tuple(row)
        mem = ctx.query(query)
        mem_rows = list(zip(*[c.to_pylist() for c in mem.columns])) if mem.num_rows else []
        duck_rows = con.execute(ctx.sql(query, "duckdb")).fetchall()
        for engine, rows in (("memory", mem_rows), ("duckdb", duck_rows)):
            got = {tuple(r[:len(dims)]): tuple(r[len(dims):]) for r in rows}
            assert got == want, f"seed {seed} query {k} {engine}: {query}"
