"""`python -m quendra serve`: the library behind an HTTP API, with the
explorer page at `/`.

Each request borrows a Context of its own from a pool (a Context answers one
call at a time), so answers run in parallel and never mix. The pool's
contexts share the tables, which are read once: binding hands the library
the Arrow buffers without copying them. A reload builds a new pool beside
the old one and swaps it in only when the new manifest loads; requests in
flight finish on the pool they started with. The data files are read once,
at start, with the column kinds the manifest then declares, and every
engine answers over those same columns.

An error about a field or a rule carries, beside the library's "code" and
"message", "see": the address of the documentation page that explains it,
relative to the documentation site's root ("reference/query/#filters").
The built site (`make docs`, build/site of the source tree, or --docs) is
served at /docs/, where the explorer page's links then lead."""

from __future__ import annotations

import hmac
import json
import logging
import math
import os
import queue
import threading
import time
from dataclasses import dataclass
from datetime import date, datetime, time as dtime, timedelta
from decimal import Decimal
from pathlib import Path
from typing import Any, Callable, Optional

from . import _docs
from ._engines import duckdb_over_files, need, spark_over_files
from ._files import CliError, read_manifest, read_sources
from ._jsontext import not_json
from ._native import Context, Error, _stamped, with_now

STATIC = Path(__file__).resolve().parent / "static"
MAX_BODY = 1 << 20
DRAIN_LIMIT = 16 << 20  # an oversized body read before refusing it, at most
ARROW_STREAM = "application/vnd.apache.arrow.stream"
GRAINS = ["second", "minute", "hour", "day", "week", "month", "quarter", "year"]
log = logging.getLogger("quendra.serve")


class HttpError(Exception):
    """A failure with its HTTP status and error document, and the
    documentation target that explains it (see _docs), if any."""

    def __init__(self, status: int, code: str, message: str, see: Optional[str] = None):
        super().__init__(message)
        self.status, self.doc = status, {"code": code, "message": message}
        if see:
            self.doc["see"] = _docs.site_path(see)


def _library_error(e: Error, body: bytes = b"") -> HttpError:
    """The library's error document, with 404 for an unknown model, 500 when
    it ran out of memory, and 400 for every other fault of the query (where
    the request `body` is not JSON, saying where)."""
    code = e.code_text or "Error"
    where = not_json(e, body)
    if where:
        return HttpError(400, code, f"the request body is not JSON: {where}")
    status = 404 if code == "UnknownModel" else 500 if code == "OutOfMemory" else 400
    return HttpError(status, code, e.message or str(e), _docs.see(e.code_text, e.message))


def _json_value(v: Any) -> Any:
    if isinstance(v, float) and not math.isfinite(v):
        return str(v)  # JSON has no NaN or infinity
    if isinstance(v, datetime):
        return v.isoformat(sep=" ")
    if isinstance(v, (date, dtime)):
        return v.isoformat()
    if isinstance(v, Decimal):
        return str(v)
    if isinstance(v, timedelta):
        return v.total_seconds()
    if isinstance(v, bytes):
        return v.hex()
    return v


def table_json(table: Any) -> dict:
    """{"columns": [{"name", "type"}], "rows": [[...], ...]}, and "now": the
    instant a relative time_range was read at when the query gave none."""
    cols = [c.to_pylist() for c in table.columns]
    doc = {"columns": [{"name": f.name, "type": str(f.type)} for f in table.schema],
           "rows": [[_json_value(c[i]) for c in cols] for i in range(table.num_rows)]}
    now = (table.schema.metadata or {}).get(b"quendra.now")
    if now is not None:
        doc["now"] = now.decode()
    return doc


_ZONES: Optional[list] = None
_ZONES_LOCK = threading.Lock()


def time_zones() -> list:
    """The zone names the library accepts, sorted. The library lists none
    itself: Python's zone names are offered to it, and those it takes kept
    (its table was built from that list, so all of them, as a rule)."""
    global _ZONES
    with _ZONES_LOCK:
        if _ZONES is None:
            import zoneinfo
            probe = {"models": {"z": {"table": "z", "dimensions": {"t": {"expr": "t", "time": True}}}}}
            names = []
            with Context() as ctx:
                ctx.load_models(probe)
                for zone in sorted(zoneinfo.available_timezones() | {"UTC"}):
                    try:
                        ctx.sql({"model": "z", "dimensions": ["t"], "time_zone": zone})
                    except Error:
                        continue
                    names.append(zone)
            _ZONES = names
        return _ZONES


