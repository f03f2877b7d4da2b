"""The explorer page's address is its query: generated queries opened from
addresses are asked exactly as written (the page's table is the API's
answer, its cells written as a report writes them) and written back
unchanged; and the time controls and charts, in a real headless Chromium."""

from __future__ import annotations

import json
import os
import random
import re
import urllib.parse
from datetime import date, timedelta
from decimal import ROUND_HALF_UP, Decimal
from pathlib import Path

import pytest

from reference import MANIFEST_PATH
from test_serve import BROWSER_ARGS, CHROMIUM, TABLES, call, server

ZONE = "America/New_York"
SEGMENTS = {"paid": [{"field": "status", "operator": "=", "value": "paid"}],
            "busy": [{"field": "order_count", "operator": ">", "value": 20}]}
# Customers count weeks from Sunday and years from April.
CALENDARS = {"orders": {"week_start": "monday", "fiscal_year_start": 1},
             "returns": {"week_start": "monday", "fiscal_year_start": 1},
             "customers": {"week_start": "sunday", "fiscal_year_start": 4}}


@pytest.fixture(scope="module")
def page_server(tmp_path_factory):
    """The example manifest with a default zone and segments on orders and
    a calendar of its own on customers; and a documentation site of two
    pages served at /docs/."""
    doc = json.loads(MANIFEST_PATH.read_text())
    doc["models"]["orders"]["time_zone"] = ZONE
    doc["models"]["orders"]["segments"] = SEGMENTS
    doc["models"]["customers"]["calendar"] = {"week_start": "Sunday", "fiscal_year_start": 4}
    root = tmp_path_factory.mktemp("page")
    manifest = root / "manifest.json"
    manifest.write_text(json.dumps(doc))
    site = root / "site"
    for page in ("", "reference/query/"):
        (site / page).mkdir(parents=True, exist_ok=True)
        (site / page / "index.html").write_text(f"<h1>{page or 'home'}</h1>")
    with server("--manifest", str(manifest), *TABLES, "--docs", str(site)) as (base, _):
        yield base


@pytest.fixture(scope="module")
def browser():
    if not Path(CHROMIUM).exists():
        if os.environ.get("CI"):
            pytest.fail("chromium is missing; make test installs it")
        pytest.skip("chromium is not installed (make test installs it)")
    from playwright.sync_api import sync_playwright
    with sync_playwright() as p:
        b = p.chromium.launch(executable_path=CHROMIUM, args=BROWSER_ARGS)
        yield b
        b.close()


# ---------------------------------------------------------------- queries

