"""Answers to queries over the example data, computed in plain Python.

Nothing here looks at generated SQL: rows come straight from the Parquet
files, joins are dictionary look-ups, and every measure, dimension, grain and
ordering rule is spelled out below. Filters are given per test case as
Python predicates written by hand.
"""

from __future__ import annotations

import functools
import json
import math
from collections.abc import Callable, Iterable, Sequence
from dataclasses import dataclass, field
from datetime import datetime, timedelta
from decimal import Decimal
from pathlib import Path
from typing import Any

import pyarrow.parquet as pq

ROOT = Path(__file__).resolve().parents[2]
EXAMPLES = ROOT / "examples"
DATA = EXAMPLES / "data"
MANIFEST_PATH = EXAMPLES / "manifest.json"
MANIFEST = json.loads(MANIFEST_PATH.read_text())

# The table with quote characters in its name holds the first orders.
LEGACY_TABLE = MANIFEST["models"]["legacy"]["table"]
LEGACY_MAX_ID = 120

Row = dict[str, Any]


def load_tables() -> dict[str, list[Row]]:
    return {name: pq.read_table(DATA / f"{name}.parquet").to_pylist()
            for name in ("orders", "customers", "products", "returns")}


TABLES = load_tables()


# ---------------------------------------------------------------- null-aware helpers

def sub(a, b):
    return None if a is None or b is None else a - b


def div(a, b):
    """Division as the engine defines it: x / 0 is null."""
    if a is None or b is None or b == 0:
        return None
    return a / b


def int_mod(a, b):
    """Integer remainder with the dividend's sign; x % 0 is null."""
    if a is None or b is None or b == 0:
        return None
    r = abs(a) % abs(b)
    return -r if a < 0 else r


def float_mod(a, b):
    """Float remainder: C fmod, with a negative dividend mapped into the
    divisor's range."""
    if a is None or b is None:
        return None
    r = math.fmod(a, b)
    return math.fmod(r + b, b) if a < 0 else r


def or3(a, b):
    if a is True or b is True:
        return True
    if a is None or b is None:
        return None
    return False


def not3(a):
    return None if a is None else not a


def cmp(a, op: str, b):
    """A comparison that is false (dropped) when either side is null."""
    if a is None or b is None:
        return False
    return {"=": a == b, "<>": a != b, "<": a < b, "<=": a <= b, ">": a > b, ">=": a >= b}[op]


def like(s, pattern: str, ci: bool = False) -> bool | None:
    """LIKE with % and _ and no escape character; ILIKE folds ASCII letters only."""
    if s is None:
        return None

    def fold(t: str) -> str:
        return "".join(chr(ord(c) + 32) if "A" <= c <= "Z" else c for c in t) if ci else t

    s, p = fold(s), fold(pattern)

    @functools.cache
    def match(i: int, j: int) -> bool:
        if j == len(p):
            return i == len(s)
        if p[j] == "%":
            return match(i, j + 1) or (i < len(s) and match(i + 1, j))
        if i < len(s) and (p[j] == "_" or p[j] == s[i]):
            return match(i + 1, j + 1)
        return False

    return match(0, 0)


# ---------------------------------------------------------------- aggregates

def _vals(rows: Iterable[Row], f: Callable[[Row], Any]) -> list:
    return [v for v in map(f, rows) if v is not None]


def agg_sum(rows, f):
    v = _vals(rows, f)
    return sum(v) if v else None


def agg_mean(rows, f):
    v = _vals(rows, f)
    return sum(v) / len(v) if v else None


def agg_min(rows, f):
    v = _vals(rows, f)
    return min(v) if v else None


def agg_max(rows, f):
    v = _vals(rows, f)
    return max(v) if v else None


def agg_count(rows, f=None):
    return len(list(rows)) if f is None else len(_vals(rows, f))


def agg_nunique(rows, f):
    return len(set(_vals(rows, f)))


