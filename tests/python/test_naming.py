"""One naming rule through paths: a field a path reaches is a dimension of the
model reached, else a column of its table, wherever the name is written (a
query's dimensions and filters, a `filter` expression, a measure's filters,
a segment); a model's own names mean the same whether it is queried or
reached. Each way of writing one condition must give one answer, in memory
and on DuckDB."""

from __future__ import annotations

import json
import random

import duckdb
import pyarrow as pa
import pytest

import quendra

# Every field appears twice: a dimension whose expression differs from the
# column of the same name, so reading one for the other shows.
def manifest(field: str, value, status: str) -> dict:
    cond = {"field": field, "operator": "=", "value": value}
    path_cond = {**cond, "field": "customers." + field}
    own = {"field": "status", "operator": "=", "value": status}
    return {"models": {
        "orders": {
            "table": "orders",
            "dimensions": {"id": "id", "customer_id": "customer_id", "status": "upper(status)",
                           "amount": "amount"},
            "measures": {"revenue": {"agg": "sum", "expr": "amount"},
                         "rev_path": {"agg": "sum", "expr": "amount", "filters": [path_cond]},
                         "rev_own": {"agg": "sum", "expr": "amount", "filters": [own]}},
            "segments": {"by_path": [path_cond], "own": [own]},
            "joins": {"customers": {"model": "customers", "left_on": "customer_id", "right_on": "id"}}},
        "customers": {
            "table": "customers",
            "dimensions": {"id": "id", "region": "lower(region)"},
            "measures": {"n": {"agg": "count"}, "n_f": {"agg": "count", "filters": [cond]}},
            "segments": {"picked": [cond]}},
        # Reaches orders through a join, so orders' own names are read from
        # another model.
        "lines": {
            "table": "lines",
            "dimensions": {"order_id": "order_id"},
            "measures": {"n": {"agg": "count"}},
            "joins": {"order": {"model": "orders", "type": "one", "left_on": "order_id", "right_on": "id"}}},
    }}


def tables(rng: random.Random) -> dict[str, pa.Table]:
    regions = ["EMEA", "emea", "Apac", "apac", None]
    names = ["Ann", "ann", "Bo", None]
    statuses = ["paid", "PAID", "open", None]
    nc, no = 12, 60
    customers = pa.table({"id": list(range(nc)),
                          "region": [rng.choice(regions) for _ in range(nc)],
                          "name": [rng.choice(names) for _ in range(nc)]})
    orders = pa.table({"id": list(range(no)),
                       "customer_id": [rng.randrange(nc + 2) for _ in range(no)],
                       "status": [rng.choice(statuses) for _ in range(no)],
                       "amount": [rng.randrange(1, 100) for _ in range(no)]})
    lines = pa.table({"order_id": [rng.randrange(no) for _ in range(3 * no)]})
    return {"customers": customers, "orders": orders, "lines": lines}


def answer(ctx, con, query) -> list:
    mem = sorted(ctx.query(query).to_pylist(), key=repr)
    duck = sorted(ctx.query(query, engine=con).to_pylist(), key=repr)
    assert mem == duck, (query, mem, duck)
    return mem


@pytest.mark.parametrize("seed", range(6))
def test_one_condition_one_answer(seed):
    rng = random.Random(seed)
    data = tables(rng)
    field = rng.choice(["region", "name"])  # a dimension, a column
    value = rng.choice(["emea", "EMEA", "ann", "Ann", "apac"])
    status = rng.choice(["paid", "PAID"])
    con = duckdb.connect()
    for name, t in data.items():
        con.register(name, t)
    with quendra.Context() as ctx:
        ctx.load_models(json.dumps(manifest(field, value, status)))
        ctx.bind_tables(data)

        def q(body):
            return answer(ctx, con, {"model": "orders", **body})

        path = "customers." + field
        cond = {"field": path, "operator": "=", "value": value}
        want = q({"measures": ["revenue"], "filters": [cond]})
        assert q({"measures": ["revenue"], "filter": f"{path} = '{value}'"}) == want
        assert q({"measures": ["rev_path"]}) == [{"rev_path": want[0]["revenue"]}]
        assert q({"measures": ["revenue"], "segments": ["by_path"]}) == want
        assert q({"measures": ["revenue"], "segments": ["customers.picked"]}) == want
        # The same field as a dimension of the query, then narrowed to the value.
        by = q({"measures": ["revenue"], "dimensions": [path]})
        assert [r["revenue"] for r in by if r[path] == value] == [r["revenue"] for r in want if r["revenue"] is not None]

        # orders' own `status`: its dimension, queried or reached.
        own = q({"measures": ["revenue"], "filters": [{"field": "orders.status", "operator": "=", "value": status}]})
        assert q({"measures": ["rev_own"]}) == [{"rev_own": own[0]["revenue"]}]
        assert q({"measures": ["revenue"], "segments": ["own"]}) == own
        reached = answer(ctx, con, {"model": "lines", "measures": ["order.rev_own", "n"],
                                    "segments": ["order.own"]})
        direct = answer(ctx, con, {"model": "lines", "measures": ["order.rev_own", "n"],
                                   "filters": [{"field": "order.status", "operator": "=", "value": status}]})
        assert reached == direct

        # customers' own measure filter, queried and reached through the join.
        n_f = answer(ctx, con, {"model": "customers", "measures": ["n_f"]})
        n = answer(ctx, con, {"model": "customers", "measures": ["n"], "filters": [{"field": field, "operator": "=", "value": value}]})
        assert n_f == [{"n_f": n[0]["n"]}]


def test_a_measure_filter_names_no_measure_however_reached():
    m = manifest("region", "emea", "paid")
    m["models"]["orders"]["measures"]["bad_path"] = {
        "agg": "sum", "expr": "amount", "filters": [{"field": "customers.n", "operator": ">", "value": 1}]}
    m["models"]["customers"]["measures"]["bad_own"] = {
        "agg": "count", "filters": [{"field": "n", "operator": ">", "value": 1}]}
    with quendra.Context() as ctx:
        ctx.load_models(json.dumps(m))
        for model, measure, want in [
                ("orders", "bad_path", "measure 'bad_path': a measure filter cannot name measure 'customers.n'"),
                ("customers", "bad_own", "measure 'bad_own': a measure filter cannot name measure 'n'"),
                ("orders", "customers.bad_own", "measure 'customers.bad_own': a measure filter cannot name measure 'n'")]:
            with pytest.raises(quendra.Error) as e:
                ctx.sql({"model": model, "measures": [measure]})
            assert e.value.message == want
