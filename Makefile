# Every target does its own set-up (system package, virtual environment,
# build dependencies, install of the project), so each works on a fresh
# machine and is quick when the set-up is already done.

# A Python 3.12 that actually runs (a pyenv shim for an inactive version
# exists on PATH but fails).
PYTHON ?= $(shell for p in $$(command -v python3.12 2>/dev/null) \
                   $$(ls -1 $$(pyenv root 2>/dev/null)/versions/3.12.*/bin/python3.12 2>/dev/null | sort -V -r); do \
                 "$$p" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 12))' >/dev/null 2>&1 \
                   && { echo "$$p"; break; }; \
               done)

VENV      := .venv
VPY       := $(VENV)/bin/python
PIP       := $(VPY) -m pip --disable-pip-version-check
BUILD     := build
TESTNATIVE_BUILD := $(BUILD)/testnative
PUGIXML_HEADER   := /usr/include/pugixml.hpp

# CI builds treat compiler warnings as errors.
ifeq ($(CI),true)
WERROR := ON
else
WERROR := OFF
endif

# Requirement lists read from pyproject.toml, quoted for the shell:
# $(call pyproject,build) is the build system's, $(call pyproject,NAME) an extra's.
pyproject = $(shell $(VPY) -c 'import shlex, sys, tomllib; d = tomllib.load(open("pyproject.toml", "rb")); \
    n = sys.argv[1]; print(shlex.join(d["build-system"]["requires"] if n == "build" \
    else d["project"]["optional-dependencies"][n]))' $(1))

.PHONY: all demo test bench install testnative clean
.DELETE_ON_ERROR:

all: test

# --- set-up -----------------------------------------------------------------

$(PUGIXML_HEADER):
	@echo "Installing libpugixml-dev"
	@if [ "$$(id -u)" -ne 0 ] && command -v sudo >/dev/null 2>&1; then sudo=sudo; else sudo=; fi; \
	$$sudo apt-get update && DEBIAN_FRONTEND=noninteractive $$sudo apt-get install -y libpugixml-dev

$(VPY):
	@if [ -z "$(PYTHON)" ]; then \
	  echo "error: no Python 3.12 found (tried python3.12 on PATH and pyenv's versions/3.12.*)." >&2; \
	  echo "       Install Python 3.12 or run: make PYTHON=/path/to/python3.12 ..." >&2; \
	  exit 1; \
	fi
	$(PYTHON) -m venv $(VENV)

# Build back end, the build tools themselves and the test extra; redone when
# pyproject.toml changes.
$(VENV)/.deps-test: pyproject.toml | $(VPY)
	$(PIP) install -q $(call pyproject,build) cmake ninja $(call pyproject,test)
	@touch $@

$(VENV)/.deps-bench: pyproject.toml | $(VENV)/.deps-test
	$(PIP) install -q $(call pyproject,bench)
	@touch $@

# Runs every time; the fixed build directory keeps it incremental. Verbose,
# so that compiler warnings are seen.
install: $(VENV)/.deps-test | $(PUGIXML_HEADER)
	PATH="$(abspath $(VENV))/bin:$$PATH" $(PIP) install -v --no-build-isolation --no-deps \
	  -Ccmake.define.TAMARACK_WERROR=$(WERROR) .

# The test-only extension module, built against the installed header.
testnative: install
	PATH="$(abspath $(VENV))/bin:$$PATH" cmake -S tests/native -B $(TESTNATIVE_BUILD) -G Ninja \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DPython_EXECUTABLE="$(abspath $(VPY))" \
	  -DTAMARACK_INCLUDE="$$($(VPY) -c 'import tamarack; print(tamarack.get_include())')" \
	  -DTAMARACK_WERROR=$(WERROR) >/dev/null
	PATH="$(abspath $(VENV))/bin:$$PATH" cmake --build $(TESTNATIVE_BUILD)

# --- targets ----------------------------------------------------------------

demo: install
	$(VPY) demo/demo.py

# -P keeps the working directory off sys.path: the tests import the
# installed package, never the sources.
test: testnative
	PYTHONPATH="$(abspath $(TESTNATIVE_BUILD))" $(VPY) -P -m pytest tests -q

bench: install $(VENV)/.deps-bench
	$(VPY) bench/bench.py

clean:
	rm -rf $(BUILD) $(VENV)
