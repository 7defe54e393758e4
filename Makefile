# The two commands: `make demo` runs a backtest, `make test` runs the tests.
PYTHON ?= python3
VENV ?= .venv
VPY := $(VENV)/bin/python
STAMP := $(VENV)/.build-deps
# Where CMake builds (kept between runs for incremental builds).
BUILD_DIR ?= build/{wheel_tag}
# Extra settings for the build backend, e.g. instrumented builds.
BUILD_SETTINGS ?=

.PHONY: demo test install lint bench clean test-sanitize

$(STAMP):
	$(PYTHON) -m venv $(VENV)
	$(VPY) -m pip install --quiet --upgrade pip
	$(VPY) -m pip install --quiet "scikit-build-core>=0.8" "numpy>=2.0" cmake ninja
	touch $(STAMP)

# Builds the extension modules (incrementally, in build/) and installs the
# package with its test extra (and the cluster extra, for the sweep tests on
# a local Dask cluster, and the sweeps extra, for the sweep's results store) into the local virtual environment.
install: $(STAMP)
	$(VPY) -m pip install --quiet --no-build-isolation -C build-dir="$(BUILD_DIR)" $(BUILD_SETTINGS) ".[test,cluster,report,sweeps]"

# ruff (check and format) over the Python tree and clang-format over the C++;
# the pinned versions come with the test extra.
CXX_SOURCES = $(shell git ls-files 'src/korvel/core/*.cpp' 'src/korvel/core/*.h' 'benchmarks/floor/*.cpp')
lint: install
	$(VPY) -m ruff check .
	$(VPY) -m ruff format --check .
	$(VENV)/bin/clang-format --dry-run --Werror $(CXX_SOURCES)

# The lint, the suite, then the type checks: the layer under mypy --strict,
# and the native modules' stubs against the built modules.
test: install lint
	$(VPY) -m pytest -q tests
	$(VPY) -m mypy --no-error-summary
	$(VPY) -m mypy.stubtest korvel.core.portsim korvel.core.excursion korvel.core.strutil

# A backtest on the built-in synthetic market: figures, the next day's orders,
# the chart in demo.png and the HTML report in demo.html.
demo: install
	$(VPY) -m korvel demo --plot demo.png --report demo.html

# Benchmarks against vectorbt and bt; writes benchmarks/RESULTS.md (about 15 minutes).
bench: install
	$(VPY) -m pip install --quiet --no-build-isolation -C build-dir="$(BUILD_DIR)" ".[test,bench]"
	$(VPY) benchmarks/run.py

clean:
	rm -rf build $(VENV)

# The whole suite against modules built with AddressSanitizer and
# UndefinedBehaviorSanitizer (own build directory and environment). The
# sanitizer runtime is preloaded into the interpreter; Python's own
# allocations at exit are not leaks of ours, so leak detection stays off.
SAN_FLAGS := -fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer -g
SAN_VENV := .venv-sanitize
SAN_PRELOAD = $(shell $(CXX) -print-file-name=libasan.so) $(shell $(CXX) -print-file-name=libubsan.so)
SAN_TESTS ?= tests
# The research tests run pure Python over many backtests: slow under the
# sanitizers and nothing native of their own; the browser test starts chromium,
# which must not inherit the preloaded sanitizer runtime.
SAN_EXCLUDE ?= --ignore=tests/research -m "not browser"

test-sanitize:
	$(MAKE) install VENV=$(SAN_VENV) BUILD_DIR=build/sanitize \
		BUILD_SETTINGS='-C cmake.define.KORVEL_EXTRA_FLAGS="$(SAN_FLAGS)" -C install.strip=false'
	LD_PRELOAD="$(SAN_PRELOAD)" ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 \
		UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 PYTHONMALLOC=malloc \
		$(SAN_VENV)/bin/python -m pytest -q -p no:cacheprovider $(SAN_EXCLUDE) $(SAN_TESTS)
