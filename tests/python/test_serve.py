"""`python -m quendra serve` as a client meets it: a real server on a
loopback port, every endpoint and status, Arrow streams read back by
pyarrow, concurrent clients, reloads; and the explorer page driven in a real
headless Chromium."""

from __future__ import annotations

import json
import os
import shutil
import socket
import subprocess
import sys
import threading
import time
import urllib.error
import urllib.request
from contextlib import contextmanager
from pathlib import Path

import pyarrow as pa
import pyarrow.ipc as ipc
import pytest

import quendra
from reference import MANIFEST_PATH

ROOT = Path(__file__).resolve().parents[2]
DATA = ROOT / "examples" / "data"
TABLES = ["--data", str(DATA), "--table", f"sales.returns={DATA / 'returns.parquet'}"]
TOKEN = "s3cret"


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def call(base: str, path: str, body=None, token=TOKEN, accept=None, raw: bytes | None = None):
    """(status, headers, body bytes) of one request."""
    data = raw if raw is not None else None if body is None else json.dumps(body).encode()
    req = urllib.request.Request(base + path, data=data, method="POST" if data is not None else "GET")
    if token:
        req.add_header("Authorization", f"Bearer {token}")
    if accept:
        req.add_header("Accept", accept)
    try:
        with urllib.request.urlopen(req, timeout=60) as r:
            return r.status, r.headers, r.read()
    except urllib.error.HTTPError as e:
        return e.code, e.headers, e.read()


