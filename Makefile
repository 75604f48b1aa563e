# Two commands do all the set-up on a fresh Debian 12 machine:
#   make test   installs what is missing, builds with ASan+UBSan, runs every test
#   make demo   installs what is missing, builds optimized, plays the sample
# And for the fuzz targets (clang, libFuzzer; see fuzz/README.md):
#   make fuzz   builds them in build/fuzz, runs each for FUZZ_SECONDS seconds
JOBS ?= $(shell nproc)
TEST_BUILD := build/test
RELEASE_BUILD := build/release
FUZZ_BUILD := build/fuzz
FUZZ_SECONDS ?= 60

.PHONY: all deps test build-test demo build-release fuzz-deps build-fuzz fuzz clean

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

fuzz-deps: deps
	scripts/install-fuzz-deps

build-fuzz: fuzz-deps
	CC=clang CXX=clang++ cmake -S . -B $(FUZZ_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DMARLIN_FUZZ=ON -DMARLIN_TESTS=OFF
	cmake --build $(FUZZ_BUILD) -j $(JOBS) --target fuzz_all

fuzz: build-fuzz
	FUZZ_SECONDS=$(FUZZ_SECONDS) fuzz/run $(FUZZ_BUILD)

clean:
	rm -rf build
