# Wraps the CMake build: `make test` configures, builds and runs every test.
BUILD ?= build
JOBS ?= $(shell nproc 2>/dev/null || echo 2)

.PHONY: all setup build test run bench clean

all: build

$(BUILD)/CMakeCache.txt:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release

setup:
	bash tools/setup.sh

build: $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)

test: setup build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

# Sets up, builds, and runs the demonstration in Octave.
run: setup build
	cd $(BUILD)/octave && octave-cli --norc --no-history $(CURDIR)/examples/demo.m

# Benchmarks: the literal computation against the solver, then the module
# against the same computation in Octave's language; results in $(BUILD)/bench.
BENCH_ARGS ?= --benchmark_repetitions=7 --benchmark_report_aggregates_only=true
bench: setup build
	$(BUILD)/bench/tarvenloch_bench $(BENCH_ARGS) \
	  --benchmark_out=$(BUILD)/bench/results.csv --benchmark_out_format=csv
	cd $(BUILD)/octave && octave-cli --norc --no-history \
	  --eval "addpath('$(CURDIR)/bench', '$(CURDIR)/tests/octave'); octave_bench('$(CURDIR)/$(BUILD)/bench/octave.dat')"
	bash bench/plot.sh $(BUILD)/bench docs/performance.png

clean:
	rm -rf $(BUILD)
