# Every target installs what is missing first: Debian packages (when root) and
# a .venv with the Python tools, so a fresh machine needs nothing else.
SHELL := /bin/bash
PYTHON ?= $(shell command -v python3.11 || command -v python3)
VENV := .venv
PY := $(VENV)/bin/python
PIP := $(VENV)/bin/pip
JOBS ?= 2
DEB_PACKAGES := g++ cmake make rapidjson-dev libmsgpack-cxx-dev libgtest-dev libmariadb-dev
WERROR := $(if $(CI),ON,OFF)
NATIVE_BUILD := build/native

.PHONY: all deps venv build cpp-test py-test db-test abi3-check test demo bench sanitize fuzz clean

all: test

deps:
	@missing=""; for p in $(DEB_PACKAGES) $(EXTRA_DEB); do dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then \
	  if [ "$$(id -u)" = 0 ]; then echo "installing:$$missing"; apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing >/dev/null; \
	  else echo "missing Debian packages:$$missing (run as root or install them)"; exit 1; fi; fi

$(VENV)/.ready: pyproject.toml
	@test -x $(PY) || $(PYTHON) -m venv $(VENV)
	$(PIP) install -q --upgrade pip
	$(PIP) install -q "scikit-build-core>=0.10" "cmake>=3.26" ninja
	$(PY) -c "import tomllib; print('\\n'.join(tomllib.load(open('pyproject.toml', 'rb'))['project']['optional-dependencies']['test']))" > $(VENV)/requirements-test.txt
	$(PIP) install -q -r $(VENV)/requirements-test.txt
	@touch $@

venv: deps $(VENV)/.ready

# The lock lets several shells share one build directory.
build: venv
	@mkdir -p build
	SARNIC_WERROR=$(WERROR) flock build/.install.lock $(PIP) install -q --no-build-isolation --no-deps .

cpp-test: deps
	cmake -S . -B $(NATIVE_BUILD) -DSARNIC_BUILD_TESTS=ON -DSARNIC_WERROR=$(WERROR) >/dev/null
	cmake --build $(NATIVE_BUILD) -j$(JOBS)
	cd $(NATIVE_BUILD) && ctest --output-on-failure -j$(JOBS)

py-test: build
	$(PY) -m pytest tests/python

# PostgreSQL and MariaDB on 127.0.0.1 (skipped with a note when absent, failed under CI), SQLite in memory.
db-test: build
	$(PY) -m pytest tests/db

# One abi3 wheel, checked by abi3audit and tested under every other CPython >= 3.11 present.
abi3-check: venv
	rm -rf dist && SARNIC_WERROR=$(WERROR) $(PIP) wheel -q --no-build-isolation --no-deps -w dist .
	$(VENV)/bin/abi3audit --strict --report dist/*.whl
	@for v in 3.12 3.13; do \
	  py=$$(command -v python$$v || ls -d $$HOME/.pyenv/versions/$$v*/bin/python$$v 2>/dev/null | tail -1); \
	  [ -n "$$py" ] && [ -x "$$py" ] || { echo "python$$v not present: skipped"; continue; }; \
	  echo "== wheel under $$($$py --version)"; \
	  $$py -m venv build/venv-$$v && build/venv-$$v/bin/pip install -q dist/*.whl pytest hypothesis msgpack && \
	  build/venv-$$v/bin/python -m pytest -q -p no:cacheprovider tests/python || exit 1; \
	done

test: cpp-test py-test abi3-check db-test

demo: build
	$(PY) -m sarnic demo

clean:
	rm -rf build dist $(VENV)
