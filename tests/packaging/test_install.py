"""Installing Quendra the three ways the Install sections of the README and
of the documentation's home page show, running their command blocks as they
stand.

CMake: the library is installed into a temporary prefix, then a C host
(examples/host.c) is built against it once with find_package and once with
pkg-config, and run. Python: a wheel is built and installed, with pyarrow,
into a fresh virtual environment that never sees the checkout, and answers
queries there; the README's `pip install` block is run in another one.

Every package comes from build/pkg-wheelhouse and the build backend from
build/pkg-venv, both made by `make test-packaging` from the pinned
requirements next to this file, so no step here reads a package index.
"""

from __future__ import annotations

import os
import re
import shutil
import subprocess
import sys
import sysconfig
import zipfile
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
WHEELHOUSE = ROOT / "build" / "pkg-wheelhouse"
BUILD_VENV = ROOT / "build" / "pkg-venv"
# The wheel build keeps its CMake tree here between runs; scikit-build-core
# reuses it only when the backend's own location stays the same, hence the
# persistent build venv and no build isolation for this build.
WHEEL_BUILD_DIR = ROOT / "build" / "pkg-wheel"

# The one place that states the version.
VERSION = re.search(r"project\(quendra\s+VERSION\s+([0-9.]+)", (ROOT / "CMakeLists.txt").read_text()).group(1)
MAJOR, MINOR = (int(part) for part in VERSION.split(".")[:2])
SOVERSION = f"{MAJOR}.{MINOR}" if MAJOR == 0 else f"{MAJOR}"

# What examples/host.c prints (also checked by ctest Example.CHostExecutes).
HOST_OUTPUT = "region=nord revenue=40 orders=1\nregion=west revenue=25 orders=1\nregion=east revenue=15 orders=2\n"


def _install_blocks() -> list[tuple[str, str]]:
    """(language, text) of each fenced block of the Install sections of the
    README and of docs/index.md (which includes the README's and adds the
    CMake project)."""
    blocks = []
    for page in ("README.md", "docs/index.md"):
        text = (ROOT / page).read_text()
        match = re.search(r"^## Install\n(.*?)(?=^## )", text, re.S | re.M)
        assert match, f"{page} has no '## Install' section"
        blocks += re.findall(r"^```(\w*)\n(.*?)^```", match.group(1), re.S | re.M)
    return blocks


def readme_block(lang: str, must_hold: str) -> str:
    found = [body for kind, body in _install_blocks() if kind == lang and must_hold in body]
    assert len(found) == 1, f"expected one {lang} block holding {must_hold!r} in the Install sections"
    return found[0]


def clean_env(**extra: str) -> dict[str, str]:
    """The environment minus whatever could lead a step to this checkout's
    Python package, to other pkg-config and CMake packages, or to package
    sources other than the wheelhouse (pip reads PIP_* settings)."""
    env = {k: v for k, v in os.environ.items()
           if k not in ("PYTHONPATH", "VIRTUAL_ENV", "PKG_CONFIG_PATH", "CMAKE_PREFIX_PATH", "PYTHONHOME")
           and not k.startswith("PIP_")}
    env["PIP_CONFIG_FILE"] = os.devnull
    env["PIP_DISABLE_PIP_VERSION_CHECK"] = "1"
    env.update(extra)
    return env


def run(args: list, cwd: Path, env: dict[str, str], ok: bool = True) -> subprocess.CompletedProcess:
    proc = subprocess.run([str(a) for a in args], cwd=cwd, env=env, capture_output=True, text=True)
    if ok and proc.returncode != 0:
        pytest.fail(f"{args} in {cwd} exited {proc.returncode}\n--- stdout\n{proc.stdout}\n--- stderr\n{proc.stderr}",
                    pytrace=False)
    return proc


def run_block(block: str, cwd: Path, env: dict[str, str]) -> str:
    return run(["bash", "-euo", "pipefail", "-c", block], cwd, env).stdout


def needed_libraries(binary: Path) -> list[str]:
    out = run(["readelf", "-d", binary], binary.parent, clean_env()).stdout
    return re.findall(r"\(NEEDED\)\s+Shared library: \[(.*?)\]", out)


@pytest.fixture(scope="session", autouse=True)
def prepared():
    if not (WHEELHOUSE / ".stamp").exists() or not (BUILD_VENV / ".stamp").exists():
        pytest.fail("build/pkg-wheelhouse and build/pkg-venv are missing: run 'make test-packaging'", pytrace=False)


# --- CMake and pkg-config ------------------------------------------------


@pytest.fixture(scope="session")
def prefix(tmp_path_factory) -> Path:
    """A prefix holding the library, installed by the README's commands."""
    where = tmp_path_factory.mktemp("prefix")
    run_block(readme_block("sh", "cmake --install"), ROOT, clean_env(PREFIX=str(where)))
    return where


