"""Checking a manifest field by field, for Context.check and
`python -m quendra check`.

The library reads a model whole when a query uses it, so one broken
definition fails every query of its model with the same message. To say
which field is at fault, each model is rebuilt one definition at a time in a
scratch context: its table alone (with a count added, so that there is
always something to plan), then each dimension, each join, each aggregate
and each calculation, keeping those that plan. A definition that does not
plan is a problem of its own; the rest go on being checked without it."""

from __future__ import annotations

import json
from dataclasses import asdict, dataclass, field
from typing import Any, Optional

from ._errors import Error

_PARTS = ("dimensions", "joins", "measures")
GRAINS = ("second", "minute", "hour", "day", "week", "month", "quarter", "year")
# Model-wide filters, tried once the fields they may name are in.
_SCOPES = ("where", "segments")


@dataclass(frozen=True)
class Problem:
    """One problem: `kind` is "model", "dimension", "join", "measure",
    "where", "segment" or "column" (a declared column kind); `field` is the
    name a query uses (a join's name for a join, the column's for a column,
    None for the model itself and its where); `stage` is "plan" or "probe"
    (over bound tables)."""

    model: str
    kind: str
    field: Optional[str]
    message: str
    code: int
    code_text: Optional[str]
    stage: str = "plan"

    def __str__(self) -> str:
        if self.message.startswith(f"model '{self.model}'"):
            return self.message + (" (probe)" if self.stage == "probe" else "")
        where = f"model '{self.model}'"
        if self.field is not None and not self.message.startswith(f"{self.kind} '"):
            where += f", {self.kind} '{self.field}'"
        return f"{where}: {self.message}" + (" (probe)" if self.stage == "probe" else "")


@dataclass
class CheckReport:
    """What Context.check found: how many models and fields it checked, and
    every problem (none when all is well)."""

    models: int = 0
    fields: int = 0
    problems: list[Problem] = field(default_factory=list)

    @property
    def ok(self) -> bool:
        return not self.problems

    def to_dict(self) -> dict:
        return {"ok": self.ok, "models": self.models, "fields": self.fields,
                "problems": [asdict(p) for p in self.problems]}


class _Planner:
    """Plans queries against the manifest with one model replaced, in a
    scratch context of its own."""

    def __init__(self, models: dict, scratch: Any):
        self.models = models
        self.ctx = scratch

    def errors(self, name: str, model: dict, queries: list[dict]) -> list[Optional[Error]]:
        self.ctx.load_models({"models": {**self.models, name: model}})
        out: list[Optional[Error]] = []
        for q in queries:
            try:
                self.ctx.sql(q)
                out.append(None)
            except Error as e:
                out.append(e)
        return out

    def error(self, name: str, model: dict, query: dict) -> Optional[Error]:
        return self.errors(name, model, [query])[0]


def _members(model: dict, part: str) -> dict:
    value = model.get(part)
    return value if isinstance(value, dict) else {}


def _target_dimensions(models: dict, join: Any) -> dict:
    """The dimensions of the model a join reaches."""
    target = models.get(join.get("model")) if isinstance(join, dict) else None
    return _members(target, "dimensions") if isinstance(target, dict) else {}


def _dimension_query(name: str, definition: Any) -> dict:
    """A query of one dimension; a time dimension at the coarsest grain, so
    that its smallest_time_grain is read too."""
    query: dict = {"dimensions": [name]}
    if isinstance(definition, dict) and definition.get("time") is True:
        query["time_grains"] = {name: "year"}
    return query


