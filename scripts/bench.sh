#!/usr/bin/env bash
# make bench: classify's speed as ratios to baselines measured in the same run.
#  1. In process (Google Benchmark): load_input, set-up, one invocation and the
#     report, each beside a bare C-API client doing the same.
#  2. Whole process on the demo: classify against the bare C-API client on the
#     same library (classify's own overhead).
#  3. Whole process: classify against the same program on TensorFlow Lite
#     built as Debian builds it (baseline x86-64, shared).
#  4. The cold first invocation and a warm one, in fresh processes of the bare
#     client, on this build's library against the baseline build's.
# Needs the pretrained model and photograph under ../shared (or
# CLASSIFY_SHARED_DIR). The baseline library is provisioned on first use.
#   BENCH_RUNS (default 30) whole-process runs per command
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

runs=${BENCH_RUNS:-30}
scripts/build.sh
echo "bench: building the baseline (TensorFlow Lite as Debian builds it: portable x86-64, shared)" >&2
CLASSIFY_TFLITE_ARCH=portable CLASSIFY_TFLITE_LINK=shared scripts/configure.sh build-baseline \
  -DCLASSIFY_BUILD_TESTS=OFF
cmake --build build-baseline -j "$(nproc)" --target classify bare_client

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
BUILD_DIR=build scripts/workdir.sh "$work"
here=$PWD
pb() { build/bench/process_bench --runs "$runs" --dir "$work" "$@"; }

echo
echo "== 1. stages in process, against a bare C-API client on the same library"
build/bench/classify_bench --benchmark_repetitions=5 --benchmark_report_aggregates_only=true

echo
echo "== 2. whole run against the bare C-API client on the same library"
pb "bare_client=$here/build/bench/bare_client" "classify=$here/build/classify"

echo
echo "== 3. whole run against classify on the baseline library build"
pb "classify_baseline_build=$here/build-baseline/classify" "classify=$here/build/classify"

echo
echo "== 4. cold first and warm invocations (bare client) against the baseline library build"
pb "baseline_build=$here/build-baseline/bench/bare_client BARE_CLIENT_TIMING:=1" \
  "this_build=$here/build/bench/bare_client BARE_CLIENT_TIMING:=1"

echo
echo "== library: $(grep -m1 -o 'CMAKE_PREFIX_PATH:UNINITIALIZED=[^;]*' build/CMakeCache.txt | cut -d= -f2)"