def test_install_lays_out_library_header_and_package_files(prefix):
    lib = prefix / "lib"
    assert os.readlink(lib / "libquendra.so") == f"libquendra.so.{SOVERSION}"
    assert os.readlink(lib / f"libquendra.so.{SOVERSION}") == f"libquendra.so.{VERSION}"
    dynamic = run(["readelf", "-d", lib / f"libquendra.so.{VERSION}"], prefix, clean_env()).stdout
    assert f"Library soname: [libquendra.so.{SOVERSION}]" in dynamic
    assert (prefix / "include" / "quendra.h").read_bytes() == (ROOT / "include" / "quendra.h").read_bytes()
    for name in ("quendraConfig.cmake", "quendraConfigVersion.cmake", "quendraTargets.cmake"):
        assert (lib / "cmake" / "quendra" / name).is_file(), name
    env = clean_env(PKG_CONFIG_PATH=str(lib / "pkgconfig"))
    assert run(["pkg-config", "--modversion", "quendra"], prefix, env).stdout.strip() == VERSION


def test_installed_tree_can_be_moved(prefix, tmp_path):
    moved = tmp_path / "elsewhere"
    shutil.copytree(prefix, moved, symlinks=True)
    env = clean_env(PKG_CONFIG_PATH=str(moved / "lib" / "pkgconfig"))
    for var, want in (("libdir", moved / "lib"), ("includedir", moved / "include")):
        got = run(["pkg-config", f"--variable={var}", "quendra"], tmp_path, env).stdout.strip()
        assert Path(got).resolve() == want.resolve(), var
    # The CMake package computes its prefix from its own location.
    probe = tmp_path / "probe"
    probe.mkdir()
    (probe / "CMakeLists.txt").write_text(
        "cmake_minimum_required(VERSION 3.25)\nproject(probe NONE)\n"
        f"find_package(quendra {VERSION} CONFIG REQUIRED)\n"
        "get_target_property(loc quendra::quendra IMPORTED_LOCATION_RELEASE)\n"
        "get_target_property(inc quendra::quendra INTERFACE_INCLUDE_DIRECTORIES)\n"
        'message(STATUS "loc=${loc}")\nmessage(STATUS "inc=${inc}")\n')
    out = run(["cmake", "-S", ".", "-B", "build", f"-DCMAKE_PREFIX_PATH={moved}"], probe, clean_env()).stdout
    assert f"loc={moved}/lib/libquendra.so.{VERSION}\n" in out
    assert f"inc={moved}/include\n" in out


@pytest.fixture()
def host_dir(tmp_path) -> Path:
    shutil.copy(ROOT / "examples" / "host.c", tmp_path / "host.c")
    return tmp_path


def test_cmake_host_finds_the_package(prefix, host_dir):
    (host_dir / "CMakeLists.txt").write_text(readme_block("cmake", "find_package"))
    out = run_block(readme_block("sh", "CMAKE_PREFIX_PATH"), host_dir, clean_env(PREFIX=str(prefix)))
    assert out.endswith(HOST_OUTPUT)
    assert f"libquendra.so.{SOVERSION}" in needed_libraries(host_dir / "build" / "host")


def test_cmake_package_refuses_the_next_minor_version(prefix, host_dir):
    wanted = f"{MAJOR}.{MINOR + 1}"
    (host_dir / "CMakeLists.txt").write_text(
        readme_block("cmake", "find_package").replace(f"find_package(quendra {VERSION} ", f"find_package(quendra {wanted} "))
    proc = run(["cmake", "-S", ".", "-B", "build", f"-DCMAKE_PREFIX_PATH={prefix}"], host_dir, clean_env(), ok=False)
    assert proc.returncode != 0
    assert VERSION in proc.stderr and wanted in proc.stderr


def test_pkg_config_host_builds_and_runs(prefix, host_dir):
    out = run_block(readme_block("sh", "pkg-config --cflags"), host_dir, clean_env(PREFIX=str(prefix)))
    assert out == HOST_OUTPUT
    assert f"libquendra.so.{SOVERSION}" in needed_libraries(host_dir / "host")


# --- Python --------------------------------------------------------------


@pytest.fixture(scope="session")
def wheel(tmp_path_factory) -> Path:
    dist = tmp_path_factory.mktemp("dist")
    run([BUILD_VENV / "bin" / "python", "-m", "pip", "wheel", "--no-build-isolation", "--no-deps", "--no-index",
         "-w", dist, ROOT], ROOT, clean_env(SKBUILD_BUILD_DIR=str(WHEEL_BUILD_DIR)))
    (built,) = dist.glob("*.whl")
    return built


