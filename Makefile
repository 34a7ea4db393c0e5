# Wraps the CMake build: `make test` configures, builds and runs every test.
BUILD ?= build
JOBS ?= $(shell nproc 2>/dev/null || echo 2)

.PHONY: all setup build test run clean

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

clean:
	rm -rf $(BUILD)
