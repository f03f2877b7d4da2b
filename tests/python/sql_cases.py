"""Queries on the example data, each with its answer written in Python.

Both engine suites (DuckDB and Spark) run every case; `known` marks a case
whose engine answer is known to differ from what the query means, with the
reason (these run as strict xfails, so a fix shows up as a failure to
update the mark).
"""

from __future__ import annotations

from datetime import date, datetime

from reference import Case, ORDER_MEASURES as M, cmp, like, not3

BY_STATUS = {"dimensions": ["orders.status"], "measures": ["order_count", "revenue"]}
TOTALS = {"measures": ["order_count", "revenue"]}


def f(field: str, operator: str, value=None, **extra) -> dict:
    """A structured filter; `values` for IN lists."""
    out = {"field": field, "operator": operator}
    if "values" in extra:
        out["values"] = extra["values"]
    elif operator.strip().lower() not in ("is null", "is not null"):
        out["value"] = value
    return out


def by_status(id: str, filters: list, where, **kw) -> Case:
    return Case(id, "orders", {**BY_STATUS, "filters": filters}, where, **kw)


def amount(r):
    return r["amount"]



FILTER_OPERATORS = [
    by_status("eq", [f("orders.status", "=", "paid")], lambda r: r["status"] == "paid"),
    by_status("eq-word", [f("orders.status", "eq", "Paid")], lambda r: r["status"] == "Paid"),
    by_status("equals-spaced-caps", [f("orders.status", " EQUALS ", "pending")], lambda r: r["status"] == "pending"),
    by_status("ne-bang", [f("orders.status", "!=", "paid")], lambda r: cmp(r["status"], "<>", "paid")),
    by_status("ne-angle", [f("orders.status", "<>", "cancelled")], lambda r: cmp(r["status"], "<>", "cancelled")),
    by_status("ne-word", [f("orders.status", "ne", "refunded")], lambda r: cmp(r["status"], "<>", "refunded")),
    by_status("gt", [f("orders.amount", ">", 250)], lambda r: cmp(amount(r), ">", 250)),
    by_status("ge-boundary", [f("orders.amount", ">=", 100)], lambda r: cmp(amount(r), ">=", 100)),
    by_status("lt-negative", [f("orders.amount", "<", 0)], lambda r: cmp(amount(r), "<", 0)),
    by_status("le-float-value", [f("orders.amount", "<=", 100.0)], lambda r: cmp(amount(r), "<=", 100)),
    by_status("le-int-column", [f("orders.quantity", "<=", 2)], lambda r: cmp(r["quantity"], "<=", 2)),
    by_status("ge-negative-float", [f("orders.amount", ">=", -25.5)], lambda r: cmp(amount(r), ">=", -25.5)),
    by_status("like-contains", [f("orders.note", "like", "%door%")], lambda r: like(r["note"], "%door%")),
    by_status("like-underscore", [f("orders.status", "LIKE", "p_id")], lambda r: like(r["status"], "p_id")),
    by_status("not-like", [f("orders.note", "not like", "leave%")], lambda r: not3(like(r["note"], "leave%"))),
    by_status("ilike", [f("orders.note", "ilike", "LEAVE%")], lambda r: like(r["note"], "LEAVE%", ci=True)),
    by_status("not-ilike", [f("orders.note", "Not ILike", "%DOOR")], lambda r: not3(like(r["note"], "%DOOR", ci=True))),
    by_status("in-strings", [f("orders.status", "in", values=["paid", "pending", "nope"])],
              lambda r: r["status"] in ("paid", "pending")),
    by_status("not-in-strings", [f("orders.status", "not in", values=["paid", "Paid"])],
              lambda r: r["status"] is not None and r["status"] not in ("paid", "Paid")),
    by_status("in-ints-with-orphan", [f("orders.customer_id", "IN", values=[1, 2, 3, 61])],
              lambda r: r["customer_id"] in (1, 2, 3, 61)),
    by_status("in-single", [f("orders.quantity", "in", values=[7])], lambda r: r["quantity"] == 7),
    Case("not-in-with-null-keeps-nothing", "orders", {**TOTALS, "filters": [f("orders.amount", "not in", values=[100, None])]},
         lambda r: False),
    by_status("is-null", [f("orders.amount", "is null")], lambda r: r["amount"] is None),
    by_status("is-not-null", [f("orders.discount", "IS NOT NULL")], lambda r: r["discount"] is not None),
    Case("eq-null-keeps-nothing", "orders", {**TOTALS, "filters": [f("orders.status", "=", None)]}, lambda r: False),
    by_status("eq-true", [f("orders.is_gift", "=", True)], lambda r: r["is_gift"] is True),
    by_status("ne-true", [f("orders.is_gift", "!=", True)], lambda r: r["is_gift"] is False),
    by_status("eq-float", [f("orders.discount", "=", 12.75)], lambda r: r["discount"] == 12.75),
    by_status("date-vs-text", [f("orders.ship_date", ">=", "2024-01-01")],
              lambda r: cmp(r["ship_date"], ">=", date(2024, 1, 1))),
    by_status("timestamp-vs-text", [f("orders.created_at", "<", "1970-01-01")],
              lambda r: r["created_at"] < datetime(1970, 1, 1)),
    by_status("raw-column", [f("quantity", ">", 7)], lambda r: cmp(r["quantity"], ">", 7)),
    by_status("raw-column-model-prefix", [f("orders.discount", ">", 5)], lambda r: cmp(r["discount"], ">", 5)),
    by_status("joined-dim", [f("customers.region", "=", "EMEA")],
              lambda r: r["customers"] is not None and r["customers"]["region"] == "EMEA"),
    by_status("joined-dim-is-null", [f("customers.region", "is null")],
              lambda r: r["customers"] is None or r["customers"]["region"] is None),
    by_status("two-joins-in-filters",
              [f("products.category", "in", values=["Books", "Games"]), f("customers.vip", "=", False)],
              lambda r: (r["products"] or {}).get("category") in ("Books", "Games")
              and (r["customers"] or {}).get("vip") is False),
    by_status("string-compare-bytewise", [f("orders.status", "<", "a")], lambda r: cmp(r["status"], "<", "a")),
]

