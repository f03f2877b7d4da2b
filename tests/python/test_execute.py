"""In-memory answers through pyarrow: every column kind read back exactly,
results that outlive the context and own their memory, and the command
line's `run` with its error paths."""

import datetime
import doctest
import gc
import json
import random
import subprocess
import sys
from pathlib import Path

import pyarrow as pa
import pyarrow.compute as pc
import pyarrow.parquet as pq
import pytest

import quendra
from quendra import _native

ROOT = Path(__file__).resolve().parents[2]

MANIFEST = {"models": {"t": {"table": "t",
    "dimensions": {k: k for k in ["i", "f", "b", "s", "d", "ts"]},
    "measures": {"n": {"agg": "count"}, "sum_i": {"agg": "sum", "expr": "i"},
                 "min_s": {"agg": "min", "expr": "s"}, "max_d": {"agg": "max", "expr": "d"},
                 "mean_f": {"agg": "mean", "expr": "f"}, "any_b": {"agg": "max", "expr": "b"}}}}}

DATA = {
    "i": pa.array([3, None, 3, -1], pa.int64()),
    "f": pa.array([0.5, None, 0.5, float("-inf")], pa.float64()),
    "b": pa.array([True, None, True, False]),
    "s": pa.array(["é", None, "é", ""]),
    "d": pa.array([datetime.date(2024, 2, 29), None, datetime.date(2024, 2, 29), datetime.date(1969, 12, 31)]),
    "ts": pa.array([datetime.datetime(2024, 1, 1, 0, 0, 0, 1), None, datetime.datetime(2024, 1, 1, 0, 0, 0, 1),
                    datetime.datetime(1960, 1, 1)], pa.timestamp("us")),
}
WANT_TYPES = {"i": pa.int64(), "f": pa.float64(), "b": pa.bool_(), "s": pa.string(), "d": pa.date32(),
              "ts": pa.timestamp("us")}


@pytest.fixture
def ctx():
    with quendra.Context() as c:
        c.load_models(MANIFEST)
        c.bind("t", DATA)
        yield c


def test_every_kind_reads_back_exactly(ctx):
    for name, column in DATA.items():
        result = ctx.execute({"model": "t", "dimensions": [name], "measures": ["n"]})
        assert result.schema.field(0).type == WANT_TYPES[name]
        distinct = []
        for v in column.to_pylist():
            if v not in distinct:
                distinct.append(v)
        assert result.column(0).to_pylist() == distinct
        assert result.column(1).to_pylist() == [2, 1, 1]
        # A column without nulls carries no validity bitmap.
        assert result.column(1).chunk(0).buffers()[0] is None
    result = ctx.execute({"model": "t", "measures": ["sum_i", "min_s", "max_d", "mean_f", "any_b", "n", "n"],
                          "filter": "i > 100"})
    assert result.column_names == ["sum_i", "min_s", "max_d", "mean_f", "any_b", "n", "n"]
    assert [c.to_pylist() for c in result.columns] == [[None], [None], [None], [None], [None], [0], [0]]
    empty = ctx.execute({"model": "t", "dimensions": ["s", "ts"], "filter": "i > 100"})
    assert empty.num_rows == 0 and empty.schema.types == [pa.string(), pa.timestamp("us")]


# Run in a process of its own, so that nothing another test left behind is
# in the heap it measures. The library allocates results from the C heap,
# outside pyarrow's pools, so the C heap's bytes in use are what count.
OWN_MEMORY = r"""
import ctypes, gc, json, sys
import pyarrow as pa
import quendra

class Info(ctypes.Structure):
    _fields_ = [(n, ctypes.c_size_t) for n in
                ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks", "keepcost")]
libc = ctypes.CDLL(None)
libc.mallinfo2.restype = Info
def heap():
    gc.collect()
    info = libc.mallinfo2()
    return info.uordblks + info.hblkhd

n = 200_000
data = {"i": pa.array(range(n), pa.int64()), "s": pa.array([str(k) for k in range(n)]),
        "f": pa.array([k / 7 for k in range(n)])}
query = {"model": "t", "dimensions": ["i", "s"], "measures": ["sum_i", "mean_f"], "order_by": ["s"]}

def answers():
    ctx = quendra.Context()
    ctx.load_models(json.loads(sys.argv[1]))
    ctx.bind("t", data)
    first = ctx.execute(query)
    want = first.slice(0, 5).to_pylist()
    others = [ctx.execute(query) for _ in range(3)]
    ctx.clear_tables()
    try:
        ctx.execute(query)
        raise SystemExit("a query over cleared tables answered")
    except quendra.Error as e:
        assert e.code == 2 and e.message == "table 't' is not bound", e
    ctx.close()
    assert [r.slice(0, 5).to_pylist() for r in [first, *others]] == [want] * 4
    return [first, *others]

start, rounds = heap(), []
for _ in range(3):
    results = answers()
    alive = heap()
    del results
    rounds.append({"freed": alive - heap(), "grown": heap() - start})
print(json.dumps(rounds))
"""


