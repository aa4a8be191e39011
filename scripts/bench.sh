#!/usr/bin/env bash
# make bench: speed as ratios to baselines measured in the same run.
#  stages       in process (Google Benchmark): load_input, set-up, one
#               invocation and the report, each beside a bare C-API client
#  overhead     whole classify run against the bare C-API client on the same
#               library (classify's own overhead)
#  library      whole run against the same program on TensorFlow Lite built as
#               Debian builds it (baseline x86-64, shared)
#  invocations  the cold first and a warm invocation (bare client), this
#               library build against the baseline build
#  floor        the whole run against its floor: a process that does nothing
#               plus one warm invocation of the same library
#  photo        prepare-input on a 12-megapixel JPEG against ImageMagick's
#               resize of the same photograph, with peak memory
#  decode       prepare-input on a 1200x800 JPEG against djpeg decoding the
#               same file at 1/4 of its size
#  startup      prepare-input on a 16x16 PNG against a process that does nothing
#  chain        photograph -> input.bin -> result line
#  levels       (only when asked for) classify and the bare client's cold and
#               warm invocations on TensorFlow Lite built for each
#               instruction-set level: portable, x86-64-v3, x86-64-v4, native
#               (each provisioned on first use, about 5 minutes)
#  batch        classify-photos on 24 photographs of 1200x800 against the
#               previous release's (GNU parallel over the two programs); on
#               240 of them and on 12 of 12 megapixels, --jobs 1 against the
#               two programs in a shell loop and --jobs 2 against --jobs 1
#               (photographs a second, peak memory); and a photograph at
#               --jobs 1 against its floor: djpeg decoding it at the same
#               scale, less a process start, plus one warm invocation
#  cpu          (only when asked for, after make package) the ways to run on
#               every x86-64 CPU: classify as packaged (TensorFlow Lite for
#               x86-64-v3, static, with the CPU checked at its entry) against
#               the same program started by a launcher, and the build for any
#               x86-64 CPU linked statically against the same linked as a
#               shared library (as glibc's hwcaps folders would need)
#  kernels      warm invocation of each model of ../shared/models/zoo and the
#               default, XNNPACK against the builtin kernels (in one process,
#               one thread, medians)
#  models       a photograph of classify-photos --jobs 1 (240 of 1200x800) with
#               the quantized (uint8) MobileNet v2 of ../shared/models/zoo and
#               with the float default, each on XNNPACK (the default) against
#               --kernels builtin, and the quantized one against the float
#               default; and peak memory at --jobs 1 against --jobs 2
#  windows      (only when asked for, after make windows) the steady invocation
#               of the default model under Wine (median of 40 in one process,
#               bench/steady_invoke.cpp), classify.exe's TensorFlow Lite for
#               x86-64-v3 against the plain x86-64 one, alternating
#  html         classify-photos --html (the contact sheet) on 240 photographs
#               of 1200x800 against the same batch without it
#  truth        classify-photos --truth FILE on 1,000 photographs of 1200x800
#               against the same batch without it
#  keep         classify-photos on 1,000 photographs of 1200x800 with --cache
#               into an empty file, a rerun over the filled cache, --xmp, and
#               --xmp over sidecars that darktable has filled with an edit's
#               history, against the same batch with none of them
#  xmp          exiv2 against exempi on what --xmp does to a sidecar (none, a
#               darktable one, one of an earlier run): a whole process with
#               one merge, and the median merge of 200 in one process
#  remote       classify-photos --sshlogin over a private sshd on 127.0.0.1,
#               120 photographs of 1200x800, against its floor: one tar | ssh
#               copy of the same files plus the local classify-photos run;
#               and the ssh connections and sessions a chunk costs
# Needs the sample photograph under ../shared (or CLASSIFY_SHARED_DIR). The
# baseline library is provisioned on first use.
#   BENCH_RUNS (default 30) whole-process runs per command
#   BENCH_SECTIONS (default all of the above) the sections to run
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

runs=${BENCH_RUNS:-30}
sections=" ${BENCH_SECTIONS:-stages overhead library invocations floor photo decode startup chain batch kernels models html truth keep xmp remote} "
wants() { [[ $sections == *" $1 "* ]]; }

