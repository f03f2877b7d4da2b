"""Text values and names through our SQL on DuckDB and Spark.

Values: 100,000 distinct random strings (random_text.py) fill a DuckDB table,
and each of the first 20,000 (all of them under `make check-long`) is the
value of an `=` filter whose statement must select exactly the row holding
it. Spark does the same for a sample of 1,000, over a table that also
holds a near copy of each. The `like` operator gets the same check
for the strings that hold neither `%` nor `_` (the sample on Spark, the first
10,000 strings on DuckDB). Written as a quoted text in a filter expression,
each string gives the same SQL as the filter value. NUL bytes are refused,
not written.

Names: random dimension keys come back as the result's column names and
order the rows; random table names resolve to their tables; Spark refuses a
name holding `${`. A few chosen names show what does not carry.

The statements are all generated first; then each runs unchanged as a
subquery of one UNION ALL per batch, its rows tagged with its number, so
that a batch of statements costs one engine call.
"""

from __future__ import annotations

import functools
import json
import os
import random
from collections import defaultdict
from dataclasses import dataclass

import pytest

import engines
import quendra
from random_text import near_copies, random_names, random_strings

SEED = "quendra-roundtrip-1"
STRING_COUNT = 100_000
# Statements checked on DuckDB: the first strings, whose near copies and
# neighbours are among all 100,000 in the table; every 10,000 statements cost
# DuckDB some 3 s, so the whole table is checked by `make check-long`.
DUCKDB_CHECKED = STRING_COUNT if os.environ.get("QUENDRA_LONG") == "1" else 20_000
SPARK_SAMPLE = 1_000
# DuckDB's LIKE has no escape character, so its pattern is the very literal
# `=` writes; LIKE runs there for the first 10,000 strings.
DUCKDB_LIKE_OF_FIRST = 10_000
NAME_COUNT = 300
TABLE_NAME_COUNT = 120
NAMES_PER_QUERY = 25
BATCH = 200

NUL_MESSAGE = "a name or text value holds a NUL byte, which SQL text cannot carry"
SUBSTITUTION_MESSAGE = "a name holds '${', which Spark would replace before reading the statement"

# Every output name is a column of this table, which holds a permutation of
# 0..6 in each column, so the first ORDER BY name alone fixes the row order.
NAMES_TABLE = "roundtrip_names"
NAMES_ROWS = [{"a": r, "b": (3 * r + 2) % 7} for r in range(7)]


def _rng(purpose: str) -> random.Random:
    return random.Random(f"{SEED}/{purpose}")


@functools.cache
def strings() -> list[str]:
    return random_strings(_rng("strings"), STRING_COUNT)


@functools.cache
def output_names() -> list[str]:
    return random_names(_rng("output names"), NAME_COUNT)


@functools.cache
def table_names() -> list[str]:
    # The library splits a table name at dots into schema and table.
    return random_names(_rng("table names"), TABLE_NAME_COUNT, banned=".")


def spark_can_carry(name: str) -> bool:
    return "${" not in name


def names_column(i: int) -> str:
    return "ab"[i % 2]


@functools.cache
def manifest() -> dict:
    models = {
        "strings": {"table": "roundtrip_strings", "dimensions": {"id": "id", "s": "s"}},
        "names": {"table": NAMES_TABLE, "dimensions": {n: names_column(i) for i, n in enumerate(output_names())}},
        "cases": {"table": NAMES_TABLE, "dimensions": {"Status": "a", "status": "b"}},
        "swapped": {"table": NAMES_TABLE, "dimensions": {"a": "b", "b": "a"}},
        "empty": {"table": NAMES_TABLE, "dimensions": {"": "a"}},
    }
    # One model per table name, named after its table.
    for name in table_names():
        models[name] = {"table": name, "dimensions": {"id": "id"}}
    return {"models": models}


@pytest.fixture(scope="module")
def ctx():
    with quendra.Context() as c:
        c.load_models(manifest())
        yield c


def value_query(operator: str, value: str) -> dict:
    return {"model": "strings", "dimensions": ["id"], "filters": [{"field": "s", "operator": operator, "value": value}]}


def statement(ctx, k: int, query: dict, dialect: str) -> str:
    # Every other query reaches the library with non-ASCII as \u escapes
    # (surrogate pairs for 4-byte characters), the rest as raw UTF-8.
    return ctx.sql(json.dumps(query, ensure_ascii=k % 2 == 0), dialect)