def test_results_own_their_memory():
    """Results outlive their context and, once released, give back their
    memory; three rounds of a context, four results and their release leave
    the heap as the first round did."""
    env = {"PYTHONPATH": str(ROOT / "python"), "PATH": "/usr/bin:/bin"}
    manifest = json.dumps({"models": {"t": {"table": "t", "dimensions": {"i": "i", "s": "s"},
                                            "measures": MANIFEST["models"]["t"]["measures"]}}})
    out = subprocess.run([sys.executable, "-c", OWN_MEMORY, manifest], capture_output=True, text=True, env=env)
    assert out.returncode == 0, out.stderr
    rounds = json.loads(out.stdout)
    # Four results of 200,000 rows of two 8-byte columns at least.
    assert all(r["freed"] >= 4 * 200_000 * 16 for r in rounds), rounds
    assert abs(rounds[2]["grown"] - rounds[1]["grown"]) < 256 * 1024, rounds


def test_docstring_example_runs():
    failures, tried = doctest.testmod(_native, verbose=False)
    assert tried > 0 and failures == 0


def cli(*args, cwd=ROOT):
    env = {"PYTHONPATH": str(ROOT / "python"), "PATH": "/usr/bin:/bin"}
    return subprocess.run([sys.executable, "-m", "quendra", *args], capture_output=True, text=True, cwd=cwd, env=env)


def test_command_line_run(tmp_path):
    manifest = tmp_path / "m.json"
    manifest.write_text(json.dumps(MANIFEST))
    data = tmp_path / "data"
    data.mkdir()
    pq.write_table(pa.table({"s": ["x", "y", "x"], "i": [1, 2, 3]}), data / "t.parquet")
    (data / "other.csv").write_text("a,b\n1,2\n")
    query = json.dumps({"model": "t", "dimensions": ["s"], "measures": ["sum_i"], "order_by": ["s"]})
    out = cli("run", "--manifest", str(manifest), "--data", str(data), "--query", query, "--format", "csv")
    assert (out.returncode, out.stdout) == (0, "s,sum_i\nx,4\ny,2\n")
    out = cli("run", "--manifest", str(manifest), "--table", f"t={data / 't.parquet'}", "--query", query,
              "--format", "json")
    assert json.loads(out.stdout) == {"columns": ["s", "sum_i"], "rows": [["x", 4], ["y", 2]]}
    assert "(2 rows)" in cli("run", "--manifest", str(manifest), "--data", str(data), "--query", query).stdout

    (tmp_path / "bad").mkdir()
    pq.write_table(pa.table({"s": ["x"], "amount": pa.array([1], pa.decimal128(5, 2))}), tmp_path / "bad" / "t.parquet")
    (tmp_path / "broken.parquet").write_bytes(b"not parquet")
    failures = [
        (["--data", str(tmp_path / "nowhere")], "no such directory"),
        (["--table", f"t={tmp_path / 'missing.parquet'}"], "no such file"),
        (["--table", f"t={tmp_path / 'broken.parquet'}"], "cannot read"),
        (["--data", str(tmp_path / "bad")], "column 'amount' (decimal128(5, 2)): unsupported Arrow type"),
        (["--data", str(data), "--query", "{\"model\": "], "query: not JSON: Expecting value at line 1, column 11"),
        (["--data", str(data), "--query", json.dumps({"model": "t", "measures": ["nope"]})], "unknown measure"),
    ]
    for extra, text in failures:
        args = ["run", "--manifest", str(manifest), *extra]
        if "--query" not in extra:
            args += ["--query", query]
        out = cli(*args)
        assert out.returncode != 0 and text in out.stderr and "Traceback" not in out.stderr, (extra, out.stderr)


NESTS = {"models": {
    "nest": {"table": "nest",
             "dimensions": {"id": "id", "flag": "flag", "eggs": "eggs", "date_egg": {"expr": "date_egg", "time": True},
                            "written": {"expr": "written", "time": True}, "age": "date_egg - date_egg"},
             "measures": {"nest_count": {"agg": "count"}, "clutch": {"agg": "sum", "expr": "eggs"}},
             "segments": {"full": [{"field": "eggs", "operator": ">", "value": 2}]},
             "joins": {"individuals": {"model": "individuals", "left_on": "id", "right_on": "nest_id"}}},
    "individuals": {"table": "individuals", "dimensions": {"nest_id": "nest_id", "sex": "sex"},
                    "measures": {"bird_count": {"agg": "count"}},
                    "segments": {"males": [{"field": "sex", "operator": "=", "value": "MALE"}]}}}}