def col(name: str) -> Callable[[Row], Any]:
    return lambda r: r[name]


# ---------------------------------------------------------------- models

def _joined(name: str) -> Callable[[Row], Any]:
    join, column = name.split(".", 1)
    return lambda r: (r[join] or {}).get(column)


def _orders_rows() -> list[Row]:
    customers = {c["id"]: c for c in TABLES["customers"]}
    products = {p["id"]: p for p in TABLES["products"]}
    return [dict(o, customers=customers.get(o["customer_id"]), products=products.get(o["product_id"]))
            for o in TABLES["orders"]]


ORDER_DIMS: dict[str, Callable[[Row], Any]] = {
    "orders.is_large": lambda r: None if r["amount"] is None else r["amount"] >= 100,
    "orders.net_amount": lambda r: sub(r["amount"], r["discount"]),
    "orders.unit_price": lambda r: div(r["amount"], r["quantity"]),
    "orders.quantity_bucket": lambda r: int_mod(r["quantity"], 4),
    "orders.amount_mod_7": lambda r: float_mod(r["amount"], 7),
    "orders.large_or_gift": lambda r: or3(None if r["amount"] is None else r["amount"] >= 100, r["is_gift"]),
    "orders.created_raw": col("created_at"),
    'orders.status "label" `code`': col("status"),
}

ORDER_MEASURES: dict[str, Callable[[list[Row]], Any]] = {
    "revenue": lambda g: agg_sum(g, col("amount")),
    "order_count": lambda g: agg_count(g),
    "avg_amount": lambda g: agg_mean(g, col("amount")),
    "max_amount": lambda g: agg_max(g, col("amount")),
    "customers": lambda g: agg_nunique(g, col("customer_id")),
    "min_amount": lambda g: agg_min(g, col("amount")),
    "total_quantity": lambda g: agg_sum(g, col("quantity")),
    "mean_quantity": lambda g: agg_mean(g, col("quantity")),
    "discounted_orders": lambda g: agg_count(g, col("discount")),
    "products_sold": lambda g: agg_nunique(g, col("product_id")),
    "first_order_at": lambda g: agg_min(g, col("created_at")),
    "last_ship_date": lambda g: agg_max(g, col("ship_date")),
    "first_status": lambda g: agg_min(g, col("status")),
    "gross": lambda g: agg_sum(g, lambda r: None if r["amount"] is None or r["quantity"] is None
                               else r["amount"] * r["quantity"]),
    "discounts": lambda g: agg_sum(g, col("discount")),
}
_M = ORDER_MEASURES
_M["revenue_per_customer"] = lambda g: div(_M["revenue"](g), _M["customers"](g))
_M["net_revenue"] = lambda g: sub(_M["revenue"](g), _M["discounts"](g))
_M["avg_order_value"] = lambda g: div(_M["revenue"](g), _M["order_count"](g))
_M["avg_gap"] = lambda g: sub(_M["avg_order_value"](g), _M["avg_amount"](g))
_M["discounted_pct"] = lambda g: div(_M["discounted_orders"](g) * 100, _M["order_count"](g))
_M['net "revenue" `x`'] = _M["net_revenue"]


@dataclass
class Model:
    rows: Callable[[], list[Row]]
    dims: Callable[[str], Callable[[Row], Any]]
    measures: dict[str, Callable[[list[Row]], Any]]


def _orders_dim(name: str):
    if name in ORDER_DIMS:
        return ORDER_DIMS[name]
    prefix, column = name.split(".", 1)
    return col(column) if prefix == "orders" else _joined(name)


def _returns_rows() -> list[Row]:
    orders = {o["id"]: o for o in TABLES["orders"]}
    return [dict(r, order=orders.get(r["order_id"])) for r in TABLES["returns"]]


def _returns_dim(name: str):
    prefix, column = name.split(".", 1)
    return col(column) if prefix == "returns" else _joined(name)