COMPOUND = [
    by_status("and", [{"operator": "and", "conditions": [f("orders.status", "=", "paid"), f("orders.amount", ">", 100)]}],
              lambda r: r["status"] == "paid" and cmp(amount(r), ">", 100)),
    by_status("or", [{"operator": "OR", "conditions": [f("orders.status", "=", "refunded"), f("orders.amount", "<", 10)]}],
              lambda r: r["status"] == "refunded" or cmp(amount(r), "<", 10)),
    by_status("or-of-ands",
              [{"operator": "or", "conditions": [
                  {"operator": "and", "conditions": [f("orders.status", "=", "paid"), f("orders.is_gift", "=", True)]},
                  {"operator": "and", "conditions": [f("orders.status", "=", "pending"), f("orders.quantity", ">=", 5)]},
                  f("orders.quantity", ">=", 9)]}],
              lambda r: (r["status"] == "paid" and r["is_gift"] is True)
              or (r["status"] == "pending" and cmp(r["quantity"], ">=", 5)) or cmp(r["quantity"], ">=", 9)),
    Case("and-of-or-with-nulls", "orders",
         {"dimensions": ["customers.region"], "measures": ["order_count", "discounts"],
          "filters": [{"operator": "and", "conditions": [
              {"operator": "or", "conditions": [f("orders.discount", "is null"), f("orders.discount", "=", 0)]},
              f("customers.region", "in", values=["EMEA", "emea"])]}]},
         lambda r: (r["discount"] is None or r["discount"] == 0)
         and (r["customers"] or {}).get("region") in ("EMEA", "emea")),
    Case("single-child-compound-and-filter-list", "orders",
         {**BY_STATUS, "filters": [{"operator": "and", "conditions": [f("orders.is_gift", "=", False)]},
                                   f("orders.amount", ">", 50)]},
         lambda r: r["is_gift"] is False and cmp(amount(r), ">", 50)),
]

