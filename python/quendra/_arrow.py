"""The Arrow C Data Interface structures in ctypes, and the columns of the
data that Context.bind accepts.

pyarrow is imported only when data is bound, so the rest of the package
works without it."""

from __future__ import annotations

import ctypes
from collections.abc import Mapping
from typing import Any


class ArrowSchema(ctypes.Structure):
    pass


ArrowSchema._fields_ = [
    ("format", ctypes.c_char_p),
    ("name", ctypes.c_char_p),
    ("metadata", ctypes.c_char_p),
    ("flags", ctypes.c_int64),
    ("n_children", ctypes.c_int64),
    ("children", ctypes.POINTER(ctypes.POINTER(ArrowSchema))),
    ("dictionary", ctypes.POINTER(ArrowSchema)),
    ("release", ctypes.CFUNCTYPE(None, ctypes.POINTER(ArrowSchema))),
    ("private_data", ctypes.c_void_p),
]


class ArrowArray(ctypes.Structure):
    pass


ArrowArray._fields_ = [
    ("length", ctypes.c_int64),
    ("null_count", ctypes.c_int64),
    ("offset", ctypes.c_int64),
    ("n_buffers", ctypes.c_int64),
    ("n_children", ctypes.c_int64),
    ("buffers", ctypes.POINTER(ctypes.c_void_p)),
    ("children", ctypes.POINTER(ctypes.POINTER(ArrowArray))),
    ("dictionary", ctypes.POINTER(ArrowArray)),
    ("release", ctypes.CFUNCTYPE(None, ctypes.POINTER(ArrowArray))),
    ("private_data", ctypes.c_void_p),
]


def name_bytes(name: Any) -> bytes:
    """A table or column name as the NUL-terminated bytes the library reads:
    str is encoded as UTF-8; an embedded NUL would silently cut the name."""
    if isinstance(name, str):
        raw = name.encode("utf-8")
    elif isinstance(name, (bytes, bytearray)):
        raw = bytes(name)
    else:
        raise TypeError(f"names must be str or bytes, not {type(name).__name__}")
    if b"\0" in raw:
        raise ValueError(f"name {name!r} contains a NUL character")
    return raw


def columns(data: Any) -> list[tuple[bytes, Any]]:
    """(name, column) pairs of a pyarrow Table or RecordBatch, or of a
    mapping from names to arrays. Names are checked here, before anything is
    bound; columns are converted one at a time by `as_array`."""
    import pyarrow as pa

    if isinstance(data, (pa.Table, pa.RecordBatch)):
        pairs = zip(data.column_names, data.columns)
    elif isinstance(data, Mapping):
        pairs = data.items()
    else:
        raise TypeError("bind takes a pyarrow Table or RecordBatch, or a mapping of names to arrays, "
                        f"not {type(data).__name__}")
    return [(name_bytes(name), column) for name, column in pairs]


def as_array(column: Any) -> Any:
    """One pyarrow Array: chunked columns are combined into one, anything
    else that is not already an Array goes through pyarrow.array."""
    import pyarrow as pa

    if isinstance(column, pa.ChunkedArray):
        return column.combine_chunks()
    if isinstance(column, pa.Array):
        return column
    return pa.array(column)


def export(array: Any) -> tuple[ArrowArray, ArrowSchema]:
    """The array exported through the C Data Interface into new structures.
    The caller owns them: it must hand them to the library (which releases
    them) or call their release callbacks itself."""
    c_array, c_schema = ArrowArray(), ArrowSchema()
    array._export_to_c(ctypes.addressof(c_array), ctypes.addressof(c_schema))
    return c_array, c_schema


def import_table(c_array: ArrowArray, c_schema: ArrowSchema) -> Any:
    """A pyarrow Table from an exported struct array, taking both structures
    over (pyarrow releases them when the table's memory is no longer used).
    Goes through a RecordBatch, which keeps repeated column names."""
    import pyarrow as pa

    struct = pa.Array._import_from_c(ctypes.addressof(c_array), ctypes.addressof(c_schema))
    return pa.Table.from_batches([pa.RecordBatch.from_struct_array(struct)])