MODELS: dict[str, Model] = {
    "orders": Model(_orders_rows, _orders_dim, ORDER_MEASURES),
    "customers": Model(lambda: TABLES["customers"], col, {
        "customer_count": lambda g: agg_count(g),
        "with_email": lambda g: agg_count(g, col("email")),
    }),
    "products": Model(lambda: TABLES["products"], col, {
        "product_count": lambda g: agg_count(g),
        "avg_price": lambda g: agg_mean(g, col("price")),
    }),
    "returns": Model(_returns_rows, _returns_dim, {
        "return_count": lambda g: agg_count(g),
        "refunded": lambda g: agg_sum(g, col("refund")),
    }),
    "legacy": Model(lambda: [o for o in TABLES["orders"] if o["id"] <= LEGACY_MAX_ID], col, {
        "revenue": lambda g: agg_sum(g, col("amount")),
        "order_count": lambda g: agg_count(g),
    }),
}


def time_fields(model: str) -> set[str]:
    """Names of the time dimensions a query on `model` may use."""
    models = MANIFEST["models"]
    m = models[model]
    joins = m.get("joins") or {}

    def names(mod: dict, prefix: str | None) -> set[str]:
        out = set()
        for key, d in (mod.get("dimensions") or {}).items():
            if isinstance(d, dict) and d.get("time") is True:
                out.add(f"{prefix}.{key}" if prefix else key)
        return out

    result = names(m, model if joins else None)
    for jname, j in joins.items():
        result |= names(models[j["model"]], jname)
    return result


# ---------------------------------------------------------------- grains

