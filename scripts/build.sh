#!/usr/bin/env bash
# Installs what is missing, provisions TensorFlow Lite, then configures and
# builds classify, its tools and its tests into build/ (or $BUILD_DIR): a line
# per stage and the compiler's progress, with its output in
# BUILD_DIR/build.log (VERBOSE=1 shows it as it runs). With arguments, only
# those targets (make run builds the three programs alone).
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
tool_name=build
# shellcheck source=lib/provision.sh
source scripts/lib/provision.sh

build_dir=${BUILD_DIR:-build}
scripts/install-deps.sh test
scripts/configure.sh "$build_dir"
start_log "$build_dir/build.log"
targets=()
(($# == 0)) || targets=(--target "$@")
stage "compile $build_dir${*:+ ($*)}"
build_with_progress "$build_dir" "${targets[@]}" -j "$jobs"
end_stage
