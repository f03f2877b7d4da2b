"""The documentation against the system it describes.

Every example the pages show is a file, answered here in memory and on
DuckDB over the example data, and must answer as shown; the reference
tables must name every field the library reads and nothing it does not;
the errors page must name every message the library gives; the README's
tour runs as it stands, over the command line and HTTP."""

from __future__ import annotations

import json
import re
import shlex
import subprocess
import sys
import urllib.request
from pathlib import Path

import pytest

import docs_examples
import quendra
from docs_examples import EXAMPLES, ROOT

DOCS = ROOT / "docs"
PAGES = sorted(DOCS.rglob("*.md"))
README = (ROOT / "README.md").read_text()


def page_text() -> str:
    return "\n".join(p.read_text() for p in PAGES)


# --- examples ---------------------------------------------------------------

EXAMPLE_QUERIES = docs_examples.examples()


@pytest.fixture(scope="module")
def duck():
    import engines
    con = engines.duckdb_connection()
    yield con
    con.close()


@pytest.mark.parametrize("path", EXAMPLE_QUERIES, ids=lambda p: f"{p.parent.name}/{p.stem}")
def test_example_answers_as_shown(path, duck):
    query = json.loads(path.read_text())
    shown_answer, shown_error = path.with_suffix(".txt"), path.with_suffix(".error")
    assert shown_answer.exists() != shown_error.exists(), f"{path}: needs exactly one of .txt and .error"
    shown = (shown_answer if shown_answer.exists() else shown_error).read_text()
    with quendra.Context() as ctx:
        ctx.load_models(docs_examples.manifest_of(path).read_bytes())
        docs_examples.bind(ctx)
        assert docs_examples.answer(ctx, query) == shown, "in memory"
        assert docs_examples.answer(ctx, query, duck) == shown, "on DuckDB"
        for dialect in ("duckdb", "spark"):
            sql = path.with_suffix(f".{dialect}.sql")
            if sql.exists():
                assert ctx.sql(query, dialect) + "\n" == sql.read_text(), sql.name


def test_every_example_file_is_shown_and_every_shown_block_is_a_file():
    """Manifests, queries, answers and SQL are stored once and included;
    none is written into a page by hand."""
    included = set(re.findall(r'--8<-- "([^"]+)"', page_text()))
    for path in sorted(EXAMPLES.rglob("*")):
        # The tour's files are shown by the README, which the site includes,
        # and checked against it below.
        if path.is_file() and path.parent.name != "tour":
            assert str(path.relative_to(ROOT)) in included, f"{path} is shown on no page"
    for page in PAGES:
        for lang, body in re.findall(r"^```(json|sql)\n(.*?)^```", page.read_text(), re.S | re.M):
            assert all(line.startswith("--8<-- ") for line in body.splitlines()), \
                f"{page.relative_to(ROOT)}: a {lang} block written in the page instead of included"


def _subset(shown, real, where: str) -> None:
    if isinstance(shown, dict):
        assert isinstance(real, dict), where
        for key, value in shown.items():
            if key != "…":
                assert key in real, f"{where}.{key}"
                _subset(value, real[key], f"{where}.{key}")
    else:
        assert shown == real, where


def test_tpch_excerpts_are_parts_of_the_tpch_manifest():
    real = json.loads((ROOT / "examples" / "tpch" / "manifest.json").read_text())["models"]
    for path in sorted(EXAMPLES.glob("tpch/*.excerpt.json")):
        _subset(json.loads(path.read_text()), real, path.name)


# --- reference tables -------------------------------------------------------

def _field_rows(page: Path) -> list[str]:
    """The rows of every table whose header starts with `| Field |`."""
    rows, in_table = [], False
    for line in page.read_text().splitlines():
        if line.startswith("| Field |"):
            in_table = True
        elif in_table and line.startswith("| `"):
            rows.append(line)
        elif not line.startswith("|"):
            in_table = False
    return rows


def _table_fields(page: Path) -> set[str]:
    """The names in the first column of the field tables."""
    return {row.split("`")[1] for row in _field_rows(page)}


_KEY_READS = re.compile(r'\b(?:get|getString|getObject|getArray)\("([a-z_]+)"\)|'
                        r'\b(?:arrayOrEmpty|keySide|keyNames)\(\s*[^,()]+,\s*"([a-z_]+)"')


def library_keys() -> tuple[set[str], set[str]]:
    """The JSON keys the library reads: (those of a query, all)."""
    of_query, every = set(), set()
    for path in sorted((ROOT / "src").rglob("*.cc")):
        for line in path.read_text().splitlines():
            for a, b in _KEY_READS.findall(line):
                every.add(a or b)
                if re.search(r"\bquery(\.|,)", line):
                    of_query.add(a or b)
    # The relative time_range forms are read by a list of names.
    forms = re.search(r"kForms\[\] = \{([^}]*)\}", (ROOT / "src" / "plan" / "time_range.cc").read_text()).group(1)
    every |= set(re.findall(r'"([a-z_]+)"', forms))
    return of_query, every


