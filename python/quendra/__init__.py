"""Python host for libquendra, the semantic-layer query engine.

The package talks to the shared library through ctypes; it has no compiled
part of its own.

    import quendra
    ctx = quendra.Context()
    ctx.load_models({"models": {...}})
    ctx.bind("orders", pyarrow_table)   # pyarrow, polars, a DuckDB relation, {name: array}...
    ctx.query({...})                    # in memory; or engine=duckdb_connection / spark_session
    ctx.check()                         # every field of every model planned
"""

from ._check import CheckReport, Problem
from ._native import Context, Error, find_library, library, version

__all__ = ["CheckReport", "Context", "Error", "Problem", "find_library", "library", "version"]