def test_messages_name_what_they_are_about():
    """What a new user meets first: each failure names the expression or
    field and the kinds it met, or the near name that was meant."""
    mismatch = "type mismatch in expression: "
    cases = [
        ({"dimensions": ["nest.age"]}, 1, mismatch + "'date_egg - date_egg' (date - date)"),
        ({"dimensions": ["nest.id"], "filters": [{"field": "nest.flag", "operator": "=", "value": "yes"}]}, 1,
         mismatch + "filter on 'nest.flag' (boolean = text)"),
        ({"dimensions": ["nest.id"], "filters": [{"field": "nest.eggs", "operator": ">=", "value": "4000"}]}, 1,
         mismatch + "filter on 'nest.eggs' (integer >= text)"),
        ({"dimensions": ["nest.written"], "time_grain": "month"}, 1, mismatch + "'nest.written' at grain month (text)"),
        ({"dimensions": ["nest.id"], "filter": "eggs + '1' > 2"}, 1, mismatch + "'eggs + '1'' (integer + text)"),
        ({"dimensions": ["nest.id"], "filter": "date_egg < 'last week'"}, 1,
         "cannot read a literal in the expression (timestamps are YYYY-MM-DD[ HH:MM:SS]): "
         "'date_egg < 'last week'' (date < text)"),
        ({"measures": ["nest.nest_cout"]}, 3, "unknown measure 'nest.nest_cout'; did you mean 'nest.nest_count'?"),
        ({"measures": ["individuals.bird_cuont"]}, 3,
         "unknown measure 'individuals.bird_cuont'; did you mean 'individuals.bird_count'?"),
        ({"model": "individual", "measures": ["bird_count"]}, 2, "unknown model 'individual'; did you mean 'individuals'?"),
        ({"measures": ["clutch"], "segments": ["individuals.male"]}, 3,
         "unknown segment 'individuals.male'; did you mean 'individuals.males'?"),
    ]
    nest = {"id": pa.array([1, 2]), "flag": pa.array([True, False]), "eggs": pa.array([2, 3]),
            "date_egg": pa.array([datetime.date(2008, 11, 9), datetime.date(2009, 11, 15)]),
            "written": pa.array(["2008/11/09", "2009/11/15"])}
    birds = {"nest_id": pa.array([1, 1, 2]), "sex": pa.array(["MALE", "FEMALE", "MALE"])}
    with quendra.Context() as ctx:
        ctx.load_models(NESTS)
        ctx.bind("nest", nest)
        ctx.bind("individuals", birds)
        for query, code, message in cases:
            with pytest.raises(quendra.Error) as failed:
                ctx.execute({"model": "nest", **query})
            assert (failed.value.code, failed.value.message) == (code, message), query


def test_docs_show_the_c_host_that_the_tests_build():
    page = (ROOT / "docs" / "c-api.md").read_text()
    assert '```c\n--8<-- "examples/host.c"\n```' in page