scripts/build.sh --bench
if wants library || wants invocations || wants cpu; then
  echo "bench: building the baseline (TensorFlow Lite as Debian builds it: portable x86-64, shared)" >&2
  CLASSIFY_TFLITE_ARCH=portable CLASSIFY_TFLITE_LINK=shared scripts/configure.sh build-baseline \
    -DCLASSIFY_BUILD_TESTS=OFF
  cmake --build build-baseline -j "$(nproc)" --target classify bare_client >build-baseline/build.log
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
BUILD_DIR=build scripts/workdir.sh "$work"
here=$PWD
pb() { build/bench/process_bench --runs "$runs" --dir "$work" "$@"; }
# Fewer runs, for commands that take seconds.
pb_long() { build/bench/process_bench --runs "$(((runs + 4) / 5))" --warmup 1 --dir "$work" "$@"; }

shared=${CLASSIFY_SHARED_DIR:-../shared}
if wants photo || wants decode || wants startup || wants chain; then
  # A 12-megapixel phone-sized JPEG with the grain of a real photograph (a
  # smooth upscale would compress, and so decode, unrealistically fast), and
  # a tiny PNG.
  convert "$shared/images/grace_hopper.bmp" -resize '4032x3024!' -seed 1 -attenuate 0.6 \
    +noise Gaussian -quality 92 "$work/photo12.jpg"
  convert "$shared/images/grace_hopper.bmp" -resize '16x16!' "$work/small16.png"
  convert "$shared/images/grace_hopper.bmp" -resize '1200x800!' -seed 2 -attenuate 0.3 \
    +noise Gaussian -quality 90 "$work/photo1200.jpg"
  printf '%s\n' "\"$here/build/prepare-input\" photo12.jpg input.bin" \
    "exec \"$here/build/classify\"" >"$work/chain.sh"
fi

if wants batch || wants remote || wants html || wants models || wants truth || wants keep; then
  # 24 photographs of 1200x800, each a different crop with its own grain, and
  # the same 24 ten times over (240); a 12-megapixel one twelve times over.
  mkdir -p "$work/batch"
  for i in $(seq -w 1 24); do
    convert "$shared/images/grace_hopper.bmp" -crop "$((400 + 10#$i * 4))x$((480 + 10#$i * 4))+$((10#$i * 3))+$((10#$i * 2))" \
      -resize '1200x800!' -seed "$i" -attenuate 0.3 +noise Gaussian -quality 90 "$work/batch/p$i.jpg"
  done
  ln -sfn "$here/models/mobilenet_v3_small_224_1.0_float.tflite" \
    "$work/batch/v3-small_224_0.75_float.tflite"
  for i in $(seq 0 9); do
    for p in "$work"/batch/p*.jpg; do ln -s "$p" "$work/batch/x${i}_${p##*/}"; done
  done
  convert "$shared/images/grace_hopper.bmp" -resize '4032x3024!' -seed 1 -attenuate 0.6 \
    +noise Gaussian -quality 92 "$work/batch/twelve.jpg"
  for i in $(seq -w 1 12); do ln -s twelve.jpg "$work/batch/m$i.jpg"; done
  for set in p x m; do
    printf '%s\n' 'cd batch' "for p in $set*.jpg; do \"$here/build/prepare-input\" \"\$p\" input.bin && \"$here/build/classify\"; done" >"$work/loop_$set.sh"
    for n in 1 2; do
      printf '%s\n' 'cd batch' "exec \"$here/build/classify-photos\" --jobs $n $set*.jpg" >"$work/jobs${n}_$set.sh"
    done
  done
  printf '%s\n' 'cd batch' "exec \"$here/build/bench/classify-photos-parallel\" p*.jpg" >"$work/previous_p.sh"
  printf '%s\n' 'cd batch' "exec \"$here/build/classify-photos\" p*.jpg" >"$work/now_p.sh"
fi

if wants stages; then
  echo
  echo "== stages in process, against a bare C-API client on the same library"
  build/bench/classify_bench --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
fi

if wants overhead; then
  echo
  echo "== whole run against the bare C-API client on the same library"
  pb "bare_client=$here/build/bench/bare_client" "classify=$here/build/classify"
fi

