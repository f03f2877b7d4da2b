"""Where the documentation explains an error: the page and heading for a
library message about a field or a rule, found from its code and text.

The library's error document stays as it is; the faces add the place
beside it: the command line prints the page's file under docs/ (`see:
docs/reference/query.md#filters`), the HTTP API adds the page's address in
the built site under a key of its own (`"see": "reference/query/#filters"`),
and the explorer page links to it when `serve` serves the site at /docs/,
else names the file.

A target is a page under docs/ and, optionally, an anchor: the heading
MkDocs makes of a reference page's `## <field>` heading. Field names keep
their underscores (`## time_range` becomes `#time_range`)."""

from __future__ import annotations

import re
from typing import Optional

QUERY = "reference/query.md"
MANIFEST = "reference/manifest.md"
JOINS = "guides/joins.md"
DETAIL = "guides/level-of-detail.md"
TIME = "guides/time.md"
SEGMENTS = "guides/segments.md"
ERRORS = "errors.md"

# First match wins: rules about definitions in the manifest (their messages
# name the model, measure, join or segment they are about) and about how
# measures combine come before the query's fields, whose words they share.
_RULES: list = [
    # The manifest.
    (r"^manifest (needs|must be)", f"{MANIFEST}#models"),
    (r"^calendar", f"{MANIFEST}#calendar"),
    (r"^model '.*' has no table$", f"{MANIFEST}#table"),
    (r"^join '", f"{MANIFEST}#joins"),
    (r"'where'", SEGMENTS),
    (r"^segment '", f"{MANIFEST}#segments"),
    (r"^time_dimension", f"{QUERY}#time_dimension"),
    # Measures along time, totals and ranks, and the fan-out rule.
    (r"derived along time|time dimension with a grain|^'(offset|running|trailing|unit)'|^running by|"
     r"does not fit the grain|^needs exactly one of|running and trailing", TIME),
    (r"total|rank|'within'|defined by a measure|is neither an aggregate", DETAIL),
    (r"primary_key|across the join|many-join|reads through the join", JOINS),
    (r"^(calculated )?measure '.*('(: | refers| is neither| needs)|(was not aggregated|nested or cyclic)$)|"
     r"^needs 'agg'|^unsupported aggregate|^'percentile'|^filters apply only|^a measure filter|"
     r"^(sum/mean|min, max or mean) ", f"{MANIFEST}#measures"),
    (r"^dimension '", f"{MANIFEST}#dimensions"),
    # Expressions, in the manifest or a query's filter.
    (r"expression|^unknown function|^function '|^digits must|^start and length", f"{QUERY}#expressions"),
    # The query's fields.
    (r"^query (must be|needs 'model')|^unknown model|^model '", f"{QUERY}#model"),
    (r"^'having'", f"{QUERY}#filters"),
    (r"time_range needs the query's 'now'|'now'|^bad now", f"{QUERY}#now"),
    (r"time_range", f"{QUERY}#time_range"),
    (r"time grain", f"{QUERY}#time_grain"),
    (r"time zone|time_zone", f"{QUERY}#time_zone"),
    (r"^unknown segment|^'?segments'? must", f"{QUERY}#segments"),
    (r"^order_by|^order direction", f"{QUERY}#order_by"),
    (r"^limit", f"{QUERY}#limit"),
    (r"filter|^operator '|^unsupported filter operator", f"{QUERY}#filters"),
    (r"^unknown dimension|^dimensions must|at least one dimension", f"{QUERY}#dimensions"),
    (r"^unknown measure|^measures must", f"{QUERY}#measures"),
]
_COMPILED = [(re.compile(p), target) for p, target in _RULES]

# Codes of faults in what was asked, explained on the errors page when no
# rule above names the field.
_ASKED = {"Invalid", "UnknownModel", "UnknownField", "Unsupported"}


def targets() -> list:
    """Every target the rules can give, for checking that each exists."""
    return sorted({t for _, t in _RULES} | {ERRORS})


def see(code: Optional[str], message: Optional[str]) -> Optional[str]:
    """The target that explains a library error ("reference/query.md#filters"),
    or None for an error that no page is about (memory, writing)."""
    text = message or ""
    for pattern, target in _COMPILED:
        if pattern.search(text):
            return target
    return ERRORS if code in _ASKED else None


def source_path(target: str) -> str:
    """The target as the page's file in the source tree: docs/...md#anchor."""
    return f"docs/{target}"


def site_path(target: str) -> str:
    """The target as an address in the built site, relative to its root:
    MkDocs gives each page a directory ("reference/query/#filters")."""
    page, _, anchor = target.partition("#")
    page = page[: -len(".md")]
    page = "" if page == "index" else page[: -len("index")] if page.endswith("/index") else page + "/"
    return page + (f"#{anchor}" if anchor else "")
