"""Python host for libquendra, the semantic-layer query engine.

The package talks to the shared library through ctypes; it has no compiled
part of its own.

    import quendra
    ctx = quendra.Context()
    ctx.load_models({"models": {...}})
    ctx.bind("orders", pyarrow_table)   # a Table, RecordBatch or {name: array}
"""

from ._native import Context, Error, find_library, library, version

__all__ = ["Context", "Error", "find_library", "library", "version"]