# The vocabulary of the example manifest: per model, dimensions with the
# values their filters compare with, measures, time dimensions.
TEXT, NUM, BOOL = "text", "num", "bool"
VOCAB = {
    "orders": {
        "dims": {"orders.status": (TEXT, ["paid", "Paid", "pending", "refunded", "cancelled"]),
                 "orders.amount": (NUM, [0, 50, 99.5, 150, -20]),
                 "orders.quantity": (NUM, [1, 2, 3, 5]),
                 "orders.is_gift": (BOOL, [True, False]),
                 "orders.note": (TEXT, ["fragile", "call first", "100% _under_", "Zoë Ångström"]),
                 "orders.quantity_bucket": (NUM, [0, 1, 2, 3]),
                 "customers.region": (TEXT, ["EMEA", "AMER", "APAC", "emea"]),
                 "customers.vip": (BOOL, [True, False]),
                 "products.category": (TEXT, ["Games", "Toys", "Kitchen", "Books"]),
                 'orders.status "label" `code`': (TEXT, ["paid"])},
        "time": ["orders.created_at", "orders.ship_date"],
        "measures": ["revenue", "order_count", "avg_amount", "max_amount", "customers", "revenue_per_customer",
                     "total_quantity", "gross", "net_revenue", "first_status", "discounted_pct"],
        "expr": ["amount > 50", "quantity >= 2 AND status <> 'void'", "is_gift OR amount < 0",
                 "YEAR(created_at) >= 2021", "note IS NULL"],
        "segments": ["paid", "busy"],
    },
    "returns": {
        "dims": {"returns.reason": (TEXT, ["damaged", "late", "changed mind", "Doesn't fit"]),
                 "order.status": (TEXT, ["paid", "pending"]),
                 "order.customers.region": (TEXT, ["EMEA", "AMER"])},
        "time": ["returns.returned_at"],
        "measures": ["return_count", "refunded", "damaged_refunds", "vip_returns", "damaged_share"],
        "expr": ["refund > 50", "reason LIKE 'd%'"],
        "segments": [],
    },
    "customers": {
        "dims": {"region": (TEXT, ["EMEA", "AMER", "APAC"]), "vip": (BOOL, [True, False]),
                 "name": (TEXT, ["O'Brien & Sons", "李小龙", "semi; colon"])},
        "time": ["signup_date"],
        "measures": ["customer_count", "with_email"],
        "expr": ["email IS NOT NULL", "id % 2 = 0"],
        "segments": [],
    },
}
ZONES = ["UTC", "Europe/Paris", "Asia/Kolkata", "America/Los_Angeles", "+05:30"]
OPS = {TEXT: ["=", "!=", "in", "not in", "like", "ilike", "is null", "is not null", "eq", "NOT IN"],
       NUM: ["=", ">", ">=", "<", "<=", "<>", "in", "is not null"],
       BOOL: ["=", "!=", "is null"]}


def leaf(rng: random.Random, v: dict) -> dict:
    field = rng.choice(sorted(v["dims"]))
    kind, values = v["dims"][field]
    op = rng.choice(OPS[kind])
    f = {"field": field, "operator": op}
    norm = op.lower()
    if norm in ("in", "not in"):
        f["values"] = rng.sample(values, k=min(len(values), rng.randint(1, 3)))
    elif norm in ("like", "ilike"):
        f["value"] = rng.choice(["%a%", "p%", "_a%"])
    elif not norm.startswith("is "):
        f["value"] = rng.choice(values)
    return f


def filters(rng: random.Random, v: dict, depth: int = 0) -> list:
    out = []
    for _ in range(rng.randint(1, 2)):
        if depth < 2 and rng.random() < 0.4:
            out.append({"operator": rng.choice(["or", "and", "OR"]), "conditions": filters(rng, v, depth + 1)})
        else:
            out.append(leaf(rng, v))
    return out


def now_text(rng: random.Random) -> str:
    return rng.choice(["2024-06-15T10:00:00Z", "2025-03-01 00:00:00", "2023-12-31T23:30:00+02:00",
                       "2025-12-22T08:00:00-05:00"])


def time_range(rng: random.Random, fiscal: bool = False) -> dict:
    form = rng.choice(["between", "last", "this", "previous", "to_date"])
    unit = rng.choice(["day", "week", "month", "quarter", "year"])
    if form == "between":
        a = f"{rng.randint(2019, 2024)}-{rng.randint(1, 12):02d}-{rng.randint(1, 28):02d}"
        return {"start": a, "end": rng.choice(["2025-06-30", "2025-12-31 12:00:00", "2026-01-01T00:00"])}
    if form == "last":
        r = {"last": rng.choice([1, 3, 12, 30]), "unit": unit}
        if rng.random() < 0.6:
            r["complete"] = rng.random() < 0.7
        return r
    return {form: unit}


