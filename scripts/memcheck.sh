#!/usr/bin/env bash
# One full run of classify on the pretrained model and the sample photograph
# under valgrind's memcheck: no memory error, and no leak beyond what the
# program keeps on purpose until exit (tests/sanitizer/valgrind.supp); then
# classify-photos on XNNPACK the same way, and with --cache, --xmp and --sort-into.
# Before it, the model check's sweep over every operator: valgrind sees the
# library's own reads and writes past a tensor, which AddressSanitizer cannot
# (the library is not built with it), so every model the check lets through
# must also run without a memory error here.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

build_dir=${BUILD_DIR:-build}
scripts/install-deps.sh checks
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

echo "memcheck: every operator through the model check (about 3 minutes)" >&2
# The first error ends the child process that runs the cases, so the test
# names the model that caused it.
if ! valgrind --quiet --error-exitcode=1 --exit-on-first-error=yes --undef-value-errors=no \
  "$build_dir/tests/classify_tests" --gtest_filter=ModelCheck.EveryOperatorWithAnyOperandsIsRunOrRefused \
  >"$work/sweep.log" 2>&1; then
  tail -n 60 "$work/sweep.log" >&2
  echo "memcheck: a model the check accepts makes the library misuse memory" >&2
  exit 1
fi
status=0
scripts/workdir.sh "$work" || status=$?
if ((status == 3)); then
  echo "memcheck: skipped: no sample data" >&2
  exit 0
elif ((status != 0)); then
  exit "$status"
fi
exe=$(realpath "$build_dir/classify")
(cd "$work" && valgrind --quiet --error-exitcode=1 --leak-check=full \
  --show-leak-kinds=definite,indirect,possible --errors-for-leak-kinds=definite,indirect,possible \
  --suppressions="$OLDPWD/tests/sanitizer/valgrind.supp" "$exe" >result.txt)
echo "memcheck: no errors; result: $(iconv -f GBK -t UTF-8 <"$work/result.txt")"

# classify-photos on XNNPACK, two workers sharing the packed weights: the
# float default with every check; and, where the model zoo is here, a
# quantized model without the checks of undefined values. XNNPACK's int8
# kernels read a few bytes past their input on purpose (within the padding
# its buffers carry) and multiply them by zero weights; memcheck counts the
# sums as undefined, and the builtin int8 softmax after the delegated part
# indexes its table with them. Reads and writes outside a block, and leaks,
# are still errors.
photos_exe=$(realpath "$build_dir/classify-photos")
shared=${CLASSIFY_SHARED_DIR:-../shared}
convert "$shared/images/grace_hopper.bmp" -resize 640x480 "$work/a.jpg"
convert "$shared/images/grace_hopper.bmp" -resize 300x300! "$work/b.png"
checks=(--quiet --error-exitcode=1 --leak-check=full --show-leak-kinds=definite,indirect
  --errors-for-leak-kinds=definite,indirect --suppressions="$PWD/tests/sanitizer/valgrind.supp")
photos_under_memcheck() {
  local model=$1
  shift
  (cd "$work" && valgrind "${checks[@]}" "$@" "$photos_exe" --model "$model" --describe >describe.txt &&
    valgrind "${checks[@]}" "$@" "$photos_exe" --model "$model" --jobs 2 a.jpg b.png >photos.txt)
  echo "memcheck: no errors in classify-photos on $(basename "$model") ($(grep '^kernels:' "$work/describe.txt")): $(tr '\t\n' ' ;' <"$work/photos.txt")"
}
default_model=$(realpath models/mobilenet_v3_small_224_1.0_float.tflite)
photos_under_memcheck "$default_model"
# What stays of a batch: the cache (a first run, then a rerun from it), the
# sidecars (exiv2, in its module) and the class folders.
(cd "$work" && for run in first rerun; do
  valgrind "${checks[@]}" "$photos_exe" --model "$default_model" --cache run.db --xmp \
    --sort-into sorted a.jpg b.png >keep.txt 2>keep.err || { cat keep.err >&2; exit 1; }
done)
echo "memcheck: no errors in classify-photos --cache --xmp --sort-into, a first run and a rerun ($(tail -n 1 "$work/keep.err" | sed 's/^classify-photos: //'))"
zoo=$shared/models/zoo/tf2_mobilenet_v2_1.0_224_ptq.tflite
[[ ! -f $zoo ]] || photos_under_memcheck "$(realpath "$zoo")" --undef-value-errors=no
