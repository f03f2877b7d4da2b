"""Random texts that are hard to carry through SQL: filter values and names
made of quotes, backslashes, comment and statement markers, control bytes,
non-ASCII (up to 4-byte UTF-8), Spark's `${...}`, LIKE wildcards, and long
runs of quote and backslash characters. Everything is drawn from a
`random.Random` the caller seeds, so a run is repeatable."""

from __future__ import annotations

import random

# Whole pieces: escapes and markers that SQL text, an engine's literal reader,
# Spark's variable substitution or a JSON reader might treat specially.
PIECES = [
    "'", "''", '"', "`", "``", "\\", "\\\\", "\\'", "'\\", "\\\"", "--", "/*", "*/", "/*+", ";", "\n", "\r",
    "\r\n", "\t", " ", "  ", "%", "_", "\\%", "\\_", "%_", "$", "${", "}", "{", "${x}", "${spark.app.name}",
    "${system:user.name}", "${env:HOME}", "${hivevar:v}", "${hiveconf:spark.app.name}", "$${", "\\${", "$$",
    "?", ":v", "@v", "\\n", "\\t", "\\0", "\\Z", "\\101", "\\u0024", "\\u0027", "\\U0001F600", "\\x27", "E'",
    "e'", "R'", "r\"", "N'", "X'00'", "' OR 1=1 --", "' OR ''='", "'; DROP TABLE t; --", "\" OR \"\"=\"",
    "NULL", "null", "TRUE", "0", "-0", "1e9", "SELECT", "AND", "UNION ALL", "é", "ß", "İ", "ı", "Σ", "ς",
    "中文", "한", "\u00a0", "\u00ad", "\u200b", "\u200d", "\u2028", "\u2029", "\ufeff", "\ufffd", "\uffff",
    "\U0001f600", "\U0001f468\u200d\U0001f469", "\U00010348", "\U0001d11e", "\U0010ffff", "e\u0301",
    "\u0085", "\x7f", "\x1b[0m",
]


def _control(rng: random.Random) -> str:
    """A control character other than NUL: C0, DEL or C1."""
    return chr(rng.choice([*range(1, 32), 0x7F, *range(0x80, 0xA0)]))


def _code_point(rng: random.Random) -> str:
    """Any character that UTF-8 can encode, surrogates excepted."""
    top = rng.choice([0x7F, 0x7FF, 0xFFFF, 0x10FFFF])
    while True:
        c = rng.randint(1, top)
        if not 0xD800 <= c <= 0xDFFF:
            return chr(c)


def _run(rng: random.Random) -> str:
    """A run of quotes and backslashes, up to a few dozen long."""
    unit = rng.choice(["'", "\\", "\\'", "'\\", "''\\", '"', "`", "\\\\'", "$"])
    return unit * rng.randint(1, 40)


def _piece(rng: random.Random) -> str:
    roll = rng.random()
    if roll < 0.35:
        return rng.choice(PIECES)
    if roll < 0.55:
        return chr(rng.randint(0x20, 0x7E))
    if roll < 0.65:
        return _control(rng)
    if roll < 0.80:
        return _code_point(rng)
    if roll < 0.88:
        return _run(rng)
    return "".join(rng.choice("abcXYZ019 ") for _ in range(rng.randint(1, 8)))


def near_copies(s: str) -> list[str]:
    """What a wrong escape, trim or case rule could turn `s` into."""
    return [s + " ", " " + s, s.strip(), s[:-1], s.upper(), s.lower(), s + "\n", s.replace("\\", "\\\\"),
            s.replace("\\\\", "\\"), s.replace("'", "''"), s.replace("''", "'"), s.replace("\\'", "'"),
            s.replace("${", "$"), s.replace("\r\n", "\n")]


def random_string(rng: random.Random) -> str:
    """A text value; empty about 1 time in 200, with leading or trailing
    spaces about 1 time in 10, and sometimes hundreds of pieces long."""
    if rng.random() < 0.005:
        return ""
    n = rng.randint(1, 300) if rng.random() < 0.02 else rng.randint(1, 12)
    s = "".join(_piece(rng) for _ in range(n))
    if rng.random() < 0.1:
        s = " " * rng.randint(1, 3) + s if rng.random() < 0.5 else s + " " * rng.randint(1, 3)
    return s


def random_strings(rng: random.Random, count: int) -> list[str]:
    """`count` distinct values; about one in ten is a near copy of an earlier
    one, so that a value has neighbours a wrong escape would select instead."""
    out: list[str] = []
    seen: set[str] = set()
    while len(out) < count:
        s = rng.choice(near_copies(rng.choice(out))) if out and rng.random() < 0.1 else random_string(rng)
        if s not in seen:
            seen.add(s)
            out.append(s)
    return out


def random_names(rng: random.Random, count: int, banned: str = "") -> list[str]:
    """`count` non-empty names, distinct even when case is ignored (both
    engines resolve names that way), none holding a character of `banned`."""
    out: list[str] = []
    seen: set[str] = set()
    while len(out) < count:
        n = rng.randint(1, 60) if rng.random() < 0.05 else rng.randint(1, 6)
        name = "".join(_piece(rng) for _ in range(n))
        if any(c in banned for c in name) or "\0" in name or name.casefold() in seen or name.lower() in seen:
            continue
        seen.update((name.casefold(), name.lower()))
        out.append(name)
    return out