def make_query(rng: random.Random) -> dict:
    name = rng.choice(["orders", "orders", "orders", "returns", "customers"])
    v = VOCAB[name]
    q: dict = {"model": name}
    dims = rng.sample(sorted(v["dims"]), k=rng.randint(0, 2))
    time_dim = rng.choice(v["time"]) if rng.random() < 0.6 else None
    if time_dim:
        dims.insert(rng.randint(0, len(dims)), time_dim)
    measures = rng.sample(v["measures"], k=rng.randint(0 if dims else 1, min(3, len(v["measures"]))))
    if dims:
        q["dimensions"] = dims
    if measures:
        q["measures"] = measures
    if time_dim:
        grain = rng.choice(["day", "week", "month", "quarter", "year"])
        shape = rng.random()
        if shape < 0.35:
            q["time_grain"] = grain
        elif shape < 0.7:
            q["time_grains"] = {time_dim: grain}
        elif shape < 0.85:
            q["time_grain"] = "year"
            q["time_grains"] = {time_dim: grain}
        if rng.random() < 0.5:
            r = time_range(rng)
            q["time_range"] = r
            if any(k in r for k in ("last", "this", "previous", "to_date")):
                q["now"] = now_text(rng)  # answers that do not move with the clock
            if rng.random() < 0.3:
                q["time_dimension"] = time_dim
    if rng.random() < 0.4:
        q["time_zone"] = rng.choice(ZONES)
    if rng.random() < 0.3:
        q["filter"] = rng.choice(v["expr"])
    if rng.random() < 0.5:
        q["filters"] = filters(rng, v)
    if v["segments"] and rng.random() < 0.3:
        q["segments"] = rng.sample(v["segments"], k=rng.randint(1, 2))
    names = dims + measures
    if names and rng.random() < 0.7:
        order = []
        for n in rng.sample(names, k=rng.randint(1, min(3, len(names)))):
            order.append(rng.choice([n, [n], [n, "asc"], [n, "desc"], [n, "DESC"]]))
        q["order_by"] = order
    if rng.random() < 0.5:
        q["limit"] = rng.choice([3, 5, 50, 1000, 1000]) if rng.random() < 0.95 else 0
    # Parts no control edits, kept as written.
    if rng.random() < 0.1:
        q["having"] = []
    if rng.random() < 0.1:
        q["note"] = {"by": "test", "tags": ["a", 1, None]}
    if rng.random() < 0.05:
        q["measures"] = q.get("measures", []) + [{"measure": v["measures"][0], "total": True}]
    return dict(rng.sample(list(q.items()), k=len(q)))  # keys in any order


# Queries whose parts no control edits, or that the library refuses: kept
# and asked as written all the same.
ODD = [
    {"model": "orders", "measures": ["revenue"], "filters": {"field": "orders.status"}},
    {"model": "nope", "measures": ["revenue"], "limit": 5},
    {"model": "orders", "dimensions": ["orders.created_at"], "measures": ["order_count"],
     "time_grains": {"orders.created_at": "decade", "orders.ship_date": "day", "x": 3}},
    {"model": "orders", "dimensions": ["orders.created_at"], "measures": ["revenue"], "time_range": {"last": 3},
     "order_by": [{"field": "revenue"}, ["revenue", "desc", "extra"]], "limit": "5"},
    {"model": "orders", "dimensions": [7, "orders.status"], "measures": ["revenue"], "time_zone": 5,
     "filters": [{"field": "orders.status", "operator": "=", "value": ["paid"]},
                 {"operator": "and", "conditions": [], "note": 1}]},
    {"model": "returns", "dimensions": ["order.customers.region"], "measures": ["return_count"],
     "segments": ["order.nothing"], "time_grains": {"order.customers.region": "month"}},
]


# ---------------------------------------------------------------- helpers

def address_query(url: str):
    return json.loads(urllib.parse.unquote(url.split("#q=", 1)[1]))


def settle(page) -> None:
    page.wait_for_function("""() => { const s = document.getElementById('status').textContent;
        return s && s !== 'Running…' && !s.startsWith('Loading'); }""", timeout=20000)


def open_query(page, base: str, q: dict, full: bool) -> None:
    """Opens the address of q: a new page load, or a changed fragment."""
    address = "#q=" + urllib.parse.quote(json.dumps(q))
    if full:
        page.goto(f"{base}/?load={random.random()}{address}")
    else:
        page.evaluate("h => { document.getElementById('status').textContent = ''; location.hash = h; }", address)
    settle(page)


