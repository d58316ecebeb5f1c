# Every target bootstraps .venv, so each works from a fresh clone.
PYTHON ?= python3
VENV   ?= .venv
PY     := $(VENV)/bin/python
# quoted: the shell would read an unquoted '>=' as a redirection
BUILD_DEPS := 'scikit-build-core>=0.10' 'nanobind>=2.4' 'numpy>=2.0' ninja

.PHONY: all install demo test bench dev clean

all: install

$(PY):
	$(PYTHON) -m venv $(VENV)
	$(PY) -m pip install --quiet --upgrade pip

# The build directory under build/ is kept between installs, so a reinstall
# only recompiles what changed.
install: $(PY)
	$(PY) -m pip install --quiet $(BUILD_DEPS)
	$(PY) -m pip install --quiet --no-build-isolation '.[test,demo]'

demo: install
	$(PY) examples/demo.py

test: install
	$(PY) -m pytest -q

bench: install
	$(PY) -m bench

# Development build: modules are written next to their packages in src/, so
# `PYTHONPATH=src .venv/bin/python -m pytest` runs against the working tree.
# DEV_BUILD and TARGET let several people build different modules at once.
DEV_BUILD ?= build/dev
TARGET    ?= all
dev: $(PY)
	$(PY) -m pip install --quiet $(BUILD_DEPS)
	cmake -S . -B $(DEV_BUILD) -G Ninja -DTELVAR_INPLACE=ON -DCMAKE_BUILD_TYPE=Release \
	      -DPython_EXECUTABLE=$(abspath $(PY)) >/dev/null
	cmake --build $(DEV_BUILD) --target $(TARGET)

clean:
	rm -rf build dist *.egg-info
	find src -name '*.so' -delete
