#!/usr/bin/env bash
# Provisions the TensorFlow Lite 2.14.1 C library for classify.
#
# Debian 12 packages no TFLite, and Debian unstable's binaries need a newer C
# library, so TFLite is built here from Debian unstable's *source* package and
# kept in a machine-wide cache prefix. The prefix is complete only when its
# stamp (which records the whole recipe) is present and matches; anything else
# is removed and built again, so an interrupted build never looks finished.
#
# Prints, on the last line of standard output, the CMake prefix path (a list
# separated by semicolons) under which tensorflow-lite and the packages it
# depends on are found. Progress goes to standard error, one line per stage;
# the full output goes to a log file in the cache folder (VERBOSE=1 shows it).
#
# Environment:
#   CLASSIFY_TFLITE_CACHE  cache folder (default ${XDG_CACHE_HOME:-$HOME/.cache}/classify)
#   CLASSIFY_TFLITE_ARCH   instruction-set level to build for: auto (default),
#                          portable (what Debian ships), x86-64-v2, x86-64-v3,
#                          x86-64-v4 or native
#   CLASSIFY_TFLITE_LINK   static (default) or shared: how programs link it
#   CLASSIFY_TFLITE_USE_SYSTEM  1 (default): use a tensorflow-lite CMake package
#                          the system already has; 0: always provision
#   VERBOSE                1: show every command's output
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
tool_name=provision-tflite
# shellcheck source=lib/provision.sh
source "$here/lib/provision.sh"

readonly APT_DEPS=(cmake g++ libabsl-dev libeigen3-dev libfarmhash-dev libfp16-dev
  libgemmlowp-dev libneon-2-sse-dev libpthreadpool-dev xz-utils binutils dpkg-dev patch)
# Bump when the recipe below changes in a way the pinned versions do not show
# (or scripts/tflite/, which it compiles the library with).
readonly RECIPE_REVISION=7

# What Debian unstable serves, and the packages used from it (versions.txt):
# TensorFlow Lite's source and what it is built with. The XNNPACK delegate
# (for classify-photos) is built beside the library from its tree, over
# scripts/provision-xnnpack.sh's XNNPACK.
readonly SOURCE_LINES=("deb sid" "deb-src sid")
readonly SOURCES=(src:tensorflow src:flatbuffers src:cpuinfo libruy-dev libfft2d-dev)
readonly TF_RELEASE=${pinned_version[src:tensorflow]%%+*}

# --- instruction-set level -------------------------------------------------

cpu_has() { grep -q -w -m1 "$1" /proc/cpuinfo 2>/dev/null; }

# Where the CPU has AVX2, FMA and the rest of x86-64-v3, that level is the
# default: TFLite's own Eigen kernels gain most from AVX2 with FMA, and ruy
# picks its kernels at run time whatever the level.
detect_arch_level() {
  if cpu_has avx2 && cpu_has fma && cpu_has bmi2 && cpu_has f16c && cpu_has movbe; then
    echo x86-64-v3
  else
    echo portable
  fi
}

resolve_arch_level() {
  local wanted=${CLASSIFY_TFLITE_ARCH:-auto}
  case $wanted in
    auto) detect_arch_level ;;
    portable | x86-64-v2 | x86-64-v3 | x86-64-v4 | native) echo "$wanted" ;;
    *) die "CLASSIFY_TFLITE_ARCH='$wanted' is not one of auto, portable, x86-64-v2, x86-64-v3, x86-64-v4, native" ;;
  esac
}

resolve_link() {
  local wanted=${CLASSIFY_TFLITE_LINK:-static}
  case $wanted in
    static | shared) echo "$wanted" ;;
    *) die "CLASSIFY_TFLITE_LINK='$wanted' is not one of static, shared" ;;
  esac
}

arch_flags() {
  case $1 in
    portable) echo "" ;;
    native) echo "-march=native" ;;
    *) echo "-march=$1" ;;
  esac
}

# --- builds -----------------------------------------------------------------

build_flatbuffers() {
  local work=$1 prefix=$2
  unpack_pinned src:flatbuffers "$work/flatbuffers"
  run cmake -S "$work/flatbuffers" -B "$work/flatbuffers-build" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX="$prefix" -DCMAKE_POSITION_INDEPENDENT_CODE=ON \
    -DFLATBUFFERS_BUILD_TESTS=OFF -DFLATBUFFERS_BUILD_FLATC=OFF -DFLATBUFFERS_BUILD_FLATHASH=OFF
  run cmake --build "$work/flatbuffers-build" -j "$jobs"
  run cmake --install "$work/flatbuffers-build"
}

