import sys
from pathlib import Path

import pytest

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parents[1] / "python"))
sys.path.insert(0, str(HERE))

import quendra  # noqa: E402
from reference import MANIFEST_PATH  # noqa: E402


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
