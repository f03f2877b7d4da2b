"""Where a text stops being JSON, for the messages of the command line and
the HTTP API.

The library refuses a query or manifest that is not JSON with the name of
the fault alone (SyntaxError, UnexpectedEndOfInput, DuplicateField,
NestingTooDeep). This reads the text again by the same rules (RFC 8259:
no NaN, no comments, UTF-8, no key twice in one object, nesting at most 512
deep) to say what is wrong and at which line and column."""

from __future__ import annotations

import re
from typing import Any, Optional

# The library's names for a text that is not JSON.
FAULTS = ("SyntaxError", "UnexpectedEndOfInput", "DuplicateField", "NestingTooDeep")
MAX_DEPTH = 512

_SPACE = re.compile(rb"[ \t\n\r]*")
_NUMBER = re.compile(rb"-?(?:0|[1-9][0-9]*)(?:\.[0-9]+)?(?:[eE][-+]?[0-9]+)?")
_PLAIN = re.compile(rb'[^"\\\x00-\x1f]*')
_ESCAPE = re.compile(rb'\\(?:["\\/bfnrt]|u[0-9a-fA-F]{4})')


class _Stop(Exception):
    def __init__(self, what: str, at: int):
        super().__init__(what)
        self.what, self.at = what, at


def fault(raw: bytes) -> Optional[tuple[str, int]]:
    """(what is wrong, byte offset) at the first place `raw` is not JSON as
    the library reads it; None when it is."""
    try:
        _document(raw)
    except _Stop as s:
        return s.what, s.at
    return None


def line_column(raw: bytes, at: int) -> tuple[int, int]:
    """Line and column (both from 1, the column in characters) of byte `at`."""
    start = raw.rfind(b"\n", 0, at) + 1
    column = sum(1 for b in raw[start:at] if b & 0xC0 != 0x80)  # UTF-8 continuation bytes add no character
    return raw.count(b"\n", 0, at) + 1, column + 1


def describe(raw: bytes) -> Optional[str]:
    """"Expecting value at line 1, column 1" for a text that is not JSON;
    None for one that is."""
    found = fault(raw)
    if found is None:
        return None
    line, column = line_column(raw, found[1])
    return f"{found[0]} at line {line}, column {column}"


def _space(b: bytes, pos: int) -> int:
    return _SPACE.match(b, pos).end()


def _string(b: bytes, pos: int) -> tuple[int, bytes]:
    """The end of the string whose quote is at `pos`, and its raw text."""
    start, pos = pos, pos + 1
    while True:
        pos = _PLAIN.match(b, pos).end()
        if pos >= len(b):
            raise _Stop("Unterminated string starting", start)
        c = b[pos]
        if c == 0x22:
            break
        if c == 0x5C:
            m = _ESCAPE.match(b, pos)
            if m is None:
                raise _Stop("Invalid \\uXXXX escape" if b[pos + 1:pos + 2] == b"u" else "Invalid \\escape", pos)
            pos = m.end()
            continue
        raise _Stop("Invalid control character", pos)
    text = b[start + 1:pos]
    try:
        text.decode("utf-8")
    except UnicodeDecodeError as e:
        raise _Stop("Invalid UTF-8", start + 1 + e.start) from None
    # A lone surrogate escape has no UTF-8 form: a high one must be followed
    # at once by a low one.
    escapes = list(re.finditer(rb"\\(?:u([0-9a-fA-F]{4})|.)", text))
    for i, m in enumerate(escapes):
        cp = int(m.group(1), 16) if m.group(1) else 0
        if 0xDC00 <= cp <= 0xDFFF and not (i and escapes[i - 1].end() == m.start()
                                           and 0xD800 <= int(escapes[i - 1].group(1) or "0", 16) <= 0xDBFF):
            raise _Stop("Lone surrogate in \\u escape", start + 1 + m.start())
        if 0xD800 <= cp <= 0xDBFF:
            nxt = escapes[i + 1] if i + 1 < len(escapes) else None
            if nxt is None or nxt.start() != m.end() or not 0xDC00 <= int(nxt.group(1) or "0", 16) <= 0xDFFF:
                raise _Stop("Lone surrogate in \\u escape", start + 1 + m.start())
    return pos + 1, text


def _document(b: bytes) -> None:
    # An explicit stack of open containers: None for an array, the keys met
    # so far for an object.
    stack: list[Optional[set]] = []
    pos = _space(b, 0)
    expect = "value"
    while True:
        if expect == "key":
            if b[pos:pos + 1] != b'"':
                raise _Stop("Expecting property name enclosed in double quotes", pos)
            start = pos
            pos, key = _string(b, pos)
            keys = stack[-1]
            assert keys is not None
            if key in keys:
                raise _Stop(f"Duplicate key {key.decode('utf-8', 'replace')!r}", start)
            keys.add(key)
            pos = _space(b, pos)
            if b[pos:pos + 1] != b":":
                raise _Stop("Expecting ':' delimiter", pos)
            pos, expect = _space(b, pos + 1), "value"
            continue
        if expect == "value":
            c = b[pos:pos + 1]
            if c in (b"{", b"["):
                if len(stack) == MAX_DEPTH:
                    raise _Stop(f"Nesting deeper than {MAX_DEPTH} levels", pos)
                stack.append(set() if c == b"{" else None)
                pos = _space(b, pos + 1)
                if b[pos:pos + 1] == (b"}" if c == b"{" else b"]"):
                    stack.pop()
                    pos += 1
                elif c == b"{":
                    expect = "key"
                    continue
                else:
                    continue
            elif c == b'"':
                pos = _string(b, pos)[0]
            elif b.startswith((b"true", b"null"), pos):
                pos += 4
            elif b.startswith(b"false", pos):
                pos += 5
            else:
                m = _NUMBER.match(b, pos)
                if m is None:
                    raise _Stop("Expecting value", pos)
                pos = m.end()
        # After a value: the end, or what its container takes next.
        pos = _space(b, pos)
        if not stack:
            if pos != len(b):
                raise _Stop("Extra data", pos)
            return
        c, is_object = b[pos:pos + 1], stack[-1] is not None
        if c == b",":
            pos, expect = _space(b, pos + 1), "key" if is_object else "value"
        elif c == (b"}" if is_object else b"]"):
            stack.pop()
            pos, expect = pos + 1, "after"
        else:
            raise _Stop("Expecting ',' delimiter", pos)


def not_json(error: Any, text: Any) -> Optional[str]:
    """Where `text` (the query or manifest given to the call that failed
    with `error`, a library Error) is not JSON, as describe() says it; None
    when the failure is another."""
    if getattr(error, "message", None) not in FAULTS or not isinstance(text, (bytes, bytearray, str)):
        return None
    return describe(text.encode("utf-8") if isinstance(text, str) else bytes(text))