if wants library; then
  echo
  echo "== whole run against classify on the baseline library build"
  pb "classify_baseline_build=$here/build-baseline/classify" "classify=$here/build/classify"
fi

if wants invocations; then
  echo
  echo "== cold first and warm invocations (bare client) against the baseline library build"
  pb "baseline_build=$here/build-baseline/bench/bare_client BARE_CLIENT_TIMING:=1" \
    "this_build=$here/build/bench/bare_client BARE_CLIENT_TIMING:=1"
fi

if wants floor; then
  echo
  echo "== whole run against its floor (start-up of a process that does nothing + one warm invocation)"
  pb --floor "hello,bare_client:warm_invoke_us,classify" "hello=$here/build/bench/hello" \
    "bare_client=$here/build/bench/bare_client BARE_CLIENT_TIMING:=1" \
    "classify=$here/build/classify"
fi

if wants photo; then
  echo
  echo "== prepare-input on a 4032x3024 JPEG against ImageMagick's convert -resize '224x224!'"
  pb "imagemagick=/usr/bin/convert photo12.jpg -resize 224x224! rgb:im.bin" \
    "prepare_input=$here/build/prepare-input photo12.jpg input.bin"
fi

if wants decode; then
  echo
  echo "== prepare-input on a 1200x800 JPEG against djpeg -scale 1/4 of the same file"
  pb "djpeg=/usr/bin/djpeg -scale 1/4 -outfile /dev/null photo1200.jpg" \
    "prepare_input=$here/build/prepare-input photo1200.jpg input1200.bin"
fi

if wants startup; then
  echo
  echo "== prepare-input on a 16x16 PNG against a process that does nothing"
  pb "hello=$here/build/bench/hello" "prepare_input=$here/build/prepare-input small16.png small.bin"
fi

if wants chain; then
  echo
  echo "== the whole chain: 12-megapixel JPEG -> input.bin -> result line"
  pb "classify_alone=$here/build/classify" "photo_to_result=/bin/sh chain.sh"
fi

if wants cpu; then
  [[ -x build-portable/classify ]] || {
    echo "bench: no build-portable/classify: run make package first" >&2
    exit 1
  }
  echo
  echo "== classify on every CPU: the check at its entry, a launcher, a shared library"
  pb "classify_v3_entry_check=$here/build/classify" \
    "launcher_then_v3=$here/build/bench/exec_launcher $here/build/classify" \
    "portable_static=$here/build-portable/classify" \
    "portable_shared=$here/build-baseline/classify"
fi

if wants levels; then
  level_commands=()
  client_commands=()
  for level in portable x86-64-v3 x86-64-v4 native; do
    echo "bench: building classify on TensorFlow Lite for $level" >&2
    CLASSIFY_TFLITE_ARCH=$level scripts/configure.sh "build-level-$level" -DCLASSIFY_BUILD_TESTS=OFF
    cmake --build "build-level-$level" -j "$(nproc)" --target classify bare_client \
      >"build-level-$level/build.log"
    level_commands+=("classify_$level=$here/build-level-$level/classify")
    client_commands+=("client_$level=$here/build-level-$level/bench/bare_client BARE_CLIENT_TIMING:=1")
  done
  echo
  echo "== whole run of classify on each instruction-set level of TensorFlow Lite"
  pb "${level_commands[@]}"
  echo
  echo "== cold first and warm invocations (bare client) on each level"
  pb "${client_commands[@]}"
fi

