"""One query on every engine: Context.query in memory, on DuckDB, on Spark and
on PostgreSQL, and `python -m quendra run --engine ...` reading the data
files in place."""

from __future__ import annotations

import json
import os
import subprocess
import sys

import pyarrow as pa
import pyarrow.parquet as pq
import pytest

import quendra
from reference import DATA, EXAMPLES, MANIFEST_PATH, ROOT, same_value

sys.path.insert(0, str(EXAMPLES))
from demo import QUERIES, TABLES  # noqa: E402

FILES = ["--data", str(DATA), "--table", f"sales.returns={DATA / 'returns.parquet'}"]


def cli(*args: str, hide: str = "", tmp_path=None) -> subprocess.CompletedProcess:
    """`python -m quendra ARGS`; with `hide`, as if that package were not
    installed (a sitecustomize in tmp_path blocks its import)."""
    path = [str(ROOT / "python")]
    if hide:
        (tmp_path / "sitecustomize.py").write_text(f"import sys\nsys.modules[{hide!r}] = None\n")
        path.insert(0, str(tmp_path))
    env = {"PYTHONPATH": ":".join(path), "PATH": "/usr/bin:/bin", "TZ": "UTC"}
    if "JDK_JAVA_OPTIONS" in os.environ:  # the tests' JVM settings, see conftest.py
        env["JDK_JAVA_OPTIONS"] = os.environ["JDK_JAVA_OPTIONS"]
    return subprocess.run([sys.executable, "-m", "quendra", *args], capture_output=True, text=True, env=env, cwd=ROOT)


def assert_same(got: pa.Table, want: pa.Table, context: str = "") -> None:
    """Same names, same types, same rows in the same order; floats to a
    relative 1e-9, since engines add in different orders."""
    assert got.schema == want.schema, context
    g, w = (list(zip(*(c.to_pylist() for c in t.columns))) for t in (got, want))
    assert len(g) == len(w) and all(len(a) == len(b) and all(map(same_value, a, b)) for a, b in zip(g, w)), \
        f"{context}\n{g}\n!=\n{w}"


@pytest.fixture(scope="module")
def bound_ctx():
    with quendra.Context() as ctx:
        ctx.load_models(MANIFEST_PATH.read_bytes())
        ctx.bind_tables({name: pq.read_table(DATA / f"{file}.parquet") for name, file in TABLES.items()})
        yield ctx


@pytest.mark.parametrize("title, query", QUERIES, ids=[f"q{i}" for i in range(1, len(QUERIES) + 1)])
def test_example_queries_agree_on_every_engine(title, query, bound_ctx, duck, spark):
    memory = bound_ctx.query(query)
    assert memory.num_rows > 0
    assert memory.equals(bound_ctx.execute(query))
    for name, engine in (("duckdb", duck), ("spark", spark)):
        assert_same(bound_ctx.query(query, engine=engine), memory, f"{name}: {title}")


@pytest.mark.parametrize("title, query", QUERIES, ids=[f"q{i}" for i in range(1, len(QUERIES) + 1)])
def test_example_queries_agree_on_postgres(title, query, bound_ctx, pg):
    assert_same(bound_ctx.query(query, engine=pg), bound_ctx.query(query), f"postgres: {title}")


@pytest.mark.parametrize("engine", ["duckdb", "spark"])
def test_command_line_engines_read_the_files_in_place(engine):
    _, query = QUERIES[5]  # two joins, filtered measures, a calculation
    answers = [cli("run", "--manifest", str(MANIFEST_PATH), *FILES, "--query", json.dumps(query),
                   "--format", "json", "--engine", e) for e in ("memory", engine)]
    assert [a.returncode for a in answers] == [0, 0], answers[1].stderr
    got, want = (json.loads(a.stdout) for a in answers)
    assert got["columns"] == want["columns"]
    assert len(got["rows"]) == len(want["rows"]) > 1
    assert all(all(map(same_value, a, b)) for a, b in zip(got["rows"], want["rows"])), (got, want)


def test_command_line_runs_on_postgres_over_its_tables(pg_server, pg):
    _, query = QUERIES[5]
    answers = [cli("run", "--manifest", str(MANIFEST_PATH), *args, "--query", json.dumps(query), "--format", "json")
               for args in (FILES, ["--engine", "postgres", "--dsn", pg_server.dsn])]
    assert [a.returncode for a in answers] == [0, 0], answers[1].stderr
    want, got = (json.loads(a.stdout) for a in answers)
    assert got["columns"] == want["columns"]
    assert len(got["rows"]) == len(want["rows"]) > 1
    assert all(all(map(same_value, a, b)) for a, b in zip(got["rows"], want["rows"])), (got, want)
    refused = cli("run", "--manifest", str(MANIFEST_PATH), *FILES, "--query", json.dumps(query),
                  "--engine", "postgres", "--dsn", pg_server.dsn)
    assert refused.returncode != 0 and refused.stderr.strip() == \
        "error: --engine postgres reads the tables of its database: --data and --table do not apply"


