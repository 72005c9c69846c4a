# TambloServer: `make run` and `make test` set everything up on a fresh Debian bookworm machine.
BUILD_DIR      ?= build
ASAN_DIR       ?= build-asan
FUZZ_DIR       ?= build-fuzz
FUZZ_SECONDS   ?= 60
JOBS           ?= $(shell nproc)
ARGS           ?=

.PHONY: all build deps run test unit asan-build fuzz-build fuzz bench demo demo-cluster package clean

all: build

deps:
	scripts/install-deps

build:
	cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD_DIR) -j $(JOBS)

# Starts the server in the repository root, where TambloServer_log.conf is found.
run: deps build
	exec $(BUILD_DIR)/TambloServer $(ARGS)

# Every test: unit and integration tests of the normal build, then the unit tests and the
# relay and recording integration tests (label "sanitized") under AddressSanitizer and
# UndefinedBehaviorSanitizer.
test: deps build asan-build
	ctest --test-dir $(BUILD_DIR) --output-on-failure -j 2
	ctest --test-dir $(ASAN_DIR) --output-on-failure -j 2

unit: build
	ctest --test-dir $(BUILD_DIR) --output-on-failure -L unit

# The binaries too: the sanitized integration tests run the server, its workers and the
# gateway tool of this build.
asan-build:
	cmake -S . -B $(ASAN_DIR) -DCMAKE_BUILD_TYPE=Debug -DTAMBLO_SANITIZE=ON -DTAMBLO_UNIT_TESTS_ONLY=OFF
	cmake --build $(ASAN_DIR) -j $(JOBS)

# The libFuzzer targets (clang, AddressSanitizer, UndefinedBehaviorSanitizer) in their own
# build folder; `make test` replays their corpora with the normal builds.
fuzz-build: deps
	CC=clang CXX=clang++ cmake -S . -B $(FUZZ_DIR) -DCMAKE_BUILD_TYPE=Debug -DTAMBLO_FUZZ=ON -DTAMBLO_UNIT_TESTS_ONLY=ON
	cmake --build $(FUZZ_DIR) -j $(JOBS) --target fuzzers

# Each target for FUZZ_SECONDS; new crashers are kept in its corpus as regression inputs.
fuzz: fuzz-build
	scripts/run-fuzzers $(FUZZ_DIR) $(FUZZ_SECONDS)

# One request through the whole relay inside a network namespace (needs root).
demo: deps build
	scripts/demo

# Three servers sharing a gateway directory in a private PostgreSQL, one request crossing
# servers (needs root).
demo-cluster: deps build
	scripts/demo-cluster

# Debian packages tamblo-server and tamblo-gateway from the normal build, in build/packages.
package: deps build
	cd $(BUILD_DIR) && cpack -G DEB -B $(abspath $(BUILD_DIR))/packages
	ls -l $(BUILD_DIR)/packages/*.deb

bench:
	TAMBLO_BENCH=1 scripts/install-deps
	$(MAKE) build
	$(BUILD_DIR)/bench/run-all

clean:
	rm -rf $(BUILD_DIR) $(ASAN_DIR) $(FUZZ_DIR)
