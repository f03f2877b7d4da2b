"""The committed example data is what examples/make_data.py builds."""

import sys

import pyarrow.parquet as pq

from reference import DATA, EXAMPLES

sys.path.insert(0, str(EXAMPLES))
import make_data  # noqa: E402


def test_committed_files_match_the_generator():
    built = make_data.build_tables()
    assert sorted(p.stem for p in DATA.glob("*.parquet")) == sorted(built)
    for name, table in built.items():
        stored = pq.read_table(DATA / f"{name}.parquet")
        assert stored.schema.equals(table.schema), name
        assert stored.equals(table), name