def test_long_tables_agree_with_pyarrow_group_by():
    """60,000 rows of narrow, unsigned, date and millisecond columns bound
    through the C interface, grouped the ways that number groups a stretch
    at a time (by a narrow key, by month, by two keys), against pyarrow's
    own group_by on the same table."""
    rng = random.Random(17)
    n = 60_000

    def draw(lo, hi, null_share=0.0):
        return [None if rng.random() < null_share else rng.randrange(lo, hi) for _ in range(n)]

    epoch = datetime.date(1970, 1, 1)
    table = pa.table({
        "k": pa.array(draw(-300, 300, 0.02), pa.int16()),
        "u": pa.array(draw(0, 256), pa.uint8()),
        "d": pa.array([epoch + datetime.timedelta(days=v) for v in draw(18_000, 19_500)], pa.date32()),
        "ts": pa.array(draw(1_500_000_000_000, 1_700_000_000_000), pa.timestamp("ms")),
        "x": pa.array([None if v is None else v / 64 for v in draw(0, 10**6, 0.1)], pa.float64()),
        "y": pa.array(draw(-1000, 1000), pa.int64()),
    })
    manifest = {"models": {"t": {"table": "t", "dimensions": {
        "k": "k", "u": "u", "d": {"expr": "d", "time": True}, "ts": {"expr": "ts", "time": True}},
        "measures": {"n": {"agg": "count"}, "xs": {"agg": "sum", "expr": "x"},
                     "ys": {"agg": "sum", "expr": "y"}, "ymax": {"agg": "max", "expr": "y"}}}}}
    aggs = [("x", "sum"), ("y", "sum"), ("y", "max"), ([], "count_all")]

    def rows(t, keys):
        out = {}
        for r in t.to_pylist():
            x = r["xs"] if "xs" in r else r["x_sum"]
            out[tuple(r[k] for k in keys)] = (r.get("n", r.get("count_all")), x,
                                               r.get("ys", r.get("y_sum")), r.get("ymax", r.get("y_max")))
        return out

    with quendra.Context() as c:
        c.load_models(manifest)
        c.bind("t", table)
        cases = [
            (["k"], None, table, ["k"]),
            (["u", "k"], None, table, ["u", "k"]),
            (["ts"], "month", table.set_column(3, "ts", pc.floor_temporal(table["ts"], unit="month")), ["ts"]),
            (["d"], "year", table.set_column(2, "d", pc.floor_temporal(table["d"], unit="year")), ["d"]),
        ]
        for dims, grain, source, keys in cases:
            query = {"model": "t", "dimensions": dims, "measures": ["n", "xs", "ys", "ymax"]}
            if grain:
                query["time_grain"] = grain
            ours = c.execute(query).rename_columns(keys + ["n", "xs", "ys", "ymax"])
            theirs = source.group_by(keys).aggregate(aggs)
            got, want = rows(ours, keys), rows(theirs, keys)
            # Times come back as microsecond timestamps; compare instants.
            norm = lambda key: tuple(v.replace(tzinfo=None) if hasattr(v, "hour") else
                                     (datetime.datetime(v.year, v.month, v.day) if isinstance(v, datetime.date) else v)
                                     for v in key)
            got = {norm(k): v for k, v in got.items()}
            want = {norm(k): v for k, v in want.items()}
            assert len(want) > 3 and got.keys() == want.keys(), dims
            for key, (count, xs, ys, ymax) in want.items():
                g = got[key]
                assert (g[0], g[2], g[3]) == (count, ys, ymax), (dims, key)
                assert (g[1] is None) == (xs is None) and (xs is None or g[1] == pytest.approx(xs, rel=1e-9)), (dims, key)


def test_many_groups_agree_with_pyarrow_and_outlive_the_context():
    """150,000 rows in about 120,000 groups of an integer, a float and a
    timestamp key: numbered by hash, with the keys and sums written where the
    exported result owns them. The answer must equal pyarrow's group_by, and
    stay readable once the context is gone."""
    rng = random.Random(5)
    n = 150_000
    table = pa.table({
        "a": pa.array([None if rng.random() < 0.01 else rng.randrange(100_000) for _ in range(n)], pa.int64()),
        "b": pa.array([rng.choice([0.5, 1.5, 2.5]) for _ in range(n)], pa.float64()),
        "c": pa.array([rng.choice([0, 86_400_000_000]) for _ in range(n)], pa.timestamp("us")),
        "x": pa.array([None if rng.random() < 0.3 else rng.randrange(10**6) / 64 for _ in range(n)], pa.float64()),
        "y": pa.array([rng.randrange(-1000, 1000) for _ in range(n)], pa.int64()),
    })
    manifest = {"models": {"t": {"table": "t", "dimensions": {"a": "a", "b": "b", "c": "c"},
                                 "measures": {"n": {"agg": "count"}, "xs": {"agg": "sum", "expr": "x"},
                                              "ys": {"agg": "sum", "expr": "y"}}}}}
    c = quendra.Context()
    c.load_models(manifest)
    c.bind("t", table)
    ours = c.execute({"model": "t", "dimensions": ["a", "b", "c"], "measures": ["n", "xs", "ys"]})
    c.close()
    gc.collect()
    keys = [("a", "ascending"), ("b", "ascending"), ("c", "ascending")]
    theirs = table.group_by(["a", "b", "c"]).aggregate([([], "count_all"), ("x", "sum"), ("y", "sum")])
    theirs = theirs.rename_columns([{"count_all": "n", "x_sum": "xs", "y_sum": "ys"}.get(k, k)
                                    for k in theirs.column_names]).select(["a", "b", "c", "n", "xs", "ys"])
    got, want = ours.sort_by(keys).to_pylist(), theirs.sort_by(keys).to_pylist()
    assert len(want) > 100_000 and len(got) == len(want)
    for g, w in zip(got, want):
        assert [g[k] for k in ("a", "b", "c", "n", "ys")] == [w[k] for k in ("a", "b", "c", "n", "ys")]
        assert (g["xs"] is None) == (w["xs"] is None) and (w["xs"] is None or g["xs"] == pytest.approx(w["xs"]))
