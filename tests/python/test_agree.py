"""A bounded sample of the random differential tester (agree.py): in-memory
answers against DuckDB, a local Spark session and a throwaway PostgreSQL
server, and the metamorphic checks.
Seeds are fixed, so a failure replays with the command it prints;
`make agree SECONDS=N` runs the same checks from fresh seeds for any time."""

from __future__ import annotations

import os

import pytest

import agree

# Each DuckDB batch is 50 worlds of 25 queries and holds every shape the
# generator makes (some 35 worlds do); the metamorphic sample is 60 worlds
# (some 40 hold every shape). The Spark seeds are a run of worlds whose few
# queries hold almost every shape, and five worlds that hold the rest: 85
# queries. `make check-long` (QUENDRA_LONG=1) runs twice the DuckDB batches
# and metamorphic worlds.
LONG = os.environ.get("QUENDRA_LONG") == "1"
DUCK_BATCHES, META_WORLDS = (4, 120) if LONG else (2, 60)
BATCH_WORLDS = 50
SPARK_PER_WORLD = 5
DUCK_SEEDS = range(1200, 1200 + DUCK_BATCHES * BATCH_WORLDS)
META_SEEDS = range(3000, 3000 + META_WORLDS)
SPARK_SEEDS = [*range(51778, 51790), 61779, 60068, 60007, 51412, 51003]


def batch_seeds(batch: int) -> range:
    return DUCK_SEEDS[batch * BATCH_WORLDS:(batch + 1) * BATCH_WORLDS]


def shapes(seeds, per_world: int) -> set[str]:
    out = set()
    for seed in seeds:
        world = agree.make_world(seed)
        for k in range(per_world):
            out |= agree.query_shapes(world, agree.make_query(world, k))
    return out


@pytest.fixture(scope="module")
def duck_engine():
    engine = agree.DuckEngine()
    yield engine
    engine.close()


@pytest.mark.parametrize("batch", range(DUCK_BATCHES))
def test_memory_agrees_with_duckdb(batch, duck_engine):
    assert agree.run(duck_engine, batch_seeds(batch), per_world=25) == BATCH_WORLDS * 25


def test_memory_agrees_with_spark(spark):
    engine = agree.SparkEngine(spark)
    try:
        assert agree.run(engine, SPARK_SEEDS, per_world=SPARK_PER_WORLD) == len(SPARK_SEEDS) * SPARK_PER_WORLD
    finally:
        engine.close()  # drops its views; the session belongs to the fixture


# The Spark worlds again, with more of their queries, on PostgreSQL, and one
# that holds a measure along time under a calculation as drawn for it.
PG_SEEDS, PG_PER_WORLD = [*SPARK_SEEDS, 60001], 10


def pg_shapes() -> set[str]:
    # Generated as for PostgreSQL, whose exclusions change what is drawn.
    saved = {k: agree.EXCLUDE[k] for k in agree.PG_EXCLUDE}
    agree.EXCLUDE.update(dict.fromkeys(agree.PG_EXCLUDE, True))
    try:
        return shapes(PG_SEEDS, PG_PER_WORLD)
    finally:
        agree.EXCLUDE.update(saved)


def test_memory_agrees_with_postgres(pg_server):
    engine = agree.PostgresEngine(pg_server.dsn)
    try:
        assert agree.run(engine, PG_SEEDS, per_world=PG_PER_WORLD) == len(PG_SEEDS) * PG_PER_WORLD
    finally:
        engine.close()
    assert not {s for s in agree.SHAPES if not s.startswith("error-")} - pg_shapes()


def test_metamorphic_relations_hold():
    assert agree.run(None, META_SEEDS, per_world=25) == META_WORLDS * 25


def test_sample_covers_every_shape():
    """Each DuckDB batch and the metamorphic sample hold every shape the
    generator makes (nested paths, composite and self joins, filtered
    measures, expression constructs, statistics, measures derived along
    time, the errors); the Spark sample every one but the errors."""
    for batch in range(DUCK_BATCHES):
        assert not agree.SHAPES - shapes(batch_seeds(batch), 25), batch
    assert not agree.SHAPES - shapes(META_SEEDS, 25)
    assert not {s for s in agree.SHAPES if not s.startswith("error-")} - shapes(SPARK_SEEDS, SPARK_PER_WORLD)


def test_exclusions_are_named_and_documented():
    section = (agree.HERE.parents[1] / "docs" / "differences.md").read_text()
    for name in agree.EXCLUDE:
        assert f"`{name}`" in section, name


def test_comparison_sees_differences():
    q = agree.Query({"model": "m"}, total_order=True, order_cols=[0])
    assert agree.compare(q, ["a"], [(1,), (2,)], ["a"], [(2,), (1,)]) is not None
    q = agree.Query({"model": "m"})
    assert agree.compare(q, ["a"], [(1,), (2,)], ["a"], [(2,), (1,)]) is None
    assert agree.compare(q, ["a"], [(1.0,), (None,)], ["a"], [(None,), (1.0 + 1e-12,)]) is None
    assert agree.compare(q, ["a"], [(1.0,)], ["a"], [(1.000001,)]) is not None
    assert agree.compare(q, ["a"], [(float("nan"),)], ["a"], [(float("nan"),)]) is None
    assert agree.compare(q, ["a"], [(None,)], ["a"], [(0,)]) is not None
    assert agree.compare(q, ["a"], [(True,)], ["a"], [(1,)]) is not None
