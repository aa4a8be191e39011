#!/usr/bin/env bash
# The whole test suite built and run under AddressSanitizer and
# UndefinedBehaviorSanitizer (with clang, in build-check/, which the fuzzers
# share). Every report, from the tests or from a program they start, is
# written to a log file; the run fails when a test fails or any report was
# written.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

# One tree for the sanitizer suite and the fuzzers (scripts/fuzz.sh).
build_dir=$(scripts/configure-check.sh)
cmake --build "$build_dir" -j "$(nproc)"

logs=$PWD/$build_dir/sanitizer-logs
rm -rf "$logs"
mkdir -p "$logs"
# intercept_tls_get_addr=0: clang 14's LeakSanitizer follows the dynamic TLS
# of modules loaded at run time through __tls_get_addr. In prepare-input
# --crop on a TIFF (libvips' module) it records a range that begins at
# 0x1eb (seen with verbosity=1), and its tracer crashes on it at exit
# ("Tracer caught signal 11") instead of checking for leaks. Without it,
# memory that only dynamic TLS points to would be reported as leaked: none is.
export ASAN_OPTIONS="log_path=$logs/asan:detect_leaks=1:exitcode=86:intercept_tls_get_addr=0"
export UBSAN_OPTIONS="log_path=$logs/ubsan:print_stacktrace=1:halt_on_error=1:exitcode=86"
export LSAN_OPTIONS="suppressions=$PWD/tests/sanitizer/lsan.supp:print_suppressions=0"
status=0
(cd "$build_dir" && ctest --output-on-failure -j 2) || status=$?
if compgen -G "$logs/*" >/dev/null; then
  echo "sanitize: sanitizer reports were written:" >&2
  head -n 40 "$logs"/* >&2
  exit 1
fi
if ((status != 0)); then
  echo "sanitize: tests failed under the sanitizers" >&2
  exit "$status"
fi
echo "sanitize: all tests passed under AddressSanitizer and UndefinedBehaviorSanitizer, no reports"
