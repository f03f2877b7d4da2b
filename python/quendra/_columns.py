"""What the values of a data file's column are: the one type inference for
CSV text, and the column types a manifest declares.

Every engine is handed the columns this module makes, so that a file means
the same on each. A CSV column is read as text and converts only when every
value that is not null parses as one kind, tried in this order:

- bool: `true` or `false`, any case (`yes`/`no` and `1`/`0` do not count);
- int: an optional sign and digits that fit in 64 bits, without a leading
  zero (`007` and ZIP codes such as `02134` stay text);
- float: a decimal or exponent form, `1.5`, `.5`, `5.`, `-1e3` (no leading
  zero before other digits, no thousands separator);
- date: a year of four digits, month and day of one or two, separated by
  `-` or `/` the same way within a value: `2012-01-31`, `2012/1/31`. A day
  or month written first (`01/31/2012`, `31/01/2012`) keeps the column text,
  since the two orders cannot be told apart in general;
- timestamp: such a date, then `T` or a space and `HH:MM`, `HH:MM:SS` or
  `HH:MM:SS.fraction` (digits past microseconds are cut), in a column where
  dates alone may stand for midnight. A zone offset (`Z`, `+02:00`) on every
  value gives UTC instants; on some values only, the column stays text.

The empty field is null in every column. The words NA, N/A, NULL, null, NaN
and nan are null too in a column that converts, and text in one that does
not. Values are read as written: surrounding spaces keep a column text.
Parquet and Arrow IPC columns keep the types their file gives them.

A model's `columns` object declares the kind of a column of its table where
inference is not wanted, by one of KINDS: "text" keeps a CSV column as
written; any other kind must hold for every value, or reading fails naming
the first that does not."""

from __future__ import annotations

from datetime import date
from typing import Any, Optional

KINDS = ("text", "int", "float", "bool", "date", "timestamp")
NULL_WORDS = ["NA", "N/A", "NULL", "null", "NaN", "nan"]
# The order inference tries the kinds in: each accepts fewer texts than the
# next that could read the same values.
_INFERRED = ("bool", "int", "float", "date", "timestamp")

_INT = r"^[+-]?(0|[1-9][0-9]*)$"
_FLOAT = r"^[+-]?((0|[1-9][0-9]*)(\.[0-9]*)?|\.[0-9]+)([eE][+-]?[0-9]+)?$"
_DATE = r"^[0-9]{4}-[0-9]{2}-[0-9]{2}$"
_TIMESTAMP = (r"^[0-9]{4}-[0-9]{2}-[0-9]{2}([T ][0-9]{2}:[0-9]{2}(:[0-9]{2}(\.[0-9]+)?)?"
              r"(Z|[+-][0-9]{2}(:?[0-9]{2})?)?)?$")
_ZONED = r"(Z|[+-][0-9]{2}(:?[0-9]{2})?)$"


def _nulls_out(values: Any) -> Any:
    """The text with the null words made null."""
    import pyarrow.compute as pc

    return pc.if_else(pc.is_in(values, value_set=_pa().array(NULL_WORDS)), None, values)


def _pa() -> Any:
    import pyarrow as pa
    return pa


def _all_match(values: Any, pattern: str) -> bool:
    import pyarrow.compute as pc

    matched = pc.match_substring_regex(values, pattern)
    return not pc.any(pc.invert(matched)).as_py()  # nulls are skipped


def _iso_dates(values: Any) -> Any:
    """Dates written with / or one-digit parts, as YYYY-MM-DD (the rest of
    the text unchanged)."""
    import pyarrow.compute as pc

    v = pc.replace_substring_regex(values, r"^([0-9]{4})/([0-9]{1,2})/([0-9]{1,2})", r"\1-\2-\3")
    v = pc.replace_substring_regex(v, r"^([0-9]{4})-([0-9])-", r"\1-0\2-")
    return pc.replace_substring_regex(v, r"^([0-9]{4}-[0-9]{2})-([0-9])([^0-9]|$)", r"\1-0\2\3")


def _cast(values: Any, typ: Any) -> Optional[Any]:
    pa = _pa()
    try:
        return values.cast(typ)
    except (pa.ArrowInvalid, pa.ArrowNotImplementedError):
        return None