# The table as shown: its cells' text, and their exact values (the title
# a cell carries when its text is rounded or names a period).
SHOWN = """() => { const error = document.getElementById('error');
    const cells = (f) => [...document.querySelectorAll('#table tbody tr')].map(r => [...r.cells].map(f));
    return {
      head: [...document.querySelectorAll('#table thead th')].map(c => c.textContent),
      rows: cells(c => c.title || c.textContent),
      text: cells(c => c.textContent),
      error: error.hidden ? null : (error.querySelector('.message') || error).textContent}; }"""


def shown(page) -> dict:
    return page.evaluate(SHOWN)


# ---------------------------------------------------------------- the report, as a model

def readable(v) -> str:
    """A number for reading: six significant digits, or its whole part when
    that is longer, halves away from zero, thousands grouped."""
    d = Decimal(v)  # the double's exact value, which the page rounds too
    if d == 0:
        return "0"
    step = Decimal(1) if abs(d) >= 10**6 else Decimal(1).scaleb(d.adjusted() - 5)
    text = f"{d.quantize(step, ROUND_HALF_UP):,f}"
    return text.rstrip("0").rstrip(".") if "." in text else text


def period(v: str, grain: str, calendar: dict) -> str:
    day = date.fromisoformat(v[:10])
    start = calendar["fiscal_year_start"]
    fiscal_year = day.year + (start > 1 and day.month >= start)
    if grain == "week" and calendar["week_start"] == "monday":
        year, week, _ = day.isocalendar()
        return f"{year}-W{week:02d}"
    return {"year": f"{day.year}", "quarter": f"{day.year}-Q{(day.month - 1) // 3 + 1}", "month": v[:7],
            "week": f"week of {v[:10]}", "day": v[:10], "hour": v[:16], "minute": v[:16], "second": v[:19],
            "fiscal_year": f"FY{fiscal_year}",
            "fiscal_quarter": f"FY{fiscal_year}-Q{(day.month - start) % 12 // 3 + 1}"}[grain]


def grain_of(q: dict, name) -> str | None:
    per = q.get("time_grains") if isinstance(q.get("time_grains"), dict) else {}
    g = per.get(name) if isinstance(per.get(name), str) else q.get("time_grain")
    return g.lower() if isinstance(g, str) else None


def displayed(doc: dict, q: dict) -> list:
    """The cells' text the page must show for the API's answer `doc` (rows
    in the order shown)."""
    dims = q.get("dimensions", [])
    calendar = CALENDARS.get(q["model"], CALENDARS["orders"])
    columns = []
    for i, c in enumerate(doc["columns"]):
        kind = c["type"]
        values = [r[i] for r in doc["rows"]]
        if re.match(r"(float|double|decimal|halffloat)", kind) or (re.match(r"u?int", kind) and i >= len(dims)):
            columns.append(readable)
        elif re.match(r"(date|timestamp)", kind) and i < len(dims) and grain_of(q, dims[i]):
            columns.append(lambda v, g=grain_of(q, dims[i]): period(v, g, calendar))
        elif re.match(r"(date|timestamp)", kind) and all(v is None or re.fullmatch(r"-?\d{4,}-\d\d-\d\d( 00:00:00)?", v)
                                                        for v in values):
            columns.append(lambda v: v[:10])
        else:
            columns.append(lambda v: json.dumps(v) if isinstance(v, bool) else str(v))
    return [["∅" if v is None else f(v) for f, v in zip(columns, r)] for r in doc["rows"]]


def in_time_order(doc: dict, q: dict) -> dict:
    """The answer as shown: a query that asks for no order is shown in the
    order of its time dimensions (nulls last), each a stable sort."""
    if q.get("order_by", []) != []:
        return doc
    n = len(q.get("dimensions", []))
    times = [i for i, c in enumerate(doc["columns"]) if i < n and re.match(r"(date|timestamp)", c["type"])]
    rows = sorted(doc["rows"], key=lambda r: [(r[i] is None, r[i] or "") for i in times])
    return dict(doc, rows=rows)


