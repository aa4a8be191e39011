#!/usr/bin/env bash
# Installs what is missing, provisions TensorFlow Lite, then configures and
# builds into build/ (or $BUILD_DIR): a line per stage and the compiler's
# progress, with its output in BUILD_DIR/build.log (VERBOSE=1 shows it).
# Usage: build.sh [--programs [--first] | --bench] [TARGET...]
#   (none)      classify, its tools and its tests (make build, make test): the
#               build and test groups of install-deps.sh
#   --programs  the three programs, their modules and manual pages, without
#               the tests and benchmarks (make programs, make install, make
#               run): the build group alone
#   --first     with --programs, against TensorFlow Lite before its XNNPACK
#               delegate is there: for classify and prepare-input, which do
#               not link it (make run shows their result first)
#   --bench     the tests and the benchmarks too (make bench)
# Targets, where given, are built alone.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
tool_name=build
# shellcheck source=lib/provision.sh
source scripts/lib/provision.sh

build_dir=${BUILD_DIR:-build}
groups=(test)
options=(-DCLASSIFY_BUILD_TESTS=ON -DCLASSIFY_BUILD_BENCH=OFF)
first=0
while [[ ${1:-} == --* ]]; do
  case $1 in
    --programs)
      groups=(build)
      options=(-DCLASSIFY_BUILD_TESTS=OFF -DCLASSIFY_BUILD_BENCH=OFF)
      ;;
    --first) first=1 ;;
    --bench)
      groups=(bench)
      options=(-DCLASSIFY_BUILD_TESTS=ON -DCLASSIFY_BUILD_BENCH=ON)
      ;;
    *) die "unknown option $1" ;;
  esac
  shift
done
scripts/install-deps.sh "${groups[@]}"
part=all
((first)) && part=library
CLASSIFY_TFLITE_PART=$part scripts/configure.sh "$build_dir" "${options[@]}"
start_log "$build_dir/build.log"
targets=()
(($# == 0)) || targets=(--target "$@")
stage "compile $build_dir${*:+ ($*)}"
build_with_progress "$build_dir" "${targets[@]}" -j "$jobs"
end_stage