def run_tagged(run, statements: list[str], batch: int = BATCH) -> dict[int, list]:
    """The rows of each statement by its index. Each batch runs as one UNION
    ALL holding the statements unchanged; if a batch fails, its statements
    run one by one and a failing one gets its error text as its rows."""
    got: dict[int, list] = defaultdict(list)
    for start in range(0, len(statements), batch):
        ks = range(start, min(start + batch, len(statements)))
        union = "\nUNION ALL\n".join(f"SELECT {k} AS k, * FROM (\n{statements[k]}\n) AS q" for k in ks)
        try:
            rows = run(union)
        except Exception:
            for k in ks:
                try:
                    got[k] = run(statements[k])
                except Exception as e:  # any engine error is a finding to show
                    got[k] = [f"error: {str(e).splitlines()[0]}"]
            continue
        for k, *row in rows:
            got[k].append(tuple(row))
    return got


def check_each(described: list[str], statements: list[str], expected: list[list], got: dict[int, list]) -> None:
    """Every statement gave exactly its expected rows (in any order)."""
    bad = [k for k in range(len(statements)) if sorted(map(repr, got.get(k, []))) != sorted(map(repr, expected[k]))]
    shown = "\n\n".join(f"{described[k]}\n{statements[k]}\nexpected {expected[k]!r}\ngot {got.get(k, [])!r}"
                        for k in bad[:5])
    assert not bad, f"{len(bad)} of {len(statements)} statements gave other rows:\n\n{shown}"


def duckdb_rows(con):
    return lambda sql: con.execute(sql).fetchall()


def spark_rows(spark):
    return lambda sql: [tuple(r) for r in spark.sql(sql).collect()]


# ---------------------------------------------------------------- text values

@dataclass
class StringTable:
    """A table `roundtrip_strings(id, s)` in one engine: the row id of every
    string it holds, the strings whose statements are checked, and how to
    run SQL there."""

    ids: dict[str, int]
    checked: list[str]
    run: object


@pytest.fixture(scope="module")
def duckdb_strings(duck):
    import pyarrow as pa

    values = strings()
    data = pa.table({"id": pa.array(range(len(values)), pa.int64()), "s": pa.array(values, pa.string())})
    duck.execute("CREATE TABLE roundtrip_strings AS SELECT * FROM data")
    # Lets each statement find its row without reading all 100,000.
    duck.execute("CREATE INDEX roundtrip_strings_s ON roundtrip_strings (s)")
    assert duck.execute("SELECT s FROM roundtrip_strings ORDER BY id").fetchall() == [(s,) for s in values]
    yield StringTable({s: i for i, s in enumerate(values)}, values[:DUCKDB_CHECKED], duckdb_rows(duck))
    duck.execute("DROP TABLE roundtrip_strings")


@pytest.fixture(scope="module")
def spark_rt(spark):
    """The Spark session, running code interpreted while this module's tests
    run: compiling code for each of a thousand tiny subqueries costs far
    more than running them, and the comparisons are the same."""
    keys = ("spark.sql.codegen.wholeStage", "spark.sql.codegen.factoryMode")
    saved = {key: spark.conf.get(key) for key in keys}
    spark.conf.set("spark.sql.codegen.wholeStage", "false")
    spark.conf.set("spark.sql.codegen.factoryMode", "NO_CODEGEN")
    yield spark
    for key, value in saved.items():
        spark.conf.set(key, value)


def spark_table(spark, name: str, rows: list[tuple], schema: str):
    """A temporary view in one partition, kept in memory: grouping it then
    needs no shuffle, which would cost a stage per statement."""
    df = spark.createDataFrame(rows, schema).coalesce(1).cache()
    df.createOrReplaceTempView(name)
    return df


@pytest.fixture(scope="module")
def spark_strings(spark_rt):
    rng = _rng("spark sample")
    sample = rng.sample(strings(), SPARK_SAMPLE)
    # Each sampled string with one near copy; every further thousand rows
    # costs Spark about 5 s over the two thousand statements.
    held = list(dict.fromkeys(sample + [rng.choice(near_copies(s)) for s in sample]))
    df = spark_table(spark_rt, "roundtrip_strings", list(enumerate(held)), "id BIGINT, s STRING")
    assert [r.s for r in df.orderBy("id").collect()] == held
    yield StringTable({s: i for i, s in enumerate(held)}, sample, spark_rows(spark_rt))
    spark_rt.catalog.dropTempView("roundtrip_strings")
    df.unpersist()


def without_wildcards(values: list[str]) -> list[str]:
    """The values a LIKE pattern matches exactly: ours knows only % and _."""
    return [v for v in values if "%" not in v and "_" not in v]


