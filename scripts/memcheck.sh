#!/usr/bin/env bash
# One full run of classify on the pretrained model and the sample photograph
# under valgrind's memcheck: no memory error, and no leak beyond what the
# program keeps on purpose until exit (tests/sanitizer/valgrind.supp).
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

build_dir=${BUILD_DIR:-build}
shared=${CLASSIFY_SHARED_DIR:-../shared}
model=$shared/models/mobilenet_v3_small_224_1.0_float.tflite
photo=$shared/images/grace_hopper.bmp
scripts/install-deps.sh checks
if [[ ! -f $model || ! -f $photo ]]; then
  echo "memcheck: skipped: the pretrained model or the photograph is not under $shared" >&2
  exit 0
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
ln -s "$(realpath "$model")" "$work/v3-small_224_0.75_float.tflite"
"$build_dir/prepare-input" "$photo" "$work/input.bin"
exe=$(realpath "$build_dir/classify")
(cd "$work" && valgrind --quiet --error-exitcode=1 --leak-check=full \
  --show-leak-kinds=definite,indirect,possible --errors-for-leak-kinds=definite,indirect,possible \
  --suppressions="$OLDPWD/tests/sanitizer/valgrind.supp" "$exe" >result.txt)
echo "memcheck: no errors; result: $(iconv -f GBK -t UTF-8 <"$work/result.txt")"
