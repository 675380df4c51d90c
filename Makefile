# Set-up, build and tests in one place: `make demo` and `make test` work on a
# fresh machine with nothing but python3 and a C++ compiler.
PYTHON ?= python3
VENV ?= .venv
PY := $(VENV)/bin/python
BUILD_DIR ?= build/$(notdir $(VENV))
NATIVE_DIR ?= build/native

.PHONY: all venv build demo test pytest native-test bench clean

all: build

$(VENV)/.ready: pyproject.toml Makefile
	$(PYTHON) -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip
	$(PY) -m pip install -q "scikit-build-core>=0.10" "numpy>=2" cmake ninja pytest "ml_dtypes>=0.4"
	touch $@

venv: $(VENV)/.ready

build: $(VENV)/.ready
	$(PY) -m pip install -q --no-build-isolation --no-deps -Cbuild-dir=$(BUILD_DIR) .

demo: build
	$(PY) examples/demo.py

native-test: $(VENV)/.ready
	$(VENV)/bin/cmake -S . -B $(NATIVE_DIR) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV))/bin/ninja \
	    -DQUARN_PYTHON_MODULE=OFF -DQUARN_NATIVE_TESTS=ON -DCMAKE_BUILD_TYPE=Release
	$(VENV)/bin/cmake --build $(NATIVE_DIR)
	$(VENV)/bin/ctest --test-dir $(NATIVE_DIR) --output-on-failure

pytest: build
	$(PY) -m pytest

test: native-test pytest

bench: build
	$(PY) -m pip install -q threadpoolctl "ml_dtypes>=0.4"
	$(PY) -m pip install -q torch==2.13.0
	for b in benchmarks/bench_*.py; do $(PY) $$b || exit 1; done

clean:
	rm -rf build $(VENV)
