#!/usr/bin/env bash
# Configures a build folder against the provisioned TensorFlow Lite; extra
# arguments go to cmake. Usage: configure.sh BUILD_DIR [cmake args...]
# Reconfigures only when the folder is new or the library prefix changed.
# CMake's output goes to BUILD_DIR/configure.log (VERBOSE=1 shows it).
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
tool_name=configure
# shellcheck source=lib/provision.sh
source scripts/lib/provision.sh

build_dir=$1
shift
prefix_path=$(scripts/provision-tflite.sh | tail -n 1)
cache=$build_dir/CMakeCache.txt
if [[ ! -f $cache ]] || ! grep -qxF "CMAKE_PREFIX_PATH:UNINITIALIZED=$prefix_path" "$cache"; then
  mkdir -p "$build_dir"
  start_log "$build_dir/configure.log"
  # Packages found under another prefix stay in the cache: start afresh.
  rm -f "$cache"
  stage "configure $build_dir"
  run cmake -S . -B "$build_dir" -DCMAKE_PREFIX_PATH="$prefix_path" "$@"
  end_stage
fi
