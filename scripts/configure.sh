#!/usr/bin/env bash
# Configures a build folder against the provisioned TensorFlow Lite; extra
# arguments go to cmake. Usage: configure.sh BUILD_DIR [cmake args...]
# With CLASSIFY_TFLITE_PART=library, against the library alone, before its
# XNNPACK delegate is there (provision-tflite.sh --library: make run's first
# programs). Reconfigures only when the folder is new, the library prefix
# changed (from scratch then), or the arguments or the delegate's presence
# changed since the last time (BUILD_DIR/configured-with records them).
# CMake's output goes to BUILD_DIR/configure.log (VERBOSE=1 shows it).
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
tool_name=configure
# shellcheck source=lib/provision.sh
source scripts/lib/provision.sh

build_dir=$1
shift
part=()
[[ ${CLASSIFY_TFLITE_PART:-all} == library ]] && part=(--library)
prefix_path=$(scripts/provision-tflite.sh "${part[@]}" | tail -n 1)
cache=$build_dir/CMakeCache.txt
record=$build_dir/configured-with
delegate=no
[[ -f ${prefix_path%%;*}/lib/cmake/tflite-xnnpack-delegate/tflite-xnnpack-delegateConfig.cmake ]] &&
  delegate=yes
wanted=$(printf 'prefix %s\ndelegate %s\n' "$prefix_path" "$delegate" && printf 'argument %s\n' "$@")
if [[ ! -f $cache ]] || ! grep -qxF "CMAKE_PREFIX_PATH:UNINITIALIZED=$prefix_path" "$cache" ||
  [[ ! -f $record || $(cat "$record") != "$wanted" ]]; then
  mkdir -p "$build_dir"
  start_log "$build_dir/configure.log"
  # Packages found under another prefix stay in the cache: start afresh.
  grep -qxF "CMAKE_PREFIX_PATH:UNINITIALIZED=$prefix_path" "$cache" 2>/dev/null || rm -f "$cache"
  stage "configure $build_dir"
  rm -f "$record"
  run cmake -S . -B "$build_dir" -DCMAKE_PREFIX_PATH="$prefix_path" "$@"
  printf '%s\n' "$wanted" >"$record"
  end_stage
fi
