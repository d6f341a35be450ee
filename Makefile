# Two commands matter: `make run` and `make test`. Both bootstrap CPython
# 3.14 and the virtual environment when needed, then build the engine.

BUILD      ?= build
VENV       := .venv
VPY        := $(VENV)/bin/python
CMAKE_ARGS ?=
PYTEST_ARGS ?=
# Scale of the property and differential runs; raise for longer local runs.
TAVRINEX_EXAMPLES ?= 200

export TAVRINEX_EXAMPLES

.PHONY: all bootstrap venv build run test asan bench clean

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
	  -DPython_EXECUTABLE=$(abspath $(VPY)) $(CMAKE_ARGS)

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

# The whole suite against an AddressSanitizer + UndefinedBehaviorSanitizer build.
ASAN_LIB = $(shell g++ -print-file-name=libasan.so)
ASAN_BUILD ?= build-asan
asan:
	$(MAKE) build BUILD=$(ASAN_BUILD) CMAKE_ARGS="-DCMAKE_BUILD_TYPE=Debug -DTAVRINEX_SANITIZE=ON"
	TAVRINEX_NATIVE_DIR=$(abspath $(ASAN_BUILD))/native PYTHONPATH=$(abspath python) \
	  LD_PRELOAD=$(ASAN_LIB) PYTHONMALLOC=malloc \
	  ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  $(VPY) -m pytest -p no:cacheprovider $(PYTEST_ARGS)

bench: build
	@for b in bench/bench_*.py; do echo "== $$b"; $(NATIVE_ENV) $(VPY) $$b || exit 1; done

clean:
	rm -rf build build-asan
