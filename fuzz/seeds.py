"""Writes the seed corpus of the fuzz targets (run from the repository root).

Seeds are small, valid inputs that reach deep into each target; the fuzzer
mutates them. Files are named by content hash, as libFuzzer names its finds.
"""

import hashlib
import json
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
CORPUS = ROOT / "fuzz" / "corpus"

QUERIES = [
    {"model": "orders", "dimensions": ["orders.created_at", "customers.region"], "measures": ["revenue", "aov"],
     "time_grain": "month", "filters": [{"field": "orders.status", "operator": "=", "value": "paid"}],
     "order_by": [["revenue", "desc"]], "limit": 10},
    {"model": "orders", "measures": ["order_count", "buyers", "per_buyer"], "filter": "amount > 1 AND NOT big"},
    {"model": "orders", "dimensions": ["orders.ship_date", "orders.created_at"],
     "time_grains": {"orders.ship_date": "week"}, "time_grain": "Hour",
     "time_range": {"start": "2024-01-01", "end": "2024-01-31"}},
    {"model": "orders", "dimensions": ["products.category"], "measures": ["lo", "hi", "avg_amount"],
     "filters": [{"operator": "or", "conditions": [
         {"field": "orders.amount", "operator": "in", "values": [1, 2.5, -3, None, True, "x'y\\z"]},
         {"operator": "AND", "conditions": [{"field": "status", "operator": "not ilike", "value": "%a_%"},
                                            {"field": "orders.id", "operator": "is not null"}]}]},
                 {"field": "revenue", "operator": ">=", "value": 1e-7}],
     "order_by": ["products.category", ["lo", "ASC"]], "limit": 0},
    {"model": "orders", "dimensions": ["orders.odd\"name`"], "measures": ["spread"]},
    {"model": "orders", "measures": ["loop", "bad"], "having": []},
    {"model": "orders", "dimensions": ["customers.home.name", "customers.referrer.referrer.name"],
     "measures": ["eu_revenue", "referred", "eu_share"],
     "filters": [{"field": "customers.referrer.region", "operator": "like", "value": "E%"}],
     "order_by": ["customers.home.name"]},
    {"model": "customers", "dimensions": ["orders.status"], "measures": ["count", "orders.revenue", "orders.aov"],
     "filters": [{"field": "orders.amount", "operator": ">", "value": 5}]},
    {"model": "customers", "dimensions": ["customers.n_orders", "customers.avg_paid"], "measures": ["count"],
     "filter": "customers.everyone > 2 AND UPPER(SUBSTRING(name, -3, 2)) <> CONCAT(TRIM(region), 'x')"},
    {"model": "orders", "dimensions": ["customers.n_orders"], "measures": ["revenue"],
     "filters": [{"field": "customers.avg_paid", "operator": ">", "value": 1.5}], "order_by": ["customers.n_orders"]},
    {"model": "customers", "dimensions": ["region", "signup"], "time_grain": "quarter",
     "time_range": {"start": "2020-01-01 00:00:00", "end": "2020-12-31T23:59:59"}},
    {"model": "orders", "dimensions": ["orders.created_at"], "time_grain": "fiscal_quarter", "measures": ["revenue"],
     "segments": ["paid", "busy", "customers.home.eu"], "now": "2024-05-01T10:00:00+02:00",
     "time_range": {"last": 3, "unit": "fiscal_year", "complete": True}},
    {"model": "orders", "dimensions": ["orders.ship_date"], "time_grain": "week", "measures": ["order_count"],
     "filter": "FISCAL_YEAR(created_at) > 2020 AND FISCAL_QUARTER(ship_date) = 1", "now": "2024-02-29",
     "time_range": {"to_date": "week"}},
    {"model": "orders", "dimensions": ["orders.created_at", "orders.ship_date"], "time_grain": "hour",
     "measures": ["revenue"], "time_zone": "America/New_York", "filter": "HOUR(created_at) > 1 AND created_at IN "
     "('2024-11-03 01:30', '2024-03-10 02:30')", "time_range": {"start": "2024-03-10 02:30", "end": "2024-11-03"},
     "filters": [{"field": "orders.created_at", "operator": ">=", "value": "2024-11-03 01:30"}]},
    {"model": "orders", "dimensions": ["orders.created_at"], "time_grain": "day", "measures": ["revenue"],
     "time_zone": "+05:45", "now": "2024-05-01T10:00:00Z", "time_range": {"last": 7, "unit": "day"}},
]