def test_duckdb_answers_over_a_file_larger_than_its_memory_limit(tmp_path):
    """A distinct count of 20,000,000 distinct keys and a sum, grouped, from a
    Parquet file nearly four times DuckDB's memory limit: DuckDB must spill."""
    import duckdb

    path = tmp_path / "big.parquet"
    duckdb.sql(f"""COPY (SELECT i % 7 AS g, hash(i) AS k, hash(i + 1) % 100000 / 8 AS x
                        FROM range(20000000) t(i)) TO '{path}' (FORMAT parquet)""")
    limit = "64MB"
    assert path.stat().st_size > 3.5 * 64e6, path.stat().st_size
    manifest = tmp_path / "m.json"
    manifest.write_text(json.dumps({"models": {"big": {"table": "big", "dimensions": {"g": "g"},
        "measures": {"keys": {"agg": "nunique", "expr": "k"}, "x": {"agg": "sum", "expr": "x"}}}}}))
    query = json.dumps({"model": "big", "dimensions": ["g"], "measures": ["keys", "x"], "order_by": ["g"]})
    out = cli("run", "--manifest", str(manifest), "--table", f"big={path}", "--query", query, "--format", "json",
              "--engine", "duckdb", "--memory-limit", limit)
    assert out.returncode == 0, out.stderr
    want = duckdb.sql(f"SELECT g, count(DISTINCT k), sum(x) FROM '{path}' GROUP BY g ORDER BY g").fetchall()
    assert json.loads(out.stdout)["rows"] == [list(r) for r in want]


@pytest.mark.parametrize("missing, args, package", [
    ("duckdb", ["run", "--engine", "duckdb"], "pip install duckdb"),
    ("pyspark", ["run", "--engine", "spark"], "pip install pyspark"),
    ("yaml", ["load"], "pip install PyYAML"),
    ("pandas", ["run", "--engine", "spark", "--spark-remote", "sc://localhost:1"], "pip install 'pyspark[connect]'"),
])
def test_a_missing_package_is_named_in_one_line(missing, args, package, tmp_path):
    manifest = tmp_path / "m.yaml"
    manifest.write_text("models: {}\n")
    if args[0] == "run":
        args += ["--data", str(DATA), "--query", '{"model": "orders", "measures": ["order_count"]}']
        manifest = MANIFEST_PATH
    out = cli(*args, "--manifest", str(manifest), hide=missing, tmp_path=tmp_path)
    lines = out.stderr.strip().splitlines()
    assert out.returncode == 1 and len(lines) == 1 and package in lines[0], out.stderr


@pytest.mark.parametrize("args, message", [
    (["--engine", "memory", "--memory-limit", "1GB"], "--memory-limit applies to --engine duckdb only"),
    (["--engine", "duckdb", "--spark-remote", "sc://h:1"], "--spark-remote applies to --engine spark only"),
    (["--engine", "duckdb", "--memory-limit", "lots"], "cannot start DuckDB"),
    (["--engine", "duckdb", "--table", f"a.b.c={DATA / 'orders.parquet'}"], "'table' or 'schema.table' only"),
    (["--engine", "duckdb", "--query", '{"model": "orders", "measures": ["nope"]}'], "unknown measure"),
    (["--engine", "duckdb", "--query", '{"model": "orders", "dimensions": ["stock.bin"]}'], "duckdb: Catalog Error"),
])
def test_engine_failures_are_one_line(args, message):
    if "--query" not in args:
        args = args + ["--query", '{"model": "orders", "measures": ["order_count"]}']
    out = cli("run", "--manifest", str(MANIFEST_PATH), *FILES, *args)
    lines = out.stderr.strip().splitlines()
    # A fault of the query names, on a line of its own, the page that explains it.
    see = ["see: docs/reference/query.md#measures"] if message == "unknown measure" else []
    assert out.returncode != 0 and message in lines[0] and lines[1:] == see, out.stderr


def test_engine_argument_is_checked(bound_ctx):
    for engine, error in (("duckdb", ValueError), (42, TypeError)):
        with pytest.raises(error, match="DuckDB connection, a Spark session or a psycopg connection"):
            bound_ctx.query({"model": "orders", "measures": ["order_count"]}, engine=engine)
