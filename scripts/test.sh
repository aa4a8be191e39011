#!/usr/bin/env bash
# Runs the whole test suite of a built folder (BUILD_DIR, default build) and
# prints its summary; the full output is in BUILD_DIR/test.log. On failure,
# the failed tests are run again with their output shown.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

build_dir=${BUILD_DIR:-build}
log=$build_dir/test.log
status=0
if [[ ${VERBOSE:-0} != 0 ]]; then
  ctest --test-dir "$build_dir" --output-on-failure -j 2 2>&1 | tee "$log" || status=$?
else
  ctest --test-dir "$build_dir" --output-on-failure -j 2 >"$log" 2>&1 || status=$?
fi
grep -E '^[0-9]+% tests passed|^Total Test time' "$log" | sed 's/^/[test] /' >&2 || true
if ((status != 0)); then
  echo "[test] FAILED; the failed tests again, with their output:" >&2
  ctest --test-dir "$build_dir" --rerun-failed --output-on-failure >&2 || true
  echo "[test] full log: $log" >&2
  exit "$status"
fi