@contextmanager
def server(*args: str, ready: bool = True):
    """A server in a process of its own; yields its base address and a
    function returning what it has logged so far."""
    port = free_port()
    log = []
    proc = subprocess.Popen([sys.executable, "-m", "quendra", "serve", "--port", str(port), *args],
                            cwd=ROOT, env=dict(os.environ, PYTHONPATH=str(ROOT / "python")),
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    threading.Thread(target=lambda: log.extend(proc.stdout), daemon=True).start()
    base = f"http://127.0.0.1:{port}"
    try:
        deadline = time.monotonic() + 60
        while True:
            assert proc.poll() is None, "".join(log)
            try:
                status, _, body = call(base, "/healthz", token=None)
                if not ready or json.loads(body)["status"] == "ok":
                    break
            except OSError:
                pass
            assert time.monotonic() < deadline, "".join(log)
            time.sleep(0.1)
        yield base, lambda: "".join(log)
    finally:
        proc.terminate()
        proc.wait(timeout=30)


@pytest.fixture(scope="module")
def example_server():
    with server("--manifest", str(MANIFEST_PATH), *TABLES, "--token", TOKEN) as s:
        yield s


@pytest.fixture(scope="module")
def local():
    """The answers the server must give: the same manifest and files here."""
    import pyarrow.parquet as pq
    with quendra.Context() as ctx:
        ctx.load_models(MANIFEST_PATH.read_bytes())
        for name in ("orders", "customers", "products"):
            ctx.bind(name, pq.read_table(DATA / f"{name}.parquet"))
        ctx.bind("sales.returns", pq.read_table(DATA / "returns.parquet"))
        yield ctx


QUERIES = [
    {"model": "orders", "dimensions": ["orders.created_at", "customers.region"], "time_grain": "month",
     "measures": ["revenue", "order_count"], "order_by": ["orders.created_at", "customers.region"]},
    {"model": "returns", "dimensions": ["order.customers.region"], "measures": ["return_count", "damaged_share"],
     "order_by": ["order.customers.region"]},
    {"model": "orders", "dimensions": ["orders.status"], "measures": ["avg_order_value"],
     "filters": [{"field": "order_count", "operator": ">", "value": 40}], "order_by": ["orders.status"]},
]


def rows_of(table: pa.Table) -> list:
    from quendra._serve import table_json
    return table_json(table)["rows"]


def test_every_endpoint_and_status(example_server, local):
    base, logged = example_server
    # The token guards the API, not the health check or the page.
    assert call(base, "/healthz", token=None)[0] == 200
    assert call(base, "/", token=None)[0] == 200
    assert call(base, "/static/vendor/uplot/uPlot.esm.js", token=None)[0] == 200
    status, headers, body = call(base, "/v1/meta", token=None)
    assert status == 401 and json.loads(body)["code"] == "Unauthorized"
    assert call(base, "/v1/meta", token="wrong")[0] == 401
    status, _, body = call(base, "/v1/meta")
    models = {m["name"]: m for m in json.loads(body)["models"]}
    assert status == 200 and set(models) == {"orders", "customers", "products", "warehouses", "returns", "legacy"}
    created = next(d for d in models["orders"]["dimensions"] if d["name"] == "orders.created_at")
    assert created["time"] and created["kind"].startswith("timestamp") and "month" in created["grains"]
    assert {"name": "revenue", "aggregate": "sum"}.items() <= next(
        m for m in models["orders"]["measures"] if m["name"] == "revenue").items()

    for q in QUERIES:
        want = local.execute(q)
        status, _, body = call(base, "/v1/query", q)
        doc = json.loads(body)
        assert status == 200 and doc["rows"] == rows_of(want)
        assert [c["name"] for c in doc["columns"]] == want.column_names
        assert [c["type"] for c in doc["columns"]] == [str(t) for t in want.schema.types]
        status, headers, body = call(base, "/v1/query", q, accept="application/vnd.apache.arrow.stream")
        assert status == 200 and headers["content-type"] == "application/vnd.apache.arrow.stream"
        assert ipc.open_stream(body).read_all().equals(want)
        for dialect in ("duckdb", "spark", "postgres"):
            status, _, body = call(base, f"/v1/sql?dialect={dialect}", q)
            assert status == 200 and json.loads(body)["sql"] == local.sql(q, dialect)

    # Faults carry the library's error document, and the documentation
    # page that explains it beside it.
    bad = {"model": "orders", "dimensions": ["orders.statsu"]}
    with pytest.raises(quendra.Error) as e:
        local.execute(bad)
    status, _, body = call(base, "/v1/query", bad)
    assert status == 400 and json.loads(body) == {"code": e.value.code_text, "message": e.value.message,
                                                  "see": "reference/query/#dimensions"}
    for path in ("/v1/query", "/v1/sql"):
        status, _, body = call(base, path, raw=b'{"model": "orders",\n "measures": [revenue]}')
        assert (status, json.loads(body)) == (400, {"code": "invalid", "message": "the request body is not JSON: "
                                                    "Expecting value at line 2, column 15"})
    status, _, body = call(base, "/v1/query", raw=b"")
    assert json.loads(body)["message"] == "the request body is not JSON: Expecting value at line 1, column 1"
    status, _, body = call(base, "/v1/query", {"model": "nope", "measures": ["n"]})
    assert status == 404 and json.loads(body)["message"] == "unknown model 'nope'"
    assert call(base, "/v1/sql?dialect=oracle", QUERIES[0])[0] == 400
    big = json.dumps({"model": "orders", "measures": ["revenue"], "filler": "x" * (1 << 20)}).encode()
    status, _, body = call(base, "/v1/query", raw=big)
    assert status == 413 and json.loads(body)["code"] == "TooLarge"
    status, _, body = call(base, "/v1/check")
    report = json.loads(body)  # the example data lacks two of the manifest's tables
    assert status == 200 and report["models"] == 6
    assert {p["message"].split(" is not bound")[1:] == [""] for p in report["problems"]} == {True}
    # One line per request, with its status and time.
    time.sleep(0.2)
    assert " POST /v1/query 413 " in logged() and " GET /v1/meta 401 " in logged()


def test_thirty_concurrent_clients_get_their_own_answers(example_server, local):
    base, _ = example_server
    asks = [dict(QUERIES[i % 3], limit=i + 1) for i in range(30)]
    wants = [rows_of(local.execute(q)) for q in asks]
    got: dict = {}

    def client(i: int) -> None:
        for _ in range(3):
            status, _, body = call(base, "/v1/query", asks[i])
            got.setdefault(i, []).append((status, json.loads(body).get("rows")))

    threads = [threading.Thread(target=client, args=(i,)) for i in range(30)]
    start = time.monotonic()
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=120)
    assert time.monotonic() - start < 120 and not any(t.is_alive() for t in threads)
    for i in range(30):
        assert got[i] == [(200, wants[i])] * 3, i


