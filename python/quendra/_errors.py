"""The error every failed library call raises, and the result codes it
carries."""

from __future__ import annotations

from typing import Optional

# Integer results of the C interface, by name.
CODES = {
    0: "ok",
    1: "invalid",
    2: "unknown model",
    3: "unknown field",
    4: "unsupported",
    5: "out of memory",
    6: "write failed",
}


class Error(Exception):
    """A failed call: `code` is the integer result, `code_text` and `message`
    come from the context's error document (`message` is None when the
    library could not allocate the document)."""

    def __init__(self, code: int, code_text: Optional[str], message: Optional[str]):
        self.code = code
        self.code_text = code_text
        self.message = message
        text = message if message is not None else CODES.get(code, "error")
        super().__init__(f"{code_text or CODES.get(code, 'error')} ({code}): {text}")
