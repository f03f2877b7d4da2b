"""Builds the example data set under examples/data/ (Parquet, one file a table).

The data is deterministic (fixed seed, no clock): rerunning this script with
the pinned pyarrow rewrites identical tables. The tests check that the
committed files still hold exactly what this script builds.

Tables:
  orders     400 rows: amounts, quantities, statuses, timestamps from 1965 to
             2025 with rows placed on second/minute/hour/day/week/month/
             quarter/year boundaries, ship dates, gift flags and free-text
             notes that carry quotes, backslashes, SQL comment markers,
             control characters and non-ASCII text
  customers   60 rows: names (some with the same awkward text), regions,
             signup dates (some before 1970), VIP flags
  products    25 rows: titles, categories, prices, active flags
  returns     40 rows: returned orders (kept under the schema "sales")

Every table has nulls in several columns; some orders point at customers
and products that do not exist.

    .venv/bin/python examples/make_data.py
"""

from __future__ import annotations

import random
import sys
from datetime import date, datetime, timedelta
from pathlib import Path

import pyarrow as pa
import pyarrow.parquet as pq

DATA = Path(__file__).resolve().parent / "data"
SEED = 20240229

# Texts that are hard to carry through an SQL string literal unchanged.
TRICKY = [
    "it's",
    "O'Brien's \"best\"",
    "C:\\temp\\new",
    "ends with a backslash \\",
    "\\",
    "x\\' OR 1=1 --",
    "x' OR '1'='1",
    "'; DROP TABLE orders; --",
    "semi;colon; SELECT 1",
    "-- not a comment",
    "/* not a comment */",
    "line one\nline two",
    "tab\tseparated",
    "carriage\r\nreturn",
    "Zoë Ångström",
    "Dvořák — ünïcödé",
    "李小龙",
    "emoji 🎉",
    "100% _under_",
    "back`tick",
    "${spark.app.name}",
    "\\u0041",
    "''",
    "",
    " padded ",
]

PLAIN_NOTES = ["leave at door", "gift wrap", "call first", "fragile", "Leave At Door", "deliver after 5pm"]

# Instants on the edges of every grain, and around 1970.
EDGE_TIMES = [
    datetime(1965, 6, 15, 8, 0, 0),
    datetime(1968, 2, 29, 12, 34, 56),
    datetime(1969, 12, 28, 23, 59, 59),  # a Sunday
    datetime(1969, 12, 29, 0, 0, 0),  # the Monday after
    datetime(1969, 12, 31, 23, 59, 59, 999999),
    datetime(1970, 1, 1, 0, 0, 0),
    datetime(1970, 1, 1, 0, 0, 0, 1),
    datetime(1999, 12, 31, 23, 59, 59),
    datetime(2000, 2, 29, 0, 0, 0),
    datetime(2021, 1, 3, 12, 0, 0),  # Sunday of the week that starts 2020-12-28
    datetime(2022, 6, 15, 10, 20, 30, 500000),
    datetime(2022, 6, 15, 10, 20, 30, 999999),
    datetime(2022, 6, 15, 10, 20, 31, 0),
    datetime(2022, 6, 15, 10, 59, 59, 999999),
    datetime(2022, 6, 15, 11, 0, 0),
    datetime(2023, 12, 31, 23, 59, 59, 999999),
    datetime(2024, 1, 1, 0, 0, 0),  # a Monday, first of year, quarter, month
    datetime(2024, 1, 31, 0, 0, 0),
    datetime(2024, 1, 31, 12, 0, 0),
    datetime(2024, 1, 31, 12, 0, 0, 1),
    datetime(2024, 1, 31, 23, 59, 59, 999999),
    datetime(2024, 2, 1, 0, 0, 0),
    datetime(2024, 2, 29, 12, 0, 0),
    datetime(2024, 3, 10, 18, 0, 0),  # Sunday
    datetime(2024, 3, 11, 0, 0, 0),  # Monday
    datetime(2024, 3, 31, 23, 59, 59),
    datetime(2024, 4, 1, 0, 0, 0),
    datetime(2024, 12, 29, 9, 0, 0),  # Sunday
    datetime(2024, 12, 30, 9, 0, 0),  # Monday of a week that ends in 2025
    datetime(2025, 1, 1, 0, 0, 0),
]

