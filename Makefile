# Two commands do all the set-up on a fresh Debian 12 machine:
#   make test   installs what is missing, builds with ASan+UBSan, runs every test
#   make demo   installs what is missing, builds optimized, plays the sample
#   make bench  also installs the peer players, compares Marlin with them
JOBS ?= $(shell nproc)
TEST_BUILD := build/test
RELEASE_BUILD := build/release

.PHONY: all deps test build-test demo build-release bench bench-deps clean

all: build-release

deps:
	scripts/install-deps

build-test: deps
	cmake -S . -B $(TEST_BUILD) -DCMAKE_BUILD_TYPE=Debug -DMARLIN_SANITIZE=ON
	cmake --build $(TEST_BUILD) -j $(JOBS)

test: build-test
	cd $(TEST_BUILD) && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --output-on-failure -j $(JOBS)

build-release: deps
	cmake -S . -B $(RELEASE_BUILD) -DCMAKE_BUILD_TYPE=Release -DMARLIN_TESTS=OFF
	cmake --build $(RELEASE_BUILD) -j $(JOBS)

demo: build-release
	scripts/demo $(RELEASE_BUILD)/bin

bench-deps:
	scripts/install-bench-deps

# Optimized build, no sanitizers; writes bench/results.md.
bench: build-release bench-deps
	bench/run --build $(RELEASE_BUILD)

clean:
	rm -rf build