EXPRESSIONS = [
    by_status("expr-and-not", [], lambda r: cmp(amount(r), ">", 100) and not3(r["is_gift"]) is True),
    by_status("expr-arith-or-is-null", [], lambda r: cmp(r["quantity"], ">=", 5) or r["discount"] is None),
    by_status("expr-string-quote", [], lambda r: r["note"] == "it's"),
    by_status("expr-timestamp-text", [], lambda r: cmp(r["status"], "<>", "paid") and r["created_at"] >= datetime(2024, 1, 1)),
    by_status("expr-division", [], lambda r: None not in (r["amount"], r["discount"], r["quantity"])
              and (r["amount"] - r["discount"]) / r["quantity"] > 20),
    by_status("expr-negation-and-mod", [], lambda r: r["quantity"] is not None and -r["quantity"] % 3 == 0),
    # Day boundaries from the order's instant to its ship date; a month
    # boundary crossed, counted in either direction.
    by_status("expr-date-diff", [], lambda r: r["ship_date"] is not None and (
        (r["ship_date"] - r["created_at"].date()).days > 3
        or (r["ship_date"].year * 12 + r["ship_date"].month) - (r["created_at"].year * 12 + r["created_at"].month) < 0)),
]
_EXPR_TEXT = {
    "expr-and-not": "amount > 100 AND NOT is_gift",
    "expr-arith-or-is-null": "quantity * 2 >= 10 OR discount IS NULL",
    "expr-string-quote": "note = 'it''s'",
    "expr-timestamp-text": "status <> 'paid' and created_at >= '2024-01-01'",
    "expr-division": "(amount - discount) / quantity > 20",
    "expr-negation-and-mod": "-quantity % 3 = 0",
    "expr-date-diff": "DATE_DIFF('day', created_at, ship_date) > 3 OR DATE_DIFF('Month', created_at, ship_date) < 0",
}
for _c in EXPRESSIONS:
    _c.query["filter"] = _EXPR_TEXT[_c.id]
    del _c.query["filters"]

FINE = ("second", "minute", "hour")
GRAINS = [
    Case(f"grain-{g}", "orders",
         # created_at allows hour and coarser; created_raw has no smallest grain
         {"dimensions": ["orders.created_raw" if g in FINE[:2] else "orders.created_at"],
          "measures": ["order_count", "revenue"], "time_grain": g},
         # fine grains on the edge rows only: elsewhere every row is its own group
         (lambda r: r["id"] <= 40) if g in FINE else None)
    for g in FINE + ("day", "week", "month", "quarter", "year")
]
GRAINS += [
    Case(f"grain-date-column-{g}", "orders",
         {"dimensions": ["orders.ship_date"], "measures": ["order_count"], "time_grain": g})
    for g in ("day", "week", "month", "year")
]
GRAINS += [
    Case("grain-mixed-case-name", "orders",
         {"dimensions": ["orders.created_at"], "measures": ["order_count"], "time_grain": "Quarter"}),
    Case("grain-per-dimension", "orders",
         {"dimensions": ["orders.created_at", "orders.ship_date", "orders.status"], "measures": ["order_count"],
          "time_grain": "year", "time_grains": {"orders.created_at": "month"}}),
    Case("grain-joined-date", "orders",
         {"dimensions": ["customers.signup_date"], "measures": ["order_count"], "time_grain": "quarter"}),
    Case("no-grain-raw-timestamp", "orders",
         {"dimensions": ["orders.created_raw", "orders.ship_date"], "measures": ["order_count"],
          "filter": "id <= 40"}, lambda r: r["id"] <= 40),
]
for _c in GRAINS[:3]:
    _c.query["filter"] = "id <= 40"