ORDERS_SCHEMA = pa.schema([
    ("id", pa.int64()),
    ("customer_id", pa.int64()),
    ("product_id", pa.int64()),
    ("status", pa.string()),
    ("amount", pa.float64()),
    ("quantity", pa.int64()),
    ("discount", pa.float64()),
    ("created_at", pa.timestamp("us")),
    ("ship_date", pa.date32()),
    ("is_gift", pa.bool_()),
    ("note", pa.string()),
])
CUSTOMERS_SCHEMA = pa.schema([
    ("id", pa.int64()),
    ("name", pa.string()),
    ("region", pa.string()),
    ("signup_date", pa.date32()),
    ("vip", pa.bool_()),
    ("email", pa.string()),
])
PRODUCTS_SCHEMA = pa.schema([
    ("id", pa.int64()),
    ("title", pa.string()),
    ("category", pa.string()),
    ("price", pa.float64()),
    ("active", pa.bool_()),
])
RETURNS_SCHEMA = pa.schema([
    ("id", pa.int64()),
    ("order_id", pa.int64()),
    ("returned_at", pa.timestamp("us")),
    ("reason", pa.string()),
    ("refund", pa.float64()),
])

FIRST = ["Alice", "alice", "ALICE", "Andy", "Bob", "Chloé", "Dmitri", "Eve", "Fatima", "Günther", "Hiro",
         "Ines", "José", "Kai", "Lena", "Mia", "Noah", "Olga", "Priya", "Quinn"]
LAST = ["Smith", "O'Neil", "Müller", "Nakamura", "García", "Kowalski", "Nguyen", "Øberg", "Brown", "Li"]
REGIONS = ["EMEA", "AMER", "APAC", "emea"]
CATEGORIES = ["Books", "Games", "Garden", "Kitchen", "Toys"]
PRODUCT_WORDS = ["Lamp", "Chair", "Kettle", "Puzzle", "Novel", "Trowel", "Mug", "Board Game", "Atlas", "Rake"]
STATUSES = ["paid", "paid", "paid", "pending", "refunded", "cancelled", "Paid"]
REASONS = ["damaged", "late", "wrong item", "changed mind", "Doesn't fit"]


def _maybe(rng: random.Random, value, p_null: float):
    return None if rng.random() < p_null else value


def _customers(rng: random.Random) -> list[dict]:
    awkward = ["O'Brien & Sons", "Zoë Ångström", "ZOË ÅNGSTRÖM", "x\\' OR 1=1 --", "Back\\slash Ltd",
               "line\nbreak Inc", "李小龙", "semi; colon", "100% _under_", "it's"]
    rows = []
    for i in range(1, 61):
        if i <= len(awkward):
            name = awkward[i - 1]
        else:
            name = f"{rng.choice(FIRST)} {rng.choice(LAST)}"
        if i in (11, 12):
            signup = date(1969, 12, 31) if i == 11 else date(1970, 1, 1)
        else:
            signup = date(1962, 1, 1) + timedelta(days=rng.randrange(0, 62 * 365))
        rows.append({
            "id": i,
            "name": name if i != 60 else None,
            "region": _maybe(rng, rng.choice(REGIONS), 0.12),
            "signup_date": _maybe(rng, signup, 0.1),
            "vip": _maybe(rng, rng.random() < 0.3, 0.15),
            "email": _maybe(rng, f"c{i}@example.com", 0.2),
        })
    return rows