EXECUTE_QUERIES = [
    {"model": "m", "dimensions": ["m.b", "j.c"], "measures": ["n", "sa", "rr", "u"], "order_by": [["rr", "desc"]]},
    {"model": "m", "dimensions": ["m.t"], "time_grain": "day", "measures": ["lo", "hi", "mb"],
     "time_range": {"start": "2023-12-01", "end": "2024-01-31"}},
    {"model": "m", "measures": ["n", "r"], "filter": "a > 2 OR c IS NULL",
     "filters": [{"field": "m.c", "operator": "not ilike", "value": "a%"}, {"field": "n", "operator": ">", "value": 0}]},
    {"model": "m", "dimensions": ["m.e", "m.d"], "measures": ["u"], "limit": 2,
     "filters": [{"operator": "or", "conditions": [{"field": "m.a", "operator": "in", "values": [1, None, 3]},
                                                  {"field": "m.b", "operator": "is null"}]}]},
    {"model": "m", "dimensions": ["j.kk.b"], "measures": ["fs", "fn"],
     "filters": [{"field": "j.kk.kk.a", "operator": "is not null"}]},
    {"model": "m", "dimensions": ["many.c"], "measures": ["n", "sa", "many.kn", "many.down.ks"],
     "filters": [{"field": "many.down.b", "operator": ">", "value": 1}]},
    {"model": "m", "dimensions": ["m.b"], "measures": ["u", "many.ks", "j.down.kn"], "filter": "many.a > j.down.a"},
    {"model": "m", "dimensions": ["m.nk", "j.nd"], "measures": ["n", "sa"],
     "filter": "b > m.avg_b AND ROUND(a * 1.5, 1) > FLOOR(b) AND LENGTH(LOWER(c)) < 3"},
    {"model": "m", "dimensions": ["m.b", "m.t", "m.c"], "time_grain": "day", "measures": ["tb", "tu", "sh"],
     "filters": [{"field": "sh", "operator": "<", "value": 0.5}]},
    {"model": "m", "dimensions": ["m.b", "m.c"], "measures": ["rk", "ra", "n"],
     "filters": [{"field": "rk", "operator": "<=", "value": 2}], "order_by": ["ra"]},
    {"model": "m", "dimensions": ["m.t", "j.c"], "time_grain": "fiscal_quarter", "measures": ["n", "many.kn"],
     "segments": ["small", "few"], "now": "1970-01-20T00:00:00Z", "time_range": {"last": 2, "unit": "week"},
     "filter": "FISCAL_YEAR(d) > 1969"},
    {"model": "m", "dimensions": ["m.t"], "time_grain": "day", "measures": ["n"], "time_zone": "Australia/Sydney",
     "filter": "'2024-04-07 02:30' <= t"},
]

EXPRESSIONS = [
    "a + b * 2", "NOT x = 1 AND y IS NOT NULL", "a = 1 OR b = 2 AND c = 3", "-(-1)", "1 - -1", "'it''s'",
    "a.b.c <> 1.5", "(amount >= 100) AND status != 'void'", "x IS NULL", "TRUE OR false OR Null",
    "a % 3 / (b - 4)", "((((a))))", "NOT NOT NOT a", "'' = ''", "a<=b", "1.2.3",
    "CASE WHEN a > 1 THEN 'x' WHEN b IS NULL THEN 'y' ELSE COALESCE(c, 'z') END",
    "x NOT IN (1, NULL, y) OR s ILIKE 'a%' AND ABS(YEAR(t) - 2000) < isodow(t)", "\"end\" + \"a\"\"b\"",
    "CONCAT(UPPER(s), LOWER(t), TRIM(u)) = SUBSTRING(v, 0, -1) OR LENGTH(s) > ROUND(x, -2) + CEIL(y) - FLOOR(z)",
]

JSON_EXTRA = [
    '{"a": [1, 2.5, -0, 1e999, 123456789012345678901234567890, "\\u00e9\\ud83d\\ude00", null, true, false]}',
    '[[[[[]]]], {}, {"": ""}]', '"\\"\\\\\\/\\b\\f\\n\\r\\t"', "-0.0e-0", " \t\n\r42\n",
]


def write(target: str, data: bytes) -> None:
    d = CORPUS / target
    d.mkdir(parents=True, exist_ok=True)
    (d / hashlib.sha1(data).hexdigest()).write_bytes(data)


def main() -> None:
    manifest = (ROOT / "examples" / "manifest.json").read_bytes()
    fixed = (ROOT / "fuzz" / "emit_common.h").read_text()
    fixed_manifest = fixed.split('R"json(')[1].split(')json"')[0].encode()
    for q in QUERIES:
        text = json.dumps(q).encode()
        write("query", text)
        write("json", text)
        write("emit", fixed_manifest + b"\0" + text)
    write("emit", manifest + b"\0" + json.dumps(
        {"model": "orders", "dimensions": ["customers.region"], "measures": ["revenue"]}).encode())
    write("json", manifest)
    write("json", fixed_manifest)
    for j in JSON_EXTRA:
        write("json", j.encode())
    for e in EXPRESSIONS:
        write("expr", e.encode())
    # bind: format pick, shape, length (2 bytes), offset, [null count], buffer
    # presence, then buffer contents. One seed per format, nulls and slices.
    for pick in range(32):
        for shape, present in ((0x01, 0x07), (0x02, 0x06), (0x04, 0x03)):
            write("bind", bytes([pick, shape, 40, 0, 3, present]) + bytes(range(256)) * 3)
    # execute: table count, then per table rows, columns and per column a
    # format pick, a null pattern and one byte per row; then the query.
    for q in EXECUTE_QUERIES:
        for header in (bytes([1, 9, 4, 0, 0]) + bytes(range(9)) + bytes([1, 3]) + bytes(range(5, 14)) +
                       bytes([3, 0]) + bytes(range(9)) + bytes([5, 2]) + bytes(range(3, 12)) +
                       bytes([6, 3, 0, 1, 0]) + bytes(range(6)) + bytes([7, 0]) + bytes(range(6)) +
                       bytes([2, 1]) + bytes(range(6)),
                       bytes([0, 0, 2, 0, 0, 7, 1])):
            write("execute", header + json.dumps(q).encode())


if __name__ == "__main__":
    main()
