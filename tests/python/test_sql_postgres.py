"""Generated SQL run on a throwaway PostgreSQL server over the example data,
checked against answers computed in Python."""

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


@pytest.mark.parametrize("case", _case_params("postgres"))
def test_query(case, example_ctx, pg):
    sql = example_ctx.sql(case.full_query(), "postgres")
    names, rows = engines.postgres_run(pg, sql)
    expected = case.expected()
    assert names == expected.names, sql
    assert_rows(rows, expected, sql)


@pytest.mark.parametrize("case", literal_params("postgres"))
def test_string_literal_selects_exactly_its_rows(case, example_ctx, pg):
    sql = example_ctx.sql(case.query, "postgres")
    _, rows = engines.postgres_run(pg, sql)
    assert_rows(rows, Answer(["orders.id"], [(i,) for i in case.ids]), sql)


@pytest.mark.parametrize("start, end", RANGE_INJECTIONS)
def test_time_range_text_cannot_widen_the_window(start, end, example_ctx, pg):
    import psycopg

    query = {"model": "orders", "dimensions": ["orders.created_at"], "measures": ["order_count"],
             "time_range": {"start": start, "end": end}}
    sql = example_ctx.sql(query, "postgres")
    with pytest.raises(psycopg.Error):
        engines.postgres_run(pg, sql)


def test_example_tables_match_the_parquet_files(pg):
    for name in ("orders", "customers", "products"):
        _, rows = engines.postgres_run(pg, f"SELECT * FROM {name} ORDER BY id")
        assert [tuple(r.values()) for r in TABLES[name]] == rows


@pytest.mark.parametrize("text, where", number_text_params("postgres"))
def test_number_texts_are_valid_sql_or_refused(text, where, example_ctx, pg):
    query = {"model": "orders", "measures": ["order_count"], "filter": text}
    if where is None:
        with pytest.raises(quendra.Error):
            example_ctx.sql(query, "postgres")
        return
    sql = example_ctx.sql(query, "postgres")
    _, rows = engines.postgres_run(pg, sql)
    assert rows == [(sum(1 for r in TABLES["orders"] if where(r)),)]


def test_a_join_appears_only_when_the_query_reads_it(example_ctx, pg):
    import psycopg

    # The stock join's table does not exist, so only a query reading it may fail.
    query = {"model": "orders", "dimensions": ["products.category"], "measures": ["order_count"]}
    engines.postgres_run(pg, example_ctx.sql(query, "postgres"))
    with pytest.raises(psycopg.errors.UndefinedTable, match="warehouse_stock"):
        engines.postgres_run(pg, example_ctx.sql(dict(query, dimensions=["stock.bin"]), "postgres"))
