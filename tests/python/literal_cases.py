"""Filter values that are hard to carry through an SQL string literal: each
query must select exactly the orders whose text equals the value."""

from __future__ import annotations

import sys
from dataclasses import dataclass, field

import pytest

from reference import EXAMPLES, TABLES

sys.path.insert(0, str(EXAMPLES))
from make_data import TRICKY  # noqa: E402

ABSENT = ["no such note \\", "\\' OR 1=1 --", "' OR ''='"]


@dataclass
class LiteralCase:
    query: dict
    ids: list[int]
    known: dict[str, str] = field(default_factory=dict)


def _order_ids(pred) -> list[int]:
    return [o["id"] for o in TABLES["orders"] if pred(o)]


def _customer_order_ids(name: str) -> list[int]:
    ids = {c["id"] for c in TABLES["customers"] if c["name"] == name}
    return _order_ids(lambda o: o["customer_id"] in ids)


def _query(**kw) -> dict:
    return {"model": "orders", "dimensions": ["orders.id"], **kw}


def literal_cases() -> list:
    out = []
    for k, v in enumerate(TRICKY + ABSENT):
        known: dict[str, str] = {}
        same = _order_ids(lambda o: o["note"] == v)
        other = _order_ids(lambda o: o["note"] is not None and o["note"] != v)
        expr = "note = '" + v.replace("'", "''") + "'"
        for kind, query, ids in [
            ("eq", _query(filters=[{"field": "orders.note", "operator": "=", "value": v}]), same),
            ("in", _query(filters=[{"field": "orders.note", "operator": "in", "values": ["none such", v]}]), same),
            ("ne", _query(filters=[{"field": "orders.note", "operator": "<>", "value": v}]), other),
            ("expr", _query(filter=expr), same),
        ]:
            out.append((f"{kind}-{k:02d}", LiteralCase(query, ids, known)))
    for k, c in enumerate(c for c in TABLES["customers"] if c["name"] and any(ch in c["name"] for ch in "'\\\n;%")):
        query = _query(filters=[{"field": "customers.name", "operator": "=", "value": c["name"]}])
        out.append((f"joined-eq-{k:02d}", LiteralCase(query, _customer_order_ids(c["name"]))))
    return out


def params(engine: str) -> list:
    return [pytest.param(case, id=id, marks=[pytest.mark.xfail(reason=case.known[engine], strict=True)]
                         if engine in case.known else [])
            for id, case in literal_cases()]


RANGE_INJECTIONS = [
    ("2024-01-01' OR 1=1 --", "2024-12-31"),
    ("2024-01-01", "2024-12-31\\' OR 1=1 --"),
    ("2024-01-01", "2024-12-31' AS TIMESTAMP) OR (1=1"),
]
