"""Data files read once for every engine: the typing of CSV columns against
the values they were written from, the same answers in memory, on DuckDB
and on Spark through the command line, declared column kinds, check over
data, and the messages for text that is not JSON."""

from __future__ import annotations

import json
import math
import random
from datetime import date, datetime, timedelta
from pathlib import Path

import pyarrow as pa
import pyarrow.parquet as pq
import pytest

from quendra._cli import main
from quendra._files import read_sources
from test_engines import cli

NULL_WORDS = ["", "", "NA", "null"]
EXPECTED_TYPE = {"int": pa.int64(), "float": pa.float64(), "bool": pa.bool_(), "date": pa.date32(),
                 "timestamp": pa.timestamp("us"), "text": pa.string(), "near_date": pa.string(), "code": pa.string()}


def _day(rng: random.Random) -> date:
    return date(2011, 1, 1) + timedelta(days=rng.randrange(900))


def _date_text(d: date, rng: random.Random) -> str:
    sep = rng.choice("-/")
    month, day = (f"{d.month}", f"{d.day}") if rng.random() < 0.3 else (f"{d.month:02}", f"{d.day:02}")
    return f"{d.year}{sep}{month}{sep}{day}"


def value(kind: str, rng: random.Random) -> tuple[str, object]:
    """A written value of a column meant to be `kind`, and what it means."""
    if kind == "int":
        n = rng.randint(-10**6, 10**6)
        return (f"+{n}" if n > 0 and rng.random() < 0.1 else str(n)), n
    if kind == "float":
        text = rng.choice([str(rng.randint(-999, 999)), repr(rng.randint(-99999, 99999) / 100),
                           f"{rng.randint(1, 9)}e{rng.randint(-3, 3)}", f"-{rng.randint(0, 9)}.", ".5"])
        return text, float(text)
    if kind == "bool":
        b = rng.random() < 0.5
        text = "true" if b else "false"
        return rng.choice([text, text.upper(), text.capitalize()]), b
    if kind in ("date", "near_date"):
        d = _day(rng)
        return _date_text(d, rng), d
    if kind == "timestamp":
        t = datetime.combine(_day(rng), datetime.min.time()) + timedelta(seconds=rng.randrange(86400),
                                                                         microseconds=rng.randrange(10**6))
        form = rng.randrange(4)
        if form == 0:
            return _date_text(t.date(), rng), datetime.combine(t.date(), datetime.min.time())
        if form == 1:
            return t.strftime("%Y-%m-%d %H:%M"), t.replace(second=0, microsecond=0)
        if form == 2:
            return t.strftime("%Y-%m-%dT%H:%M:%S"), t.replace(microsecond=0)
        return t.strftime("%Y/%m/%d %H:%M:%S.%f") + "123", t  # digits past microseconds are cut
    if kind == "code":
        code = f"0{rng.randint(1000, 9999)}"
        return code, code
    word = rng.choice(["north", "south", "2012", "yes", "no", "T", "1.2.3", "NA-1", "x y"])
    return word, word


ALMOST_DATES = ["2012-02-30", "2012-13-01", "01/31/2012", "2012-01-01x", "2012/01-05", "12012-01-01", " 2012-01-01"]


def random_table(rng: random.Random, rows: int) -> tuple[list[str], list[str], list[list[str]], dict]:
    """Column names, kinds, the written rows and the values meant."""
    kinds = ["int", "float", "bool", "date", "timestamp", "text"] + rng.sample(["near_date", "code", "date",
                                                                                 "timestamp", "int"], 2)
    names = [f"c{i}_{k}" for i, k in enumerate(kinds)]
    written: list[list[str]] = [[] for _ in range(rows)]
    meant: dict[str, list] = {n: [] for n in names}
    for name, kind in zip(names, kinds):
        for r in range(rows):
            if r > 0 and rng.random() < 0.15:
                text, v = rng.choice(NULL_WORDS), None
                if kind in ("text", "near_date", "code") and text:
                    v = text  # in a column that stays text the words are text
            else:
                text, v = value(kind, rng)
            written[r].append(text)
            meant[name].append(v)
        if kind == "near_date":  # one value that is almost a date keeps the column text
            r = rng.randrange(rows)
            written[r][names.index(name)] = meant[name][r] = rng.choice(ALMOST_DATES)
        if kind in ("near_date", "code"):
            meant[name] = [None if w == "" else w for w in (row[names.index(name)] for row in written)]
    return names, kinds, written, meant


def write_csv(path: Path, names: list[str], rows: list[list[str]]) -> None:
    path.write_text("\n".join(",".join(r) for r in [names] + rows) + "\n")


