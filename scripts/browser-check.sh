#!/usr/bin/env bash
# The contact sheet in a real browser (make check): installs Debian's
# Chromium where it is missing (about 80 MB, so not for every make test) and
# runs the test that takes a screenshot of a page with it.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
tool_name=browser-check
# shellcheck source=lib/provision.sh
source scripts/lib/provision.sh

build_dir=${BUILD_DIR:-build}
tests=$build_dir/tests/classify_tests
[[ -x $tests ]] || die "$tests is missing: run make test first"
install_apt_packages chromium
"$tests" --gtest_brief=1 \
  --gtest_filter='ContactSheet.ABrowserShowsTheThumbnails:Truth.TheContactSheetShowsWhatWasWrongAndWithWhat' >&2
say "headless Chromium showed the contact sheet's thumbnails, and with --truth its marks"