unpack_ruy_and_fft2d() {
  local prefix=$1
  dpkg-deb -x "$downloads/${pinned_file[libruy-dev]}" "$prefix/deb"
  dpkg-deb -x "$downloads/${pinned_file[libfft2d-dev]}" "$prefix/deb"
  # fft2d's package file names absolute /usr paths; point them into the prefix.
  local cfg
  while IFS= read -r cfg; do
    sed -i "s#\([\" ;]\)/usr/#\1$prefix/deb/usr/#g" "$cfg"
  done < <(grep -rl '/usr/' "$prefix/deb/usr/lib" --include='*.cmake')
  # ruy was compiled against a newer C library whose strtol aliases Debian 12
  # lacks; the plain functions parse the same decimal and hex values.
  local lib sym
  for lib in "$prefix"/deb/usr/lib/*/libruy*.a; do
    for sym in $(nm -u "$lib" 2>/dev/null | awk '$2 ~ /^__isoc23_/ {print $2}' | sort -u); do
      case $sym in
        __isoc23_strtol | __isoc23_strtoul | __isoc23_strtoll | __isoc23_strtoull | __isoc23_sscanf)
          objcopy --redefine-sym "$sym=${sym#__isoc23_}" "$lib" ;;
        *) die "$lib needs $sym, which Debian 12's C library lacks and this script cannot map" ;;
      esac
    done
  done
}

configure_tflite() {
  local tree=$1 build=$2 prefix=$3 level=$4 link=$5
  local multiarch
  multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH 2>/dev/null || gcc -print-multiarch)
  local deb_lib=$prefix/deb/usr/lib/$multiarch
  local flags
  flags=$(arch_flags "$level")
  run cmake -S "$tree/tensorflow/lite" -B "$build" \
    -DCMAKE_PROJECT_INCLUDE="$here/tflite/build-speed.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" \
    -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" \
    -DBUILD_SHARED_LIBS="$([[ $link == shared ]] && echo ON || echo OFF)" -DTFLITE_ENABLE_INSTALL=ON -DTFLITE_ENABLE_GPU=OFF \
    -DTFLITE_ENABLE_NNAPI=OFF -DTFLITE_ENABLE_RESOURCE=ON -DTFLITE_ENABLE_RUY=ON \
    -DTFLITE_ENABLE_XNNPACK=OFF -DCMAKE_FIND_PACKAGE_PREFER_CONFIG=ON \
    -DSYSTEM_FARMHASH=ON -DSYSTEM_PTHREADPOOL=ON \
    -Dabsl_DIR="/usr/lib/$multiarch/cmake/absl" \
    -Dcpuinfo_DIR="$prefix/share/cpuinfo" \
    -DEigen3_DIR=/usr/share/eigen3/cmake \
    -Dfft2d_DIR="$(dirname "$(find "$deb_lib" -name 'fft2d*onfig.cmake' | head -n 1)")" \
    -DFlatBuffers_DIR="$prefix/lib/cmake/flatbuffers" \
    -Druy_DIR="$(dirname "$(find "$deb_lib" -name 'ruy*onfig.cmake' | head -n 1)")" \
    -DGEMMLOWP_SOURCE_DIR=/usr/include/gemmlowp \
    -DNEON_2_SSE_DIR=/usr/lib/cmake/NEON_2_SSE
}

# --- the kernel check ---------------------------------------------------------

# The best of ruy's paths this CPU offers, from the kernel's own CPU flags
# (not from cpuinfo, whose disagreement with ruy is what the check is for).
best_ruy_path_of_cpu() {
  if cpu_has avx512f && cpu_has avx512dq && cpu_has avx512cd && cpu_has avx512bw && cpu_has avx512vl; then
    echo "0x40 AVX-512"
  elif cpu_has avx2 && cpu_has fma; then
    echo "0x20 AVX2+FMA"
  elif cpu_has avx; then
    echo "0x10 AVX"
  else
    echo "0x01 standard-C++"
  fi
}

# Builds scripts/probe against the prefix, runs one float multiplication and
# fails when ruy takes a lower path than the CPU offers.
check_kernel_path() {
  local prefix_path=$1 work=$2
  run cmake -S "$here/probe" -B "$work/probe" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_PREFIX_PATH="$prefix_path" || die "the kernel probe does not configure against the prefix"
  run cmake --build "$work/probe" || die "the kernel probe does not build against the prefix"
  local report
  report=$("$work/probe/ruy_path_probe") || die "the kernel probe failed to run"
  printf 'kernel probe: %s\n' "$report" >>"$log_file"
  local used=${report##*used=} best
  best=$(best_ruy_path_of_cpu)
  if ((used < ${best%% *})); then
    die "ruy's float kernels run on path $used ($report), but this CPU offers path ${best% *} (${best#* }): a library in the prefix was built against another cpuinfo"
  fi
  kernel_report="ruy's float kernels take path $used (${best#* }), the best this CPU offers"
}

# The prefix itself (tensorflow-lite, flatbuffers, cpuinfo) and the unpacked
# ruy and fft2d packages.
prefix_path() {
  echo "$1;$1/deb/usr"
}

# --- main -------------------------------------------------------------------

# Usage: provision-tflite.sh [--library]. With --library it returns as soon as
# the library itself is installed in the prefix, which is all classify and
# prepare-input need (make run builds them and shows its result first): the
# XNNPACK delegate, which classify-photos alone links, and the kernel check
# follow when the script runs again without it. The prefix carries its stamp
# only then; until that run, `.library` records that the library part of the
# recipe is done and the work folder is kept for the delegate.
main() {
  part=all
  [[ ${1:-} == --library ]] && part=library
  if [[ ${CLASSIFY_TFLITE_USE_SYSTEM:-1} == 1 ]] && system_has_tflite; then
    say "the system provides TensorFlow Lite; nothing to provision"
    echo "/usr"
    return
  fi
  level=$(resolve_arch_level)
  link=$(resolve_link)
  local recipe prefix=$cache_root/tflite-$TF_RELEASE-$level
  recipe="$(pinned_versions src:tensorflow src:flatbuffers)"
  recipe+=" ruy=${pinned_version[libruy-dev]} fft2d=${pinned_version[libfft2d-dev]}"
  recipe+=" cpuinfo=${pinned_version[src:cpuinfo]} xnnpack-delegate=${pinned_version[tree:xnnpack]:0:7}"
  recipe+=" level=$level flags=$(arch_flags "$level") revision=$RECIPE_REVISION"
  if [[ $link == static ]]; then
    recipe+=" link=static"
    prefix+=-static
  fi
  local work=$cache_root/work-$level-$link parts=(build_library build_delegate) go_on=()
  # (Asked before the stamp is, to the same effect: a stamped prefix keeps no
  # `.library`, which goes before the stamp is written, and a new build
  # empties the prefix first.)
  if [[ -f $prefix/.library && $(cat "$prefix/.library") == "$recipe" && -d $work/tensorflow ]]; then
    if [[ $part == library ]]; then
      say "library installed: $prefix ($level, $link); the XNNPACK delegate and the kernel check follow"
      prefix_path "$prefix"
      return
    fi
    # The library part of an earlier run: its log goes on.
    parts=(build_delegate)
    go_on=(--go-on)
  fi
  provision_prefix "${go_on[@]}" --note "($level, $link)" --print prefix_path \
    --log "$cache_root/logs/tflite-$TF_RELEASE-$level-$link.log" \
    --apt "${APT_DEPS[*]}" \
    --about "TensorFlow Lite $TF_RELEASE ($link, $level) into $prefix, about 3 minutes on 2 cores" \
    "$prefix" "$recipe" "$work" "${parts[@]}"
}

# TensorFlow Lite and what it is built with, installed into the prefix; the
# unpacked tree stays in the work folder for the delegate. XNNPACK, which the
# delegate needs, is provisioned meanwhile in the background at the lowest
# priority, so that it takes the cores only where the library's own build
# leaves one idle (its configure and download stages, the precompiled
# header, the links). With --library, the script ends here.
build_library() {
  stage "download sources"
  fetch_pinned SOURCE_LINES "${SOURCES[@]}"
  # After the download: XNNPACK's provisioning fetches cpuinfo's tarball into
  # the same folder, which is then there.
  xnnpack_in_background
  # Four independent steps at once: CMake's configure steps and the unpacking
  # of TensorFlow's tree each keep one core alone.
  stage "flatbuffers, cpuinfo, ruy and fft2d, tensorflow's tree"
  local steps=()
  in_background steps build_flatbuffers "$work" "$prefix"
  in_background steps build_cpuinfo "$work" "$prefix"
  in_background steps unpack_ruy_and_fft2d "$prefix"
  unpack_pinned src:tensorflow "$work/tensorflow"
  apply_own_patches "$work/tensorflow"
  wait_for_all steps
  stage "tensorflow lite: configure"
  configure_tflite "$work/tensorflow" "$work/tflite-build" "$prefix" "$level" "$link"
  stage "tensorflow lite: compile"
  # The metadata code generator compiles on one core while the library's
  # precompiled header, which every other file waits for, takes the other.
  mkdir -p "$prefix/bin"
  build_flatc_cpp "$work/flatbuffers" "$prefix/bin" 1 &
  local generator=$!
  build_with_progress "$work/tflite-build" -j "$jobs"
  wait "$generator" || die "flatc-cpp does not build"
  stage "tensorflow lite: install"
  run cmake --install "$work/tflite-build"
  [[ -f $prefix/include/tensorflow/lite/c/c_api.h ]] || die "the install has no tensorflow/lite/c/c_api.h"
  printf '%s' "$recipe" >"$prefix/.library"
  if [[ $part == library ]]; then
    end_stage
    say "library installed in $(elapsed_total) s; the XNNPACK delegate and the kernel check follow"
    prefix_path "$prefix"
    exit 0
  fi
}

# The XNNPACK delegate and the check of the kernels the library takes.
build_delegate() {
  stage "xnnpack delegate"
  local xnnpack
  xnnpack=$(xnnpack_prefix linux) || die "XNNPACK could not be provisioned"
  build_xnnpack_delegate "$work/tensorflow" "$work" "$prefix" "$xnnpack" \
    -DCMAKE_PREFIX_PATH="$(prefix_path "$prefix")" -DCMAKE_CXX_FLAGS="$(arch_flags "$level")" \
    -DCMAKE_POSITION_INDEPENDENT_CODE=ON
  stage "kernel check"
  check_kernel_path "$(prefix_path "$prefix")" "$work"
  end_stage
  say "$kernel_report"
  rm -f "$prefix/.library"
}

# in_background ARRAY FUNCTION [ARGS...]: runs the step in a subshell with its
# own log, appended to the main log when wait_for_all waits for it; the
# subshell's pid and log go into ARRAY.
in_background() {
  local -n started=$1
  shift
  local step_log
  step_log=$(mktemp "$log_file.step.XXXXXX")
  (
    log_file=$step_log
    trap - EXIT
    "$@"
  ) &
  started+=("$!:$step_log:$1")
}

# wait_for_all ARRAY: waits for every step in_background started; dies naming
# the first that failed.
wait_for_all() {
  local -n waited=$1
  local entry pid step_log name failed=""
  for entry in "${waited[@]}"; do
    IFS=: read -r pid step_log name <<<"$entry"
    wait "$pid" || failed=${failed:-$name}
    cat "$step_log" >>"$log_file"
    rm -f "$step_log"
  done
  [[ -z $failed ]] || die "$failed failed"
}

# Starts scripts/provision-xnnpack.sh for Linux in the background at nice 19
# (it goes on after `--library` returns); xnnpack_prefix waits for it. It stays
# in this session: where the kernel groups the scheduling by session
# (autogroup), a session of its own would take a full share beside the
# library's build, whatever its nice value.
xnnpack_in_background() {
  local out=$cache_root/logs/xnnpack-background.txt
  mkdir -p "$(dirname "$out")"
  say "XNNPACK builds in the background meanwhile (its lines: $out)"
  nice -n 19 flock "$(xnnpack_lock linux)" "$here/provision-xnnpack.sh" linux </dev/null >"$out" 2>&1 &
}

# A tensorflow-lite CMake package installed system-wide (as Debian unstable's
# libtensorflow-lite-dev provides) is used as it is.
system_has_tflite() {
  compgen -G "/usr/lib/*/cmake/tensorflow-lite/tensorflow-liteConfig.cmake" >/dev/null ||
    compgen -G "/usr/lib/cmake/tensorflow-lite/tensorflow-liteConfig.cmake" >/dev/null ||
    compgen -G "/usr/local/lib/cmake/tensorflow-lite/tensorflow-liteConfig.cmake" >/dev/null
}

main "$@"