def package_keys() -> set[str]:
    """Manifest keys that only the Python package reads (the command line's
    declared column kinds; the HTTP API's descriptions)."""
    found = set()
    for name in ("_columns.py", "_serve.py", "_check.py"):
        text = (ROOT / "python" / "quendra" / name).read_text()
        found |= set(re.findall(r'\b(?:model|m|d|j|join|definition)(?:\.get\(|\[)"([a-z_]+)"', text))
    return found


def test_reference_tables_name_every_field_the_library_reads():
    manifest_fields = _table_fields(DOCS / "reference" / "manifest.md")
    query_fields = _table_fields(DOCS / "reference" / "query.md")
    of_query, every = library_keys()
    assert {"model", "dimensions", "order_by", "left_on", "primary_key", "previous"} <= every  # the scan works
    assert not of_query - query_fields, "query fields missing from docs/reference/query.md"
    assert not (every | package_keys()) - (manifest_fields | query_fields), "fields missing from the reference"
    # ... and nothing that no one reads.
    assert not (manifest_fields | query_fields) - (every | package_keys()), "documented fields nothing reads"


def test_query_reference_has_a_section_per_field():
    text = (DOCS / "reference" / "query.md").read_text()
    headings = set(re.findall(r"^## (\S+)$", text, re.M))
    fields = {line.split("`")[1] for line in text.split("## Fields", 1)[1].split("\n## ", 1)[0].splitlines()
              if line.startswith("| `")}
    assert fields and not fields - headings


def test_manifest_reference_has_a_section_per_model_field():
    text = (DOCS / "reference" / "manifest.md").read_text()
    headings = set(re.findall(r"^## (\S+)$", text, re.M))
    model_table = text.split("## models", 1)[1].split("\n## ", 1)[0]
    fields = {line.split("`")[1] for line in model_table.splitlines() if line.startswith("| `")}
    assert fields and not fields - headings


def test_documented_query_fields_are_accepted():
    """Each query field's example, as its table row shows it, plans in a
    query over the example manifest (segments over the segments guide's),
    and `having` fails with the message its row shows."""
    base = {"model": "orders", "dimensions": ["orders.created_at", "customers.region"], "measures": ["revenue"]}
    with quendra.Context() as ctx, quendra.Context() as segments:
        ctx.load_models((ROOT / "examples" / "manifest.json").read_bytes())
        segments.load_models((EXAMPLES / "segments" / "manifest.json").read_bytes())
        for row in _field_rows(DOCS / "reference" / "query.md"):
            cells = [c.strip() for c in row.strip("|").split("|")]
            name, example, errors = cells[0].strip("`"), cells[3].strip("`"), cells[4]
            if name == "having":
                with pytest.raises(quendra.Error) as failed:
                    ctx.sql({**base, "having": [{"field": "revenue", "operator": ">", "value": 0}]})
                assert f"`{failed.value.message}`" in errors
            elif name in ("field", "operator", "value", "values", "conditions", "start", "end", "last", "unit",
                          "complete", "this", "previous", "to_date"):
                continue  # members of filters and time_range, whose examples are parts
            elif name == "segments":
                assert segments.sql({"model": "orders", "measures": ["revenue"], name: json.loads(example)})
            else:
                assert ctx.sql({**base, name: json.loads(example)}), name


# --- errors -------------------------------------------------------------------

def _message_templates() -> list[str]:
    """Every message the library's diagnostics build, with `…` for what they
    quote; a message whose words a condition chooses is left out."""
    out = []
    for path in sorted((ROOT / "src").rglob("*.cc")):
        text = re.sub(r'"\s*\n\s*"', "", path.read_text())
        for m in re.finditer(r"\bfail\(\s*Err::\w+,\s*\{", text):
            i, depth, j = m.end(), 1, m.end()
            while depth:
                c = text[j]
                if c == '"':
                    j += 1
                    while text[j] != '"':
                        j += 2 if text[j] == "\\" else 1
                elif c in "{(":
                    depth += 1
                elif c in "})":
                    depth -= 1
                j += 1
            parts = re.findall(r'"((?:[^"\\]|\\.)*)"|([^"]+)', text[i:j - 1])
            if any(b and "?" in b for _, b in parts):
                continue  # e.g. "takes 1 argument" / "takes at least 2 arguments"
            message = "".join(a if a else ("…" if b.strip(" ,\n") else "") for a, b in parts)
            message = re.sub(r"…+", "…", message)
            if message != "…":
                out.append(message)
    for pattern in (r'setError\(ctx, \w+, "([^"]+)"\)', r'bindFailed\(\s*(?:ctx,\s*)?"([^"]+)"',
                    r'failure = "([^"]+)"', r'kMalformed = "([^"]+)"', r'setError\(ctx, "\w+", "([^"]+)"\)'):
        for path in sorted((ROOT / "src").rglob("*.cc")):
            out += re.findall(pattern, path.read_text())
    return sorted(set(out))


