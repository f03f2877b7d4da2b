"""MkDocs hooks that write the reference parts which must not drift from
their sources while the site builds: the C interface from include/quendra.h,
the Python package from its docstrings, the command line from its --help.

A page asks for one with a line of its own, `<!-- generated: NAME -->`.
The benchmark charts live beside the scripts that draw them (bench/); they
are added to the site as they are."""

from __future__ import annotations

import inspect
import os
import re
import subprocess
import sys
from pathlib import Path

from mkdocs.structure.files import File

ROOT = Path(__file__).resolve().parents[1]
MARKER = re.compile(r"^<!-- generated: ([a-z-]+) -->$", re.M)
CHARTS = ("bench/compare.png", "bench/tpch.png")


def on_files(files, config):
    for path in CHARTS:
        files.append(File.generated(config, path, abs_src_path=str(ROOT / path)))
    return files


def on_page_markdown(markdown, page, config, files):
    def expand(match: re.Match) -> str:
        name = match.group(1)
        if name not in WRITERS:
            raise ValueError(f"{page.file.src_uri}: no generated part named {name!r}")
        return WRITERS[name]()

    return MARKER.sub(expand, markdown)


# --- the C header ----------------------------------------------------------

def _comment_text(block: str) -> list[str]:
    """The lines of a C comment without its delimiters and leading stars."""
    lines = []
    for line in block.splitlines():
        line = re.sub(r"^\s*/\*+ ?|\s*\*+/\s*$", "", line)
        line = re.sub(r"^\s*\* ?", "", line)
        lines.append(line)
    while lines and not lines[0].strip():
        lines.pop(0)
    while lines and not lines[-1].strip():
        lines.pop()
    return lines


def _prose(lines: list[str]) -> str:
    """Comment lines as Markdown: paragraphs joined, `- ` items as a list."""
    out: list[str] = []
    for line in lines:
        stripped = line.strip()
        if not stripped:
            out.append("")
        elif stripped.startswith("- "):
            if out and out[-1] and not out[-1].startswith("- "):
                out.append("")
            out.append(stripped)
        elif out and out[-1].startswith("- ") and not line.startswith("    "):
            out += ["", stripped]
        elif out and out[-1]:
            out[-1] += " " + stripped
        else:
            out.append(stripped)
    return "\n".join(out)


def c_header() -> str:
    text = (ROOT / "include" / "quendra.h").read_text()
    top = re.match(r"\s*(/\*.*?\*/)", text, re.S).group(1)
    parts = ["## Contracts", "", "From the top of `include/quendra.h`:", "", _prose(_comment_text(top)[2:]), ""]
    parts += ["## Functions", ""]
    for comment, decl in re.findall(r"(/\*(?:(?!\*/).)*\*/)\s*\n(QUENDRA_API [^;]*;)", text, re.S):
        name = re.search(r"(quendra_\w+)\(", decl).group(1)
        decl = re.sub(r"^QUENDRA_API ", "", decl)
        decl = re.sub(r"\n\s+", "\n    ", decl)
        parts += [f"### {name}", "", "```c", decl, "```", "", _prose(_comment_text(comment)), ""]
    return "\n".join(parts)


# --- the Python package ----------------------------------------------------

def _doc(obj) -> str:
    doc = inspect.getdoc(obj)
    return doc if doc and not doc.startswith("Initialize self.") else ""


class _Written:
    """An annotation kept as the text it was written as (the package
    postpones evaluating them), shown without quotes."""

    def __init__(self, text: str):
        self.text = text

    def __repr__(self) -> str:
        return self.text


def _signature(obj) -> str:
    try:
        sig = inspect.signature(obj)
    except (TypeError, ValueError):
        return "(...)"
    unquote = lambda a: _Written(a) if isinstance(a, str) else a  # noqa: E731
    params = [p.replace(annotation=unquote(p.annotation)) for p in sig.parameters.values()]
    return str(sig.replace(parameters=params, return_annotation=unquote(sig.return_annotation)))


def python_api() -> str:
    sys.path.insert(0, str(ROOT / "python"))
    try:
        import quendra
    finally:
        sys.path.pop(0)
    parts = ["## The package", "", "```text", inspect.getdoc(quendra), "```", ""]
    for name in quendra.__all__:
        obj = getattr(quendra, name)
        if inspect.isclass(obj):
            parts += [f"## {name}", "", "```python", f"class {name}{_signature(obj)}", "```", "", _doc(obj), ""]
            for key, member in obj.__dict__.items():
                if key.startswith("_"):
                    continue
                if isinstance(member, property):
                    parts += [f"### {name}.{key}", "", "A property." if not _doc(member) else _doc(member), ""]
                elif inspect.isfunction(member):
                    sig = _signature(member).replace("(self, ", "(").replace("(self)", "()")
                    parts += [f"### {name}.{key}", "", "```python", f"{name}.{key}{sig}", "```", "", _doc(member), ""]
        else:
            parts += [f"## {name}", "", "```python", f"quendra.{name}{_signature(obj)}", "```", "", _doc(obj), ""]
    return "\n".join(parts)


# --- the command line ------------------------------------------------------

def _help(*args: str) -> str:
    env = dict(os.environ, PYTHONPATH=str(ROOT / "python"), COLUMNS="100")
    proc = subprocess.run([sys.executable, "-m", "quendra", *args, "--help"], cwd=ROOT, env=env,
                          capture_output=True, text=True, check=True)
    return proc.stdout.rstrip()


def cli_help() -> str:
    top = _help()
    commands = re.search(r"\{([a-z,]+)\}", top).group(1).split(",")
    parts = ["## python -m quendra", "", "```text", top, "```", ""]
    for command in commands:
        parts += [f"## {command}", "", "```text", _help(command), "```", ""]
    return "\n".join(parts)


WRITERS = {"c-header": c_header, "python-api": python_api, "cli-help": cli_help}
