"""Generated SQL run on DuckDB over the example data, checked against answers
computed in Python."""

from __future__ import annotations

import pytest

import engines
import quendra
from reference import TABLES, Answer, assert_rows
from sql_cases import CASES, number_text_params
from literal_cases import RANGE_INJECTIONS, params as literal_params


def _case_params(engine: str) -> list:
    return [pytest.param(case, id=case.id, marks=[pytest.mark.xfail(reason=case.known[engine], strict=True)]
                         if engine in case.known else [])
            for case in CASES]


@pytest.mark.parametrize("case", _case_params("duckdb"))
def test_query(case, example_ctx, duck):
    sql = example_ctx.sql(case.full_query(), "duckdb")
    names, rows = engines.duckdb_run(duck, sql)
    expected = case.expected()
    assert names == expected.names, sql
    assert_rows(rows, expected, sql)


@pytest.mark.parametrize("case", literal_params("duckdb"))
def test_string_literal_selects_exactly_its_rows(case, example_ctx, duck):
    sql = example_ctx.sql(case.query, "duckdb")
    _, rows = engines.duckdb_run(duck, sql)
    assert_rows(rows, Answer(["orders.id"], [(i,) for i in case.ids]), sql)


@pytest.mark.parametrize("start, end", RANGE_INJECTIONS)
def test_time_range_text_cannot_widen_the_window(start, end, example_ctx, duck):
    import duckdb

    query = {"model": "orders", "dimensions": ["orders.created_at"], "measures": ["order_count"],
             "time_range": {"start": start, "end": end}}
    sql = example_ctx.sql(query, "duckdb")
    with pytest.raises(duckdb.Error):
        engines.duckdb_run(duck, sql)


def test_example_tables_match_the_parquet_files(duck):
    for name in ("orders", "customers", "products"):
        _, rows = engines.duckdb_run(duck, f"SELECT * FROM {name} ORDER BY id")
        assert [tuple(r.values()) for r in TABLES[name]] == rows


@pytest.mark.parametrize("text, where", number_text_params("duckdb"))
def test_number_texts_are_valid_sql_or_refused(text, where, example_ctx, duck):
    query = {"model": "orders", "measures": ["order_count"], "filter": text}
    if where is None:
        with pytest.raises(quendra.Error):
            example_ctx.sql(query, "duckdb")
        return
    sql = example_ctx.sql(query, "duckdb")
    _, rows = engines.duckdb_run(duck, sql)
    assert rows == [(sum(1 for r in TABLES["orders"] if where(r)),)]


def test_a_join_appears_only_when_the_query_reads_it(example_ctx, duck):
    import duckdb

    # The stock join's table does not exist, so only a query reading it may fail.
    query = {"model": "orders", "dimensions": ["products.category"], "measures": ["order_count"]}
    engines.duckdb_run(duck, example_ctx.sql(query, "duckdb"))
    with pytest.raises(duckdb.CatalogException, match="warehouse_stock"):
        engines.duckdb_run(duck, example_ctx.sql(dict(query, dimensions=["stock.bin"]), "duckdb"))