def run_json(capsys, *args: str) -> dict:
    assert main(["run", *args, "--format", "json"]) == 0, capsys.readouterr().err
    return json.loads(capsys.readouterr().out)


def same_rows(a: list, b: list) -> bool:
    def key(row):
        return [(v is None, str(v)) for v in row]

    def same(x, y):
        if isinstance(x, float) and isinstance(y, float):
            return math.isclose(x, y, rel_tol=1e-9, abs_tol=1e-9)
        return x == y

    a, b = sorted(a, key=key), sorted(b, key=key)
    return len(a) == len(b) and all(len(r) == len(s) and all(map(same, r, s)) for r, s in zip(a, b))


def manifest_for(names: list[str], kinds: list[str]) -> dict:
    dims = {n: {"expr": n, "time": True} if k in ("date", "timestamp") else n for n, k in zip(names, kinds)}
    return {"models": {"t": {"table": "t", "dimensions": dims, "measures": {
        "n": {"agg": "count"}, "ints": {"agg": "sum", "expr": names[0]}, "floats": {"agg": "sum", "expr": names[1]},
        "texts": {"agg": "nunique", "expr": names[5]}, "late": {"agg": "max", "expr": names[4]}}}}}


def queries_for(names: list[str], kinds: list[str]) -> list[dict]:
    return [
        {"model": "t", "dimensions": [names[3]], "time_grains": {names[3]: "month"}, "measures": ["n", "floats"]},
        {"model": "t", "dimensions": [names[2], names[6]], "measures": ["n", "ints", "late"],
         "filters": [{"field": names[0], "operator": ">", "value": 0}]},
        {"model": "t", "dimensions": [names[4]], "time_grains": {names[4]: "day"}, "measures": ["texts"]},
        {"model": "t", "measures": ["n", "ints", "floats", "texts"],
         "filters": [{"field": names[3], "operator": ">=", "value": "2012-01-01"}]},
    ]


def test_random_csv_files_are_typed_as_written_and_answer_alike_on_memory_and_duckdb(tmp_path, capsys):
    for seed in range(6):
        rng = random.Random(seed)
        names, kinds, written, meant = random_table(rng, rng.choice([1, 2, 17, 64, 65]))
        folder = tmp_path / f"s{seed}"
        folder.mkdir()
        write_csv(folder / "t.csv", names, written)
        table = read_sources({"t": folder / "t.csv"})["t"].table()
        for name, kind in zip(names, kinds):
            column = table.column(name)
            assert column.type == EXPECTED_TYPE[kind], (seed, name, column.type, meant[name])
            assert column.to_pylist() == meant[name], (seed, name)
        manifest = folder / "m.json"
        manifest.write_text(json.dumps(manifest_for(names, kinds)))
        for query in queries_for(names, kinds):
            args = ["--manifest", str(manifest), "--data", str(folder), "--query", json.dumps(query)]
            memory, duck = (run_json(capsys, *args, "--engine", e) for e in ("memory", "duckdb"))
            assert memory["columns"] == duck["columns"]
            assert same_rows(memory["rows"], duck["rows"]), (seed, query, memory, duck)


def test_spark_reads_the_same_columns(tmp_path):
    rng = random.Random(7)
    names, kinds, written, _ = random_table(rng, 30)
    write_csv(tmp_path / "t.csv", names, written)
    manifest = tmp_path / "m.json"
    manifest.write_text(json.dumps(manifest_for(names, kinds)))
    query = queries_for(names, kinds)[0]
    out = [cli("run", "--manifest", str(manifest), "--data", str(tmp_path), "--query", json.dumps(query),
               "--format", "json", "--engine", e) for e in ("memory", "spark")]
    assert [o.returncode for o in out] == [0, 0], out[1].stderr
    memory, spark = (json.loads(o.stdout) for o in out)
    assert memory["columns"] == spark["columns"] and same_rows(memory["rows"], spark["rows"]), (memory, spark)


