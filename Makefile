# Every target installs what is missing first: Debian packages (when root) and
# a .venv with the Python tools, so a fresh machine needs nothing else.
SHELL := /bin/bash
PYTHON ?= $(shell command -v python3.11 || command -v python3)
VENV := .venv
PY := $(VENV)/bin/python
PIP := $(VENV)/bin/pip
JOBS ?= 2
BUILD_DEB := g++ cmake make rapidjson-dev libmsgpack-cxx-dev
DEB_PACKAGES := $(BUILD_DEB) libgtest-dev libmariadb-dev
WERROR := $(if $(CI),ON,OFF)
NATIVE_BUILD := build/native

.PHONY: all deps venv build cpp-test py-test db-test pgvector abi3-check test demo bench bench-orm conduit conduit-test sanitize fuzz clean

all: test

deps:
	@missing=""; for p in $(DEB_PACKAGES) $(EXTRA_DEB); do dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then \
	  if [ "$$(id -u)" = 0 ]; then echo "installing:$$missing"; apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing >/dev/null; \
	  else echo "missing Debian packages:$$missing (run as root or install them)"; exit 1; fi; fi

# The base: what building the module and running the tour need. The test
# tools come on top of it, for the test targets only.
$(VENV)/.base: pyproject.toml
	@test -x $(PY) || $(PYTHON) -m venv $(VENV)
	$(PIP) install -q --upgrade pip
	$(PIP) install -q "scikit-build-core>=0.10" "cmake>=3.26" ninja
	$(PY) -c "import tomllib; print('\\n'.join(tomllib.load(open('pyproject.toml', 'rb'))['project']['dependencies']))" > $(VENV)/requirements-base.txt
	$(PIP) install -q -r $(VENV)/requirements-base.txt
	@touch $@

$(VENV)/.ready: pyproject.toml $(VENV)/.base
	$(PY) -c "import tomllib; p = tomllib.load(open('pyproject.toml', 'rb'))['project']; print('\\n'.join(p['dependencies'] + p['optional-dependencies']['test']))" > $(VENV)/requirements-test.txt
	$(PIP) install -q -r $(VENV)/requirements-test.txt
	@touch $@

venv: deps $(VENV)/.ready

# The lock lets several shells share one build directory.
INSTALL_MODULE = mkdir -p build && SARNIC_WERROR=$(WERROR) flock build/.install.lock $(PIP) install -q --no-build-isolation --no-deps .

build: venv
	$(INSTALL_MODULE)

cpp-test: deps
	cmake -S . -B $(NATIVE_BUILD) -DSARNIC_BUILD_TESTS=ON -DSARNIC_WERROR=$(WERROR) >/dev/null
	cmake --build $(NATIVE_BUILD) -j$(JOBS)
	cd $(NATIVE_BUILD) && ctest --output-on-failure -j$(JOBS)

py-test: build
	$(PY) -m pytest tests/python

# Benchmarks against the peers of the [bench] extra: one table, bench/results.json.
# BENCH_ARGS=--quick for a short smoke run. Not part of test.
BENCH_ARGS ?=
$(VENV)/.bench-ready: pyproject.toml $(VENV)/.ready
	$(PY) -c "import tomllib; print('\\n'.join(tomllib.load(open('pyproject.toml', 'rb'))['project']['optional-dependencies']['bench']))" > $(VENV)/requirements-bench.txt
	$(PIP) install -q -r $(VENV)/requirements-bench.txt
	@touch $@

bench: build $(VENV)/.bench-ready
	$(PY) bench/run.py $(BENCH_ARGS)

# sarnic against SQLAlchemy, Tortoise, Piccolo and the raw drivers on the
# servers db-test uses (each in a database of its own, dropped after) and on
# SQLite: one table, bench/orm-results.json. BENCH_ARGS as for bench
# (--quick, --only 1,page,...), plus --engines postgres,mariadb,sqlite.
bench-orm: build $(VENV)/.bench-ready
	$(PY) bench/orm/run.py $(BENCH_ARGS)

# The RealWorld "Conduit" API (examples/conduit), served in the foreground at
# http://127.0.0.1:8000/api (CONDUIT_HOST, CONDUIT_PORT), on build/conduit.db unless
# CONDUIT_DATABASE_URL names another database (see examples/conduit/README.md).
$(VENV)/.conduit-ready: pyproject.toml $(VENV)/.ready
	$(PY) -c "import tomllib; print('\\n'.join(tomllib.load(open('pyproject.toml', 'rb'))['project']['optional-dependencies']['conduit']))" > $(VENV)/requirements-conduit.txt
	$(PIP) install -q -r $(VENV)/requirements-conduit.txt
	@touch $@

conduit: build $(VENV)/.conduit-ready
	CONDUIT_DATABASE_URL="$${CONDUIT_DATABASE_URL:-sqlite:///$(CURDIR)/build/conduit.db}" \
	  PYTHONPATH=examples/conduit $(PY) -m conduit

