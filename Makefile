# Every target bootstraps .venv, so each works from a fresh clone.
PYTHON ?= python3
VENV   ?= .venv
PY     := $(VENV)/bin/python
# quoted: the shell would read an unquoted '>=' as a redirection
# nanobind's minor version is held: the checked-in stubs are its stub
# generator's output, which tests/test_stubs.py compares with the modules
BUILD_DEPS := 'scikit-build-core>=0.10' 'nanobind>=3.1,<3.2' 'numpy>=2.0' ninja

# bash for pipefail: the install's output is filtered, its exit status kept
SHELL := bash
.SHELLFLAGS := -eo pipefail -c

.PHONY: all install demo test test-modules bench dev stubs clean

all: install

# Everything the installed package is made of. The list itself is kept in a
# file rewritten only when it changes, so adding or removing a source file
# also counts as a change.
SOURCES := $(shell find cpp src -type f \( -name '*.cpp' -o -name '*.hpp' -o -name '*.h' -o -name '*.py' \
                   -o -name '*.pyi' -o -name py.typed -o -name '*.j2' -o -name '*.js' -o -name '*.css' \) \
                   -not -path '*/__pycache__/*' 2>/dev/null | LC_ALL=C sort)
SOURCE_LIST := build/install-sources.txt
$(shell mkdir -p build && printf '%s\n' $(SOURCES) > $(SOURCE_LIST).new && \
        { cmp -s $(SOURCE_LIST).new $(SOURCE_LIST) || mv -f $(SOURCE_LIST).new $(SOURCE_LIST); }; \
        rm -f $(SOURCE_LIST).new)

BUILD_DEPS_STAMP := $(VENV)/.telvar-build-deps
INSTALL_STAMP    := $(VENV)/.telvar-installed

$(PY):
	$(PYTHON) -m venv $(VENV)
	$(PY) -m pip install --quiet --upgrade pip

$(BUILD_DEPS_STAMP): | $(PY)
	@echo "== installing the build tools into $(VENV)"
	$(PY) -m pip install --quiet $(BUILD_DEPS)
	@touch $@

# Reinstalled only when a source, the build files or the list of sources
# changed since the last install. The build directory under build/ is kept,
# so a reinstall recompiles only what changed; -v shows the compiler's
# progress lines ([12/56] Building CXX object ...).
$(INSTALL_STAMP): $(BUILD_DEPS_STAMP) $(SOURCES) $(SOURCE_LIST) pyproject.toml CMakeLists.txt README.md
	@echo "== building and installing telvar into $(VENV) (the first build compiles for a few minutes)"
	$(PY) -m pip install -v --no-build-isolation '.[test,demo,sweep,report,bench]' 2>&1 | \
	  { grep --line-buffered -v -e '^Requirement already satisfied' -e '^  Link requires a different Python' \
	         -e '^  Skipping link' || true; }
	@touch $@

install: $(INSTALL_STAMP)

demo: install
	$(PY) examples/demo.py

test: install test-modules
	$(PY) -m pytest -q

# Extension modules only the tests use (TELVAR_TEST_MODULES in
# CMakeLists.txt): never installed, written to build/test-modules, which
# tests/conftest.py puts on sys.path. Their own build directory builds
# nothing else.
TEST_MODULES_BUILD := build/test-modules-build
test-modules: $(BUILD_DEPS_STAMP)
	cmake -S . -B $(TEST_MODULES_BUILD) -G Ninja -DTELVAR_TEST_MODULES_BUILD=ON -DCMAKE_BUILD_TYPE=Release \
	      -DPython_EXECUTABLE=$(abspath $(PY)) >/dev/null
	cmake --build $(TEST_MODULES_BUILD) --target telvar_test_modules

bench: install test-modules
	$(PY) -m bench

# Development build: modules are written next to their packages in src/
# (the test-only ones to build/test-modules), so
# `PYTHONPATH=src .venv/bin/python -m pytest` runs against the working tree.
# DEV_BUILD and TARGET let several people build different modules at once.
DEV_BUILD ?= build/dev
TARGET    ?= all
dev: $(BUILD_DEPS_STAMP)
	cmake -S . -B $(DEV_BUILD) -G Ninja -DTELVAR_INPLACE=ON -DTELVAR_TEST_MODULES_BUILD=ON \
	      -DCMAKE_BUILD_TYPE=Release -DPython_EXECUTABLE=$(abspath $(PY)) >/dev/null
	cmake --build $(DEV_BUILD) --target $(TARGET)

# The checked-in type stubs (.pyi) of the compiled modules, rewritten from a
# development build; tests/test_stubs.py fails when they are out of date.
stubs: dev
	PYTHONPATH=src $(PY) -m tools.stubs

clean:
	rm -rf build dist *.egg-info $(INSTALL_STAMP)
	find src -name '*.so' -delete