@pytest.mark.parametrize("dialect", ["duckdb", "spark"])
@pytest.mark.parametrize("operator", ["=", "like"])
def test_text_value_selects_exactly_its_row(operator, dialect, ctx, request):
    table: StringTable = request.getfixturevalue(f"{dialect}_strings")
    values = table.checked
    if operator == "like":
        values = without_wildcards(values[:DUCKDB_LIKE_OF_FIRST] if dialect == "duckdb" else values)
    statements = [statement(ctx, k, value_query(operator, v), dialect) for k, v in enumerate(values)]
    got = run_tagged(table.run, statements)
    check_each([repr(v) for v in values], statements, [[(table.ids[v],)] for v in values], got)


@pytest.mark.parametrize("dialect", ["duckdb", "spark"])
def test_text_in_a_filter_expression_is_written_as_a_filter_value(dialect, ctx):
    """A quoted text in the expression language (its quotes doubled) comes
    out as the very SQL of the same text as a filter value, so the engine
    checks above hold for it too."""
    for v in strings():
        query = {"model": "strings", "dimensions": ["id"], "filter": "s = '" + v.replace("'", "''") + "'"}
        assert ctx.sql(query, dialect) == ctx.sql(value_query("=", v), dialect), v


@pytest.mark.parametrize("dialect", ["duckdb", "spark"])
@pytest.mark.parametrize("operator", ["=", "like", "in"])
def test_nul_in_a_value_is_refused(operator, dialect, ctx):
    for value in ["\0", "a\0", "\0' OR 1=1 --", "\\\0\\'\0${x}\n"]:
        query = value_query(operator, value)
        if operator == "in":
            query["filters"][0] = {"field": "s", "operator": "in", "values": ["x", value]}
        with pytest.raises(quendra.Error) as info:
            ctx.sql(query, dialect)
        assert (info.value.code, info.value.message) == (6, NUL_MESSAGE)


# ---------------------------------------------------------------- names

@pytest.fixture(scope="module")
def duckdb_named(duck):
    """Runs SQL over the names table in DuckDB: the column names and rows."""
    duck.execute(f"CREATE TABLE {NAMES_TABLE} (a BIGINT, b BIGINT)")
    duck.executemany(f"INSERT INTO {NAMES_TABLE} VALUES (?, ?)", [(r["a"], r["b"]) for r in NAMES_ROWS])
    yield lambda sql: engines.duckdb_run(duck, sql)
    duck.execute(f"DROP TABLE {NAMES_TABLE}")


@pytest.fixture(scope="module")
def spark_named(spark_rt):
    """Runs SQL over the names table in Spark: the column names and rows."""
    df = spark_table(spark_rt, NAMES_TABLE, [(r["a"], r["b"]) for r in NAMES_ROWS], "a BIGINT, b BIGINT")
    yield lambda sql: engines.spark_run(spark_rt, sql)
    spark_rt.catalog.dropTempView(NAMES_TABLE)
    df.unpersist()


def expected_names_rows(query: dict) -> list[tuple]:
    """The names table's rows under the query's dimensions, in its order."""
    columns = manifest()["models"][query["model"]]["dimensions"]
    dims = query["dimensions"]
    rows = [tuple(r[columns[n]] for n in dims) for r in NAMES_ROWS]
    for name, direction in reversed(query.get("order_by", [])):  # stable sorts, last key first
        rows.sort(key=lambda row: row[dims.index(name)], reverse=direction == "desc")
    return rows


def names_query(model: str, dims: list[str], order: list[str]) -> dict:
    # The direction varies with the name, so both are used.
    return {"model": model, "dimensions": dims, "order_by": [[n, "desc" if len(n) % 2 else "asc"] for n in order]}


@pytest.mark.parametrize("dialect", ["duckdb", "spark"])
def test_random_names_are_the_result_columns_and_order_the_rows(dialect, ctx, request):
    run = request.getfixturevalue(f"{dialect}_named")
    names = [n for n in output_names() if dialect == "duckdb" or spark_can_carry(n)]
    failures = []
    for start in range(0, len(names), NAMES_PER_QUERY):
        chunk = names[start:start + NAMES_PER_QUERY]
        query = names_query("names", chunk, chunk)
        sql = ctx.sql(query, dialect)
        try:
            got = run(sql)
        except Exception as e:  # any engine error is a finding to show
            got = (f"error: {str(e).splitlines()[0]}", None)
        if got != (chunk, expected_names_rows(query)):
            failures.append(f"{sql}\ngot {got!r}")
    assert not failures, f"{len(failures)} queries went wrong:\n\n" + "\n\n".join(failures[:3])


def duckdb_name(name: str) -> str:
    return engines.quote(name, '"')