if wants batch; then
  echo
  echo "== 24 photographs of 1200x800: classify-photos against the previous release's (GNU parallel, two processes a photograph)"
  pb_long --items 24 "previous_release=/bin/sh previous_p.sh" "this_release=/bin/sh now_p.sh"
  for set in x m; do
    count=$([[ $set == x ]] && echo 240 || echo 12)
    what=$([[ $set == x ]] && echo "240 photographs of 1200x800" || echo "12 photographs of 12 megapixels")
    echo
    echo "== $what: classify-photos --jobs 1 against prepare-input then classify in a shell loop"
    pb_long --items "$count" "shell_loop=/bin/sh loop_$set.sh" "jobs_1=/bin/sh jobs1_$set.sh"
    echo
    echo "== $what: classify-photos --jobs 2 against --jobs 1 (peak RSS: the whole process)"
    pb_long --items "$count" "jobs_1=/bin/sh jobs1_$set.sh" "jobs_2=/bin/sh jobs2_$set.sh"
  done
  # The floor of a photograph: decoding it to the size the pipeline decodes
  # it at (1200x800 to 224 takes DCT scaling 1/2), less the start of a process
  # that does nothing, plus one warm invocation.
  echo
  echo "== 240 photographs of 1200x800: a photograph of classify-photos --jobs 1 against its floor"
  build/bench/process_bench --runs 10 --warmup 1 --dir "$work" \
    --batch-floor "jobs_1:240,djpeg,hello,bare_client:warm_invoke_us" \
    "hello=$here/build/bench/hello" "djpeg=/usr/bin/djpeg -scale 1/2 -outfile /dev/null batch/p01.jpg" \
    "bare_client=$here/build/bench/bare_client BARE_CLIENT_TIMING:=1" "jobs_1=/bin/sh jobs1_x.sh"
fi