def table_ipc(table: Any) -> bytes:
    import pyarrow as pa
    sink = pa.BufferOutputStream()
    with pa.ipc.new_stream(sink, table.schema) as writer:
        writer.write_table(table)
    return sink.getvalue().to_pybytes()


@dataclass
class Config:
    manifest: str
    files: dict  # table name -> Path
    engine: str = "memory"
    token: Optional[str] = None
    reload: bool = False
    timeout: float = 30.0
    workers: int = 4
    docs: Optional[Path] = None  # the built documentation site, served at /docs/
    dsn: Optional[str] = None  # the PostgreSQL database of --engine postgres


def built_site() -> Optional[Path]:
    """The documentation site `make docs` built in this source tree, if any."""
    site = Path(__file__).resolve().parents[2] / "build" / "site"
    return site if (site / "index.html").is_file() else None


class Pool:
    """Contexts loaded with one manifest (and, in memory, the tables).
    `path` names the manifest in the message when it is not JSON."""

    def __init__(self, manifest: Any, tables: dict, size: int, path: str = "manifest"):
        self.manifest = manifest
        self.free: queue.Queue = queue.Queue()
        self.all = []
        try:
            for _ in range(size):
                ctx = Context()
                self.all.append(ctx)
                try:
                    ctx.load_models(manifest)
                except Error as e:
                    where = not_json(e, manifest)
                    if where:
                        raise CliError(f"manifest {path}: not JSON: {where}") from None
                    raise
                ctx.bind_tables(tables)
                self.free.put(ctx)
        except BaseException:
            self.close()
            raise
        self.meta: Optional[dict] = None
        self.meta_lock = threading.Lock()

    def run(self, work: Callable[[Context], Any]) -> Any:
        ctx = self.free.get()
        try:
            return work(ctx)
        finally:
            self.free.put(ctx)

    def close(self) -> None:
        for ctx in self.all:
            ctx.close()