def test_errors_page_names_every_message():
    text = (DOCS / "errors.md").read_text()
    shown = set(re.findall(r"`([^`]+)`", text))
    templates = _message_templates()
    assert len(templates) > 80
    missing = [t for t in templates if t not in shown]
    assert not missing, "messages missing from docs/errors.md"


def test_documented_messages_are_the_librarys():
    """Each message in a reference table or on the errors page is made of
    words the library (or the Python package) writes."""
    sources = [re.sub(r'"\s*\n\s*"', "", p.read_text()) for p in sorted((ROOT / "src").rglob("*.cc"))]
    corpus = "\n".join(sources + [p.read_text() for p in (ROOT / "python" / "quendra").glob("*.py")])
    for page in (DOCS / "errors.md", DOCS / "reference" / "manifest.md", DOCS / "reference" / "query.md"):
        text = page.read_text()
        if page.name != "errors.md":  # the Errors column of the tables
            text = "\n".join(row.rsplit("|", 2)[-2] for row in _field_rows(page))
        else:
            text = "\n".join(line for line in text.splitlines() if line.startswith("- "))
        for message in re.findall(r"`([^`]+)`", text):
            for piece in message.split("…"):
                piece = piece.strip(" '():;,?")
                if len(piece) >= 3 and not re.fullmatch(r"[\d ]+", piece):
                    assert piece in corpus, f"{page.name}: {message!r} ({piece!r})"


# --- the README ---------------------------------------------------------------

def _blocks(text: str) -> list[tuple[str, str]]:
    return re.findall(r"^```(\w*)\n(.*?)^```", text, re.S | re.M)


def _tour() -> list[tuple[str, str]]:
    return _blocks(README.split("## Five-minute tour", 1)[1].split("\n## ", 1)[0])


def test_readme_is_short_and_links_into_the_site():
    assert len(README.splitlines()) <= 200
    links = re.findall(r"\]\((docs/[^)#]+)", README)
    assert len(links) >= 15
    for link in links:
        assert (ROOT / link).exists(), link
    for page in ("concepts.md", "reference/manifest.md", "reference/query.md", "errors.md", "guides/joins.md",
                 "guides/level-of-detail.md", "guides/time.md", "guides/segments.md", "engines.md", "serving.md",
                 "c-api.md", "python.md", "cli.md", "performance.md", "differences.md", "development.md"):
        assert f"(docs/{page})" in README, page


def test_readme_tour_shows_the_example_files():
    blocks = _tour()
    jsons = [body for lang, body in blocks if lang == "json"]
    assert jsons[0] == (ROOT / "docs/examples/tour/manifest.json").read_text()
    assert jsons[1] == (ROOT / "docs/examples/tour/query.json").read_text()


def _run_shown(command: str) -> str:
    args = shlex.split(command.replace("\\\n", " "))
    assert args[:3] == ["python", "-m", "quendra"], command
    proc = subprocess.run([sys.executable, *args[1:]], cwd=ROOT, capture_output=True, text=True,
                          env={"PYTHONPATH": str(ROOT / "python"), "PATH": "/usr/bin:/bin"})
    assert proc.returncode == 0, proc.stderr
    return proc.stdout


def test_readme_tour_answers_as_shown_in_memory_and_on_duckdb():
    blocks = _tour()
    runs = next(body for lang, body in blocks if lang == "sh" and "quendra run" in body)
    shown = next(body for lang, body in blocks if lang == "text")
    commands = [c for c in re.split(r"\n(?=python)", runs.strip())]
    assert len(commands) == 2 and "--engine duckdb" in commands[1]
    for command in commands:
        assert _run_shown(command) == shown, command
    assert shown == (ROOT / "docs/examples/tour/query.txt").read_text()


def test_readme_tour_answers_as_shown_over_http():
    from test_serve import server
    blocks = _tour()
    calls = next(body for lang, body in blocks if lang == "sh" and "quendra serve" in body)
    shown = [body for lang, body in blocks if lang == "json"][2]
    serve_line, curl_line = calls.strip().splitlines()
    args = shlex.split(serve_line.rstrip(" &"))
    assert args[:4] == ["python", "-m", "quendra", "serve"]
    body_file = re.search(r"-d @(\S+)", curl_line).group(1)
    assert "http://127.0.0.1:8000/v1/query" in curl_line
    with server(*args[4:]) as (base, _):
        req = urllib.request.Request(base + "/v1/query", data=(ROOT / body_file).read_bytes(), method="POST")
        with urllib.request.urlopen(req, timeout=60) as r:
            assert r.read().decode() + "\n" == shown
