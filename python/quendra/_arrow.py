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
    """(name, column) pairs of the data that `Context.bind` takes: a pyarrow
    Table or RecordBatch; a mapping from names to arrays; any object that
    offers the Arrow PyCapsule interface (`__arrow_c_stream__`, such as a
    polars DataFrame or a DuckDB relation, or `__arrow_c_array__` holding a
    struct array); or a pandas DataFrame, through pyarrow. Names are checked
    here, before anything is bound; columns are converted one at a time by
    `as_array`."""
    import pyarrow as pa

    if isinstance(data, (pa.Table, pa.RecordBatch)):
        pairs = zip(data.column_names, data.columns)
    elif isinstance(data, Mapping):
        pairs = data.items()
    else:
        table = _table_of(data)
        pairs = zip(table.column_names, table.columns)
    return [(name_bytes(name), column) for name, column in pairs]


def _table_of(data: Any) -> Any:
    import pyarrow as pa

    kind = type(data).__name__
    try:
        if hasattr(data, "__arrow_c_stream__"):
            return pa.table(data)
        if hasattr(data, "__arrow_c_array__"):
            return pa.record_batch(data)
        if type(data).__module__.partition(".")[0] == "pandas" and kind == "DataFrame":
            return pa.Table.from_pandas(data, preserve_index=False)
    except (pa.ArrowException, TypeError, ValueError) as e:
        raise TypeError(f"cannot read a {kind} as a table: {e}") from None
    raise TypeError("bind takes a pyarrow Table or RecordBatch, a mapping of names to arrays, or an object "
                    "with the Arrow PyCapsule interface (__arrow_c_stream__ or __arrow_c_array__), "
                    f"not {kind}")


def as_array(column: Any) -> Any:
    """One pyarrow Array the library can bind: chunked columns (and Arrow
    streams) are combined into one, text views become large utf8 and
    dictionaries their values; anything else that is not already an Array
    goes through pyarrow.array (which reads `__arrow_c_array__`)."""
    import pyarrow as pa

    if isinstance(column, pa.ChunkedArray):
        array = column.combine_chunks()
    elif isinstance(column, pa.Array):
        array = column
    elif hasattr(column, "__arrow_c_stream__") and not hasattr(column, "__arrow_c_array__"):
        array = pa.chunked_array(column).combine_chunks()
    else:
        array = pa.array(column)
    if pa.types.is_dictionary(array.type):
        return as_array(array.dictionary).take(array.indices)
    if pa.types.is_string_view(array.type):
        # polars and others hand text out as views, which the library does
        # not read; large utf8 holds any column without overflowing offsets.
        array = array.cast(pa.large_string())
    return array


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

