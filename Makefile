# Two entry points do all the set-up on a fresh machine:
#   make demo   runs the main job
#   make test   builds the library and the extensions and runs both test suites
# PYTHON picks the interpreter (default python3); each gets its own virtual environment.
PYTHON ?= python3
# The interpreter's version, or the first line of its complaint when it does not run
# (a pyenv shim without that version, a typo): check-python stops on it.
PYOUT := $(shell $(PYTHON) -c 'import sys; print("%d.%d" % sys.version_info[:2])' 2>&1 | head -n 1)
PYVER := $(if $(and $(filter 1,$(words $(PYOUT))),$(filter 3.%,$(PYOUT))),$(PYOUT))
VENV ?= .venv-$(PYVER)
VPY := $(VENV)/bin/python
BUILD_DEPS := "scikit-build-core>=0.10" "nanobind>=2.9,<3"
# matplotlib: the --timeline test (tarnwick[plot]); it skips without, unless FSOE_REQUIRE_PLOT=1.
TEST_DEPS := "pytest>=7" "hypothesis>=6" matplotlib
LINT_DEPS := ruff clang-format
TYPE_DEPS := mypy

.PHONY: demo test native-test package-test native-sanitize build bench bench-native lint format typecheck clean sanitize fuzz \
	fuzz-build fuzz-seeds fuzz-master-seeds soak check-python

check-python:
	$(if $(PYVER),,$(error PYTHON=$(PYTHON) does not run: $(or $(PYOUT),no output)))

$(VENV)/.ready: Makefile | check-python
	$(PYTHON) -m venv $(VENV)
	$(VPY) -m pip install -q --upgrade pip
	$(VPY) -m pip install -q $(BUILD_DEPS) $(TEST_DEPS)
	touch $@

build: $(VENV)/.ready
	$(VPY) -m pip install -q --no-build-isolation .

demo: build
	$(VPY) -m virtual_slave

test: build native-test
	$(VPY) -m pytest

# The protocol library's native tests (doctest, registered with ctest), built without
# Python. Debian's doctest-dev is installed when missing (as root).
NATIVE_BUILD := build/native
DOCTEST_CONFIG := /usr/lib/cmake/doctest/doctestConfig.cmake
native-test:
	@test -f $(DOCTEST_CONFIG) || { [ "$$(id -u)" = 0 ] && apt-get update -qq && \
		DEBIAN_FRONTEND=noninteractive apt-get install -y -qq doctest-dev >/dev/null; } || \
		{ echo "native tests need doctest: apt-get install doctest-dev" >&2; exit 1; }
	cmake -S . -B $(NATIVE_BUILD) -DFSOE_BUILD_PYTHON=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	cmake --build $(NATIVE_BUILD) -j 2
	ctest --test-dir $(NATIVE_BUILD) --output-on-failure

# The installed libraries as an application sees them: static and shared builds
# without Python, installed and moved to a temporary prefix, every examples/cpp and
# examples/c program built from outside the tree with find_package(tarnwick) and with
# pkg-config and run, the SONAMEs and the two libraries' symbols checked
# (tests/package/run.sh). Needs pkg-config (Debian: pkgconf).
package-test:
	tests/package/run.sh

bench: build
	$(VPY) benchmarks/bench_cycle.py

# The library's native benchmark, optimised and without Python or doctest, in its own
# build folder: medians of a master Data cycle, 128 masters round-robin, a virtual slave
# Data cycle, 128 master/slave pairs, and the C API's Data cycle beside the C++ one.
BENCH_BUILD := build/bench
bench-native:
	cmake -S . -B $(BENCH_BUILD) -DFSOE_BUILD_PYTHON=OFF -DFSOE_BUILD_TESTS=OFF \
		-DFSOE_BUILD_BENCHMARKS=ON -DCMAKE_BUILD_TYPE=Release >/dev/null
	cmake --build $(BENCH_BUILD) -j 2 --target bench_master bench_pair bench_capi
	$(BENCH_BUILD)/benchmarks/native/bench_master
	$(BENCH_BUILD)/benchmarks/native/bench_pair
	$(BENCH_BUILD)/benchmarks/native/bench_capi

# mypy --strict over the examples and the typed usage file, through the installed
# stubs; then the stubs themselves.
typecheck: build
	$(VPY) -m pip install -q $(TYPE_DEPS)
	$(VPY) -m mypy --strict examples tests/python/typing
	$(VPY) tests/python/typing/check_stubs.py