class Service:
    """The state behind the routes: the pool, the engine and the tables."""

    def __init__(self, config: Config):
        self.config = config
        self.pool: Optional[Pool] = None
        self.failure: Optional[str] = None  # why loading failed, reported by every request
        self.failure_see: Optional[str] = None  # the page that explains it
        self.tables: dict = {}
        self.engine: Any = None  # DuckDB connection or Spark session
        self._session: Any = None
        self._mtime: Optional[float] = None
        self._stop = threading.Event()

    # -- loading

    def load(self) -> None:
        """Reads the tables (memory) or opens the engine, then the manifest."""
        try:
            files = self.config.files
            self._mtime = self._manifest_mtime()
            manifest = read_manifest(self.config.manifest)
            sources = read_sources(files, _document(manifest))
            if self.config.engine == "memory":
                self.tables = {name: source.table() for name, source in sources.items()}
            elif self.config.engine == "postgres":
                # A connection of its own for each request, over the
                # database's own tables.
                self.engine = need("psycopg", "--engine postgres")
            else:
                opener = duckdb_over_files if self.config.engine == "duckdb" else spark_over_files
                self._session = opener(sources, None)
                self.engine = self._session.engine
            self.pool = Pool(manifest, self.tables, self.config.workers, self.config.manifest)
            log.info("ready: %d tables, engine %s", len(files), self.config.engine)
        except CliError as e:  # a message of its own, reported by every request
            self.failure = str(e)
            log.error("loading failed: %s", self.failure)
        except Exception as e:  # noqa: BLE001 - reported by every request instead
            self.failure = f"{type(e).__name__}: {e}"
            if isinstance(e, Error):
                self.failure_see = _docs.see(e.code_text, e.message)
            log.error("loading failed: %s", self.failure)

    def _manifest_mtime(self) -> Optional[float]:
        try:
            return os.stat(self.config.manifest).st_mtime
        except OSError:
            return None

    def watch(self) -> None:
        """Reloads the manifest when its file changes; a manifest that does
        not load is reported and the previous one keeps serving."""
        while not self._stop.wait(0.5):
            if self.pool is None:
                continue
            mtime = self._manifest_mtime()
            if mtime is None or mtime == self._mtime:
                continue
            self._mtime = mtime
            try:
                fresh = Pool(read_manifest(self.config.manifest), self.tables, self.config.workers,
                             self.config.manifest)
            except Exception as e:  # noqa: BLE001
                log.error("reload of %s failed, still serving the previous manifest: %s", self.config.manifest, e)
                continue
            old, self.pool = self.pool, fresh
            log.info("reloaded %s", self.config.manifest)
            # Requests still holding the old contexts finish with them; the
            # old pool is closed once they are all back.
            threading.Thread(target=_close_when_free, args=(old,), daemon=True).start()

    def stop(self) -> None:
        self._stop.set()
        if self._session is not None:
            self._session.__exit__(None, None, None)

    def ready_pool(self) -> Pool:
        if self.failure is not None:
            raise HttpError(503, "LoadFailed", self.failure, self.failure_see)
        if self.pool is None:
            raise HttpError(503, "Loading", "the manifest and tables are still loading")
        return self.pool

    # -- answers (run in worker threads)

    def answer(self, pool: Pool, query: bytes) -> Any:
        """The answer's table; a relative time_range without "now" is read
        at the system clock on every engine, and the table's schema metadata
        b"quendra.now" says which instant was used."""
        query, now = with_now(query)

        def work(ctx: Context) -> Any:
            try:
                if self.engine is None:
                    return _stamped(ctx.execute(query), now)
                sql = ctx.sql(query, self.config.engine)
            except Error as e:
                raise _library_error(e, query) from None
            return _stamped(self._run_sql(sql), now)
        return pool.run(work)

    def _run_sql(self, sql: str) -> Any:
        from ._engines import run
        try:
            if self.config.engine == "duckdb":
                cur = self._session.cursor()  # a DuckDB connection serves one thread at a time
                try:
                    return run(cur, "duckdb", sql)
                finally:
                    cur.close()
            if self.config.engine == "postgres":
                with self.engine.connect(self.config.dsn) as con:
                    return run(con, "postgres", sql)
            return run(self.engine, "spark", sql)
        except Exception as e:  # noqa: BLE001 - the engine's own failure, whatever its type
            first = next((line.strip() for line in str(e).splitlines() if line.strip()), type(e).__name__)
            raise HttpError(500, "EngineFailed", f"{self.config.engine}: {first}") from None

    def sql(self, pool: Pool, query: bytes, dialect: str) -> str:
        def work(ctx: Context) -> str:
            try:
                return ctx.sql(query, dialect)
            except Error as e:
                raise _library_error(e, query) from None
        return pool.run(work)

    def check(self, pool: Pool) -> dict:
        """The check, probed in memory or on DuckDB (over a cursor of its
        own); not on Spark, where each of its many probes is slow."""
        def work(ctx: Context) -> dict:
            if self.engine is None:
                return ctx.check(probe=True).to_dict()
            if self.config.engine != "duckdb":
                return ctx.check().to_dict()
            cur = self._session.cursor()
            try:
                return ctx.check(probe=True, engines=(cur,)).to_dict()
            finally:
                cur.close()
        return pool.run(work)

    def meta(self, pool: Pool) -> dict:
        with pool.meta_lock:
            if pool.meta is None:
                pool.meta = _meta(self, pool)
            return pool.meta


def _document(manifest: Any) -> Any:
    """The manifest as a document, for the column kinds it declares; None
    when it is not JSON (which loading it then reports)."""
    if isinstance(manifest, dict):
        return manifest
    try:
        return json.loads(manifest)
    except ValueError:
        return None


def _close_when_free(pool: Pool) -> None:
    for _ in pool.all:
        pool.free.get()
    pool.close()


def _members(d: Any, key: str) -> dict:
    v = d.get(key) if isinstance(d, dict) else None
    return v if isinstance(v, dict) else {}