def same_rows(got: list, want: list) -> None:
    """Equal rows; floats to a relative 1e-9, since engines add in their own order."""
    assert len(got) == len(want)
    for g, w in zip(got, want):
        assert [x if isinstance(x, float) else v for x, v in zip(g, w)] == [
            pytest.approx(v, rel=1e-9) if isinstance(v, float) else v for v in w], (g, w)


def test_engines_loading_reload_and_timeout(tmp_path, local):
    """Spark, whose start keeps the server loading for seconds (503), then
    answering as memory does; reloads on that server; DuckDB; a timeout."""
    manifest = tmp_path / "manifest.json"
    doc = json.loads(MANIFEST_PATH.read_text())
    manifest.write_text(json.dumps(doc))
    with server("--manifest", str(manifest), *TABLES, "--engine", "spark", "--reload", ready=False) as (base, logged):
        status, _, body = call(base, "/v1/query", QUERIES[0])
        assert status == 503 and json.loads(body)["code"] == "Loading"
        deadline = time.monotonic() + 120
        while call(base, "/v1/query", QUERIES[0])[0] == 503 and time.monotonic() < deadline:
            time.sleep(0.2)
        for q in QUERIES:
            status, _, body = call(base, "/v1/query", q)
            assert status == 200, body
            same_rows(json.loads(body)["rows"], rows_of(local.execute(q)))
        # A new measure once the file changes; a broken file keeps the old one.
        doc["models"]["orders"]["measures"]["twice"] = {"calc": "revenue * 2"}
        manifest.write_text(json.dumps(doc))
        q = {"model": "orders", "measures": ["revenue", "twice"]}
        deadline = time.monotonic() + 30
        while call(base, "/v1/query", q)[0] != 200 and time.monotonic() < deadline:
            time.sleep(0.2)
        status, _, body = call(base, "/v1/query", q)
        revenue, twice = json.loads(body)["rows"][0]
        assert status == 200 and float(twice) == pytest.approx(2 * float(revenue))
        manifest.write_text("{broken")
        deadline = time.monotonic() + 30
        while "reload of" not in logged() and time.monotonic() < deadline:
            time.sleep(0.2)
        assert "still serving the previous manifest" in logged()
        assert call(base, "/v1/query", q)[0] == 200
    with server("--manifest", str(MANIFEST_PATH), *TABLES, "--engine", "duckdb") as (base, _):
        for q in QUERIES:
            status, _, body = call(base, "/v1/query", q)
            assert status == 200
            same_rows(json.loads(body)["rows"], rows_of(local.execute(q)))
    with server("--manifest", str(MANIFEST_PATH), *TABLES, "--timeout", "1e-6") as (base, _):
        status, _, body = call(base, "/v1/query", QUERIES[0])
        assert status == 504 and json.loads(body)["code"] == "Timeout"
        assert call(base, "/healthz")[0] == 200


def test_postgres_engine_answers_over_its_database(pg_server, pg, local):
    with server("--manifest", str(MANIFEST_PATH), "--engine", "postgres", "--dsn", pg_server.dsn) as (base, _):
        for q in QUERIES:
            status, _, body = call(base, "/v1/query", q)
            assert status == 200, body
            same_rows(json.loads(body)["rows"], rows_of(local.execute(q)))


# ---------------------------------------------------------------- the page

CHROMIUM = shutil.which("chromium") or "/usr/bin/chromium"
BROWSER_ARGS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                "--disable-background-networking", "--disable-component-update", "--disable-sync"]


