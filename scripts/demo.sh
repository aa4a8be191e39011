#!/usr/bin/env bash
# The demo: prepares the sample photograph, places the pretrained model under
# the name classify expects, classifies, and shows the GBK result line and
# the class name readably on a UTF-8 terminal.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

build_dir=${BUILD_DIR:-build}
shared=${CLASSIFY_SHARED_DIR:-../shared}
labels=$shared/models/imagenet_labels.txt

demo=demo
status=0
[[ -f $labels ]] || status=3
((status != 0)) || scripts/workdir.sh "$demo" || status=$?
if ((status == 3)); then
  cat >&2 <<TXT
demo: the sample data is missing under $shared.
The demo needs a MobileNetV3-Small float model with an input tensor "input" [1,224,224,3]
and an output "MobilenetV3/Predictions/Softmax" [1,1001], the ImageNet labels and a photograph.
The TF-Slim MobileNet model zoo publishes such a model in
  https://storage.googleapis.com/mobilenet_v3/checkpoints/v3-small_224_0.75_float.tgz
(the archive holds v3-small_224_0.75_float.tflite). Point CLASSIFY_SHARED_DIR at a folder with
models/mobilenet_v3_small_224_1.0_float.tflite, models/imagenet_labels.txt and
images/grace_hopper.bmp, or see the README for running classify on your own files.
TXT
  exit 1
elif ((status != 0)); then
  echo "demo: preparing $demo/ failed" >&2
  exit 1
fi

echo "classify in $demo/ on grace_hopper.bmp:"
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