def _meta(service: Service, pool: Pool) -> dict:
    """Every model with its dimensions (kind: the Arrow type its values take,
    found by a query of no rows; time; grains), measures (aggregate,
    filters), joins, segments and the calendar that names its periods
    (week_start, fiscal_year_start), for building pickers and reading
    answers; and "docs", where the documentation site is served, or None."""
    manifest = pool.manifest if isinstance(pool.manifest, dict) else json.loads(pool.manifest)
    models = _members(manifest, "models")
    out = []
    for name, model in models.items():
        if not isinstance(model, dict):
            continue
        prefix = f"{name}." if _members(model, "joins") else ""
        # A fiscal calendar (the model's, else the manifest's) adds its grains.
        fiscal = any("fiscal_year_start" in _members(owner, "calendar") for owner in (model, manifest))
        extra = ["fiscal_quarter", "fiscal_year"] if fiscal else []
        # The calendar its periods are named by: the model's, key by key over the manifest's.
        calendar = {**_members(manifest, "calendar"), **_members(model, "calendar")}
        week_start = calendar.get("week_start")
        year_start = calendar.get("fiscal_year_start")
        dims = []
        for key, d in _members(model, "dimensions").items():
            time = isinstance(d, dict) and d.get("time") is True
            smallest = d.get("smallest_time_grain") if isinstance(d, dict) else None
            grains = GRAINS[GRAINS.index(smallest):] if smallest in GRAINS else GRAINS if time else []
            grains = grains + extra if grains else grains
            dims.append({"name": prefix + key, "time": time, "grains": grains, "kind": None,
                         "measure": bool(isinstance(d, dict) and "measure" in d and "expr" not in d)})
        for join, j in _members(model, "joins").items():
            target = models.get(j.get("model")) if isinstance(j, dict) else None
            for key, d in _members(target, "dimensions").items():
                time = isinstance(d, dict) and d.get("time") is True
                dims.append({"name": f"{join}.{key}", "time": time, "grains": GRAINS + extra if time else [],
                             "kind": None, "join": join})
        for dim in dims:
            q = {"model": name, "dimensions": [dim["name"]], "limit": 0}
            if dim["time"]:
                q["time_grains"] = {dim["name"]: "year"}
            try:
                dim["kind"] = str(service.answer(pool, json.dumps(q).encode()).schema.field(0).type)
            except HttpError:
                pass
        measures = []
        for key, m in _members(model, "measures").items():
            m = m if isinstance(m, dict) else {}
            kind = m.get("agg") or ("calc" if "calc" in m else "total" if "total" in m else
                                    "rank" if "rank" in m else "derived" if "measure" in m else None)
            measures.append({"name": key, "aggregate": kind, "filters": m.get("filters", []),
                             "description": m.get("description")})
        joins = [{"name": k, "model": j.get("model"), "type": j.get("type", "one")}
                 for k, j in _members(model, "joins").items() if isinstance(j, dict)]
        zone = model.get("time_zone")
        out.append({"name": name, "table": model.get("table"), "dimensions": dims, "measures": measures,
                    "joins": joins, "segments": sorted(_members(model, "segments")),
                    "time_zone": zone if isinstance(zone, str) else None,
                    "fiscal": bool(extra),
                    "week_start": week_start.lower() if isinstance(week_start, str) else "monday",
                    "fiscal_year_start": year_start if isinstance(year_start, int) else 1})
    return {"models": out, "engine": service.config.engine, "time_zones": time_zones(),
            "docs": "/docs/" if service.config.docs else None}


# ---------------------------------------------------------------- the app


