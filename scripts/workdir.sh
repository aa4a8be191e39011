#!/usr/bin/env bash
# Prepares a working directory for classify: the pretrained model the
# repository ships, linked under the name classify expects, and input.bin
# prepared from the sample photograph beside the repository (../shared).
# Usage: workdir.sh DIR
# Exits 3, saying what is missing, when the sample photograph is not there.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

dir=$1
build_dir=${BUILD_DIR:-build}
shared=${CLASSIFY_SHARED_DIR:-../shared}
model=models/mobilenet_v3_small_224_1.0_float.tflite
photo=$shared/images/grace_hopper.bmp
for f in "$model" "$photo"; do
  if [[ ! -f $f ]]; then
    echo "$f is missing" >&2
    exit 3
  fi
done
mkdir -p "$dir"
ln -sfn "$(realpath "$model")" "$dir/v3-small_224_0.75_float.tflite"
"$build_dir/prepare-input" "$photo" "$dir/input.bin"