lint: $(VENV)/.ready
	$(VPY) -m pip install -q $(LINT_DEPS)
	$(VENV)/bin/ruff check .
	$(VENV)/bin/ruff format --check .
	$(VENV)/bin/clang-format --dry-run --Werror $$(git ls-files '*.cpp' '*.hpp' '*.c' '*.h')

format: $(VENV)/.ready
	$(VPY) -m pip install -q $(LINT_DEPS)
	$(VENV)/bin/ruff check --fix .
	$(VENV)/bin/ruff format .
	$(VENV)/bin/clang-format -i $$(git ls-files '*.cpp' '*.hpp' '*.c' '*.h')

# Both extensions built with AddressSanitizer and UndefinedBehaviorSanitizer (gcc) into
# their own venv and build folder; the whole suite runs with the runtimes preloaded.
SAN_VENV := .venv-sanitize-$(PYVER)
SAN_PY := $(SAN_VENV)/bin/python
SAN_CXX := g++
SAN_PRELOAD = $(shell $(SAN_CXX) -print-file-name=libasan.so) $(shell $(SAN_CXX) -print-file-name=libstdc++.so)
SAN_ENV = LD_PRELOAD="$(SAN_PRELOAD)" PYTHONMALLOC=malloc \
	ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

$(SAN_VENV)/.ready: Makefile | check-python
	$(PYTHON) -m venv $(SAN_VENV)
	$(SAN_PY) -m pip install -q --upgrade pip
	$(SAN_PY) -m pip install -q $(BUILD_DEPS) $(TEST_DEPS)
	touch $@

sanitize: $(SAN_VENV)/.ready native-sanitize
	CXX=$(SAN_CXX) $(SAN_PY) -m pip install -q --no-build-isolation -C build-dir=build/sanitize-$(PYVER) \
		-C cmake.build-type=RelWithDebInfo -C cmake.define.FSOE_SANITIZE=ON .
	$(SAN_ENV) $(SAN_PY) -m pytest -p no:cacheprovider

# The native tests under the same sanitizers, linked with them (no preloading).
NATIVE_SAN_BUILD := build/native-sanitize
native-sanitize: native-test
	cmake -S . -B $(NATIVE_SAN_BUILD) -DFSOE_BUILD_PYTHON=OFF -DFSOE_SANITIZE=ON \
		-DCMAKE_CXX_COMPILER=$(SAN_CXX) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	cmake --build $(NATIVE_SAN_BUILD) -j 2
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ctest --test-dir $(NATIVE_SAN_BUILD) --output-on-failure

# libFuzzer harnesses (clang), each run for FUZZ_SECONDS from its seed corpus; new
# inputs and any crash land in fuzz/out/.
FUZZ_BUILD := build/fuzz
FUZZ_SECONDS ?= 60
FUZZERS := fuzz_frame fuzz_slave fuzz_master fuzz_capi

fuzz-build:
	cmake -S . -B $(FUZZ_BUILD) -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
		-DFSOE_BUILD_PYTHON=OFF -DFSOE_BUILD_TESTS=OFF -DFSOE_BUILD_FUZZERS=ON -DFSOE_SANITIZE=ON
	cmake --build $(FUZZ_BUILD)

fuzz: fuzz-build
	set -e; for f in $(FUZZERS); do \
		mkdir -p fuzz/out/$$f; \
		$(FUZZ_BUILD)/fuzz/$$f -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 \
			-artifact_prefix=fuzz/out/$$f- fuzz/out/$$f fuzz/corpus/$$f; \
	done

# Master and virtual slave in Data for 10,000,000 cycles (on demand, not in CI).
soak: build
	$(VPY) tools/soak.py

# Rewrites the seed corpora from a master talking to the virtual slave.
fuzz-seeds: build
	$(VPY) fuzz/make_seeds.py

# Rewrites fuzz_master's seed corpus from the library master's exchanges with the
# native tests' scripted slave.
fuzz-master-seeds: fuzz-build
	rm -rf fuzz/corpus/fuzz_master && mkdir -p fuzz/corpus/fuzz_master
	$(FUZZ_BUILD)/fuzz/fuzz_master_seeds fuzz/corpus/fuzz_master

clean:
	rm -rf build .venv-*