def parse(values: Any, kind: str) -> Optional[Any]:
    """`values` (a utf8 array whose nulls are already nulls) as `kind`, or
    None when some value that is not null does not read as one."""
    import pyarrow.compute as pc

    pa = _pa()
    if kind == "text":
        return values
    if kind == "bool":
        lower = pc.utf8_lower(values)
        return pc.equal(lower, "true") if _all_match(lower, "^(true|false)$") else None
    if kind in ("int", "float"):
        if not _all_match(values, _INT if kind == "int" else _FLOAT):
            return None
        return _cast(pc.utf8_ltrim(values, characters="+"), pa.int64() if kind == "int" else pa.float64())
    iso = _iso_dates(values)
    if kind == "date":
        out = _cast(iso, pa.date32()) if _all_match(iso, _DATE) else None
    else:
        if not _all_match(iso, _TIMESTAMP):
            return None
        iso = pc.replace_substring_regex(iso, r"(\.[0-9]{6})[0-9]+", r"\1")  # microseconds at most
        zoned = pc.match_substring_regex(iso, _ZONED)
        out = _cast(iso, pa.timestamp("us", "UTC" if pc.all(zoned).as_py() else None))
    # Year 0 reads, but is no date in most engines nor in Python.
    if out is not None and len(out) - out.null_count and pc.min(out.cast(pa.date32())).as_py() < date(1, 1, 1):
        return None
    return out


def infer(column: Any) -> Any:
    """The one inference: a utf8 column as the first kind every value reads
    as, else as it is."""
    values = _nulls_out(column)
    if values.null_count == len(values):
        return column
    for kind in _INFERRED:
        out = parse(values, kind)
        if out is not None:
            return out
    return column


def first_bad(values: Any, kind: str) -> int:
    """The index of the first value that does not read as `kind`, found by
    halving (each step one pass over the array): REQUIRES parse() of the
    whole array to fail."""
    lo, hi = 0, len(values)  # the first bad value lies in [lo, hi)
    while hi - lo > 1:
        mid = (lo + hi) // 2
        if parse(values.slice(lo, mid - lo), kind) is None:
            hi = mid
        else:
            lo = mid
    return lo


def convert(column: Any, kind: str, where: str) -> Any:
    """A column read as its declared `kind`. Text (utf8) is parsed as
    inference does; other types are cast. Raises ValueError naming the first
    value that does not convert, after `where` (the file and column)."""
    pa = _pa()
    if pa.types.is_string(column.type) or pa.types.is_large_string(column.type):
        column = column.cast(pa.string())
        if kind == "text":
            return column
        values = _nulls_out(column)
        out = parse(values, kind)
        if out is None:
            i = first_bad(values, kind)
            raise ValueError(f"{where} is declared {kind}, but its value {values[i].as_py()!r} "
                             f"(row {i + 1}) is not one")
        return out
    target = {"text": pa.string(), "int": pa.int64(), "float": pa.float64(), "bool": pa.bool_(),
              "date": pa.date32(), "timestamp": pa.timestamp("us", getattr(column.type, "tz", None))}[kind]
    try:
        return column.cast(target)
    except (pa.ArrowInvalid, pa.ArrowNotImplementedError) as e:
        raise ValueError(f"{where} is declared {kind}, but its type {column.type} does not convert: "
                         f"{str(e).splitlines()[0]}") from None


def declared(models: Any) -> tuple[dict, list[tuple[str, Optional[str], str]]]:
    """The column kinds the manifest's models declare, by table then column,
    and the faults of the declarations as (model, column, message): a
    `columns` that is not an object, an unknown kind, and two models of one
    table that declare one column differently."""
    out: dict[str, dict[str, tuple[str, str]]] = {}
    faults: list[tuple[str, Optional[str], str]] = []
    if not isinstance(models, dict):
        return out, faults
    for name, model in models.items():
        if not isinstance(model, dict) or "columns" not in model:
            continue
        cols, table = model["columns"], model.get("table")
        if not isinstance(cols, dict):
            faults.append((name, None, "'columns' must be an object of column names to kinds"))
            continue
        for col, kind in cols.items():
            if kind not in KINDS:
                faults.append((name, col, f"column '{col}': kind {json_text(kind)} is not one of "
                                          f"{', '.join(KINDS)}"))
                continue
            if not isinstance(table, str):
                continue
            have = out.setdefault(table, {}).get(col)
            if have is not None and have[0] != kind:
                faults.append((name, col, f"column '{col}' of table '{table}' is declared {kind} here "
                                          f"and {have[0]} by model '{have[1]}'"))
                continue
            out[table].setdefault(col, (kind, name))
    return out, faults


def json_text(value: Any) -> str:
    import json
    return json.dumps(value, ensure_ascii=False)