def api_view(page, base: str, q: dict) -> dict:
    """What the page must show for q: the API's answer, its exact values
    written as JavaScript writes them, and its cells as a report writes them."""
    status, _, body = call(base, "/v1/query", q, token=None)
    doc = json.loads(body)
    if status != 200:
        return {"head": [], "rows": [], "text": [], "error": f"{doc['code']}: {doc['message']}"}
    doc = in_time_order(doc, q)
    rows = page.evaluate("t => JSON.parse(t).rows.map(r => r.map(v => v === null ? '∅' : String(v)))",
                         json.dumps(doc))
    return {"head": [c["name"] for c in doc["columns"]], "rows": rows, "text": displayed(doc, q), "error": None}


def check_same(page, base: str, q: dict) -> dict:
    got = shown(page)
    assert got == api_view(page, base, q), q
    return got


# ---------------------------------------------------------------- tests

def test_generated_queries_from_addresses(page_server, browser):
    base = page_server
    page = browser.new_page(viewport={"width": 1280, "height": 900})
    failures: list = []
    page.on("pageerror", lambda e: failures.append(str(e)))
    rng = random.Random(4917)
    queries = [make_query(rng) for _ in range(48)] + ODD
    answered = rows = 0
    for k, q in enumerate(queries):
        open_query(page, base, q, full=k % 8 == 0)
        got = check_same(page, base, q)
        answered += got["error"] is None
        rows += bool(got["rows"])
        # The page rewrote its address with the query it asked: the same.
        assert address_query(page.url) == q, k
        # Parts the controls cannot show are listed, not lost.
        extra = page.eval_on_selector_all("#extras .pill code", "cs => cs.map(c => c.textContent)")
        for key in ("having", "note"):
            assert (key in q) == any(e.startswith(key + ":") for e in extra), (k, extra)
    assert answered >= 40 and rows >= 25 and not failures


def fill_zone(page, zone: str) -> None:
    page.fill("#time-zone", zone)
    page.dispatch_event("#time-zone", "change")


def run(page) -> dict:
    page.evaluate("document.getElementById('status').textContent = ''")
    page.click("#run")
    settle(page)
    return address_query(page.url)


def test_time_controls(page_server, browser):
    base = page_server
    page = browser.new_page(viewport={"width": 1280, "height": 900})
    start = {"model": "orders", "dimensions": ["orders.created_at"], "time_grain": "month",
             "measures": ["order_count"], "now": "2025-06-15T12:00:00Z"}
    open_query(page, base, start, full=True)
    # The model's zone is preselected, and the query keeps naming none.
    assert page.input_value("#time-zone") == ZONE
    zones = page.eval_on_selector_all("#zones option", "os => os.map(o => o.value)")
    assert len(zones) > 400 and {"UTC", "Europe/Paris", "US/Eastern"} <= set(zones)
    assert run(page) == start
    fill_zone(page, "Asia/Tokyo")
    assert run(page) == dict(start, time_zone="Asia/Tokyo")
    check_same(page, base, dict(start, time_zone="Asia/Tokyo"))
    fill_zone(page, ZONE)
    assert run(page) == start

    # Relative ranges, each asked as the address says.
    page.select_option("#range-mode", "last")
    page.fill("#range-count", "3")
    page.select_option("#range-unit", "month")
    page.check("#range-complete")
    q = run(page)
    assert q == dict(start, time_range={"last": 3, "unit": "month", "complete": True})
    assert len(check_same(page, base, q)["rows"]) == 3
    for mode, unit in (("this", "year"), ("previous", "quarter"), ("to_date", "month")):
        page.select_option("#range-mode", mode)
        page.select_option("#range-unit", unit)
        q = run(page)
        assert q == dict(start, time_range={mode: unit})
        check_same(page, base, q)
    page.select_option("#range-mode", "between")
    page.fill("#start", "2024-02-01")
    page.fill("#end", "2024-03-31")
    q = run(page)
    assert q == dict(start, time_range={"start": "2024-02-01", "end": "2024-03-31"})
    assert len(check_same(page, base, q)["rows"]) == 2

    # Without "now" the server's clock is read, and the page says when.
    page.select_option("#range-mode", "previous")
    assert page.input_value("#range-unit") == "month"  # the unit last chosen
    page.select_option("#range-unit", "quarter")
    page.fill("#now", "")
    page.dispatch_event("#now", "input")
    q = run(page)
    assert "now" not in q and q["time_range"] == {"previous": "quarter"}
    assert page.text_content("#now-used").startswith("Read at ")
    used = page.text_content("#now-used").split()[2].rstrip(",")
    assert page.text_content("#sql").startswith("SELECT") and page.is_hidden("#error")
    check_same(page, base, dict(q, now=used))
    page.close()


