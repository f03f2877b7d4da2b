"""Binding columns that pyarrow exports through the C Data Interface.

The bound values are read back through libquendra_inspect.so, a test-only
library built beside the tests that reads the context's tables."""

import ctypes
import datetime
import gc
from decimal import Decimal
from pathlib import Path

import pyarrow as pa
import pytest

import quendra
from quendra import _arrow

UNSUPPORTED = "unsupported Arrow type (supported: ints, floats, bool, utf8, large_utf8, date32, timestamps)"
KINDS = ["int", "float", "bool", "str", "date", "timestamp"]
_HOOK = Path(__file__).resolve().parents[2] / "build" / "release" / "tests" / "libquendra_inspect.so"


class BoundColumn(ctypes.Structure):
    _fields_ = [
        ("name", ctypes.c_void_p),
        ("name_len", ctypes.c_size_t),
        ("len", ctypes.c_size_t),
        ("kind", ctypes.c_int),
        ("nulls", ctypes.c_void_p),
        ("values", ctypes.c_void_p),
        ("bytes", ctypes.c_void_p),
        ("bytes_len", ctypes.c_size_t),
    ]


@pytest.fixture(scope="module")
def hook():
    lib = ctypes.CDLL(str(_HOOK))
    lib.quendra_inspect_table.restype = ctypes.c_long
    lib.quendra_inspect_table.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.POINTER(ctypes.c_size_t)]
    lib.quendra_inspect_column.restype = ctypes.c_int
    lib.quendra_inspect_column.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_size_t,
                                           ctypes.POINTER(BoundColumn)]
    return lib


def read_table(hook, ctx, table):
    """(row count, [(name, kind, values with None for nulls)]) of a bound
    table, or None when the table is not bound."""
    nrows = ctypes.c_size_t()
    count = hook.quendra_inspect_table(ctx._ptr, table.encode(), ctypes.byref(nrows))
    if count < 0:
        return None
    cols = []
    for i in range(count):
        c = BoundColumn()
        assert hook.quendra_inspect_column(ctx._ptr, table.encode(), i, ctypes.byref(c))
        n, kind = c.len, KINDS[c.kind]
        name = ctypes.string_at(c.name, c.name_len).decode()
        nulls = ctypes.string_at(c.nulls, n) if c.nulls and n else bytes(n)
        if n == 0:
            values = []
        elif kind == "str":
            offs = (ctypes.c_uint64 * (n + 1)).from_address(c.values)
            data = ctypes.string_at(c.bytes, c.bytes_len)
            values = [data[offs[k]:offs[k + 1]].decode() for k in range(n)]
        elif kind == "float":
            values = list((ctypes.c_double * n).from_address(c.values))
        elif kind == "bool":
            values = [b == 1 for b in ctypes.string_at(c.values, n)]
        else:
            values = list((ctypes.c_int64 * n).from_address(c.values))
        cols.append((name, kind, [None if nulls[k] else v for k, v in enumerate(values)]))
    return nrows.value, cols


# Every pool a test counted with; kept alive, since buffers allocated
# through one may outlive its test.
_POOLS = []


@pytest.fixture(autouse=True)
def own_pool():
    """Each test allocates through a pool of its own, so that what earlier
    tests left for the collector cannot move its count."""
    parent = pa.default_memory_pool()
    _POOLS.append(pa.proxy_memory_pool(parent))
    pa.set_memory_pool(_POOLS[-1])
    yield
    pa.set_memory_pool(parent)


def allocated():
    """The test's pool's allocated bytes once unreachable arrays are collected."""
    gc.collect()
    return _POOLS[-1].bytes_allocated()


def cycle(pattern, n=70):
    return [pattern[i % len(pattern)] for i in range(n)]


def raw_ints(arr):
    """The stored 64-bit values of a temporal array, as Python ints."""
    return arr.view(pa.int64()).to_pylist()


def wrap64(v):
    return v - (1 << 64) if v is not None and v >= 1 << 63 else v