def make_app(config: Config, service: Optional[Service] = None) -> Any:
    """The Starlette application over `config`; loading starts with it."""
    need("starlette", "serving")
    from contextlib import asynccontextmanager

    import anyio
    from starlette.applications import Starlette
    from starlette.requests import Request
    from starlette.responses import FileResponse, JSONResponse, Response
    from starlette.routing import Mount, Route
    from starlette.staticfiles import StaticFiles

    service = service or Service(config)

    @asynccontextmanager
    async def lifespan(app: Any):
        threading.Thread(target=service.load, daemon=True).start()
        if config.reload:
            threading.Thread(target=service.watch, daemon=True).start()
        yield
        service.stop()

    async def body(request: Request) -> bytes:
        # An oversized body is still read, up to a bound, before the answer
        # refuses it: a client that is still sending when the connection
        # closes would see a broken pipe instead of the 413.
        length = request.headers.get("content-length")
        if length is not None and length.isdigit() and int(length) > DRAIN_LIMIT:
            raise HttpError(413, "TooLarge", "the request body is over 1 MiB")
        chunks, size = [], 0
        async for chunk in request.stream():
            size += len(chunk)
            if size > DRAIN_LIMIT:
                break
            if size <= MAX_BODY:
                chunks.append(chunk)
        if size > MAX_BODY:
            raise HttpError(413, "TooLarge", "the request body is over 1 MiB")
        return b"".join(chunks)

    async def in_thread(fn: Callable[..., Any], *args: Any) -> Any:
        # Past the timeout the answer is abandoned: the thread finishes its
        # call and gives its context back, and the client gets 504.
        try:
            with anyio.fail_after(config.timeout):
                return await anyio.to_thread.run_sync(fn, *args, abandon_on_cancel=True)
        except TimeoutError:
            raise HttpError(504, "Timeout", f"no answer within {config.timeout:g} s") from None

    async def query(request: Request) -> Response:
        pool = service.ready_pool()
        table = await in_thread(service.answer, pool, await body(request))
        if ARROW_STREAM in request.headers.get("accept", ""):
            return Response(await anyio.to_thread.run_sync(table_ipc, table), media_type=ARROW_STREAM)
        return JSONResponse(await anyio.to_thread.run_sync(table_json, table))

    async def sql(request: Request) -> Response:
        dialect = request.query_params.get("dialect", "duckdb")
        if dialect not in ("duckdb", "spark", "postgres"):
            raise HttpError(400, "Invalid", "dialect must be 'duckdb', 'spark' or 'postgres'")
        pool = service.ready_pool()
        text = await in_thread(service.sql, pool, await body(request), dialect)
        return JSONResponse({"dialect": dialect, "sql": text})

    async def meta(request: Request) -> Response:
        return JSONResponse(await in_thread(service.meta, service.ready_pool()))

    async def check(request: Request) -> Response:
        return JSONResponse(await in_thread(service.check, service.ready_pool()))

    async def healthz(request: Request) -> Response:
        state = "failed" if service.failure else "ok" if service.pool else "loading"
        return JSONResponse({"status": state})

    async def failed(request: Request, e: Exception) -> Response:
        assert isinstance(e, HttpError)
        return JSONResponse(e.doc, status_code=e.status)

    async def page(request: Request) -> Response:
        return FileResponse(STATIC / "index.html")

    app = Starlette(routes=[
        Route("/v1/query", query, methods=["POST"]),
        Route("/v1/sql", sql, methods=["POST"]),
        Route("/v1/meta", meta, methods=["GET"]),
        Route("/v1/check", check, methods=["GET"]),
        Route("/healthz", healthz, methods=["GET"]),
        Route("/", page, methods=["GET"]),
        Mount("/static", StaticFiles(directory=STATIC), name="static"),
        *([Mount("/docs", StaticFiles(directory=config.docs, html=True), name="docs")] if config.docs else []),
    ], lifespan=lifespan, exception_handlers={HttpError: failed})
    app.state.service = service
    return _Guard(app, config.token)


class _Guard:
    """ASGI wrapper: the bearer token on /v1/, and one log line per request
    with its status and time."""

    def __init__(self, app: Any, token: Optional[str]):
        self.app, self.token = app, token

    async def __call__(self, scope: dict, receive: Any, send: Any) -> None:
        if scope["type"] != "http":
            return await self.app(scope, receive, send)
        start = time.perf_counter()
        status = [500]

        async def sending(message: dict) -> None:
            if message["type"] == "http.response.start":
                status[0] = message["status"]
            await send(message)

        try:
            path = scope.get("path", "")
            if self.token is not None and path.startswith("/v1/"):
                headers = dict(scope.get("headers") or [])
                given = headers.get(b"authorization", b"")
                if not hmac.compare_digest(given, f"Bearer {self.token}".encode()):
                    body = json.dumps({"code": "Unauthorized", "message": "missing or wrong bearer token"}).encode()
                    await sending({"type": "http.response.start", "status": 401,
                                   "headers": [(b"content-type", b"application/json"),
                                               (b"content-length", str(len(body)).encode()),
                                               (b"www-authenticate", b"Bearer")]})
                    await sending({"type": "http.response.body", "body": body})
                    return
            await self.app(scope, receive, sending)
        finally:
            ms = (time.perf_counter() - start) * 1000
            log.info("%s %s %d %.1f ms", scope.get("method", "-"), scope.get("path", ""), status[0], ms)


def serve(config: Config, host: str, port: int) -> None:
    need("uvicorn", "serving")
    import uvicorn
    handler = logging.StreamHandler()
    handler.setFormatter(logging.Formatter("%(asctime)s %(message)s"))
    log.addHandler(handler)
    log.setLevel(logging.INFO)
    print(f"quendra: serving {config.manifest} ({config.engine}) on http://{host}:{port}", flush=True)
    uvicorn.run(make_app(config), host=host, port=port, log_level="warning", access_log=False)

