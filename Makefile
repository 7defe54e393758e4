# The two commands: `make demo` runs a backtest, `make test` runs the tests.
PYTHON ?= python3
VENV ?= .venv
VPY := $(VENV)/bin/python
STAMP := $(VENV)/.build-deps
# Where CMake builds (kept between runs for incremental builds).
BUILD_DIR ?= build/{wheel_tag}

.PHONY: demo test install bench clean

$(STAMP):
	$(PYTHON) -m venv $(VENV)
	$(VPY) -m pip install --quiet --upgrade pip
	$(VPY) -m pip install --quiet "scikit-build-core>=0.8" "numpy>=2.0" cmake ninja
	touch $(STAMP)

# Builds the extension modules (incrementally, in build/) and installs the
# package with its test extra into the local virtual environment.
install: $(STAMP)
	$(VPY) -m pip install --quiet --no-build-isolation -C build-dir="$(BUILD_DIR)" ".[test]"

test: install
	$(VPY) -m pytest -q tests

demo: install
	$(VPY) -m korvel.demo

clean:
	rm -rf build $(VENV)