TIME_RANGES = [
    Case("range-bare-dates", "orders",
         {"dimensions": ["orders.created_at"], "measures": ["order_count"], "time_grain": "day",
          "time_range": {"start": "2024-01-01", "end": "2024-01-31"}},
         lambda r: datetime(2024, 1, 1) <= r["created_at"] < datetime(2024, 2, 1)),
    Case("range-with-times", "orders",
         {"dimensions": ["orders.created_at"], "measures": ["order_count"], "time_grain": "hour",
          "time_range": {"start": "2024-01-31 00:00:00", "end": "2024-01-31 12:00:00"}},
         lambda r: datetime(2024, 1, 31) <= r["created_at"] <= datetime(2024, 1, 31, 12)),
    Case("range-end-without-seconds", "orders",
         {"dimensions": ["orders.created_raw"], "measures": ["order_count"],
          "time_range": {"start": "2024-01-31 11:00", "end": "2024-01-31 12:00"}},
         lambda r: datetime(2024, 1, 31, 11) <= r["created_at"] <= datetime(2024, 1, 31, 12)),
    Case("range-t-separator-fraction", "orders",
         {"dimensions": ["orders.created_raw"], "measures": ["order_count"], "time_grain": "second",
          "time_range": {"start": "2022-06-15T10:20:30", "end": "2022-06-15T10:59:59.999999"}},
         lambda r: datetime(2022, 6, 15, 10, 20, 30) <= r["created_at"] <= datetime(2022, 6, 15, 10, 59, 59, 999999)),
    Case("range-before-1970", "orders",
         {"dimensions": ["orders.created_at"], "measures": ["order_count", "revenue"], "time_grain": "year",
          "time_range": {"start": "1960-01-01", "end": "1969-12-31"}},
         lambda r: r["created_at"] < datetime(1970, 1, 1)),
    Case("range-on-date-column", "orders",
         {"dimensions": ["orders.ship_date"], "measures": ["order_count"], "time_grain": "month",
          "time_range": {"start": "2024-01-01", "end": "2024-03-31"}},
         lambda r: r["ship_date"] is not None and date(2024, 1, 1) <= r["ship_date"] <= date(2024, 3, 31)),
    Case("range-first-time-dimension-only", "orders",
         {"dimensions": ["orders.ship_date", "orders.created_at"], "measures": ["order_count"], "time_grain": "year",
          "time_range": {"start": "2023-01-01", "end": "2023-12-31 23:59:59"}},
         lambda r: r["ship_date"] is not None and date(2023, 1, 1) <= r["ship_date"] <= date(2023, 12, 31)),
    Case("range-on-joined-date", "orders",
         {"dimensions": ["customers.signup_date"], "measures": ["order_count"], "time_grain": "year",
          "time_range": {"start": "1960-01-01", "end": "1970-01-01"}},
         lambda r: r["customers"] is not None and r["customers"]["signup_date"] is not None
         and r["customers"]["signup_date"] <= date(1970, 1, 1)),
    # The range on a time dimension the query does not group by: the days
    # from 29 before now's to now's, in the orders' own time or through a
    # join.
    Case("range-on-named-time-dimension", "orders",
         {"dimensions": ["customers.region"], "measures": ["revenue", "order_count"],
          "time_dimension": "orders.created_at", "time_range": {"last": 30, "unit": "day"},
          "now": "2024-02-10T08:00:00Z"},
         lambda r: datetime(2024, 1, 12) <= r["created_at"] < datetime(2024, 2, 11)),
    Case("range-on-named-joined-date", "orders",
         {"dimensions": ["orders.status", "orders.created_at"], "measures": ["order_count"], "time_grain": "year",
          "time_dimension": "customers.signup_date", "time_range": {"start": "1960-01-01", "end": "1970-01-01"}},
         lambda r: r["customers"] is not None and r["customers"]["signup_date"] is not None
         and r["customers"]["signup_date"] <= date(1970, 1, 1)),
    Case("range-plus-filters", "orders",
         {"dimensions": ["orders.created_at", "customers.region"], "measures": ["revenue"], "time_grain": "month",
          "time_range": {"start": "2023-07-01", "end": "2023-12-31"}, "filter": "quantity > 3",
          "filters": [f("orders.status", "in", values=["paid", "Paid"])]},
         lambda r: datetime(2023, 7, 1) <= r["created_at"] < datetime(2024, 1, 1) and cmp(r["quantity"], ">", 3)
         and r["status"] in ("paid", "Paid")),
]

MEASURES = [
    Case("every-aggregate", "orders",
         {"dimensions": ["orders.status"],
          "measures": ["revenue", "order_count", "avg_amount", "max_amount", "min_amount", "customers",
                       "total_quantity", "mean_quantity", "discounted_orders", "products_sold",
                       "first_order_at", "last_ship_date", "first_status", "gross", "discounts"]}),
    Case("calculated", "orders",
         {"dimensions": ["customers.region"],
          "measures": ["revenue_per_customer", "net_revenue", "avg_order_value", "avg_gap", "discounted_pct",
                       'net "revenue" `x`']}),
    Case("calculated-by-product", "orders",
         {"dimensions": ["products.category"], "measures": ["avg_order_value", "revenue", "order_count"],
          "order_by": [["avg_order_value", "desc"]]}),
    Case("calculated-divides-by-zero-group", "orders",
         {"dimensions": ["orders.customer_id"], "measures": ["revenue_per_customer"],
          "filters": [f("orders.customer_id", "is null")]},
         lambda r: r["customer_id"] is None),
    Case("model-prefixed-measure", "orders",
         {"dimensions": ["orders.is_large"], "measures": ["orders.revenue", "order_count"],
          "order_by": [["orders.revenue", "desc"]]}),
    Case("only-measures", "orders", {"measures": ["order_count", "revenue", "customers", "avg_order_value"]}),
    Case("only-measures-no-rows", "orders",
         {"measures": ["order_count", "revenue", "customers", "first_order_at"], "filter": "amount > 100000"},
         lambda r: False),
    Case("only-dimensions", "orders", {"dimensions": ["customers.region", "products.category"]}),
    Case("only-dimensions-plain-model", "products", {"dimensions": ["category", "active"]}),
    Case("computed-dimensions", "orders",
         {"dimensions": ["orders.is_large", "orders.large_or_gift", "orders.quantity_bucket"], "measures": ["order_count"]}),
    Case("computed-dimension-values", "orders",
         {"dimensions": ["orders.id", "orders.net_amount", "orders.unit_price"], "filter": "id <= 60"},
         lambda r: r["id"] <= 60),
    Case("float-remainder-of-negative", "orders",
         {"dimensions": ["orders.id", "orders.amount_mod_7"], "filters": [f("orders.amount", "<", 0)]},
         lambda r: cmp(amount(r), "<", 0),
         known={"duckdb": "the engine's % keeps the dividend's sign for floats",
                "spark": "the engine's % keeps the dividend's sign for floats",
                "postgres": "the engine's % keeps the dividend's sign for floats"}),
    Case("awkward-text-groups", "orders", {"dimensions": ["orders.note"], "measures": ["order_count"]}),
    Case("customers-model", "customers",
         {"dimensions": ["region"], "measures": ["customer_count", "with_email"], "order_by": ["region"]}),
]

