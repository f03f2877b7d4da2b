"""Context.sql and the 'sql' command of the Python package."""

from __future__ import annotations

import json
import subprocess
import sys

import pytest

import quendra
from reference import MANIFEST_PATH, ROOT

QUERY = {"model": "orders", "dimensions": ["orders.status"], "measures": ["revenue"],
         "filters": [{"field": "orders.note", "operator": "=", "value": "it's \\ done"}]}


def test_query_as_dict_str_or_bytes_gives_the_same_text(example_ctx):
    text = json.dumps(QUERY)
    sql = example_ctx.sql(QUERY)
    assert example_ctx.sql(text) == sql
    assert example_ctx.sql(text.encode()) == sql
    assert sql.startswith("SELECT ")


@pytest.mark.parametrize("name, number, quote", [("duckdb", 0, '"'), ("spark", 1, "`"), ("SPARK", 1, "`"),
                                                 ("postgres", 2, '"')])
def test_dialect_by_name_or_number(example_ctx, name, number, quote):
    assert example_ctx.sql(QUERY, name) == example_ctx.sql(QUERY, number)
    assert f"AS {quote}revenue{quote}" in example_ctx.sql(QUERY, name)


def test_unknown_dialect_names_and_types_are_refused_before_the_library(example_ctx):
    with pytest.raises(ValueError):
        example_ctx.sql(QUERY, "oracle")
    with pytest.raises(TypeError):
        example_ctx.sql(QUERY, 1.0)


@pytest.mark.parametrize("number", [3, -1])
def test_unknown_dialect_number_is_the_library_error(example_ctx, number):
    with pytest.raises(quendra.Error) as info:
        example_ctx.sql(QUERY, number)
    assert (info.value.code, info.value.message) == (1, "unknown dialect")


@pytest.mark.parametrize("query, code, message", [
    ({"model": "nope", "measures": ["revenue"]}, 2, "unknown model 'nope'"),
    ({"model": "orders", "measures": ["nope"]}, 3, "unknown measure 'nope'"),
    ('{"model": "orders"', 1, "UnexpectedEndOfInput"),
])
def test_failures_raise_error_with_code_and_message(example_ctx, query, code, message):
    with pytest.raises(quendra.Error) as info:
        example_ctx.sql(query)
    assert (info.value.code, info.value.message) == (code, message)
    # the context stays usable and the next success clears the error document
    example_ctx.sql(QUERY)
    assert example_ctx.last_error() == ""


def test_text_is_copied_before_the_next_call_reuses_the_memory(example_ctx):
    first = example_ctx.sql(QUERY)
    example_ctx.sql({"model": "orders", "measures": ["order_count"]})
    assert first == example_ctx.sql(QUERY)


@pytest.mark.parametrize("change", [
    {"filters": [{"field": "orders.note", "operator": "=", "value": "a\u0000b' OR 1=1 --"}]},
    {"filter": "note = 'a\u0000b'"},
    {"dimensions": ["orders.created_at"], "time_grain": "day",
     "time_range": {"start": "2024-01-01\u0000", "end": "2024-02-01"}},
], ids=["filter-value", "filter-expression", "time-range"])
def test_nul_bytes_are_refused_not_written(example_ctx, change):
    with pytest.raises(quendra.Error) as info:
        example_ctx.sql({**QUERY, **change})
    assert info.value.code == 6


def test_sql_without_manifest():
    with quendra.Context() as ctx:
        with pytest.raises(quendra.Error) as info:
            ctx.sql(QUERY)
        assert info.value.message == "no models loaded"


def _cli(*args: str) -> subprocess.CompletedProcess:
    return subprocess.run([sys.executable, "-m", "quendra", *args], cwd=ROOT / "python",
                          capture_output=True, text=True, timeout=60)


def test_cli_sql_with_inline_query(example_ctx):
    run = _cli("sql", "--manifest", str(MANIFEST_PATH), "--query", json.dumps(QUERY))
    assert run.returncode == 0, run.stderr
    assert run.stdout == example_ctx.sql(QUERY) + "\n"


def test_cli_sql_with_query_file_and_spark(example_ctx, tmp_path):
    path = tmp_path / "query.json"
    path.write_text(json.dumps(QUERY))
    run = _cli("sql", "--manifest", str(MANIFEST_PATH), "--query", str(path), "--dialect", "spark")
    assert run.returncode == 0, run.stderr
    assert run.stdout == example_ctx.sql(QUERY, "spark") + "\n"


def test_cli_sql_failure_exits_with_the_code():
    run = _cli("sql", "--manifest", str(MANIFEST_PATH), "--query", '{"model": "orders", "measures": ["nope"]}')
    assert run.returncode == 3
    assert run.stdout == ""
    assert "unknown measure 'nope'" in run.stderr


def test_cli_keeps_version_and_load():
    assert _cli("version").stdout.strip() == quendra.version()
    run = _cli("load", "--manifest", str(MANIFEST_PATH))
    assert run.returncode == 0 and run.stdout.startswith("loaded ")