class _ModelCheck:
    """Rebuilds one model definition by definition; `good` ends as the model
    without the definitions that failed (and with the added count)."""

    def __init__(self, planner: _Planner, name: str, model: dict, report: CheckReport):
        self.planner, self.name, self.model, self.report = planner, name, model, report
        self.count = "__check_rows"
        while self.count in _members(model, "measures"):
            self.count += "_"
        self.good = {k: v for k, v in model.items() if k not in _PARTS + _SCOPES}
        self.good.update(dimensions={}, joins={}, measures={self.count: {"agg": "count"}})
        self.has_joins = bool(_members(model, "joins"))
        self.usable = False  # set once the model's table alone plans
        self.measure_query: dict[str, dict] = {}  # the query each good measure planned with

    def own(self, key: str) -> str:
        """A dimension's name in queries of the finished model."""
        return f"{self.name}.{key}" if self.has_joins else key

    def problem(self, kind: str, fld: Optional[str], e: Error, stage: str = "plan") -> None:
        self.report.problems.append(Problem(self.name, kind, fld, e.message or str(e), e.code, e.code_text, stage))

    def attempt(self, part: str, key: str, value: Any, query: dict) -> Optional[Error]:
        """Adds one definition to the good model when `query` then plans."""
        candidate = dict(self.good, **{part: {**self.good[part], key: value}})
        err = self.planner.error(self.name, candidate, dict(query, model=self.name))
        if err is None:
            self.good = candidate
        return err

    def measure_queries(self, key: str) -> list[dict]:
        """Queries that ask for measure `key`: alone, then (for a measure
        derived along time, or one that reads one) by each time dimension of
        the model at each grain, since those need one."""
        out = [{"measures": [key]}]
        for dim, d in self.good["dimensions"].items():
            if isinstance(d, dict) and d.get("time") is True:
                name = self.own(dim)
                out += [{"dimensions": [name], "time_grains": {name: g}, "measures": [key]}
                        for g in ("day", "week", "month", "quarter", "year")]
        return out

    def attempt_measure(self, key: str, value: Any) -> Optional[Error]:
        """attempt() with the first of measure_queries that plans; the error
        of the plain query when none does."""
        errors = []
        for query in self.measure_queries(key):
            err = self.attempt("measures", key, value, query)
            if err is None:
                self.measure_query[key] = query
                return None
            errors.append(err)
        # Say what is wrong with the measure, not that it lacks a time dimension.
        return next((e for e in errors if "needs one time dimension" not in (e.message or "")), errors[0])

    def run(self) -> None:
        name, model = self.name, self.model
        err = self.planner.error(name, self.good, {"model": name, "measures": [self.count]})
        if err is not None:  # no table, or the like: nothing of the model can work
            self.problem("model", None, err)
            return
        self.usable = True
        for part in _PARTS:
            if part in model and not isinstance(model[part], dict):
                self.report.problems.append(Problem(name, "model", None, f"'{part}' must be an object", 1, "invalid"))
        dims, joins, measures = (_members(model, p) for p in _PARTS)
        self.report.fields += len(dims) + len(measures)
        # A dimension defined by a measure reads joins and measures: it is
        # tried once they are in.
        by_measure = {k: v for k, v in dims.items() if isinstance(v, dict) and "measure" in v and "expr" not in v}
        for key, value in dims.items():
            # Without joins yet, the candidate names its dimensions bare.
            if key in by_measure:
                continue
            if err := self.attempt("dimensions", key, value, _dimension_query(key, value)):
                self.problem("dimension", self.own(key), err)
        for key, value in joins.items():
            # Joins are read whenever the model is: planning the count reads it.
            if err := self.attempt("joins", key, value, {"measures": [self.count]}):
                self.problem("join", key, err)
        # Measures may read each other (calculations, and measures derived
        # along time): add those that plan until none does.
        pending = dict(measures)
        while pending:
            added = [k for k, v in pending.items() if self.attempt_measure(k, v) is None]
            for k in added:
                del pending[k]
            if not added:
                break
        for key, value in pending.items():
            self.problem("measure", key, self.attempt_measure(key, value))
        for key, value in by_measure.items():
            name = f"{self.name}.{key}" if self.good["joins"] else key
            if err := self.attempt("dimensions", key, value, _dimension_query(name, value)):
                self.problem("dimension", self.own(key), err)
        self.scopes()
        # The dimensions of each join that planned, named through the join.
        joined = {f"{j}.{k}": d for j, v in self.good["joins"].items()
                  for k, d in _target_dimensions(self.planner.models, v).items()}
        self.report.fields += len(joined)
        queries = [dict(_dimension_query(f, d), model=name) for f, d in joined.items()]
        for fld, err in zip(joined, self.planner.errors(name, self.good, queries)):
            if err is not None:
                self.problem("dimension", fld, err)

    def scopes(self) -> None:
        """The model's where, then each of its segments, asked by name."""
        rows = {"model": self.name, "measures": [self.count]}
        if "where" in self.model:
            candidate = dict(self.good, where=self.model["where"])
            if err := self.planner.error(self.name, candidate, rows):
                self.problem("where", None, err)
            else:
                self.good = candidate
        if "segments" in self.model and not isinstance(self.model["segments"], dict):
            self.report.problems.append(Problem(self.name, "model", None, "'segments' must be an object", 1, "invalid"))
        segments = _members(self.model, "segments")
        self.report.fields += len(segments)
        for key, value in segments.items():
            candidate = dict(self.good, segments={**self.good.get("segments", {}), key: value})
            if err := self.planner.error(self.name, candidate, dict(rows, segments=[key])):
                self.problem("segment", key, err)
            else:
                self.good = candidate

    def grains(self, definition: Any, fiscal: bool) -> list[str]:
        """The grains a time dimension allows: from its smallest to year,
        and the fiscal ones under a fiscal calendar."""
        smallest = definition.get("smallest_time_grain") if isinstance(definition, dict) else None
        grains = list(GRAINS[GRAINS.index(smallest):] if smallest in GRAINS else GRAINS)
        return grains + ["fiscal_quarter", "fiscal_year"] if fiscal else grains

    def probe(self, ctx: Any, engine: Any, fiscal: bool) -> None:
        """One-row queries over the bound tables on `engine` ("memory", or
        a DuckDB connection or Spark session over the same tables): the
        model, each dimension (a time dimension at every grain it allows),
        join, measure and segment. The good model is loaded."""
        on = "" if engine == "memory" else f"{_engine_name(engine)}: "

        def attempt(query: dict) -> Optional[tuple[str, int, Optional[str]]]:
            """None, or the failure's message, code and code text."""
            try:
                ctx.query(dict(query, model=self.name, limit=1), engine)
                return None
            except Error as e:
                return on + (e.message or str(e)), e.code, e.code_text
            except Exception as e:  # noqa: BLE001 - the engine's own failure, whatever its type
                return on + _first_line(e), 1, "invalid"

        def report(kind: str, fld: Optional[str], query: dict) -> bool:
            failure = attempt(query)
            if failure is not None:
                self.report.problems.append(Problem(self.name, kind, fld, *failure, "probe"))
            return failure is None

        if not report("model", None, {"measures": [self.count]}):
            return  # its table is missing: every probe would say so again
        for key, definition in self.good["dimensions"].items():
            name = self.own(key)
            if not (isinstance(definition, dict) and definition.get("time") is True):
                report("dimension", name, {"dimensions": [name]})
                continue
            # Each grain reads the values as dates or timestamps: one problem
            # per message, naming the grains that meet it.
            allowed = self.grains(definition, fiscal)
            failed: dict[tuple, list[str]] = {}
            for grain in allowed:
                failure = attempt({"dimensions": [name], "time_grains": {name: grain}, "measures": [self.count]})
                if failure is not None:
                    # A message that names its grain is the same problem at
                    # every grain that meets it.
                    message, code, code_text = failure
                    message = message.replace(f" at grain {grain} ", " at grain … ")
                    failed.setdefault((message, code, code_text), []).append(grain)
            for (message, code, code_text), grains in failed.items():
                where = "every grain" if grains == allowed else f"grain{'s' * (len(grains) > 1)} {', '.join(grains)}"
                self.report.problems.append(Problem(self.name, "dimension", name, f"{message} (at {where})",
                                                    code, code_text, "probe"))
        for key, value in self.good["joins"].items():
            keys = list(_target_dimensions(self.planner.models, value))
            if keys:  # a join is run only when a query reads a field through it
                report("join", key, {"dimensions": [f"{key}.{keys[0]}"]})
        for key in self.good["measures"]:
            if key != self.count:
                report("measure", key, self.measure_query.get(key, {"measures": [key]}))
        for key in self.good.get("segments", {}):
            report("segment", key, {"measures": [self.count], "segments": [key]})