JOINS = [
    Case("join-customers", "orders", {"dimensions": ["customers.region"], "measures": ["revenue", "order_count"]}),
    Case("join-both", "orders",
         {"dimensions": ["customers.region", "products.category"], "measures": ["revenue", "customers"]}),
    Case("join-used-only-by-measure-filter-and-dim", "orders",
         {"dimensions": ["products.title"], "measures": ["order_count"],
          "filters": [f("products.price", ">", 100), f("order_count", ">", 12)]},
         lambda r: cmp((r["products"] or {}).get("price"), ">", 100),
         lambda g: len(g) > 12),
    Case("join-schema-qualified-table", "returns",
         {"dimensions": ["order.status"], "measures": ["return_count", "refunded"]}),
    Case("join-from-returns-with-filter", "returns",
         {"dimensions": ["returns.reason"], "measures": ["return_count"],
          "filters": [f("order.amount", ">", 100)]},
         lambda r: cmp((r["order"] or {}).get("amount"), ">", 100)),
    Case("table-name-with-quotes", "legacy",
         {"dimensions": ["status"], "measures": ["revenue", "order_count"], "order_by": [["revenue", "desc"]]}),
    Case("table-name-with-quotes-grain", "legacy",
         {"dimensions": ["created_at"], "measures": ["order_count"], "time_grain": "year",
          "filters": [f("note", "is not null")]},
         lambda r: r["note"] is not None),
    Case("output-names-with-quotes", "orders",
         {"dimensions": ['orders.status "label" `code`'], "measures": ['net "revenue" `x`'],
          "order_by": [['orders.status "label" `code`', "desc"]]}),
]

HAVING = [
    Case("having-gt", "orders",
         {"dimensions": ["customers.region"], "measures": ["revenue"], "filters": [f("revenue", ">", 10000)]},
         having=lambda g: cmp(M["revenue"](g), ">", 10000)),
    Case("having-and", "orders",
         {"dimensions": ["orders.customer_id"], "measures": ["order_count", "avg_amount"],
          "filters": [{"operator": "and", "conditions": [f("order_count", ">=", 8), f("avg_amount", "<", 200)]}]},
         having=lambda g: len(g) >= 8 and cmp(M["avg_amount"](g), "<", 200)),
    Case("having-or", "orders",
         {"dimensions": ["orders.customer_id"], "measures": ["order_count"],
          "filters": [{"operator": "or", "conditions": [f("order_count", ">", 10), f("revenue", "<", 100)]}]},
         having=lambda g: len(g) > 10 or cmp(M["revenue"](g), "<", 100)),
    Case("having-calculated", "orders",
         {"dimensions": ["products.category"], "measures": ["avg_order_value"],
          "filters": [f("avg_order_value", ">", 150)]},
         having=lambda g: cmp(M["avg_order_value"](g), ">", 150)),
    Case("having-unselected-measure", "orders",
         {"dimensions": ["orders.status"], "measures": ["revenue"], "filters": [f("customers", ">", 30)]},
         having=lambda g: M["customers"](g) > 30),
    Case("having-in-and-where", "orders",
         {"dimensions": ["orders.product_id"], "measures": ["order_count"],
          "filters": [f("order_count", "in", values=[10, 12, 14]), f("orders.status", "=", "paid")]},
         lambda r: r["status"] == "paid", lambda g: len(g) in (10, 12, 14)),
    Case("having-prefixed-measure-is-null", "orders",
         {"dimensions": ["orders.id"], "measures": ["order_count"],
          "filters": [f("orders.revenue", "is null")]},
         having=lambda g: M["revenue"](g) is None),
    Case("having-without-dimensions", "orders",
         {"measures": ["order_count"], "filters": [f("order_count", ">", 100000)]},
         having=lambda g: False),
]