def test_wheel_holds_the_package_and_one_library(wheel):
    platform = sysconfig.get_platform().replace("-", "_").replace(".", "_")
    assert wheel.name == f"quendra-{VERSION}-py3-none-{platform}.whl"
    with zipfile.ZipFile(wheel) as whl:
        names = whl.namelist()
        metadata = whl.read(f"quendra-{VERSION}.dist-info/METADATA").decode()
    package = sorted(n for n in names if not n.startswith(f"quendra-{VERSION}.dist-info/"))
    here = ROOT / "python" / "quendra"
    sources = sorted(f"quendra/{p.name}" for p in here.glob("*.py"))
    # The explorer page with the chart library it serves, which no remote address provides.
    static = sorted(f"quendra/{p.relative_to(here)}" for p in (here / "static").rglob("*") if p.is_file())
    assert "quendra/static/vendor/uplot/uPlot.esm.js" in static
    assert package == sorted(sources + static + ["quendra/libquendra.so"])
    assert f"\nVersion: {VERSION}\n" in metadata
    assert re.search(r"^Requires-Dist: pyarrow.*extra == .arrow.", metadata, re.M)
    assert re.search(r"^Requires-Dist: uvicorn.*extra == .serve.", metadata, re.M)


def make_venv(where: Path) -> Path:
    python = getattr(sys, "_base_executable", None) or sys.executable
    run([python, "-m", "venv", where], where.parent, clean_env())
    return where


# Run inside the fresh environment, away from the checkout: the package and
# its library must come from that environment alone.
CHECK = """
import importlib.metadata, sys, sysconfig
from pathlib import Path
import pyarrow as pa
import quendra

site = Path(sysconfig.get_path("platlib")).resolve()
assert Path(quendra.__file__).resolve().parent == site / "quendra", quendra.__file__
assert quendra.find_library() == site / "quendra" / "libquendra.so", quendra.find_library()
assert quendra.version() == importlib.metadata.version("quendra") == sys.argv[1]

manifest = {"models": {"sales": {"table": "sales", "dimensions": {"region": "region"},
                                 "measures": {"revenue": {"agg": "sum", "expr": "amount"}}}}}
query = {"model": "sales", "dimensions": ["region"], "measures": ["revenue"], "order_by": ["region"]}
with quendra.Context() as ctx:
    ctx.load_models(manifest)
    assert ctx.sql(query).startswith('SELECT t0."region" AS "region"'), ctx.sql(query)
    ctx.bind("sales", pa.table({"region": ["n", "s", "n"], "amount": [1, 2, 3]}))
    assert ctx.execute(query).to_pylist() == [{"region": "n", "revenue": 4}, {"region": "s", "revenue": 2}]
print("ok")
"""


def check_installed(venv: Path, cwd: Path) -> None:
    python = venv / "bin" / "python"
    env = clean_env()
    assert run([python, "-c", CHECK, VERSION], cwd, env).stdout == "ok\n"
    assert run([python, "-m", "quendra", "--help"], cwd, env).stdout.startswith("usage: python -m quendra")
    assert run([python, "-m", "quendra", "version"], cwd, env).stdout == f"{VERSION}\n"
    examples = ROOT / "examples"
    query = '{"model": "orders", "dimensions": ["customers.region"], "measures": ["order_count"]}'
    sql = run([python, "-m", "quendra", "sql", "--manifest", examples / "manifest.json", "--query", query], cwd, env)
    assert 'COUNT(*) AS "order_count"' in sql.stdout
    answer = run([python, "-m", "quendra", "run", "--manifest", examples / "manifest.json", "--data",
                  examples / "data", "--table", f"sales.returns={examples / 'data' / 'returns.parquet'}",
                  "--query", query, "--format", "csv"], cwd, env)
    lines = answer.stdout.splitlines()
    assert lines[0] == "customers.region,order_count" and len(lines) > 1


def test_wheel_installs_and_answers_in_a_fresh_venv(wheel, tmp_path):
    venv = make_venv(tmp_path / "venv")
    run([venv / "bin" / "python", "-m", "pip", "install", "-q", "--no-index", "--find-links", wheel.parent,
         "--find-links", WHEELHOUSE, "quendra[arrow]"], tmp_path, clean_env())
    check_installed(venv, tmp_path)


def test_readme_pip_block_installs_from_the_checkout(tmp_path):
    venv = make_venv(tmp_path / "venv")
    # As in an activated environment; pip's isolated build environment gets
    # the pinned backend from the wheelhouse.
    env = clean_env(PATH=f"{venv / 'bin'}{os.pathsep}{os.environ['PATH']}", VIRTUAL_ENV=str(venv),
                    PIP_NO_INDEX="1", PIP_FIND_LINKS=str(WHEELHOUSE))
    out = run_block(readme_block("sh", "pip install"), ROOT, env)
    assert "usage: python -m quendra" in out
    check_installed(venv, tmp_path)
