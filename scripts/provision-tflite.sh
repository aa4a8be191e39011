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

readonly TF_VERSION=2.14.1+dfsg-3.1
readonly FLATBUFFERS_VERSION=23.5.26+dfsg-4
readonly RUY_VERSION=0.0.0~git20230215.21a85fe-3+b1
readonly FFT2D_VERSION=1.0-3+b1
# The XNNPACK delegate (for classify-photos), built beside the library from
# its tree, over scripts/provision-xnnpack.sh's XNNPACK.
readonly XNNPACK_DELEGATE=b9d4073
readonly APT_DEPS=(cmake g++ libabsl-dev libeigen3-dev libfarmhash-dev libfp16-dev
  libgemmlowp-dev libneon-2-sse-dev libpthreadpool-dev xz-utils binutils dpkg-dev patch)
# Bump when the recipe below changes in a way the pinned versions do not show
# (or scripts/tflite/, which it compiles the library with).
readonly RECIPE_REVISION=7

readonly TF_TARBALL=tensorflow_2.14.1+dfsg.orig.tar.xz
readonly TF_DEBIAN_TARBALL=tensorflow_2.14.1+dfsg-3.1.debian.tar.xz
readonly FLATBUFFERS_TARBALL=flatbuffers_23.5.26+dfsg.orig.tar.xz
readonly RUY_DEB="libruy-dev_${RUY_VERSION//:/%3a}_amd64.deb"
readonly FFT2D_DEB="libfft2d-dev_${FFT2D_VERSION}_amd64.deb"
# What Debian unstable serves, and the sha256 of each file used from it.
readonly SOURCE_LINES=("deb sid" "deb-src sid")
readonly SOURCE_PACKAGES=("src:tensorflow=$TF_VERSION" "src:flatbuffers=$FLATBUFFERS_VERSION"
  "src:cpuinfo=$CPUINFO_VERSION" "libruy-dev=$RUY_VERSION" "libfft2d-dev=$FFT2D_VERSION")
readonly SOURCE_FILES=(
  "$TF_TARBALL=9dfff0627def4e999f66a80d0fb57fd0651d12d525dcd67d6c24f1e9bca72b93"
  "$TF_DEBIAN_TARBALL=05f0c158488289368b06664d0e6e54a9d408936c479c9529e5f6fe9fa41b72a0"
  "$FLATBUFFERS_TARBALL=0d309fd2c47bbbebd450e68d1419c336d53d1b8f5ce47e1f1f7f28f452fc6f3b"
  "$CPUINFO_TARBALL=$CPUINFO_SHA256"
  "$RUY_DEB=51dd8bf9670132202688abd921c224035136f6e729954226fb186e0ba9eb5f1c"
  "$FFT2D_DEB=4edd227304d45e6e87ba92ff056b140970707f2ab34c001d773e5afc10566927")

cache_root=${CLASSIFY_TFLITE_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/classify}

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
  local src=$1 work=$2 prefix=$3
  rm -rf "$work/flatbuffers"
  mkdir -p "$work/flatbuffers"
  tar -xf "$src/$FLATBUFFERS_TARBALL" -C "$work/flatbuffers" --strip-components=1
  run cmake -S "$work/flatbuffers" -B "$work/flatbuffers-build" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX="$prefix" -DCMAKE_POSITION_INDEPENDENT_CODE=ON \
    -DFLATBUFFERS_BUILD_TESTS=OFF -DFLATBUFFERS_BUILD_FLATC=OFF -DFLATBUFFERS_BUILD_FLATHASH=OFF
  run cmake --build "$work/flatbuffers-build" -j "$jobs"
  run cmake --install "$work/flatbuffers-build"
}

