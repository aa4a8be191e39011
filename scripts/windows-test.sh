#!/usr/bin/env bash
# The process-level tests of the Linux suite, run under Wine against the
# Windows programs as the zip ships them (unpacked into build-windows/unpacked):
# classify.exe first, with CR LF line ends expected: the
# result line, the set-up messages, bad inputs, damaged models and the
# pretrained photograph; then the photograph tools prepare-input.exe and
# classify-photos.exe: the sample photograph as JPEG, PNG and BMP, the same
# input bytes as on Linux, names in Chinese, the formats the build lacks.
# Needs `make test` (the test programs) and `make windows` first. One Wine
# prefix and one wineserver serve the whole run.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
tool_name=windows-test
# shellcheck source=lib/provision.sh
source scripts/lib/provision.sh

tests=${BUILD_DIR:-build}/tests/classify_tests
[[ -x $tests ]] || die "$tests is missing: run make test first"
zip_file=$(ls -t build-windows/classify-*-win64.zip 2>/dev/null | head -n 1)
[[ -n $zip_file ]] || die "build-windows has no zip: run make windows first"
install_apt_packages wine64 unzip
wine=/usr/lib/wine/wine64
export WINEPREFIX=$PWD/build-windows/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
# Wine reads file names and arguments in the locale's encoding: UTF-8, so
# that a name in any script reaches the programs whole.
export LC_ALL=C.UTF-8
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
# What ships: the zip, unpacked into a folder of its own, as a user has it.
stage "unpack $(basename "$zip_file")"
shipped=$PWD/build-windows/unpacked
rm -rf "$shipped"
mkdir -p "$shipped"
run unzip -q "$zip_file" -d "$shipped"
exe=$shipped/classify.exe
stage "tests under Wine"
status=0
CLASSIFY_TEST_EXE=$exe CLASSIFY_TEST_RUNNER=$wine CLASSIFY_TEST_EOL=crlf \
  CLASSIFY_WINDOWS_DIR=$shipped run "$tests" --gtest_brief=1 \
  --gtest_filter='Classify.*:SetupFailures.*:ModelCheck.FuzzerFindingsStayFixed:Pretrained*.*:WindowsPhotos.*' ||
  status=$?
end_stage
grep -E '^\[  (PASSED|FAILED|SKIPPED) |tests? ran' "$log_file" | sed "s/^/[$tool_name] /" >&2 || true
if ((status != 0)); then
  grep -B2 -A12 'Failure' "$log_file" | head -n 80 >&2
  die "tests failed under Wine; full log: $log_file"
fi
