# Two commands do all the set-up on a fresh Debian 12 machine:
#   make test   installs what is missing, builds with ASan+UBSan, runs every test
#   make demo   installs what is missing, builds optimized, plays the sample
#   make bench  also installs the peer players, compares Marlin with them
# Installing (docs in README.md, "Installing"):
#   make install [PREFIX=/usr/local] [DESTDIR=]   the optimized build, installed
#   make package     a Debian package (.deb) in build/release
# Further checks (docs/reliability.md):
#   make test-tsan   builds with ThreadSanitizer, runs every test
#   make test-tsan-sample   the same for the host's own threads only
#   make soak        one optimized host under random commands for SOAK_MINUTES
#   make check-locks clang's lock analysis over every unit (-Wthread-safety),
#                    the order in platform/dshow/README.md; under a minute
#   make fuzz        the libFuzzer targets (clang), FUZZ_SECONDS each; see fuzz/README.md
JOBS ?= $(shell nproc)
TEST_BUILD := build/test
RELEASE_BUILD := build/release
TSAN_BUILD := build/tsan
FUZZ_BUILD := build/fuzz
LOCKS_BUILD := build/check-locks
SOAK_MINUTES ?= 10
SOAK_SEED ?= 1
FUZZ_SECONDS ?= 60
PREFIX ?= /usr/local
DESTDIR ?=
# Extra ctest arguments for test-tsan, e.g. TSAN_CTEST_ARGS="-L tsan-sample".
TSAN_CTEST_ARGS ?=

.PHONY: all deps test build-test demo build-release install package bench bench-deps build-tsan test-tsan test-tsan-sample \
  soak fuzz-deps build-fuzz fuzz check-locks clean

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

# cmake --install honours DESTDIR from the environment.
install: build-release
	DESTDIR="$(DESTDIR)" cmake --install $(RELEASE_BUILD) --prefix "$(PREFIX)"

package: build-release
	cd $(RELEASE_BUILD) && cpack -G DEB

build-tsan: deps
	cmake -S . -B $(TSAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DMARLIN_TSAN=ON
	cmake --build $(TSAN_BUILD) -j $(JOBS)

# FFmpeg is not instrumented: under TSan its video decoders run on one thread
# (platform/lavfilters/core/VideoDecoder.cpp), so no suppressions are needed.
test-tsan: build-tsan
	cd $(TSAN_BUILD) && TSAN_OPTIONS="second_deadlock_stack=1" \
	  ctest --output-on-failure -j $(JOBS) $(TSAN_CTEST_ARGS)

# The CI's share of test-tsan: the binaries labelled tsan-sample in
# cmake/Marlin.cmake, built and run alone.
TSAN_SAMPLE_TARGETS := pipe_tests ui_tests app_frame_tests host_e2e_tests \
  playback_renderer_tests playback_engine_tests reliability_tests
test-tsan-sample: deps
	cmake -S . -B $(TSAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DMARLIN_TSAN=ON
	cmake --build $(TSAN_BUILD) -j $(JOBS) --target $(TSAN_SAMPLE_TARGETS)
	cd $(TSAN_BUILD) && TSAN_OPTIONS="second_deadlock_stack=1" \
	  ctest --output-on-failure -j $(JOBS) -L tsan-sample

soak: build-release
	$(RELEASE_BUILD)/bin/marlin-soak --minutes $(SOAK_MINUTES) --seed $(SOAK_SEED) \
	  --media-dir $(RELEASE_BUILD)/soak-media

demo: build-release
	scripts/demo $(RELEASE_BUILD)/bin

bench-deps:
	scripts/install-bench-deps

# Optimized build, no sanitizers; writes bench/results.md.
bench: build-release bench-deps
	bench/run --build $(RELEASE_BUILD)

fuzz-deps: deps
	scripts/install-fuzz-deps

build-fuzz: fuzz-deps
	CC=clang CXX=clang++ cmake -S . -B $(FUZZ_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DMARLIN_FUZZ=ON -DMARLIN_TESTS=OFF
	cmake --build $(FUZZ_BUILD) -j $(JOBS) --target fuzz_all

fuzz: build-fuzz
	FUZZ_SECONDS=$(FUZZ_SECONDS) fuzz/run $(FUZZ_BUILD)

# Only configured, never built: the script runs clang's front end over each
# unit of compile_commands.json with the thread-safety analysis as errors.
check-locks: deps
	CC=clang CXX=clang++ cmake -S . -B $(LOCKS_BUILD) -DCMAKE_BUILD_TYPE=Debug -DMARLIN_TESTS=OFF >/dev/null
	scripts/check-locks $(LOCKS_BUILD) $(JOBS)

clean:
	rm -rf build