ORDERING = [
    Case("order-measure-desc-limit", "orders",
         {"dimensions": ["orders.customer_id"], "measures": ["revenue"], "order_by": [["revenue", "desc"]], "limit": 5}),
    Case("order-dim-asc-nulls-last", "orders",
         {"dimensions": ["customers.region"], "measures": ["order_count"], "order_by": ["customers.region"]}),
    Case("order-desc-nulls-last", "orders",
         {"dimensions": ["orders.discount"], "measures": ["order_count"], "order_by": [["orders.discount", "DESC"]]}),
    Case("order-two-keys", "orders",
         {"dimensions": ["orders.status", "orders.is_gift"], "measures": ["order_count"],
          "order_by": [["orders.status", "asc"], ["orders.is_gift", "desc"]]}),
    Case("order-bytewise-strings", "orders",
         {"dimensions": ["orders.note"], "order_by": ["orders.note"]}),
    Case("order-timestamps-limit", "orders",
         {"dimensions": ["orders.created_at"], "measures": ["order_count"], "time_grain": "day",
          "order_by": [["orders.created_at", "asc"]], "limit": 12}),
    Case("limit-zero", "orders", {**BY_STATUS, "limit": 0}),
    Case("limit-zero-only-measures", "orders", {**TOTALS, "limit": 0}),
    Case("limit-over-row-count", "orders", {**BY_STATUS, "order_by": ["orders.status"], "limit": 1000}),
    Case("limit-only-measures", "orders", {**TOTALS, "limit": 1}),
    Case("duplicate-dimension-ordered", "orders",
         {"dimensions": ["orders.status", "orders.status"], "measures": ["order_count"],
          "order_by": ["orders.status"]}),
    Case("limit-beyond-32-bits", "orders",
         {**BY_STATUS, "order_by": ["orders.status"], "limit": 3_000_000_000}),
]

ODD_VALUES = [
    by_status("huge-float-literal", [f("orders.amount", "<", 1e300)], lambda r: r["amount"] is not None),
    by_status("tiny-float-literal", [f("orders.amount", ">", 1e-300)], lambda r: cmp(amount(r), ">", 0)),
    by_status("int-literal-beyond-int64", [f("orders.id", "<", 10000000000000000000)], lambda r: True),
    by_status("like-backslash-is-literal", [f("orders.note", "like", "%\\%")],
              lambda r: like(r["note"], "%\\%")),
    Case("ilike-folds-ascii-only", "customers",
         {"dimensions": ["name"], "filters": [f("name", "ilike", "zoë%")]},
         lambda r: like(r["name"], "zoë%", ci=True),
         known={"duckdb": "the engine's ILIKE folds non-ASCII letters too",
                "spark": "the engine's ILIKE folds non-ASCII letters too",
                "postgres": "the engine's ILIKE folds non-ASCII letters too"}),
]

CASES: list[Case] = FILTER_OPERATORS + COMPOUND + EXPRESSIONS + GRAINS + TIME_RANGES + MEASURES + JOINS + HAVING + ORDERING + ODD_VALUES

assert len({c.id for c in CASES}) == len(CASES), "case ids must be unique"

# Number texts the expression lexer accepts: each must become valid SQL with
# the number's meaning, or be refused by the library (where is None).
NUMBER_TEXTS = [
    ("trailing-dot", "amount > 1.", lambda r: cmp(amount(r), ">", 1), {}),
    ("leading-zeros", "quantity > 007", lambda r: cmp(r["quantity"], ">", 7), {}),
    ("double-negation", "amount > 5 - -1", lambda r: cmp(amount(r), ">", 6), {}),
    ("two-dots", "amount > 1.2.3", None, {}),
]


def number_text_params(engine: str) -> list:
    import pytest
    return [pytest.param(text, where, id=id, marks=[pytest.mark.xfail(reason=known[engine], strict=True)]
                         if engine in known else [])
            for id, text, where, known in NUMBER_TEXTS]