def floor_div(d):
    return lambda values: [None if v is None else v // d for v in values]


def scale(k):
    return lambda values: [None if v is None else v * k for v in values]


DAY_MS = 86_400_000
RAW = [-1, 0, 1, -86_400_001, 1_700_000_000_123, None, 999]

# (type, values, kind, expected values from the array)
CASES = {
    "int8": (pa.int8(), [-128, 127, -1, 0, None, 5], "int", None),
    "int16": (pa.int16(), [-32768, 32767, -1, None, 7], "int", None),
    "int32": (pa.int32(), [-2**31, 2**31 - 1, -1, None, 7], "int", None),
    "int64": (pa.int64(), [-2**63, 2**63 - 1, -1, None, 7], "int", None),
    "uint8": (pa.uint8(), [0, 255, None, 128], "int", None),
    "uint16": (pa.uint16(), [0, 65535, None, 32768], "int", None),
    "uint32": (pa.uint32(), [0, 2**32 - 1, None, 2**31], "int", None),
    "uint64": (pa.uint64(), [0, 2**64 - 1, 2**63, None, 2**63 - 1], "int",
               lambda a: [wrap64(v) for v in a.to_pylist()]),
    "float32": (pa.float32(), [1.5, -0.0, None, 0.1, float("inf"), -3e38], "float", None),
    "float64": (pa.float64(), [0.1, -2.5e300, None, float("-inf"), 5e-324], "float", None),
    "bool": (pa.bool_(), [True, False, None, True, True, False, False, True, True], "bool", None),
    "utf8": (pa.string(), ["", "héllo", None, "a\0b", "wide world ✓", ""], "str", None),
    "large_utf8": (pa.large_string(), ["x", None, "", "grüße"], "str", None),
    "date32": (pa.date32(), [datetime.date(1969, 12, 31), datetime.date(2024, 2, 29), None,
                             datetime.date(1, 1, 1)], "date",
               lambda a: a.cast(pa.int32()).to_pylist()),
    "date64": ("date64", [-1, -DAY_MS, -DAY_MS - 1, None, DAY_MS - 1, 19_000 * DAY_MS + 5], "date",
               lambda a: floor_div(DAY_MS)(raw_ints(a))),
}
for unit, conv in [("s", scale(1_000_000)), ("ms", scale(1_000)), ("us", scale(1)), ("ns", floor_div(1_000))]:
    for tz in [None, "UTC", "America/New_York", "+05:30"]:
        CASES[f"timestamp[{unit},{tz}]"] = (pa.timestamp(unit, tz), RAW, "timestamp",
                                            lambda a, conv=conv: conv(raw_ints(a)))


def make_array(typ, values):
    if typ == "date64":  # millisecond values that are not whole days
        return pa.array(values, pa.int64()).view(pa.date64())
    if pa.types.is_timestamp(typ):
        return pa.array(values, pa.int64()).view(typ)
    return pa.array(values, typ)


@pytest.mark.parametrize("name", list(CASES))
@pytest.mark.parametrize("shape", ["nulls", "no nulls", "sliced", "sliced no nulls", "empty"])
def test_every_supported_type_binds_exact_values(hook, name, shape):
    typ, pattern, kind, expect = CASES[name]
    if "no nulls" in shape:
        pattern = [v for v in pattern if v is not None]
    baseline = allocated()
    arr = make_array(typ, cycle(pattern))
    if "sliced" in shape:
        arr = arr.slice(3, 61)  # starts inside a validity byte
    if shape == "empty":
        arr = arr.slice(10, 0)
    want = expect(arr) if expect else arr.to_pylist()
    with quendra.Context() as ctx:
        ctx.bind("t", {"c": arr})
        nrows, cols = read_table(hook, ctx, "t")
        assert nrows == len(arr)
        assert cols == [("c", kind, want)]
        del arr
        assert allocated() == baseline, "the library released pyarrow's export"


def test_float_values_keep_their_bits(hook):
    arr = pa.array([-0.0, 0.1], pa.float32())
    with quendra.Context() as ctx:
        ctx.bind("t", {"f": arr})
        values = read_table(hook, ctx, "t")[1][0][2]
    assert str(values[0]) == "-0.0"
    assert values[1] == float(pa.array([0.1], pa.float32())[0].as_py())


@pytest.mark.parametrize("arr", [
    pa.array([0, 15360], pa.uint16()).view(pa.float16()),
    pa.array([b"x", None]),
    pa.array([b"x"], pa.large_binary()),
    pa.array([Decimal("1.23")], pa.decimal128(5, 2)),
    pa.array([{"a": 1}]),
    pa.array([[1, 2]]),
    pa.array([1], pa.time32("s")),
    pa.array([1], pa.duration("us")),
    pa.array([None, None]),
], ids=lambda a: str(a.type))
def test_unsupported_types_give_the_exact_message(arr):
    baseline = allocated()
    with quendra.Context() as ctx:
        with pytest.raises(quendra.Error) as info:
            ctx.bind("t", {"c": arr})
    assert (info.value.code, info.value.code_text, info.value.message) == (1, "invalid", UNSUPPORTED)
    assert allocated() == baseline


def test_tables_batches_and_mappings(hook):
    chunked = pa.chunked_array([[1, 2], [], [3, None]], pa.int32())
    table = pa.table({"id": chunked, "name": pa.chunked_array([["a"], ["b", "c", None]])})
    assert table.column("id").num_chunks == 3
    batch = pa.record_batch({"x": pa.array([1.5, 2.5]), "y": pa.array([True, None])})
    with quendra.Context() as ctx:
        ctx.bind("orders", table)
        ctx.bind("batch", batch)
        ctx.bind("plain", {"n": [10, 20, 30], "s": pa.chunked_array([["p"], ["q", "r"]])})
        assert read_table(hook, ctx, "orders") == (4, [("id", "int", [1, 2, 3, None]),
                                                       ("name", "str", ["a", "b", "c", None])])
        assert read_table(hook, ctx, "batch") == (2, [("x", "float", [1.5, 2.5]), ("y", "bool", [True, None])])
        assert read_table(hook, ctx, "plain") == (3, [("n", "int", [10, 20, 30]), ("s", "str", ["p", "q", "r"])])
        # The empty chunked column differs in length: the first column stays.
        with pytest.raises(quendra.Error) as info:
            ctx.bind("plain2", {"n": [10, 20, 30], "s": pa.chunked_array([], pa.string())})
        assert info.value.message == "columns of one table must have the same length"
        assert read_table(hook, ctx, "plain2") == (3, [("n", "int", [10, 20, 30])])
        # Binding a table name again appends its columns, duplicates included.
        ctx.bind("batch", {"x": pa.array([7, 8], pa.int8())})
        assert [c[0] for c in read_table(hook, ctx, "batch")[1]] == ["x", "y", "x"]
        ctx.clear_tables()
        assert read_table(hook, ctx, "orders") is None
        ctx.bind("orders", {"id": pa.array([5])})
        assert read_table(hook, ctx, "orders") == (1, [("id", "int", [5])])


def test_names_and_arguments_are_checked_before_binding(hook):
    with quendra.Context() as ctx:
        with pytest.raises(ValueError):
            ctx.bind("t", {"ok": [1], "bad\0name": [2]})
        with pytest.raises(ValueError):
            ctx.bind("t\0", {"ok": [1]})
        with pytest.raises(TypeError):
            ctx.bind("t", [[1, 2]])
        assert read_table(hook, ctx, "t") is None
        ctx.bind("tâble", {"çol": [1]})
        assert read_table(hook, ctx, "tâble")[1][0][0] == "çol"


def test_library_releases_each_export_exactly_once():
    baseline = allocated()
    arr = pa.array(list(range(100_000)), pa.int64())
    ctx = quendra.Context()
    # The measurement notices a live export: without a release the buffers
    # outlive the array.
    c_array, c_schema = _arrow.export(arr)
    del arr
    assert allocated() > baseline
    code = ctx._lib.quendra_bind_column(ctx._ptr, b"t", b"c", ctypes.addressof(c_array), ctypes.addressof(c_schema))
    assert code == 0
    assert not c_array.release and not c_schema.release, "both structures marked released"
    assert allocated() == baseline
    # Released structures are refused without being released again.
    code = ctx._lib.quendra_bind_column(ctx._ptr, b"t", b"c", ctypes.addressof(c_array), ctypes.addressof(c_schema))
    assert code == 1
    assert "malformed Arrow array" in ctx.last_error()
    # A failure releases as well.
    c_array, c_schema = _arrow.export(pa.array(list(range(1000)), pa.int64()))
    assert ctx._lib.quendra_bind_column(ctx._ptr, b"t", None, ctypes.addressof(c_array),
                                        ctypes.addressof(c_schema)) == 1
    assert not c_array.release and not c_schema.release
    assert allocated() == baseline
    ctx.close()


def test_clear_tables_and_reuse(hook):
    with quendra.Context() as ctx:
        for round_ in range(3):
            ctx.bind("t", {"v": pa.array([round_] * 1000, pa.int16())})
            assert read_table(hook, ctx, "t") == (1000, [("v", "int", [round_] * 1000)])
            ctx.clear_tables()
            assert read_table(hook, ctx, "t") is None


def test_join_maps_kept_by_queries_follow_every_bind():
    """Queries keep the join map of a key column for later ones; binding
    anything, or clearing, drops it. Each answer equals a fresh context's
    over the same tables, whichever was bound before."""
    import random

    rng = random.Random(5)
    manifest = {"models": {
        "f": {"table": "f", "dimensions": {"fk": "fk"}, "measures": {"n": {"agg": "count"}, "s": {"agg": "sum", "expr": "v"}},
              "joins": {"d": {"model": "d", "left_on": "fk", "right_on": "k"}}},
        "d": {"table": "d", "dimensions": {"k": "k", "label": "label"}}}}
    query = {"model": "f", "dimensions": ["d.label"], "measures": ["n", "s"], "order_by": ["d.label"]}

    def tables():
        keys = rng.sample(range(-50, 5000), rng.choice([3, 40, 900]))
        return {"f": pa.table({"fk": [rng.choice(keys + [None, 7777]) for _ in range(3000)],
                               "v": [rng.randint(-9, 9) for _ in range(3000)]}),
                "d": pa.table({"k": keys, "label": [f"L{rng.randint(0, 9)}" for _ in keys]})}

    def fresh(bound):
        with quendra.Context() as other:
            other.load_models(manifest)
            other.bind_tables(bound)
            return other.execute(query)

    with quendra.Context() as ctx:
        ctx.load_models(manifest)
        for round_ in range(6):
            bound = tables()
            ctx.clear_tables()
            ctx.bind_tables(bound)
            want = fresh(bound)
            assert ctx.execute(query).equals(want)
            # Another column bound beside the key: the same answer, from a map made anew.
            ctx.bind("d", {f"extra{round_}": pa.array([0] * bound["d"].num_rows)})
            for _ in range(2):
                assert ctx.execute(query).equals(want)


def _capsule_inputs(source: pa.Table) -> dict:
    """The same table as users hold it elsewhere, each offering the Arrow
    PyCapsule interface (polars hands text out as views, categoricals as
    dictionaries)."""
    import duckdb
    import nanoarrow
    import polars as pl

    frame = pl.from_arrow(source).with_columns(pl.col("s").cast(pl.Categorical).alias("cat"))
    return {
        "polars": frame,
        "polars_columns": {name: frame[name] for name in frame.columns},
        "duckdb": duckdb.connect().from_arrow(source.append_column("cat", source["s"])),
        "nanoarrow": nanoarrow.ArrayStream(source.append_column("cat", source["s"])),
        "batch": nanoarrow.Array(source.append_column("cat", source["s"]).to_batches()[0]),
    }


def test_objects_with_the_arrow_pycapsule_interface_bind_like_pyarrow():
    source = pa.table({
        "s": ["north", None, "süd", "north", "it's"],
        "i": pa.array([1, 2, None, 4, 5], pa.int32()),
        "x": [0.5, None, 2.25, -1.0, 8.0],
        "b": [True, False, None, True, True],
        "d": pa.array([datetime.date(2024, 1, d) for d in range(1, 6)], pa.date32()),
        "ts": pa.array([datetime.datetime(2024, 3, 1, h) for h in range(5)], pa.timestamp("us")),
    })
    manifest = {"models": {"t": {"table": "t", "dimensions": {"s": "s", "cat": "cat", "b": "b"}, "measures": {
        "n": {"agg": "count"}, "i": {"agg": "sum", "expr": "i"}, "x": {"agg": "sum", "expr": "x"},
        "d": {"agg": "max", "expr": "d"}, "ts": {"agg": "min", "expr": "ts"}}}}}
    query = {"model": "t", "dimensions": ["s", "cat", "b"], "measures": ["n", "i", "x", "d", "ts"], "order_by": ["s", "b"]}
    with quendra.Context() as ctx:
        ctx.load_models(manifest)
        ctx.bind("t", source.append_column("cat", source["s"]))
        want = ctx.execute(query)
        for kind, data in _capsule_inputs(source).items():
            ctx.clear_tables()
            ctx.bind_tables({"t": data})
            assert ctx.execute(query).equals(want), kind
        import nanoarrow

        for bad, message in (([1, 2], "PyCapsule interface .* not list"),
                             (nanoarrow.Array([1, 2], nanoarrow.int64()), "cannot read a Array as a table")):
            with pytest.raises(TypeError, match=message):
                ctx.bind("t", bad)
        with pytest.raises(TypeError, match="mapping of table names"):
            ctx.bind_tables([("t", source)])