def _products(rng: random.Random) -> list[dict]:
    rows = []
    for i in range(1, 26):
        title = f"{rng.choice(PRODUCT_WORDS)} {i}"
        if i == 3:
            title = "Kid's \"Deluxe\" Set"
        elif i == 7:
            title = "Crème brûlée torch"
        elif i == 9:
            title = "Path\\to\\nowhere"
        rows.append({
            "id": i,
            "title": title,
            "category": _maybe(rng, rng.choice(CATEGORIES), 0.12),
            "price": _maybe(rng, round(rng.uniform(2, 250), 2), 0.08),
            "active": rng.random() < 0.8,
        })
    return rows


def _orders(rng: random.Random) -> list[dict]:
    rows = []
    for i in range(1, 401):
        if i <= len(EDGE_TIMES):
            created = EDGE_TIMES[i - 1]
        else:
            created = datetime(2019, 1, 1) + timedelta(seconds=rng.randrange(0, 7 * 365 * 86400))
            if rng.random() < 0.3:
                created += timedelta(microseconds=rng.randrange(1, 1_000_000))
        status = _maybe(rng, rng.choice(STATUSES), 0.06)
        amount = round(rng.uniform(5, 400), 2)
        if i % 37 == 0:
            amount = 100.0
        if status == "refunded":
            amount = -amount
        ship = None if status == "cancelled" else created.date() + timedelta(days=rng.randrange(0, 10))
        rows.append({
            "id": i,
            "customer_id": _maybe(rng, rng.randint(1, 62), 0.05),  # 61 and 62 do not exist
            "product_id": _maybe(rng, rng.randint(1, 26), 0.05),  # 26 does not exist
            "status": status,
            "amount": _maybe(rng, amount, 0.05),
            "quantity": _maybe(rng, rng.randint(1, 9), 0.05),
            "discount": _maybe(rng, rng.choice([0.0, 2.5, 5.0, 10.0, 12.75]), 0.4),
            "created_at": created,
            "ship_date": _maybe(rng, ship, 0.05),
            "is_gift": _maybe(rng, rng.random() < 0.25, 0.2),
            "note": _maybe(rng, rng.choice(PLAIN_NOTES), 0.6),
        })
    # Every awkward text is the note of exactly two orders.
    slots = rng.sample(range(400), 2 * len(TRICKY))
    for k, text in enumerate(TRICKY):
        rows[slots[2 * k]]["note"] = text
        rows[slots[2 * k + 1]]["note"] = text
    return rows


def _returns(rng: random.Random, orders: list[dict]) -> list[dict]:
    rows = []
    for i in range(1, 41):
        order_id = rng.randint(1, 400)
        if i == 39:
            order_id = 9999  # no such order
        returned = orders[order_id - 1]["created_at"] if order_id <= 400 else datetime(2024, 6, 1)
        rows.append({
            "id": i,
            "order_id": None if i == 40 else order_id,
            "returned_at": returned + timedelta(days=rng.randrange(1, 30), hours=rng.randrange(0, 24)),
            "reason": _maybe(rng, rng.choice(REASONS), 0.15),
            "refund": _maybe(rng, round(rng.uniform(1, 300), 2), 0.1),
        })
    return rows


def build_tables() -> dict[str, pa.Table]:
    """The example tables, by table name."""
    rng = random.Random(SEED)
    customers = _customers(rng)
    products = _products(rng)
    orders = _orders(rng)
    returns = _returns(rng, orders)
    return {
        "orders": pa.Table.from_pylist(orders, ORDERS_SCHEMA),
        "customers": pa.Table.from_pylist(customers, CUSTOMERS_SCHEMA),
        "products": pa.Table.from_pylist(products, PRODUCTS_SCHEMA),
        "returns": pa.Table.from_pylist(returns, RETURNS_SCHEMA),
    }


def main() -> int:
    DATA.mkdir(exist_ok=True)
    for name, table in build_tables().items():
        path = DATA / f"{name}.parquet"
        pq.write_table(table, path, compression="zstd")
        print(f"{path.relative_to(DATA.parent.parent)}: {table.num_rows} rows")
    return 0


if __name__ == "__main__":
    sys.exit(main())