# The app's own tests, then the upstream RealWorld collection (newman, from the
# npm registry into a cache) against the app on fresh SQLite, PostgreSQL and
# MariaDB databases; CONDUIT_ENGINES picks some of them.
CONDUIT_ENGINES ?= sqlite postgres mariadb
conduit-test: build $(VENV)/.conduit-ready
	PYTHONPATH=examples/conduit $(PY) -m pytest -p no:cacheprovider examples/conduit/tests
	bash examples/conduit/run_collection.sh $(CONDUIT_ENGINES)

# pgvector for the PostgreSQL tier. One query when the server offers it; else,
# as root, built from the vendored release (checked against its sha256) and
# installed into the local PostgreSQL. An unreachable server is left to the tier.
PG_MAJOR := 15
PGVECTOR_SHA256 := 5743dac39fdfa740533cf95e71b033bd5513b71dda194b3cf19464ccbf76f3fb
PGVECTOR_TARBALL ?= $(firstword $(wildcard $(CURDIR)/../shared/vendor/pgvector-0.8.6.tar.gz /work/shared/vendor/pgvector-0.8.6.tar.gz))
PG_QUERY := psql -h 127.0.0.1 -U postgres -d test -XAtqw -c "SELECT 1 FROM pg_available_extensions WHERE name = 'vector'"

pgvector:
	@give_up() { echo "pgvector: $$1"; if [ -n "$(CI)" ]; then exit 1; fi; exit 0; }; \
	command -v psql >/dev/null || give_up "psql not found, cannot ask the server whether it offers the extension"; \
	if ! offered=$$($(PG_QUERY) 2>&1); then echo "pgvector: not checked, PostgreSQL did not answer: $$(head -1 <<<"$$offered")"; exit 0; fi; \
	[ "$$offered" != 1 ] || exit 0; \
	tarball="$(PGVECTOR_TARBALL)"; \
	[ -n "$$tarball" ] && [ -f "$$tarball" ] || give_up "the server lacks the extension and no pgvector-0.8.6.tar.gz was found (set PGVECTOR_TARBALL)"; \
	[ "$$(id -u)" = 0 ] || give_up "the server lacks the extension; run make pgvector as root to build it"; \
	echo "$(PGVECTOR_SHA256)  $$tarball" | sha256sum --check --status - || { echo "pgvector: $$tarball does not match its sha256"; exit 1; }; \
	$(MAKE) --no-print-directory deps EXTRA_DEB="$(EXTRA_DEB) postgresql-server-dev-$(PG_MAJOR)" || exit 1; \
	echo "building pgvector from $$tarball"; \
	dir=$$(mktemp -d) && trap 'rm -rf "$$dir"' EXIT && tar xzf "$$tarball" -C "$$dir" && src=$$(echo "$$dir"/pgvector-*) && \
	pgxs="PG_CONFIG=/usr/lib/postgresql/$(PG_MAJOR)/bin/pg_config" && \
	{ MAKEFLAGS= make -C "$$src" -j$(JOBS) "$$pgxs" && MAKEFLAGS= make -C "$$src" "$$pgxs" install; } >"$$dir/build.log" 2>&1 \
	  || { tail -40 "$$dir/build.log"; echo "pgvector: build failed"; exit 1; }; \
	[ "$$($(PG_QUERY))" = 1 ] || { echo "pgvector: installed, but the server does not offer it"; exit 1; }

# PostgreSQL and MariaDB on 127.0.0.1 (skipped with a note when absent, failed under CI), SQLite in memory.
db-test: build pgvector
	$(PY) -m pytest tests/db

# Fuzzing: libFuzzer under ASan and UBSan, each target for FUZZ_SECONDS. It
# needs clang >= 16 (libstdc++'s <expected> is out of reach of clang 14). Seeds
# come from the golden tests; the corpus keeps growing in build/fuzz/corpus.
# CI's whole run must stay under 20 minutes; there the six targets get 30 s each.
FUZZ_SECONDS ?= $(if $(CI),30,60)
FUZZ_CXX ?= clang++-16
FUZZ_BUILD := build/fuzz
FUZZ_TARGETS := fuzz_compile_json fuzz_compile_msgpack fuzz_hydrate_json fuzz_hydrate_msgpack fuzz_statement_json fuzz_statement_msgpack
FUZZ_DEB := clang-16 libclang-rt-16-dev
UBSAN_ENV := UBSAN_OPTIONS=suppressions=$(CURDIR)/fuzz/ubsan.supp:halt_on_error=1:print_stacktrace=1