if wants kernels; then
  echo
  echo "== warm invocation, XNNPACK against the builtin kernels (one thread, in one process)"
  convert "$shared/images/grace_hopper.bmp" -quality 95 "$work/hopper.jpg"
  build/bench/kernels_bench "$work/hopper.jpg" models/mobilenet_v3_small_224_1.0_float.tflite \
    "$shared"/models/zoo/*.tflite
fi

if wants models; then
  quantized=$(realpath "$shared/models/zoo/tf2_mobilenet_v2_1.0_224_ptq.tflite")
  for kernels in xnnpack builtin; do
    for jobs in 1 2; do
      printf '%s\n' 'cd batch' "exec \"$here/build/classify-photos\" --kernels $kernels --jobs $jobs x*.jpg >/dev/null" \
        >"$work/default_${kernels}_$jobs.sh"
      printf '%s\n' 'cd batch' "exec \"$here/build/classify-photos\" --kernels $kernels --jobs $jobs --model \"$quantized\" x*.jpg >/dev/null" \
        >"$work/quantized_${kernels}_$jobs.sh"
    done
  done
  echo
  echo "== 240 photographs of 1200x800, --jobs 1: the quantized (uint8) MobileNet v2 and the float default, each on XNNPACK and the builtin kernels"
  pb_long --items 240 "float_builtin=/bin/sh default_builtin_1.sh" "float_xnnpack=/bin/sh default_xnnpack_1.sh" \
    "uint8_mobilenet_v2_builtin=/bin/sh quantized_builtin_1.sh" "uint8_mobilenet_v2_xnnpack=/bin/sh quantized_xnnpack_1.sh"
  echo
  echo "== the same on XNNPACK: --jobs 2 against --jobs 1 (peak memory: one copy of the packed weights is shared)"
  pb_long --items 240 "uint8_mobilenet_v2_jobs_1=/bin/sh quantized_xnnpack_1.sh" \
    "uint8_mobilenet_v2_jobs_2=/bin/sh quantized_xnnpack_2.sh"
fi

if wants windows; then
  echo
  echo "== under Wine: steady invocation of the default model, x86-64-v3 against plain x86-64 (median of 40, 5 alternating runs)"
  for dir in build-windows build-windows-v3; do
    cmake --build "$dir" --target steady_invoke -j "$(nproc)" >/dev/null
  done
  export WINEPREFIX=$here/build-windows/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  model="Z:$(realpath models/mobilenet_v3_small_224_1.0_float.tflite | tr / '\\')"
  for run in 1 2 3 4 5; do
    for dir in build-windows build-windows-v3; do
      /usr/lib/wine/wine64 "$dir/steady_invoke.exe" "$model" 40 | awk '{ print $2 }' >>"$work/$dir.us"
    done
  done
  median() { sort -n "$1" | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
  plain=$(median "$work/build-windows.us")
  v3=$(median "$work/build-windows-v3.us")
  echo "  plain x86-64 $plain us, x86-64-v3 $v3 us (medians of the 5 runs): x86-64-v3 x$(awk -v a="$plain" -v b="$v3" 'BEGIN { printf "%.2f", a / b }') as fast"
fi

if wants html; then
  printf '%s\n' 'cd batch' "exec \"$here/build/classify-photos\" x*.jpg >/dev/null" >"$work/plain_x.sh"
  printf '%s\n' 'cd batch' "exec \"$here/build/classify-photos\" --html ../sheet.html x*.jpg >/dev/null" \
    >"$work/html_x.sh"
  echo
  echo "== 240 photographs of 1200x800: classify-photos --html (the contact sheet) against the same batch without it"
  pb_long --items 240 "without_html=/bin/sh plain_x.sh" "with_html=/bin/sh html_x.sh"
fi

if wants truth || wants keep; then
  # 1,000 photographs (the 24, linked 42 times over, less 8) in four class
  # folders, with a truth file naming each one's class.
  mkdir -p "$work/truth"
  : >"$work/truth/truth.csv"
  for n in $(seq 0 999); do
    class=$(((n % 4) * 200 + 7))
    mkdir -p "$work/truth/$class"
    ln -sf "$work/batch/p$(printf '%02d' $((n % 24 + 1))).jpg" "$work/truth/$class/t$n.jpg"
    echo "$class/t$n.jpg,$class" >>"$work/truth/truth.csv"
  done
  ln -sfn "$here/models/mobilenet_v3_small_224_1.0_float.tflite" \
    "$work/truth/v3-small_224_0.75_float.tflite"
  printf '%s\n' 'cd truth' "exec \"$here/build/classify-photos\" 7 207 407 607 >/dev/null" >"$work/plain_t.sh"
fi

if wants truth; then
  printf '%s\n' 'cd truth' \
    "exec \"$here/build/classify-photos\" --truth truth.csv 7 207 407 607 >/dev/null 2>&1" \
    >"$work/truth_t.sh"
  echo
  echo "== 1,000 photographs of 1200x800: classify-photos --truth FILE against the same batch without it"
  pb_long --items 1000 "without_truth=/bin/sh plain_t.sh" "with_truth=/bin/sh truth_t.sh"
fi

if wants keep; then
  # The first run with --cache starts from no file each time; the rerun
  # finds every photograph in a cache filled once beforehand. with_xmp
  # writes 1,000 new sidecars (those of the run before are removed first, in
  # the measured command), xmp_rerun finds its keywords in them already, and
  # xmp_darktable tags 1,000 sidecars of 13 kB as darktable leaves them after
  # an edit of 24 steps (photo.xmp, --xmp-name basename; unpacked afresh
  # from a tar file in the measured command).
  photos_here="exec \"$here/build/classify-photos\""
  printf '%s\n' 'cd truth' 'rm -f first.db first.db-wal first.db-shm' \
    "$photos_here --cache first.db 7 207 407 607 >/dev/null 2>&1" >"$work/first_cache_t.sh"
  printf '%s\n' 'cd truth' "$photos_here --cache kept.db 7 207 407 607 >/dev/null 2>&1" \
    >"$work/rerun_cache_t.sh"
  printf '%s\n' 'cd truth' "find . -name '*.jpg.xmp' -delete" \
    "$photos_here --xmp 7 207 407 607 >/dev/null" >"$work/xmp_t.sh"
  printf '%s\n' 'cd truth' "$photos_here --xmp 7 207 407 607 >/dev/null" >"$work/xmp_rerun_t.sh"
  build/bench/xmp_merge_exiv2 darktable --source >"$work/darktable.xmp"
  (cd "$work/truth" && for photo in */t*.jpg; do cp ../darktable.xmp "${photo%.jpg}.xmp"; done &&
    find . -name 't*.xmp' ! -name '*.jpg.xmp' -print0 | tar -cf ../darktable-sidecars.tar --null -T -)
  printf '%s\n' 'cd truth' 'tar -xf ../darktable-sidecars.tar' \
    "$photos_here --xmp --xmp-name basename 7 207 407 607 >/dev/null" >"$work/xmp_darktable_t.sh"
  (cd "$work" && /bin/sh rerun_cache_t.sh && /bin/sh xmp_rerun_t.sh)
  echo
  echo "== 1,000 photographs of 1200x800: classify-photos with --cache (an empty file, then a rerun), --xmp (new sidecars, a rerun, darktable's sidecars) against the same batch without them"
  pb_long --items 1000 "plain=/bin/sh plain_t.sh" "first_cache=/bin/sh first_cache_t.sh" \
    "rerun_cache=/bin/sh rerun_cache_t.sh" "with_xmp=/bin/sh xmp_t.sh" \
    "xmp_rerun=/bin/sh xmp_rerun_t.sh" "xmp_darktable=/bin/sh xmp_darktable_t.sh"
