# Two commands matter: `make run` and `make test`. Both bootstrap CPython
# 3.14 and the virtual environment when needed, then build the engine.

BUILD      ?= build
VENV       := .venv
VPY        := $(VENV)/bin/python
CMAKE_ARGS ?=
# Warnings fail the build of every tree the Makefile configures (CI included).
WERROR     ?= ON
PYTEST_ARGS ?=
# Scale of the property and differential runs; raise for longer local runs.
TAVRINEX_EXAMPLES ?= 200

export TAVRINEX_EXAMPLES

.PHONY: all bootstrap venv build run test asan asan-build fuzz refleak bench clean format

all: build

$(VENV)/.stamp: requirements-dev.txt scripts/bootstrap.sh scripts/install_libreoffice.sh
	@PY=$$(bash scripts/bootstrap.sh) && \
	  { [ -x $(VPY) ] || $$PY -m venv $(VENV); } && \
	  $(VPY) -m pip install -q --disable-pip-version-check -r requirements-dev.txt
	@bash scripts/install_libreoffice.sh
	@touch $@

bootstrap venv: $(VENV)/.stamp

$(BUILD)/build.ninja: $(VENV)/.stamp CMakeLists.txt
	$(VENV)/bin/cmake -S . -B $(BUILD) -G Ninja \
	  -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
	  -DPython_EXECUTABLE=$(abspath $(VPY)) -DTAVRINEX_WERROR=$(WERROR) -DTAVRINEX_TESTS=ON $(CMAKE_ARGS)

build: $(BUILD)/build.ninja
	$(VENV)/bin/cmake --build $(BUILD)

NATIVE_ENV = TAVRINEX_NATIVE_DIR=$(abspath $(BUILD))/native PYTHONPATH=$(abspath python)

SAMPLE = samples/sample.xlsx

run: build
	$(NATIVE_ENV) $(VPY) -m tavrinex info $(SAMPLE)
	@echo "-- first rows of Sales:"
	@$(NATIVE_ENV) $(VPY) -m tavrinex dump $(SAMPLE) --sheet Sales | head -n 6
	@echo "-- Notes as JSON lines:"
	@$(NATIVE_ENV) $(VPY) -m tavrinex dump $(SAMPLE) --sheet Notes --format jsonl
	$(NATIVE_ENV) $(VPY) -m tavrinex bench $(SAMPLE)
	$(NATIVE_ENV) $(VPY) -m tavrinex.demo_save

test: build
	$(NATIVE_ENV) $(VPY) -m pytest $(PYTEST_ARGS)

# The whole suite against an AddressSanitizer + UndefinedBehaviorSanitizer
# build, with LeakSanitizer on (.ci/lsan.supp lists what it may ignore).
ASAN_LIB = $(shell g++ -print-file-name=libasan.so)
ASAN_BUILD ?= build-asan
ASAN_ENV = TAVRINEX_NATIVE_DIR=$(abspath $(ASAN_BUILD))/native PYTHONPATH=$(abspath python) \
	  LD_PRELOAD=$(ASAN_LIB) PYTHONMALLOC=malloc \
	  ASAN_OPTIONS=detect_leaks=$(ASAN_LEAKS):abort_on_error=1 \
	  LSAN_OPTIONS=suppressions=$(abspath .ci/lsan.supp):print_suppressions=0 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
ASAN_LEAKS ?= 1

asan-build:
	$(MAKE) build BUILD=$(ASAN_BUILD) CMAKE_ARGS="-DCMAKE_BUILD_TYPE=Debug -DTAVRINEX_SANITIZE=ON"

asan: asan-build
	$(ASAN_ENV) $(VPY) -m pytest -p no:cacheprovider $(PYTEST_ARGS)

# Mutation fuzzing of every reader under the sanitizer build for
# FUZZ_SECONDS; failing inputs land in tests/fuzz_cases/ (replayed by the
# suite). Then FUZZ_CORE_SECONDS for the plain C++ fuzz target of the
# parsing cores, whose failing inputs land in tests/native/fuzz_cases/.
FUZZ_SECONDS ?= 60
FUZZ_CORE_SECONDS ?= $(FUZZ_SECONDS)
FUZZ_ARGS ?=
fuzz: ASAN_LEAKS = 0
fuzz: asan-build
	$(ASAN_ENV) $(VPY) tests/fuzz.py --seconds $(FUZZ_SECONDS) $(FUZZ_ARGS)
	@mkdir -p tests/native/fuzz_cases
	ASAN_OPTIONS=abort_on_error=1:detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  $(ASAN_BUILD)/native-tests/fuzz_core -max_total_time=$(FUZZ_CORE_SECONDS) \
	  -artifact_prefix=tests/native/fuzz_cases/

# Reference leaks: the engine built for the debug interpreter, the
# leak-prone tests run repeatedly, failing on growth of the total count.
DBG_VENV := .venv-dbg
DBG_BUILD ?= build-dbg
REFLEAK_ARGS ?=
# (test_store_refs.py measures its own leaks over a million cells: far too
# slow to repeat under the debug interpreter.)
REFLEAK_TESTS ?= tests/test_store.py tests/test_bind_cells.py tests/test_strings.py \
	tests/test_dimension.py tests/test_surface.py tests/test_xml_items.py \
	tests/test_row_reader.py tests/test_prescan.py tests/test_writer.py tests/test_formula.py \
	tests/test_ftemplate.py

$(DBG_VENV)/.stamp: requirements-dev.txt scripts/bootstrap.sh
	@PY=$$(bash scripts/bootstrap.sh --dbg) && \
	  { [ -x $(DBG_VENV)/bin/python ] || $$PY -m venv $(DBG_VENV); } && \
	  $(DBG_VENV)/bin/python -m pip install -q --disable-pip-version-check \
	    $$(grep -E '^(pytest|hypothesis)==' requirements-dev.txt)
	@touch $@

refleak: $(DBG_VENV)/.stamp $(VENV)/.stamp
	$(VENV)/bin/cmake -S . -B $(DBG_BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
	  -DPython_EXECUTABLE=$(abspath $(DBG_VENV)/bin/python) -DCMAKE_BUILD_TYPE=Debug -DTAVRINEX_TESTS=ON
	$(VENV)/bin/cmake --build $(DBG_BUILD)
	TAVRINEX_NATIVE_DIR=$(abspath $(DBG_BUILD))/native PYTHONPATH=$(abspath python) \
	  TAVRINEX_EXAMPLES=10 $(DBG_VENV)/bin/python tests/refleak.py $(REFLEAK_ARGS) $(REFLEAK_TESTS)

bench: build
	@for b in bench/bench_*.py; do echo "== $$b"; $(NATIVE_ENV) $(VPY) $$b || exit 1; done

clean:
	rm -rf build build-asan build-dbg

# Formats the engine's C++ sources with the committed .clang-format.
format: $(VENV)/.stamp
	$(VENV)/bin/clang-format -i $$(find src tests/native -name '*.cpp' -o -name '*.h')
