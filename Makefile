# Two entry points do all the set-up on a fresh machine:
#   make demo   runs the main job
#   make test   builds the extensions and runs the test suite
# PYTHON picks the interpreter (default python3); each gets its own virtual environment.
PYTHON ?= python3
PYVER := $(shell $(PYTHON) -c 'import sys; print("%d.%d" % sys.version_info[:2])')
VENV ?= .venv-$(PYVER)
VPY := $(VENV)/bin/python
BUILD_DEPS := "scikit-build-core>=0.10" "nanobind>=2.9,<3"
TEST_DEPS := "pytest>=7" "hypothesis>=6"
LINT_DEPS := ruff clang-format
TYPE_DEPS := mypy

.PHONY: demo test build bench lint format typecheck clean

$(VENV)/.ready: Makefile
	$(PYTHON) -m venv $(VENV)
	$(VPY) -m pip install -q --upgrade pip
	$(VPY) -m pip install -q $(BUILD_DEPS) $(TEST_DEPS)
	touch $@

build: $(VENV)/.ready
	$(VPY) -m pip install -q --no-build-isolation .

demo: build
	$(VPY) -m virtual_slave

test: build
	$(VPY) -m pytest

bench: build
	$(VPY) benchmarks/bench_cycle.py

# mypy --strict over the examples and the typed usage file, through the installed
# stubs; then the stubs themselves.
typecheck: build
	$(VPY) -m pip install -q $(TYPE_DEPS)
	$(VPY) -m mypy --strict examples tests/typing
	$(VPY) tests/typing/check_stubs.py

lint: $(VENV)/.ready
	$(VPY) -m pip install -q $(LINT_DEPS)
	$(VENV)/bin/ruff check .
	$(VENV)/bin/ruff format --check .
	$(VENV)/bin/clang-format --dry-run --Werror $$(git ls-files '*.cpp' '*.hpp')

format: $(VENV)/.ready
	$(VPY) -m pip install -q $(LINT_DEPS)
	$(VENV)/bin/ruff check --fix .
	$(VENV)/bin/ruff format .
	$(VENV)/bin/clang-format -i $$(git ls-files '*.cpp' '*.hpp')

clean:
	rm -rf build .venv-*
