"""The same queries in the spark dialect on a local Spark session: each must
give the Python answer, and the same rows as its DuckDB statement."""

from __future__ import annotations

import pytest

import engines
from literal_cases import RANGE_INJECTIONS, params as literal_params
import quendra
from reference import TABLES, Answer, assert_rows
from sql_cases import CASES, number_text_params


def _case_params() -> list:
    return [pytest.param(case, id=case.id, marks=[pytest.mark.xfail(reason=case.known["spark"], strict=True)]
                         if "spark" in case.known else [])
            for case in CASES]


@pytest.mark.parametrize("case", _case_params())
def test_query(case, example_ctx, spark, duck):
    query = case.full_query()
    sql = example_ctx.sql(query, "spark")
    names, rows = engines.spark_run(spark, sql)
    expected = case.expected()
    assert names == expected.names, sql
    assert_rows(rows, expected, sql)
    if "duckdb" not in case.known:
        duck_names, duck_rows = engines.duckdb_run(duck, example_ctx.sql(query, "duckdb"))
        assert names == duck_names
        assert_rows(rows, Answer(duck_names, duck_rows, expected.order), "spark and duckdb disagree:\n" + sql)


@pytest.mark.parametrize("case", literal_params("spark"))
def test_string_literal_selects_exactly_its_rows(case, example_ctx, spark):
    sql = example_ctx.sql(case.query, "spark")
    _, rows = engines.spark_run(spark, sql)
    assert_rows(rows, Answer(["orders.id"], [(i,) for i in case.ids]), sql)


@pytest.mark.parametrize("start, end", RANGE_INJECTIONS)
def test_time_range_text_cannot_widen_the_window(start, end, example_ctx, spark):
    from pyspark.errors import PySparkException

    query = {"model": "orders", "dimensions": ["orders.created_at"], "measures": ["order_count"],
             "time_range": {"start": start, "end": end}}
    sql = example_ctx.sql(query, "spark")
    with pytest.raises(PySparkException):
        engines.spark_run(spark, sql)


@pytest.mark.parametrize("text, where", number_text_params("spark"))
def test_number_texts_are_valid_sql_or_refused(text, where, example_ctx, spark):
    query = {"model": "orders", "measures": ["order_count"], "filter": text}
    if where is None:
        with pytest.raises(quendra.Error):
            example_ctx.sql(query, "spark")
        return
    sql = example_ctx.sql(query, "spark")
    _, rows = engines.spark_run(spark, sql)
    assert rows == [(sum(1 for r in TABLES["orders"] if where(r)),)]
