#!/usr/bin/env bash
# Installs what is missing, provisions TensorFlow Lite, then configures and
# builds classify, its tools and its tests into build/ (or $BUILD_DIR).
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

build_dir=${BUILD_DIR:-build}
scripts/install-deps.sh
scripts/configure.sh "$build_dir"
cmake --build "$build_dir" -j "$(nproc)"
