"""Errors point to the documentation that explains them: the library's real
messages, produced by real manifests and queries, each lead to the page and
heading about their field or rule; and every page and heading named exists
in the documentation site's sources."""

from __future__ import annotations

import json
import re
import unicodedata
from pathlib import Path

import pytest

import quendra
from quendra import _docs
from reference import MANIFEST_PATH

ROOT = Path(__file__).resolve().parents[2]
EXAMPLE = json.loads(MANIFEST_PATH.read_text())


def model(**parts) -> dict:
    base = {"table": "t", "dimensions": {"d": "x", "day": {"expr": "at", "time": True}},
            "measures": {"n": {"agg": "count"}}}
    return {"models": {"a": {**base, **parts}}}


ORDERS = "orders"
# (manifest, query, the target that explains the failure)
CASES = [
    (EXAMPLE, {"model": "nope", "measures": ["n"]}, "reference/query.md#model"),
    (EXAMPLE, {"model": ORDERS}, "reference/query.md#dimensions"),
    (EXAMPLE, {"model": ORDERS, "dimensions": ["orders.statsu"]}, "reference/query.md#dimensions"),
    (EXAMPLE, {"model": ORDERS, "measures": ["revnue"]}, "reference/query.md#measures"),
    (EXAMPLE, {"model": ORDERS, "dimensions": ["orders.created_at"], "time_grain": "decade"},
     "reference/query.md#time_grain"),
    (EXAMPLE, {"model": ORDERS, "dimensions": ["orders.created_at"], "time_grain": "minute"},
     "reference/query.md#time_grain"),
    (EXAMPLE, {"model": ORDERS, "measures": ["revenue"], "time_range": {"start": "2024-01-01", "end": "2024-02-01"}},
     "reference/query.md#time_range"),
    (EXAMPLE, {"model": ORDERS, "dimensions": ["orders.created_at"], "measures": ["revenue"],
               "time_range": {"this": "month"}}, "reference/query.md#now"),
    (EXAMPLE, {"model": ORDERS, "measures": ["revenue"], "filters": [{"field": "orders.status", "operator": "~"}]},
     "reference/query.md#filters"),
    (EXAMPLE, {"model": ORDERS, "measures": ["revenue"], "filters": [{"field": "orders.status"}]},
     "reference/query.md#filters"),
    (EXAMPLE, {"model": ORDERS, "measures": ["revenue"], "having": [1]}, "reference/query.md#filters"),
    (EXAMPLE, {"model": ORDERS, "measures": ["revenue"], "filter": "amount >>> 3"},
     "reference/query.md#expressions"),
    (EXAMPLE, {"model": ORDERS, "measures": ["revenue"], "segments": ["zz"]}, "reference/query.md#segments"),
    (EXAMPLE, {"model": ORDERS, "measures": ["revenue"], "order_by": ["orders.status"]},
     "reference/query.md#order_by"),
    (EXAMPLE, {"model": ORDERS, "measures": ["revenue"], "limit": -1}, "reference/query.md#limit"),
    (EXAMPLE, {"model": ORDERS, "measures": ["revenue"], "time_zone": "Mars/Base"}, "reference/query.md#time_zone"),
    (EXAMPLE, {"model": ORDERS, "measures": ["revenue_last_year"]}, "guides/time.md"),
    (model(measures={"n": {"agg": "count"}, "share": {"measure": "n", "total": 5}}),
     {"model": "a", "dimensions": ["d"], "measures": ["share"]}, "guides/level-of-detail.md"),
    ({"models": 3}, {"model": "a", "measures": ["n"]}, "reference/manifest.md#models"),
    ({"models": {"a": {"measures": {"n": {"agg": "count"}}}}}, {"model": "a", "measures": ["n"]},
     "reference/manifest.md#table"),
    (model(measures={"n": {"agg": "nope", "expr": "x"}}), {"model": "a", "measures": ["n"]},
     "reference/manifest.md#measures"),
    (model(measures={"n": {"calc": "m + 1"}}), {"model": "a", "measures": ["n"]}, "reference/manifest.md#measures"),
    (model(joins={"j": {"model": "zz", "left_on": "d", "right_on": "d"}}), {"model": "a", "measures": ["n"]},
     "reference/manifest.md#joins"),
    (model(segments={"s": 3}), {"model": "a", "measures": ["n"], "segments": ["s"]},
     "reference/manifest.md#segments"),
    (model(where={"x": 1}), {"model": "a", "measures": ["n"]}, "guides/segments.md"),
    ({"calendar": {"week_start": "blursday"}, **model()}, {"model": "a", "measures": ["n"]},
     "reference/manifest.md#calendar"),
    (model(dimensions={"d": "foo(x)"}), {"model": "a", "dimensions": ["d"]}, "reference/query.md#expressions"),
    ({"models": {"a": {**model()["models"]["a"], "joins": {"b": {"model": "b", "left_on": "d", "right_on": "d",
                                                                 "type": "many"}}},
                 "b": {"table": "u", "dimensions": {"d": "x"}, "measures": {"m": {"agg": "sum", "expr": "x"}}}}},
     {"model": "a", "measures": ["b.m"]}, "guides/joins.md"),
]


