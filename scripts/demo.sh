#!/usr/bin/env bash
# The demo: places the pretrained model the repository ships under the name
# classify expects, prepares the sample photograph (../shared), classifies,
# and shows the GBK result line and the class name readably on a UTF-8
# terminal. Without the sample photograph it classifies ImageMagick's
# built-in picture instead (a cartoon wizard), and says so (installing
# ImageMagick then, where it is missing: install-deps.sh picture).
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

build_dir=${BUILD_DIR:-build}
shared=${CLASSIFY_SHARED_DIR:-../shared}
labels=models/imagenet_labels.txt

demo=demo
picture=grace_hopper.bmp
status=0
scripts/workdir.sh "$demo" || status=$?
if ((status == 3)); then
  echo "demo: no sample photograph under $shared; classifying ImageMagick's built-in picture instead" >&2
  picture="ImageMagick's logo: picture"
  status=0
  scripts/install-deps.sh picture
  mkdir -p "$demo"
  ln -sfn "$PWD/models/mobilenet_v3_small_224_1.0_float.tflite" "$demo/v3-small_224_0.75_float.tflite"
  convert logo: "$demo/logo.png" && "$build_dir/prepare-input" "$demo/logo.png" "$demo/input.bin" ||
    status=$?
fi
if ((status != 0)); then
  echo "demo: preparing $demo/ failed" >&2
  exit 1
fi

echo "classify in $demo/ on $picture:"
started=$(date +%s%N)
status=0
(cd "$demo" && "../$build_dir/classify") >"$demo/result.txt" || status=$?
elapsed_ms=$((($(date +%s%N) - started) / 1000000))
if ((status != 0)); then
  echo "demo: classify failed with exit status $status" >&2
  exit "$status"
fi

line=$(iconv -f GBK -t UTF-8 <"$demo/result.txt")
index=$(sed -n 's/^[^0-9-]*\(-\?[0-9]\+\).*/\1/p' <<<"$line")
echo "  result line (GBK shown as UTF-8): $line"
if [[ $index =~ ^[0-9]+$ ]]; then
  echo "  class $index: $(sed -n "$((index + 1))p" "$labels")"
fi
echo "  whole run: ${elapsed_ms} ms"
