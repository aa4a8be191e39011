# The two commands of the README, and the others a developer uses.
#   make run    build the programs and classify the sample photograph
#   make test   build everything and run the whole test suite
#   make bench  benchmarks, as ratios to baselines measured in the same run
#   make check  sanitizer suite, bounded fuzzing, a valgrind run and the contact
#               sheet in headless Chromium (CI runs it too)
#   make install   install under PREFIX (default /usr/local), or DESTDIR
#   make package   the Debian package build/classify_<version>_amd64.deb
#   make windows   the 64-bit Windows programs and their zip; windows-test tests them under Wine
MAKEFLAGS += --no-print-directory
BUILD_DIR ?= build
PREFIX ?= /usr/local
export BUILD_DIR

.PHONY: all build programs test run bench check sanitize fuzz memcheck browser-check install package windows windows-test clean

all: build

build:
	@scripts/build.sh

# The three programs alone, for the demo: the tests build with make test.
programs:
	@scripts/build.sh classify prepare-input classify-photos

test: build
	@scripts/test.sh

run: programs
	@scripts/demo.sh

# classify, prepare-input, their manual pages and the README under PREFIX
# (default /usr/local); DESTDIR stages the whole tree elsewhere.
install: build
	cmake --install $(BUILD_DIR) --prefix $(PREFIX)

# build/classify_<version>_amd64.deb
package: build
	@scripts/package.sh

# build-windows/classify.exe, prepare-input.exe, classify-photos.exe and
# classify-<version>-win64.zip, cross-built with MinGW-w64; windows-test runs
# the process-level tests on the unpacked zip under Wine (after make test).
windows:
	@scripts/windows.sh

windows-test: build windows
	@scripts/windows-test.sh

# Speed, as ratios to baselines measured in the same run.
bench:
	@scripts/bench.sh

# The deeper checks CI runs after the tests.
check: sanitize fuzz memcheck browser-check

sanitize:
	@scripts/sanitize.sh

fuzz:
	@scripts/fuzz.sh

memcheck: build
	@scripts/memcheck.sh

browser-check: build
	@scripts/browser-check.sh

clean:
	rm -rf $(BUILD_DIR) build-portable build-check build-baseline build-windows build-windows-v3 build-level-* demo