@pytest.fixture(scope="module")
def duckdb_tables(duck):
    """Runs SQL in DuckDB, where each random table name is a table holding
    one row: its number in table_names()."""
    for k, name in enumerate(table_names()):
        duck.execute(f"CREATE TABLE {duckdb_name(name)} AS SELECT {k} AS id")
    yield duckdb_rows(duck)
    for name in table_names():
        duck.execute(f"DROP TABLE {duckdb_name(name)}")


@pytest.fixture(scope="module")
def spark_tables(spark_rt):
    """The same in Spark, as temporary views, for the names Spark can carry."""
    held = [(k, name) for k, name in enumerate(table_names()) if spark_can_carry(name)]
    for k, name in held:
        spark_rt.sql(f"CREATE TEMPORARY VIEW {engines.quote(name, '`')} AS SELECT {k} AS id")
    yield spark_rows(spark_rt)
    for _, name in held:
        spark_rt.catalog.dropTempView(name)


@pytest.mark.parametrize("dialect", ["duckdb", "spark"])
def test_random_table_names_resolve(dialect, ctx, request):
    run = request.getfixturevalue(f"{dialect}_tables")
    ks = [k for k, n in enumerate(table_names()) if dialect == "duckdb" or spark_can_carry(n)]
    names = [table_names()[k] for k in ks]
    statements = [statement(ctx, k, {"model": name, "dimensions": ["id"]}, dialect) for k, name in zip(ks, names)]
    got = run_tagged(run, statements)
    check_each([repr(n) for n in names], statements, [[(k,)] for k in ks], got)


def test_spark_refuses_names_holding_substitution(ctx):
    """Spark replaces `${...}` anywhere in the statement before reading it,
    and a quoted name has no escape against that."""
    output = [n for n in output_names() if not spark_can_carry(n)]
    tables = [n for n in table_names() if not spark_can_carry(n)]
    assert output and tables  # the random names include such names
    queries = [{"model": "names", "dimensions": [n]} for n in output]
    queries += [{"model": "names", "dimensions": [n], "order_by": [n]} for n in output]
    queries += [{"model": n, "dimensions": ["id"]} for n in tables]
    for query in queries:
        with pytest.raises(quendra.Error) as info:
            ctx.sql(query, "spark")
        assert (info.value.code, info.value.message) == (6, SUBSTITUTION_MESSAGE), query


@pytest.mark.parametrize("dialect", ["duckdb", "spark"])
def test_nul_in_a_name_is_refused(dialect):
    with quendra.Context() as c:
        c.load_models({"models": {"m": {"table": "t", "dimensions": {"a\0b": "id", "id": "id"}},
                                  "n": {"table": "t\0", "dimensions": {"id": "id"}},
                                  "s": {"table": "sch\0.t", "dimensions": {"id": "id"}}}})
        for query in [{"model": "m", "dimensions": ["a\0b"]}, {"model": "n", "dimensions": ["id"]},
                      {"model": "s", "dimensions": ["id"]}]:
            with pytest.raises(quendra.Error) as info:
                c.sql(query, dialect)
            assert (info.value.code, info.value.message) == (6, NUL_MESSAGE), query


@pytest.mark.parametrize("dialect", ["duckdb", "spark"])
def test_output_name_that_is_another_columns_name(dialect, ctx, request):
    run = request.getfixturevalue(f"{dialect}_named")
    # Output a is column b and output b is column a: ORDER BY must mean the outputs.
    for order in (["a"], ["b"], ["b", "a"]):
        query = names_query("swapped", ["a", "b"], order)
        assert run(ctx.sql(query, dialect)) == (["a", "b"], expected_names_rows(query)), query


@pytest.mark.parametrize("dialect", ["duckdb", "spark"])
def test_output_names_that_differ_only_in_case(dialect, ctx, request):
    run = request.getfixturevalue(f"{dialect}_named")
    # Two dimension keys of one model, both selected; ordering by either.
    for order in (["Status"], ["status"]):
        query = names_query("cases", ["Status", "status"], order)
        sql = ctx.sql(query, dialect)
        assert run(sql) == (["Status", "status"], expected_names_rows(query)), sql


@pytest.mark.parametrize("dialect", ["duckdb", "spark"])
def test_empty_output_name_is_carried_or_refused(dialect, ctx, request):
    run = request.getfixturevalue(f"{dialect}_named")
    query = names_query("empty", [""], [""])
    try:
        sql = ctx.sql(query, dialect)
    except quendra.Error as e:
        assert e.code == 6
        return
    assert run(sql) == ([""], expected_names_rows(query)), sql