# Pixels painted in the two columns at either edge of the chart: a label
# cut by the canvas touches them.
CANVAS_EDGE = """() => { const c = document.querySelector('#chart canvas'); const x = c.getContext('2d');
    let n = 0; for (const at of [0, c.width - 2]) { const d = x.getImageData(at, 0, 2, c.height).data;
      for (let i = 3; i < d.length; i += 4) n += d[i] > 0; } return n; }"""

# Text that overflows its box: inputs by their scroll width, selects by the
# chosen option's text measured in their font.
OVERFLOW = """() => { const out = []; const m = document.createElement('canvas').getContext('2d');
    for (const e of document.querySelectorAll('#query input, #query select, #query textarea, #query label')) {
      if (!e.offsetParent || e.type === 'checkbox') continue;
      if (e.tagName === 'SELECT') {
        const s = getComputedStyle(e); m.font = s.font;
        const text = e.selectedOptions[0]?.text || '';
        if (m.measureText(text).width + 22 > e.clientWidth) out.push([e.getAttribute('aria-label') || e.id, text]);
      } else if (e.scrollWidth > e.clientWidth + 1) out.push([e.getAttribute('aria-label') || e.id, e.value || e.textContent]);
    }
    return out; }"""


def test_charts_and_readable_controls(page_server, browser):
    base = page_server
    page = browser.new_page(viewport={"width": 1280, "height": 900})
    q = {"model": "orders", "dimensions": ["orders.status"], "measures": ["gross"],
         "filters": [{"field": "orders.status", "operator": "not in", "values": ["refunded"]},
                     {"operator": "or", "conditions": [{"field": 'orders.status "label" `code`', "operator": "is not null"},
                                                       {"field": "customers.region", "operator": "=", "value": "EMEA"}]}]}
    open_query(page, base, q, full=True)
    check_same(page, base, q)
    # Bars of values all above zero rise from zero.
    assert float(page.get_attribute("#chart", "data-y-min")) == 0
    # The widest label (150,000 and more) is whole: nothing painted at the
    # canvas's left edge, and the axis is as wide as its text.
    assert page.evaluate(CANVAS_EDGE) == 0
    widest, size = page.evaluate("""() => { const c = document.getElementById('chart');
        return [Number(c.dataset.yLabelWidth), Number(c.dataset.yAxisSize)]; }""")
    assert 40 < widest < size
    if os.environ.get("QUENDRA_PAGE_SHOTS"):  # to look at
        page.screenshot(path=os.environ["QUENDRA_PAGE_SHOTS"] + "-wide.png", full_page=True)
    assert page.evaluate(OVERFLOW) == []

    # Long category labels neither overlap nor reach the edges.
    names = {"model": "customers", "dimensions": ["name"], "measures": ["customer_count"]}
    open_query(page, base, names, full=True)
    check_same(page, base, names)
    assert page.evaluate(CANVAS_EDGE) == 0

    # On a narrow screen too: controls readable, nothing wider than it.
    narrow = browser.new_page(viewport={"width": 390, "height": 800})
    open_query(narrow, base, q, full=True)
    if os.environ.get("QUENDRA_PAGE_SHOTS"):
        narrow.screenshot(path=os.environ["QUENDRA_PAGE_SHOTS"] + "-narrow.png", full_page=True)
    assert narrow.evaluate(OVERFLOW) == []
    assert narrow.evaluate("document.documentElement.scrollWidth") <= 390
    page.close()
    narrow.close()


