"""Manifest checking: Context.check and `python -m quendra check`, with and
without data, and manifests written in YAML."""

from __future__ import annotations

import json

import pyarrow as pa
import pyarrow.parquet as pq
import pytest

import quendra
from reference import EXAMPLES, MANIFEST_PATH
from test_engines import cli

# Every kind of definition broken once, next to good ones that must pass.
BROKEN = {"models": {
    "orders": {"table": "orders",
               "dimensions": {"id": "id", "status": "status", "customer_id": "customer_id", "bad": "id +",
                              "no_expr": 5, "at": {"expr": "ts", "time": True, "smallest_time_grain": "fortnight"},
                              "day": {"expr": "ts", "time": True}, "n_all": {"measure": "n"},
                              "theirs": {"measure": "customers.nope"}},
               "measures": {"n": {"agg": "count"}, "total": {"agg": "sum", "expr": "amount"},
                            "broken": {"agg": "sum", "expr": "amount *"}, "mode": {"agg": "mode", "expr": "x"},
                            "per": {"calc": "avg_total / n"}, "avg_total": {"calc": "total / n"},
                            "lost": {"calc": "total / totl"},
                            "odd": {"agg": "count", "filters": [{"field": "n", "operator": ">", "value": 1}]},
                            "as_text": {"agg": "sum", "expr": "status"},
                            "total_ly": {"measure": "total", "offset": 1, "unit": "year"},
                            "total_lf": {"measure": "total", "offset": 1, "unit": "fortnight"}},
               "joins": {"customers": {"model": "customers", "left_on": "customer_id", "right_on": "id"},
                         "ghost": {"model": "nobody", "left_on": "customer_id", "right_on": "id"},
                         "twice": {"model": "customers", "left_on": "status", "right_on": "name"}}},
    "customers": {"table": "customers", "dimensions": {"id": "id", "name": "name"}},
    "tableless": {"dimensions": {"id": "id"}},
    "returns": {"table": "returns", "dimensions": {"id": "id"}, "measures": {"n": {"agg": "count"}}},
    "scoped": {"table": "orders", "dimensions": {"id": "id", "status": "status"}, "where": {"field": "id"},
               "segments": {"ok": [{"field": "id", "operator": ">", "value": 1}],
                            "unknown": [{"field": "nope.x", "operator": "=", "value": 1}],
                            "textual": [{"field": "status", "operator": ">", "value": 1}]}},
    "tenant": {"table": "orders", "dimensions": {"id": "id"}, "where": [{"field": "id", "operator": "<", "value": 3}]},
}}

PLAN_PROBLEMS = {
    ("orders", "dimension", "orders.bad"), ("orders", "dimension", "orders.no_expr"),
    ("orders", "dimension", "orders.at"), ("orders", "measure", "broken"), ("orders", "measure", "mode"),
    ("orders", "measure", "lost"), ("orders", "measure", "odd"), ("orders", "join", "ghost"),
    ("orders", "measure", "total_lf"), ("orders", "dimension", "orders.theirs"),
    ("tableless", "model", None), ("scoped", "where", None), ("scoped", "segment", "unknown"),
}
# Over the data: a text summed, a join key that is not unique, a missing table.
PROBE_PROBLEMS = {("orders", "measure", "as_text"), ("orders", "join", "twice"), ("returns", "model", None),
                  ("scoped", "segment", "textual")}
TABLES = {
    "orders": pa.table({"id": [1, 2, 3], "status": ["a", "b", "a"], "customer_id": [1, 2, 9], "amount": [1.0, 2.0, 3.0],
                        "ts": pa.array([0, 1, 2], pa.timestamp("us"))}),
    "customers": pa.table({"id": [1, 2], "name": ["a", "a"]}),
}


def found(problems) -> set:
    return {(p.model, p.kind, p.field) for p in problems}


def test_check_names_every_broken_definition_and_only_those():
    with quendra.Context() as ctx:
        ctx.load_models(BROKEN)
        report = ctx.check()
        assert found(report.problems) == PLAN_PROBLEMS
        assert (report.models, report.fields) == (6, 9 + 11 + 2 * 2 + 2 + 2 + 5 + 1)  # a model without a table has none
        assert {str(p) for p in report.problems if p.field in ("broken", "lost")} == {
            "model 'orders', measure 'broken': cannot parse expression 'amount *'",
            "model 'orders': measure 'lost' refers to unknown measure 'totl'; did you mean 'total'?"}
        assert {str(p) for p in report.problems if p.model == "scoped"} == {
            "model 'scoped': 'where' must be an array of filters",
            "model 'scoped': segment 'unknown': unknown filter field 'nope.x'"}
        ctx.bind_tables(TABLES)
        probed = ctx.check(probe=True)
        assert found(probed.problems) == PLAN_PROBLEMS | PROBE_PROBLEMS
        assert {p.stage for p in probed.problems if (p.model, p.kind, p.field) in PROBE_PROBLEMS} == {"probe"}
        # The manifest the caller loaded is back in place.
        assert ctx.execute({"model": "customers", "dimensions": ["name"]}).num_rows == 1


