#!/usr/bin/env bash
# Installs what is missing, provisions TensorFlow Lite, then configures and
# builds classify, its tools and its tests into build/ (or $BUILD_DIR).
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

build_dir=${BUILD_DIR:-build}
scripts/install-deps.sh
prefix_path=$(scripts/provision-tflite.sh | tail -n 1)

cache=$build_dir/CMakeCache.txt
if [[ ! -f $cache ]] || ! grep -qxF "CMAKE_PREFIX_PATH:UNINITIALIZED=$prefix_path" "$cache"; then
  cmake -S . -B "$build_dir" -DCMAKE_PREFIX_PATH="$prefix_path" ${CMAKE_ARGS:-}
fi
cmake --build "$build_dir" -j "$(nproc)"