def test_an_edit_changes_only_its_part(page_server, browser):
    """Controls edit the parts they know; everything else stays as written."""
    base = page_server
    page = browser.new_page(viewport={"width": 1280, "height": 900})
    q = {"model": "orders", "dimensions": ["orders.created_at", "customers.region"], "time_grain": "quarter",
         "time_grains": {"customers.region": "day"}, "measures": ["revenue"], "now": "2025-12-22T08:00:00-05:00",
         "time_range": {"last": 4, "unit": "quarter", "complete": False}, "time_zone": "+05:30",
         "filters": [{"operator": "OR", "conditions": [{"field": "orders.amount", "operator": ">=", "value": 100.5},
                                                      {"field": "orders.status", "operator": "eq", "value": "4000"}]}],
         "filter": "quantity > 1", "order_by": [["revenue", "DESC"], "customers.region", ["orders.created_at"]],
         "segments": ["paid"], "having": [], "limit": 7}
    open_query(page, base, q, full=True)
    check_same(page, base, q)
    assert address_query(page.url) == q
    page.locator(".choice[data-name='order_count'] input").check()
    assert run(page) == dict(q, measures=["revenue", "order_count"])
    # A condition added to the group; the group's others as they were.
    page.click(".group > button")
    page.fill(".group .filter:last-child input[list=fields]", "customers.region")
    page.fill(".group .filter:last-child input[aria-label='filter value']", "EMEA")
    want = json.loads(json.dumps(q))
    want["measures"] = ["revenue", "order_count"]
    want["filters"][0]["conditions"].append({"field": "customers.region", "operator": "=", "value": "EMEA"})
    assert run(page) == want
    check_same(page, base, want)
    # A part no control edits goes only when asked to.
    page.click("#extras .pill button")
    del want["having"]
    assert run(page) == want
    page.close()