def test_declared_column_kinds(tmp_path, capsys):
    (tmp_path / "nests.csv").write_text("id,date_egg,size,flag\n1,2012/01/01,1,TRUE\n2,2012/02/03,NA,false\n")
    pq.write_table(pa.table({"code": [1, 20], "day": ["2012-01-01", "2012/1/2"]}), tmp_path / "codes.parquet")
    models = {"nests": {"table": "nests", "columns": {"date_egg": "text", "size": "float", "flag": "text"},
                        "dimensions": {"id": "id"}},
              "codes": {"table": "codes", "columns": {"code": "text", "day": "date"}, "dimensions": {"code": "code"}}}
    files = {"nests": tmp_path / "nests.csv", "codes": tmp_path / "codes.parquet"}
    sources = read_sources(files, {"models": models})
    assert sources["nests"].table().to_pylist() == [
        {"id": 1, "date_egg": "2012/01/01", "size": 1.0, "flag": "TRUE"},
        {"id": 2, "date_egg": "2012/02/03", "size": None, "flag": "false"}]
    assert sources["codes"].table().to_pylist() == [{"code": "1", "day": date(2012, 1, 1)},
                                                    {"code": "20", "day": date(2012, 1, 2)}]

    def error(changes: dict) -> str:
        manifest = tmp_path / "m.json"
        manifest.write_text(json.dumps({"models": {"nests": dict(models["nests"], **changes)}}))
        assert main(["run", "--manifest", str(manifest), "--data", str(tmp_path),
                     "--query", '{"model": "nests", "dimensions": ["id"]}']) == 1
        return capsys.readouterr().err.strip()

    nests = tmp_path / "nests.csv"
    assert error({"columns": {"flag": "int"}}) == \
        f"error: {nests}: column 'flag' is declared int, but its value 'TRUE' (row 1) is not one"
    assert error({"columns": {"date_egg": "timestamp", "id": "date"}}) == \
        f"error: {nests}: column 'id' is declared date, but its value '1' (row 1) is not one"
    assert error({"columns": {"size": "double"}}) == \
        "error: model 'nests': column 'size': kind \"double\" is not one of text, int, float, bool, date, timestamp"
    assert error({"columns": ["size"]}) == "error: model 'nests': 'columns' must be an object of column names to kinds"
    assert error({"columns": {"weight": "float"}}) == \
        f"error: {nests}: no column 'weight', which model 'nests' declares float"


def test_check_over_data_tries_every_grain(tmp_path, capsys):
    """A time dimension over text fails check --data at every grain, in
    memory and on DuckDB; read as dates it passes."""
    (tmp_path / "nests.csv").write_text("id,date_egg\n1,2012/01/01\n2,2012/02/03\n")
    model = {"table": "nests", "dimensions": {"id": "id", "date_egg": {"expr": "date_egg", "time": True,
                                                                       "smallest_time_grain": "day"}},
             "measures": {"n": {"agg": "count"}}}
    manifest = tmp_path / "m.json"
    manifest.write_text(json.dumps({"models": {"nests": model}}))
    args = ["check", "--manifest", str(manifest), "--data", str(tmp_path)]
    assert main(args + ["--engine", "duckdb"]) == 0, capsys.readouterr().out
    capsys.readouterr()
    manifest.write_text(json.dumps({"models": {"nests": dict(model, columns={"date_egg": "text"})}}))
    assert main(args + ["--engine", "duckdb", "--format", "json"]) == 1
    problems = json.loads(capsys.readouterr().out)["problems"]
    assert [(p["model"], p["kind"], p["field"], p["stage"]) for p in problems] == \
        [("nests", "dimension", "date_egg", "probe")] * 2
    assert problems[0]["message"].endswith("(at every grain)")
    assert problems[1]["message"].startswith("duckdb: ")
    # A declared kind the file does not hold is a problem of the model.
    manifest.write_text(json.dumps({"models": {"nests": dict(model, columns={"date_egg": "bool"})}}))
    assert main(args) == 1
    assert "column 'date_egg' is declared bool, but its value '2012/01/01' (row 1) is not one (probe)" in \
        capsys.readouterr().out


@pytest.mark.parametrize("where, text, message", [
    ("manifest", '{"models": {\n  "a": {},\n}}',
     "error: manifest {path}: not JSON: Expecting property name enclosed in double quotes at line 3, column 1"),
    ("query", '{"model": "t",\n "measures": ["n"]',
     "error: query: not JSON: Expecting ',' delimiter at line 2, column 19"),
    ("query file", '{"model": "t", "model": "t"}',
     "error: query {path}: not JSON: Duplicate key 'model' at line 1, column 16"),
    ("query", '{"model": "t", "n": NaN}', "error: query: not JSON: Expecting value at line 1, column 21"),
    ("query", '["caf\u00e9", \u00e9]', "error: query: not JSON: Expecting value at line 1, column 10"),
])
def test_text_that_is_not_json_is_named_with_line_and_column(where, text, message, tmp_path, capsys):
    good = tmp_path / "m.json"
    good.write_text('{"models": {"t": {"table": "t", "measures": {"n": {"agg": "count"}}}}}')
    path = tmp_path / "given.json"
    path.write_text(text)
    manifest = path if where == "manifest" else good
    query = str(path) if where == "query file" else text
    for command in ("sql", "run"):
        assert main([command, "--manifest", str(manifest), "--query", query]) == 1
        assert capsys.readouterr().err.strip() == message.format(path=path)
