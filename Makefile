# The two commands of the README, and the others a developer uses.
#   make run    build the programs and classify the sample photograph: classify
#               and prepare-input first, with the result as soon as they are
#               built; then XNNPACK and its delegate, and classify-photos
#   make test   build everything and run the whole test suite
#   make bench  benchmarks, as ratios to baselines measured in the same run
#   make check  sanitizer suite, bounded fuzzing, a valgrind run, the contact
#               sheet in headless Chromium and the service check (CI runs it too)
#   make install   install under PREFIX (default /usr/local), or DESTDIR
#   make package   the Debian package build/classify_<version>_amd64.deb
#   make windows   the 64-bit Windows programs and their zip; windows-test tests them under Wine
# Each installs only what its own work needs (scripts/install-deps.sh names the
# groups); none leaves a service enabled or running.
MAKEFLAGS += --no-print-directory
BUILD_DIR ?= build
PREFIX ?= /usr/local
export BUILD_DIR

.PHONY: all build programs test run bench check sanitize fuzz memcheck browser-check service-check install package windows windows-test clean

all: build

build:
	@scripts/build.sh

# The three programs, their modules and manual pages, without the tests and
# benchmarks (and without what only those need installed).
programs:
	@scripts/build.sh --programs

test: build
	@scripts/test.sh

# The result first: classify and prepare-input need TensorFlow Lite alone, not
# XNNPACK and its delegate, which classify-photos links and which follow.
run:
	@scripts/build.sh --programs --first classify prepare-input
	@scripts/demo.sh
	@scripts/build.sh --programs

# classify, prepare-input, their manual pages and the README under PREFIX
# (default /usr/local); DESTDIR stages the whole tree elsewhere.
install: programs
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
check: sanitize fuzz memcheck browser-check service-check

sanitize:
	@scripts/sanitize.sh

fuzz:
	@scripts/fuzz.sh

memcheck: build
	@scripts/memcheck.sh

browser-check: build
	@scripts/browser-check.sh

# Installing openssh-server as make test does, in a minimal Debian 12 (a
# chroot, cached), leaves no SSH unit enabled and no sshd running; the build
# group takes no SSH server at all.
service-check:
	@scripts/service-check.sh

clean:
	rm -rf $(BUILD_DIR) build-portable build-check build-baseline build-windows build-windows-v3 build-level-* demo
