# The two commands of the README, and the others a developer uses.
#   make run    build everything and classify the sample photograph
#   make test   build everything and run the whole test suite
#   make bench  benchmarks, as ratios to baselines measured in the same run
#   make check  sanitizer suite, bounded fuzzing and a valgrind run (CI runs it too)
MAKEFLAGS += --no-print-directory
BUILD_DIR ?= build
export BUILD_DIR

.PHONY: all build test run bench check sanitize fuzz memcheck clean

all: build

build:
	@scripts/build.sh

test: build
	cd $(BUILD_DIR) && ctest --output-on-failure -j 2

run: build
	@scripts/demo.sh

# Speed, as ratios to baselines measured in the same run.
bench:
	@scripts/bench.sh

# The deeper checks CI runs after the tests.
check: sanitize fuzz memcheck

sanitize:
	@scripts/sanitize.sh

fuzz:
	@scripts/fuzz.sh

memcheck: build
	@scripts/memcheck.sh

clean:
	rm -rf $(BUILD_DIR) build-sanitize build-fuzz build-baseline demo
