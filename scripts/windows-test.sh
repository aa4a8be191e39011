#!/usr/bin/env bash
# The process-level tests of the Linux suite, run against the Windows
# build-windows/classify.exe under Wine, with CR LF line ends expected: the
# result line, the set-up messages, bad inputs, damaged models and the
# pretrained photograph. Needs `make test` (the test programs) and
# `make windows` first. One Wine prefix and one wineserver serve the whole run.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
tool_name=windows-test
# shellcheck source=lib/provision.sh
source scripts/lib/provision.sh

exe=$PWD/build-windows/classify.exe
tests=${BUILD_DIR:-build}/tests/classify_tests
[[ -x $tests ]] || die "$tests is missing: run make test first"
[[ -f $exe ]] || die "$exe is missing: run make windows first"
install_apt_packages wine64
wine=/usr/lib/wine/wine64
export WINEPREFIX=$PWD/build-windows/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
start_log build-windows/windows-test.log
# One wineserver for the whole run: a warm one starts a program in
# milliseconds, a cold one in about 0.4 s. Wine's own services are started
# here, with nothing of the tests' attached: a service started by a test's
# program would inherit its output pipes and hold them open.
stage "wine prefix and wineserver"
mkdir -p "$WINEPREFIX"
/usr/lib/wine/wineserver -p
trap '/usr/lib/wine/wineserver -k 2>/dev/null || true; on_exit' EXIT
run "$wine" wineboot --init </dev/null
stage "tests under Wine"
status=0
CLASSIFY_TEST_EXE=$exe CLASSIFY_TEST_RUNNER=$wine CLASSIFY_TEST_EOL=crlf \
  run "$tests" --gtest_brief=1 \
  --gtest_filter='Classify.*:SetupFailures.*:ModelCheck.FuzzerFindingsStayFixed:Pretrained.*' ||
  status=$?
end_stage
grep -E '^\[  (PASSED|FAILED|SKIPPED) |tests? ran' "$log_file" | sed "s/^/[$tool_name] /" >&2 || true
if ((status != 0)); then
  grep -B2 -A12 'Failure' "$log_file" | head -n 80 >&2
  die "tests failed under Wine; full log: $log_file"
fi
