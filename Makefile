# The two commands of the README, and the others a developer uses.
#   make run    build everything and classify the sample photograph
#   make test   build everything and run the whole test suite
MAKEFLAGS += --no-print-directory
BUILD_DIR ?= build
export BUILD_DIR

.PHONY: all build test run clean

all: build

build:
	@scripts/build.sh

test: build
	cd $(BUILD_DIR) && ctest --output-on-failure -j 2

run: build
	@scripts/demo.sh

clean:
	rm -rf $(BUILD_DIR) demo