fuzz: build
	@$(MAKE) --no-print-directory deps EXTRA_DEB="$(EXTRA_DEB) $(FUZZ_DEB)"
	cmake -S . -B $(FUZZ_BUILD) -DCMAKE_CXX_COMPILER=$(FUZZ_CXX) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSARNIC_BUILD_FUZZERS=ON >/dev/null
	cmake --build $(FUZZ_BUILD) -j$(JOBS) --target $(FUZZ_TARGETS)
	$(PY) fuzz/make_seeds.py $(FUZZ_BUILD)
	@cd $(FUZZ_BUILD) && mkdir -p artifacts && for t in $(FUZZ_TARGETS); do \
	  mkdir -p corpus/$$t; \
	  $(UBSAN_ENV) ./$$t -max_total_time=$(FUZZ_SECONDS) -timeout=30 -rss_limit_mb=4096 -max_len=65536 \
	    -dict=$$t.dict -artifact_prefix=artifacts/$$t- -print_final_stats=1 corpus/$$t seeds/$$t >$$t.log 2>&1; \
	  rc=$$?; \
	  echo "$$t: $$(grep -o 'number_of_executed_units: [0-9]*' $$t.log | grep -o '[0-9]*$$') executions, $$(grep -oE 'cov: [0-9]+ ft: [0-9]+' $$t.log | tail -1)"; \
	  if [ $$rc != 0 ]; then grep -v '^#' $$t.log | tail -80; exit 1; fi; \
	done

# The C++ tests and the Python suite under ASan and UBSan: one build of the
# libraries serves the C++ tests and the module (CMake from the venv, which is
# new enough for USE_SABI); the module goes with the package sources into
# build/sanitize-site, which shadows the installed one, and the interpreter
# runs with the sanitizer runtime preloaded. The
# interpreter does not link libstdc++, so it is preloaded too: ASan finds the
# real __cxa_throw only in libraries present at start. --capture=sys leaves
# file descriptor 2 alone so that a sanitizer report reaches the log. Then a
# short valgrind memcheck run of the Python suite against the normal module.
SANITIZE_BUILD := build/sanitize
SANITIZE_SITE := build/sanitize-site
SANITIZE_DEB := valgrind
VALGRIND_TESTS := tests/python/test_error_catalogue.py tests/python/test_hostile.py
VALGRIND := PYTHONMALLOC=malloc valgrind --tool=memcheck --error-exitcode=99 --leak-check=full \
  --errors-for-leak-kinds=definite --show-leak-kinds=definite --suppressions=fuzz/valgrind-python.supp -q

sanitize: build
	@$(MAKE) --no-print-directory deps EXTRA_DEB="$(EXTRA_DEB) $(SANITIZE_DEB)"
	$(VENV)/bin/cmake -S . -B $(SANITIZE_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSARNIC_BUILD_TESTS=ON -DSARNIC_SANITIZE=ON \
	  -DSARNIC_WERROR=OFF -DSARNIC_BUILD_MODULE=ON -DSKBUILD_SABI_COMPONENT=Development.SABIModule \
	  -DPython_EXECUTABLE=$(CURDIR)/$(PY) >/dev/null
	$(VENV)/bin/cmake --build $(SANITIZE_BUILD) -j$(JOBS)
	cd $(SANITIZE_BUILD) && $(UBSAN_ENV) ctest --output-on-failure -j$(JOBS)
	rm -rf $(SANITIZE_SITE) && mkdir -p $(SANITIZE_SITE) && cp -r src/sarnic $(SANITIZE_SITE)/ && cp $(SANITIZE_BUILD)/_native*.so $(SANITIZE_SITE)/sarnic/
	$(UBSAN_ENV) ASAN_OPTIONS=detect_leaks=0 LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libstdc++.so)" \
	  PYTHONPATH=$(SANITIZE_SITE) $(PY) -m pytest -p no:cacheprovider --capture=sys tests/python
	$(VALGRIND) $(PY) -m pytest -p no:cacheprovider -x $(VALGRIND_TESTS) -k "not huge and not million"

# One abi3 wheel, checked by abi3audit and tested under every other CPython >= 3.11 present
# (reinstalled over the one a venv of an earlier run holds under the same version).
abi3-check: venv
	rm -rf dist && SARNIC_WERROR=$(WERROR) $(PIP) wheel -q --no-build-isolation --no-deps -w dist .
	$(VENV)/bin/abi3audit --strict --report dist/*.whl
	@for v in 3.12 3.13; do \
	  py=""; for c in $$(ls -d $$HOME/.pyenv/versions/$$v*/bin/python$$v 2>/dev/null | sort -V | tail -1) $$(command -v python$$v); do \
	    "$$c" -c "" 2>/dev/null && { py=$$c; break; }; done; \
	  [ -n "$$py" ] || { echo "python$$v not present: skipped"; continue; }; \
	  echo "== wheel under $$($$py --version)"; \
	  $$py -m venv build/venv-$$v && build/venv-$$v/bin/pip install -q dist/*.whl pytest hypothesis msgpack sqlglot && \
	  build/venv-$$v/bin/pip install -q --force-reinstall --no-deps dist/*.whl && \
	  build/venv-$$v/bin/python -m pytest -q -p no:cacheprovider tests/python || exit 1; \
	done

test: cpp-test py-test abi3-check db-test conduit-test $(if $(CI),sanitize fuzz)

# The tour needs only a compiler, the core's two header libraries and the base
# install: no test tools.
demo:
	@$(MAKE) --no-print-directory deps DEB_PACKAGES="$(BUILD_DEB)"
	@$(MAKE) --no-print-directory $(VENV)/.base
	$(INSTALL_MODULE)
	$(PY) -m sarnic demo

clean:
	rm -rf build dist $(VENV)