unpack_ruy_and_fft2d() {
  local src=$1 prefix=$2
  dpkg-deb -x "$src/$RUY_DEB" "$prefix/deb"
  dpkg-deb -x "$src/$FFT2D_DEB" "$prefix/deb"
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

unpack_tflite() {
  local src=$1 tree=$2
  rm -rf "$tree"
  mkdir -p "$tree"
  tar -xf "$src/$TF_TARBALL" -C "$tree" --strip-components=1
  tar -xf "$src/$TF_DEBIAN_TARBALL" -C "$tree"
  local patch_name
  while read -r patch_name _; do
    [[ -z $patch_name || $patch_name == \#* ]] && continue
    run patch -d "$tree" -p1 --forward --batch -s -i "$tree/debian/patches/$patch_name" ||
      die "patch $patch_name does not apply"
  done <"$tree/debian/patches/series"
  apply_own_patches "$tree"
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
  local part=all
  [[ ${1:-} == --library ]] && part=library
  if [[ ${CLASSIFY_TFLITE_USE_SYSTEM:-1} == 1 ]] && system_has_tflite; then
    say "the system provides TensorFlow Lite; nothing to provision"
    echo "/usr"
    return
  fi
  local level link
  level=$(resolve_arch_level)
  link=$(resolve_link)
  local recipe="tensorflow=$TF_VERSION flatbuffers=$FLATBUFFERS_VERSION ruy=$RUY_VERSION fft2d=$FFT2D_VERSION cpuinfo=$CPUINFO_VERSION xnnpack-delegate=$XNNPACK_DELEGATE level=$level flags=$(arch_flags "$level") revision=$RECIPE_REVISION"
  local prefix=$cache_root/tflite-2.14.1-$level
  if [[ $link == static ]]; then
    recipe+=" link=static"
    prefix+=-static
  fi
  if prefix_is_current "$prefix" "$recipe"; then
    say "cached: $prefix ($level, $link)"
    prefix_path "$prefix"
    return
  fi
  local work=$cache_root/work-$level-$link
  local log=$cache_root/logs/tflite-2.14.1-$level-$link.log
  if ! [[ -f $prefix/.library && $(cat "$prefix/.library") == "$recipe" && -d $work/tensorflow ]]; then
    start_log "$log"
    build_library "$prefix" "$work" "$level" "$link"
    printf '%s' "$recipe" >"$prefix/.library"
    if [[ $part == library ]]; then
      end_stage
      say "library installed in $(elapsed_total) s; the XNNPACK delegate and the kernel check follow"
      prefix_path "$prefix"
      return
    fi
  elif [[ $part == library ]]; then
    say "library installed: $prefix ($level, $link); the XNNPACK delegate and the kernel check follow"
    prefix_path "$prefix"
    return
  else
    # The library part of an earlier run: its log goes on.
    log_file=$(realpath -m "$log")
    trap on_exit EXIT
  fi
  stage "xnnpack delegate"
  local xnnpack
  xnnpack=$(xnnpack_prefix linux) || die "XNNPACK could not be provisioned"
  build_xnnpack_delegate "$work/tensorflow" "$work" "$prefix" "$xnnpack" \
    -DCMAKE_PREFIX_PATH="$(prefix_path "$prefix")" -DCMAKE_CXX_FLAGS="$(arch_flags "$level")" \
    -DCMAKE_POSITION_INDEPENDENT_CODE=ON
  stage "kernel check"
  check_kernel_path "$(prefix_path "$prefix")" "$work"
  end_stage
  rm -f "$prefix/.library"
  stamp_prefix "$prefix" "$recipe"
  # The work folder (TensorFlow's whole tree and the build's objects) goes in
  # the background: removing it took minutes on a busy disk, which the
  # programs' build need not wait for. Renamed first, so that a build that
  # starts meanwhile finds its folder free.
  local removed
  removed=$(mktemp -d "$work.removed.XXXXXX")
  mv "$work" "$removed/"
  nice -n 19 rm -rf "$removed" </dev/null >/dev/null 2>&1 &
  say "$kernel_report"
  say "done in $(elapsed_total) s: $prefix"
  prefix_path "$prefix"
}

# build_library PREFIX WORK LEVEL LINK: TensorFlow Lite and what it is built
# with, installed into PREFIX; the unpacked tree stays in WORK for the
# delegate. XNNPACK, which the delegate needs, is provisioned meanwhile in the
# background at the lowest priority, so that it takes the cores only where the
# library's own build leaves one idle (its configure and download stages, the
# precompiled header, the links).
build_library() {
  local prefix=$1 work=$2 level=$3 link=$4
  say "building TensorFlow Lite 2.14.1 ($link, $level) into $prefix, about 3 minutes on 2 cores"
  say "full log: $log_file"
  stage "apt packages"
  install_apt_packages "${APT_DEPS[@]}"
  rm -rf "$prefix"
  mkdir -p "$prefix" "$cache_root/downloads"
  # (and what an interrupted removal left of an earlier one)
  rm -rf "$work" "$work".removed.*
  mkdir -p "$work"
  local src=$cache_root/downloads

  stage "download sources"
  fetch_debian_files "$src" SOURCE_LINES SOURCE_PACKAGES SOURCE_FILES
  # After the download: XNNPACK's provisioning fetches cpuinfo's tarball into
  # the same folder, which is then there.
  xnnpack_in_background
  # Four independent steps at once: CMake's configure steps and the unpacking
  # of TensorFlow's tree each keep one core alone.
  stage "flatbuffers, cpuinfo, ruy and fft2d, tensorflow's tree"
  local steps=()
  in_background steps build_flatbuffers "$src" "$work" "$prefix"
  in_background steps build_cpuinfo "$src/$CPUINFO_TARBALL" "$work" "$prefix"
  in_background steps unpack_ruy_and_fft2d "$src" "$prefix"
  unpack_tflite "$src" "$work/tensorflow"
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