fi

if wants xmp; then
  echo
  echo "== exiv2 against exempi: a process that merges our keywords into a sidecar once, and the median of 200 merges in one process"
  for kind in none darktable earlier; do
    echo "-- sidecar: $kind"
    pb "hello=$here/build/bench/hello" "exiv2=$here/build/bench/xmp_merge_exiv2 $kind 1" \
      "exempi=$here/build/bench/xmp_merge_exempi $kind 1"
    for library in exiv2 exempi; do
      echo "  $library, 200 merges in one process: $(build/bench/xmp_merge_$library "$kind" 200 2>&1)"
    done
  done
fi

if wants remote; then
  # A private sshd on 127.0.0.1 with keys of its own; 120 photographs of
  # 1200x800, each a file of its own (five copies of the 24).
  remote=$work/remote
  mkdir -p "$remote/sshd" "$remote/photos" "$remote/far"
  for i in 1 2 3 4 5; do
    for p in "$work"/batch/p*.jpg; do cp "$p" "$remote/photos/c${i}_${p##*/}"; done
  done
  ssh-keygen -q -t ed25519 -N '' -f "$remote/sshd/host_key"
  ssh-keygen -q -t ed25519 -N '' -f "$remote/sshd/user_key"
  cp "$remote/sshd/user_key.pub" "$remote/sshd/authorized_keys"
  port=$((20000 + RANDOM % 30000))
  printf '%s\n' "Port $port" "ListenAddress 127.0.0.1" "HostKey $remote/sshd/host_key" \
    "AuthorizedKeysFile $remote/sshd/authorized_keys" "PidFile $remote/sshd/sshd.pid" \
    "PasswordAuthentication no" "KbdInteractiveAuthentication no" "StrictModes no" "UsePAM no" \
    "PermitRootLogin prohibit-password" "LogLevel VERBOSE" >"$remote/sshd/config"
  [[ $(id -u) != 0 ]] || mkdir -p /run/sshd
  /usr/sbin/sshd -f "$remote/sshd/config" -E "$remote/sshd/log"
  trap 'kill "$(cat "$remote/sshd/sshd.pid" 2>/dev/null)" 2>/dev/null; rm -rf "$work"' EXIT
  login="ssh -p $port -i $remote/sshd/user_key -o BatchMode=yes -o StrictHostKeyChecking=no -o UserKnownHostsFile=$remote/sshd/known_hosts $(id -un)@127.0.0.1"
  sleep 0.5
  printf '%s\n' 'cd remote' "tar -cf - photos | $login 'rm -rf $remote/far/copy && mkdir $remote/far/copy && tar -xf - -C $remote/far/copy'" \
    "exec \"$here/build/classify-photos\" photos >/dev/null" >"$work/remote_floor.sh"
  printf '%s\n' 'cd remote' "exec \"$here/build/classify-photos\" --sshlogin \"$login\" photos >/dev/null" \
    >"$work/remote_ssh.sh"
  echo
  echo "== 120 photographs of 1200x800 over a private sshd on 127.0.0.1: --sshlogin against one tar | ssh copy plus the local run"
  pb_long --items 120 "copy_and_local=/bin/sh remote_floor.sh" "sshlogin=/bin/sh remote_ssh.sh"
  : >"$remote/sshd/log"
  (cd "$remote" && "$here/build/classify-photos" --sshlogin "$login" --joblog jobs.log photos >/dev/null)
  sleep 0.2
  echo "ssh per batch: $(($(wc -l <"$remote/jobs.log") - 1)) chunks, $(grep -c 'Accepted publickey' "$remote/sshd/log") connection(s), $(grep -c 'Starting session: command' "$remote/sshd/log") session(s)"
fi

echo
echo "== library: $(grep -m1 -o 'CMAKE_PREFIX_PATH:UNINITIALIZED=[^;]*' build/CMakeCache.txt | cut -d= -f2)"