def test_explorer_page_in_a_real_browser(example_server, local, tmp_path):
    if not Path(CHROMIUM).exists():
        if os.environ.get("CI"):
            pytest.fail("chromium is missing; make test installs it")
        pytest.skip("chromium is not installed (make test installs it)")
    from playwright.sync_api import sync_playwright

    base, _ = example_server
    with sync_playwright() as p:
        browser = p.chromium.launch(executable_path=CHROMIUM, args=BROWSER_ARGS)
        page = browser.new_page(viewport={"width": 1280, "height": 900})
        failures: list = []
        page.on("pageerror", lambda e: failures.append(str(e)))
        page.on("requestfailed", lambda r: failures.append(r.url))
        page.goto(base + "/")
        page.wait_for_selector("#token-box:not([hidden])")  # asked for once the API refuses
        page.fill("#token", TOKEN)
        page.dispatch_event("#token", "change")
        page.wait_for_selector(".choice[data-name='orders.created_at']")
        page.select_option("#model", "orders")
        page.locator(".choice[data-name='orders.created_at'] input").check()
        page.locator(".choice[data-name='customers.region'] input").check()
        page.locator(".choice[data-name='revenue'] input").check()
        page.click("#add-order")
        page.select_option(".order-row .order-name", "orders.created_at")
        page.select_option(".order-row .order-dir", "asc")
        page.select_option("#range-mode", "between")
        page.fill("#start", "2024-01-01")
        page.fill("#end", "2024-12-31")
        page.keyboard.press("Control+Enter")
        page.wait_for_selector("#table tbody tr")

        def table(page=page) -> list:
            return page.eval_on_selector_all("#table tbody tr",
                                             "rs => rs.map(r => [...r.cells].map(c => c.title || c.textContent))")

        shared = page.url
        query = json.loads(urllib.request.unquote(shared.split("#q=", 1)[1]))
        # Exact values as JavaScript writes them (it drops an integral float's
        # ".0"), in the cells' titles where their text is rounded.
        want = [["∅" if v is None else str(int(v)) if isinstance(v, float) and v.is_integer() else str(v) for v in r]
                for r in rows_of(local.execute(query))]
        assert query["time_grains"] == {"orders.created_at": "month"} and len(want) > 10
        assert table() == want
        # The chart is drawn: a canvas with painted pixels.
        painted = page.evaluate("""() => { const c = document.querySelector('#chart canvas');
            if (!c || !c.width) return 0; const d = c.getContext('2d').getImageData(0, 0, c.width, c.height).data;
            let n = 0; for (let i = 3; i < d.length; i += 4) n += d[i] > 0; return n; }""")
        assert painted > 1000
        if os.environ.get("QUENDRA_SCREENSHOT"):  # the documentation's picture (docs/explorer.png)
            page.evaluate("window.scrollTo(0, 0)")
            page.screenshot(path=os.environ["QUENDRA_SCREENSHOT"])
        assert page.text_content("#sql") == local.sql(query, "duckdb")
        page.click("#tab-spark")
        assert page.text_content("#sql") == local.sql(query, "spark")

        # A bad filter: the library's message beside the field at fault.
        page.click("#add-filter")
        page.fill(".filter input[list=fields]", "orders.statsu")
        page.fill(".filter input[aria-label='filter value']", "paid")
        page.click("#run")
        page.wait_for_selector(".filter .field-error")
        bad = json.loads(urllib.request.unquote(page.url.split("#q=", 1)[1]))
        with pytest.raises(quendra.Error) as e:
            local.execute(bad)
        assert page.text_content(".filter .field-error") == e.value.message and "'statsu'" in e.value.message
        assert page.text_content("#error .message") == f"{e.value.code_text}: {e.value.message}"

        # The shared address reproduces the view.
        other = browser.new_page(viewport={"width": 390, "height": 800})
        other.goto(shared)
        other.wait_for_selector("#token-box:not([hidden])")  # the token is kept per tab
        other.fill("#token", TOKEN)
        other.dispatch_event("#token", "change")
        other.wait_for_selector("#table tbody tr")
        assert table(other) == want
        # Readable on a narrow screen: nothing wider than the viewport but the table's own scroller.
        assert other.evaluate("document.documentElement.scrollWidth") <= 390
        browser.close()
        assert not failures
