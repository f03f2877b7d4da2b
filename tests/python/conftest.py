import os
import sys
from pathlib import Path

import pytest

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parents[1] / "python"))
sys.path.insert(0, str(HERE))

import quendra  # noqa: E402
from reference import MANIFEST_PATH  # noqa: E402

# Every JVM the tests start (the Spark session below; `python -m quendra run`
# and `serve` with --engine spark in subprocesses) lives seconds to minutes
# over tables of a few thousand rows: with the quick compiler alone and one
# collector thread it spends about a third less CPU on the same answers.
os.environ.setdefault("JDK_JAVA_OPTIONS", "-XX:TieredStopAtLevel=1 -XX:+UseSerialGC")


def pytest_configure(config):
    config.addinivalue_line("markers", "spark: needs the Spark session (set by conftest.py, not by hand)")


def uses_spark(item) -> bool:
    """Whether a test needs the Spark session: through its fixtures, or
    through a parameter naming Spark with which it asks for a Spark fixture
    at run time."""
    if "spark" in item.fixturenames:
        return True
    params = getattr(getattr(item, "callspec", None), "params", {})
    return any(value == "spark" for value in params.values())


@pytest.hookimpl(tryfirst=True)
def pytest_collection_modifyitems(config, items):
    """Marks the tests that need the Spark session, so that `make test` runs
    them (`-m spark`) beside the others (`-m "not spark"`) in two processes,
    each starting its own costly fixtures once."""
    for item in items:
        if uses_spark(item):
            item.add_marker(pytest.mark.spark)


@pytest.fixture(scope="session")
def example_ctx():
    """A context holding the example manifest."""
    with quendra.Context() as ctx:
        ctx.load_models(MANIFEST_PATH.read_bytes())
        yield ctx


@pytest.fixture(scope="session")
def duck():
    """DuckDB with the example tables."""
    import engines

    con = engines.duckdb_connection()
    yield con
    con.close()


@pytest.fixture(scope="session")
def spark(tmp_path_factory):
    """One local Spark session with the example tables, for the whole run."""
    import engines

    session = engines.spark_session(tmp_path_factory.mktemp("spark-warehouse"))
    yield session
    session.stop()


@pytest.fixture(scope="session")
def pg_server():
    """A throwaway PostgreSQL server for the whole run, stopped and removed
    at the end. Its folder is outside pytest's, which only root may enter."""
    import shutil
    import tempfile

    import engines

    folder = Path(tempfile.mkdtemp(prefix="quendra-pg-"))
    try:
        server = engines.PostgresServer(folder)
        try:
            yield server
        finally:
            server.stop()
    finally:
        shutil.rmtree(folder, ignore_errors=True)


@pytest.fixture(scope="session")
def pg(pg_server):
    """A connection to that server with the example tables."""
    import engines

    con = engines.postgres_connection(pg_server.dsn)
    yield con
    con.close()