def _engine_name(engine: Any) -> str:
    from ._engines import kind
    return kind(engine)


def _first_line(e: BaseException) -> str:
    lines = [line.strip() for line in str(e).splitlines() if line.strip()]
    return lines[0] if lines else type(e).__name__


def check(ctx: Any, manifest: bytes, probe: bool, scratch: Any, engines: Any = ("memory",)) -> CheckReport:
    """The report on `manifest`, planned in `scratch` (a fresh Context, which
    this closes) and, when `probe`, probed in `ctx` on each of `engines`
    ("memory" over the tables bound in `ctx`, or a DuckDB connection or
    Spark session over the same tables)."""
    from ._columns import declared

    report = CheckReport()
    doc = json.loads(manifest)
    models = doc["models"]
    if not isinstance(models, dict):
        scratch.close()
        report.problems.append(Problem("", "model", None, "'models' must be an object", 1, "invalid"))
        return report
    report.problems += [Problem(model, "column", column, message, 1, "invalid")
                        for model, column, message in declared(models)[1]]
    planner = _Planner(models, scratch)
    checks = []
    try:
        for name, model in models.items():
            report.models += 1
            if not isinstance(model, dict):
                report.problems.append(Problem(name, "model", None, "a model must be an object", 1, "invalid"))
                continue
            mc = _ModelCheck(planner, name, model, report)
            mc.run()
            checks.append(mc)
    finally:
        planner.ctx.close()
    if probe:
        # Probes run in the caller's context, over its tables, with every
        # model as rebuilt: a broken definition must not hide the others.
        usable = [mc for mc in checks if mc.usable]
        good = dict(models, **{mc.name: mc.good for mc in usable})
        try:
            ctx.load_models(dict(doc, models=good))
            for engine in engines:
                for mc in usable:
                    fiscal = any("fiscal_year_start" in _members(owner, "calendar") for owner in (doc, mc.model))
                    mc.probe(ctx, engine, fiscal)
        finally:
            ctx.load_models(manifest)
    return report