def test_a_good_manifest_passes():
    with quendra.Context() as ctx:
        ctx.load_models(MANIFEST_PATH.read_bytes())
        report = ctx.check()
        assert report.ok and report.models == 6 and report.fields > 90
        # Dimensions defined by measures, through many-joins and model-wide.
        ctx.load_models((EXAMPLES / "tpch" / "manifest.json").read_bytes())
        assert ctx.check().ok
    with quendra.Context() as ctx, pytest.raises(ValueError, match="no manifest"):
        ctx.check()


def test_command_line_check(tmp_path):
    manifest = tmp_path / "broken.json"
    manifest.write_text(json.dumps(BROKEN))
    data = tmp_path / "data"
    data.mkdir()
    for name, table in TABLES.items():
        pq.write_table(table, data / f"{name}.parquet")
    out = cli("check", "--manifest", str(manifest))
    lines = out.stdout.strip().splitlines()
    assert out.returncode == 1 and len(lines) == len(PLAN_PROBLEMS) + 1, out.stdout + out.stderr
    assert lines[-1] == f"6 models, 34 fields: {len(PLAN_PROBLEMS)} problems"
    assert "model 'orders': measure 'lost' refers to unknown measure 'totl'; did you mean 'total'?" in lines
    out = cli("check", "--manifest", str(manifest), "--data", str(data), "--format", "json")
    doc = json.loads(out.stdout)
    assert out.returncode == 1 and not doc["ok"]
    assert {(p["model"], p["kind"], p["field"]) for p in doc["problems"]} == PLAN_PROBLEMS | PROBE_PROBLEMS
    good = cli("check", "--manifest", str(MANIFEST_PATH))
    assert good.returncode == 0 and good.stdout.strip().endswith(": no problems"), good.stdout


def test_yaml_manifests(tmp_path):
    """A manifest in YAML gives the SQL of its JSON twin; YAML's own
    surprises (a bare date, a key that is not text) are handled or refused."""
    manifest = {"models": {"orders": {"table": "orders", "dimensions": {"status": "status"}, "measures": {
        "recent": {"agg": "count", "filters": [{"field": "created_at", "operator": ">=", "value": "2024-01-01"}]}}}}}
    as_json = tmp_path / "m.json"
    as_json.write_text(json.dumps(manifest))
    as_yaml = tmp_path / "m.yml"
    as_yaml.write_text("models:\n  orders:\n    table: orders\n    dimensions: {status: status}\n"
                       "    measures:\n      recent:\n        agg: count\n"
                       "        filters: [{field: created_at, operator: '>=', value: 2024-01-01}]\n")
    query = json.dumps({"model": "orders", "dimensions": ["status"], "measures": ["recent"]})
    outs = [cli("sql", "--manifest", str(m), "--query", query) for m in (as_json, as_yaml)]
    assert [o.returncode for o in outs] == [0, 0] and outs[0].stdout == outs[1].stdout, outs[1].stderr
    assert "'2024-01-01'" in outs[0].stdout
    for text, message in (("models: {1: {}}\n", "key 1 is not text"), ("models: [\n", "not valid YAML")):
        bad = tmp_path / "bad.yaml"
        bad.write_text(text)
        out = cli("load", "--manifest", str(bad))
        assert out.returncode == 1 and message in out.stderr and len(out.stderr.splitlines()) == 1, out.stderr


def test_package_modules_import_one_way():
    """No module of the package imports one that imports it back, directly
    or round a longer cycle (lazy imports inside functions included)."""
    import ast
    from pathlib import Path

    package = Path(quendra.__file__).parent
    graph = {}
    for path in package.glob("*.py"):
        deps = set()
        for node in ast.walk(ast.parse(path.read_text())):
            if isinstance(node, ast.ImportFrom) and node.level == 1:
                deps |= {node.module} if node.module else {a.name for a in node.names}
        graph[path.stem] = deps

    def reaches(start, goal, seen):
        return any(d == goal or (d not in seen and reaches(d, goal, seen | {d})) for d in graph.get(start, ()))

    assert [m for m in graph if reaches(m, m, {m})] == []