def truncate(grain: str, v):
    if v is None:
        return None
    if not isinstance(v, datetime):
        v = datetime(v.year, v.month, v.day)
    if grain == "second":
        return v.replace(microsecond=0)
    if grain == "minute":
        return v.replace(second=0, microsecond=0)
    if grain == "hour":
        return v.replace(minute=0, second=0, microsecond=0)
    day = v.replace(hour=0, minute=0, second=0, microsecond=0)
    if grain == "day":
        return day
    if grain == "week":
        return day - timedelta(days=day.weekday())  # weeks start on Monday
    if grain == "month":
        return day.replace(day=1)
    if grain == "quarter":
        return day.replace(month=3 * ((day.month - 1) // 3) + 1, day=1)
    if grain == "year":
        return day.replace(month=1, day=1)
    raise ValueError(grain)


# ---------------------------------------------------------------- answers

@dataclass
class Answer:
    names: list[str]
    rows: list[tuple]
    order: list[int] | None = None  # output positions that fix the row order, if any


def answer(model: str, query: dict,
           where: Callable[[Row], bool] | None = None,
           having: Callable[[list[Row]], bool] | None = None) -> Answer:
    """Evaluates `query` over the example data. `where` selects base rows and
    `having` selects groups; both return True only for rows to keep."""
    m = MODELS[model]
    rows = [r for r in m.rows() if where is None or where(r) is True]
    dims: list[str] = query.get("dimensions", [])
    measures: list[str] = query.get("measures", [])
    timed = time_fields(model)
    grains = query.get("time_grains", {})
    getters = []
    for d in dims:
        g = m.dims(d)
        grain = grains.get(d, query.get("time_grain")) if d in timed else None
        getters.append((lambda g, grain: (lambda r: truncate(grain.lower(), g(r))))(g, grain) if grain else g)

    groups: dict[tuple, list[Row]] = {}
    for r in rows:
        groups.setdefault(tuple(g(r) for g in getters), []).append(r)
    if not dims:
        groups = {(): rows}
    out = [(key, g) for key, g in groups.items() if having is None or having(g) is True]
    result = [key + tuple(m.measures[bare(model, name)](g) for name in measures) for key, g in out]

    names = dims + measures
    order = []
    for entry in query.get("order_by", []):
        name, desc = (entry, False) if isinstance(entry, str) else (entry[0], len(entry) > 1 and entry[1].lower() == "desc")
        idx = max(i for i, n in enumerate(dims) if n == name) if name in dims else \
            len(dims) + max(i for i, n in enumerate(measures) if n == name)
        order.append((idx, desc))
    if order:
        def compare(a: tuple, b: tuple) -> int:
            for idx, desc in order:
                x, y = a[idx], b[idx]
                if x is None and y is None:
                    continue
                if x is None or y is None:
                    return 1 if x is None else -1  # nulls last either way
                if x != y:
                    return (-1 if x > y else 1) if desc else (-1 if x < y else 1)
            return 0
        result.sort(key=functools.cmp_to_key(compare))
    if "limit" in query:
        result = result[:query["limit"]]
    return Answer(names, result, [i for i, _ in order] or None)


def bare(model: str, name: str) -> str:
    return name[len(model) + 1:] if name.startswith(model + ".") and name not in MODELS[model].measures else name


# ---------------------------------------------------------------- comparing results

def normalise(value):
    """Engines return DECIMAL for some arithmetic; compare it as a float."""
    return float(value) if isinstance(value, Decimal) else value


def _sort_key(row: tuple) -> tuple:
    key = []
    for v in row:
        if v is None:
            key.append((0, ""))
        elif isinstance(v, (int, float)) and not isinstance(v, bool):
            key.append((1, round(float(v), 6)))
        else:
            key.append((2, repr(v)))
    return tuple(key)


def canonical(rows: Sequence[tuple], order: list[int] | None) -> list[tuple]:
    """Rows in a comparable order: sorted whole when the query fixes no order,
    else sorted only within runs that tie on the ordering columns."""
    rows = [tuple(normalise(v) for v in r) for r in rows]
    if not order:
        return sorted(rows, key=_sort_key)
    out, run, run_key = [], [], None
    for r in rows:
        k = _sort_key(tuple(r[i] for i in order))
        if run and k != run_key:
            out += sorted(run, key=_sort_key)
            run = []
        run.append(r)
        run_key = k
    return out + sorted(run, key=_sort_key)


def same_value(a, b) -> bool:
    if isinstance(a, bool) or isinstance(b, bool):
        return a is b
    if isinstance(a, (int, float)) and isinstance(b, (int, float)):
        if isinstance(a, float) and math.isnan(a) or isinstance(b, float) and math.isnan(b):
            return False
        return math.isclose(a, b, rel_tol=1e-9, abs_tol=1e-9)
    if type(a) is not type(b):
        return False
    return a == b


def assert_rows(actual: Sequence[tuple], expected: Answer, context: str = "") -> None:
    got = canonical(actual, expected.order)
    want = canonical(expected.rows, expected.order)
    assert len(got) == len(want), f"{context}\n{len(got)} rows, expected {len(want)}:\n{_diff(got, want)}"
    bad = [(g, w) for g, w in zip(got, want)
           if len(g) != len(w) or not all(same_value(x, y) for x, y in zip(g, w))]
    assert not bad, f"{context}\nrows differ (got, expected):\n" + "\n".join(f"  {g}\n  {w}" for g, w in bad[:10])


def _diff(got: list[tuple], want: list[tuple]) -> str:
    g, w = set(map(repr, got)), set(map(repr, want))
    extra, missing = sorted(g - w)[:10], sorted(w - g)[:10]
    return "unexpected:\n  " + "\n  ".join(extra) + "\nmissing:\n  " + "\n  ".join(missing)


@dataclass
class Case:
    """One query on the example data with its hand-written row filters."""
    id: str
    model: str
    query: dict
    where: Callable[[Row], bool] | None = None
    having: Callable[[list[Row]], bool] | None = None
    # engine name -> why that engine is known to answer differently
    known: dict[str, str] = field(default_factory=dict)

    def full_query(self) -> dict:
        return {"model": self.model, **self.query}

    def expected(self) -> Answer:
        return answer(self.model, self.query, self.where, self.having)