def test_library_messages_lead_to_their_pages():
    import pyarrow as pa
    seen = set()
    for manifest, query, target in CASES:
        with quendra.Context() as ctx:
            try:
                ctx.load_models(manifest)
                ctx.bind("t", pa.table({"x": [1], "at": pa.array([0], pa.timestamp("us"))}))
                ctx.bind("u", pa.table({"x": [1]}))
                ctx.sql(query)
            except quendra.Error as e:
                assert _docs.see(e.code_text, e.message) == target, (e.code_text, e.message)
                seen.add(target)
                continue
        pytest.fail(f"{query} did not fail")
    # Each target here is one the rules give.
    assert seen <= set(_docs.targets())
    # Faults of no field or rule name no page; others the errors page.
    assert _docs.see("OutOfMemory", "out of memory") is None
    assert _docs.see("UnknownModel", "table 't' is not bound") == "errors.md"
    # Addresses in the built site: MkDocs gives every page a directory.
    assert [_docs.site_path(t) for t in ("reference/query.md#filters", "errors.md", "index.md")] == [
        "reference/query/#filters", "errors/", ""]
    assert _docs.source_path("reference/query.md#filters") == "docs/reference/query.md#filters"


def anchor(heading: str) -> str:
    """The id MkDocs gives a heading: an explicit {#id}, else the text
    without markup, lowercased, word characters, spaces and hyphens kept,
    spaces turned into hyphens."""
    given = re.search(r"\{[^}]*#([\w-]+)[^}]*\}\s*$", heading)
    if given:
        return given.group(1)
    text = re.sub(r"\[([^\]]*)\]\([^)]*\)", r"\1", heading).replace("`", "")
    text = unicodedata.normalize("NFKD", text).encode("ascii", "ignore").decode()
    text = re.sub(r"[^\w\s-]", "", text).strip().lower()
    return re.sub(r"[-\s]+", "-", text)


def anchors(page: Path) -> set:
    out, fenced = set(), False
    for line in page.read_text().splitlines():
        if line.lstrip().startswith(("```", "~~~")):
            fenced = not fenced
        elif not fenced and re.match(r"#{1,6} ", line):
            out.add(anchor(line.lstrip("#").strip()))
    return out


def test_every_page_and_heading_named_exists():
    config = (ROOT / "mkdocs.yml").read_text()
    # Site addresses are made as directories (see _docs.site_path).
    assert not re.search(r"^use_directory_urls:\s*false", config, re.M)
    missing = []
    for target in _docs.targets():
        page, _, name = target.partition("#")
        path = ROOT / "docs" / page
        if not path.is_file() or (name and name not in anchors(path)):
            missing.append(target)
    assert not missing, missing