def test_answers_read_like_a_report(page_server, browser):
    """Numbers rounded for reading with the exact value on hover and in
    copied text, periods named by their grain, rows in time order when the
    query asks for no order; and errors that lead to their documentation."""
    base = page_server
    context = browser.new_context(viewport={"width": 1280, "height": 900})
    context.grant_permissions(["clipboard-read", "clipboard-write"], origin=base)
    page = context.new_page()
    failures: list = []
    page.on("pageerror", lambda e: failures.append(str(e)))

    # Averages with long fractions: rounded, grouped, exact on hover.
    q = {"model": "orders", "dimensions": ["orders.status"], "measures": ["avg_amount", "gross", "order_count"],
         "order_by": ["orders.status"]}
    open_query(page, base, q, full=True)
    got = check_same(page, base, q)
    cells = [(text, exact) for r, t in zip(got["rows"], got["text"]) for exact, text in zip(r[1:3], t[1:3])]
    assert any(len(exact) > 12 for _, exact in cells)  # values a report must not show whole
    for text, exact in cells:
        assert text == readable(float(exact)) and len(re.sub(r"\D", "", text)) <= max(6, len(str(int(abs(float(exact))))))
    assert any("," in text for text, _ in cells)

    # Each grain's names, and the time order of a query that asks for none.
    shapes = [
        ("orders", "orders.created_at", "month", r"\d{4}-\d\d"),
        ("orders", "orders.created_at", "quarter", r"\d{4}-Q[1-4]"),
        ("orders", "orders.created_at", "week", r"\d{4}-W\d\d"),
        ("orders", "orders.created_at", "day", r"\d{4}-\d\d-\d\d"),
        ("orders", "orders.created_at", "hour", r"\d{4}-\d\d-\d\d \d\d:00"),
        ("orders", "orders.ship_date", "year", r"\d{4}"),
        ("customers", "signup_date", "week", r"week of \d{4}-\d\d-\d\d"),
        ("customers", "signup_date", "fiscal_quarter", r"FY\d{4}-Q[1-4]"),
        ("customers", "signup_date", None, r"\d{4}-\d\d-\d\d"),
    ]
    for name, dim, grain, pattern in shapes:
        measure = "order_count" if name == "orders" else "customer_count"
        q = {"model": name, "dimensions": ["customers.region", dim] if name == "orders" else [dim],
             "measures": [measure], "limit": 400}
        if grain:
            q["time_grains"] = {dim: grain}
        open_query(page, base, q, full=False)
        got = check_same(page, base, q)
        assert address_query(page.url) == q  # shown in order; asked as written
        at = q["dimensions"].index(dim)
        times = [r[at] for r in got["rows"] if r[at] != "∅"]
        assert len(times) > 3 and times == sorted(times), (grain, times[:5])
        names = [t[at] for t in got["text"] if t[at] != "∅"]
        assert all(re.fullmatch(pattern, n) for n in names), (grain, names[:5])
        if grain == "week" and name == "customers":  # weeks from Sunday, named by it
            assert all(date.fromisoformat(n[8:]).weekday() == 6 for n in names)
    monday = date(2024, 1, 29)  # of ISO week 2024-W05
    q = {"model": "orders", "dimensions": ["orders.created_at"], "measures": ["order_count"],
         "time_grain": "week", "time_range": {"start": str(monday), "end": str(monday + timedelta(days=6))}}
    open_query(page, base, q, full=False)
    assert [r[0] for r in check_same(page, base, q)["text"]] == ["2024-W05"]

    # Copying: the exact values, tab-separated, by a selection and by the button.
    q = {"model": "orders", "dimensions": ["orders.status"], "measures": ["avg_amount"], "order_by": ["orders.status"]}
    open_query(page, base, q, full=False)
    want = [["orders.status", "avg_amount"]] + [["" if v == "∅" else v for v in r] for r in shown(page)["rows"]]
    assert any("" in r for r in want) and any(len(r[1]) > 12 for r in want)  # a null copies as nothing
    copied = page.evaluate("""() => { const s = getSelection();
        s.selectAllChildren(document.getElementById('table'));
        const data = new DataTransfer();
        document.getElementById('table').dispatchEvent(new ClipboardEvent('copy', {clipboardData: data, bubbles: true}));
        s.removeAllRanges(); return data.getData('text/plain'); }""")
    assert [line.split("\t") for line in copied.splitlines()] == want
    page.click("#copy-table")
    assert [line.split("\t") for line in page.evaluate("navigator.clipboard.readText()").splitlines()] == want

    # An error names the page that explains it, served here at /docs/.
    q = {"model": "orders", "measures": ["revenue"], "filters": [{"field": "orders.status", "operator": "~"}]}
    open_query(page, base, q, full=False)
    status, _, body = call(base, "/v1/query", q, token=None)
    assert status == 400 and json.loads(body)["see"] == "reference/query/#filters"
    link = page.locator("#error .see a")
    assert link.text_content() == "docs/reference/query.md#filters"
    assert link.get_attribute("href") == "/docs/reference/query/#filters"
    assert call(base, "/docs/reference/query/", token=None)[0] == 200
    if os.environ.get("QUENDRA_PAGE_SHOTS"):
        page.screenshot(path=os.environ["QUENDRA_PAGE_SHOTS"] + "-error.png", full_page=True)
    # Where no site is served, the page's file in the source tree.
    page.route("**/v1/meta", lambda route: route.fulfill(json=dict(route.fetch().json(), docs=None)))
    open_query(page, base, q, full=True)
    assert page.locator("#error .see").text_content() == "See docs/reference/query.md#filters"
    assert page.locator("#error .see a").count() == 0
    context.close()
    assert not failures
