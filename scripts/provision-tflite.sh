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
# depends on are found. Progress goes to standard error.
#
# Environment:
#   CLASSIFY_TFLITE_CACHE  cache folder (default ${XDG_CACHE_HOME:-$HOME/.cache}/classify)
#   CLASSIFY_TFLITE_ARCH   instruction-set level to build for: auto (default),
#                          portable (what Debian ships), x86-64-v2, x86-64-v3,
#                          x86-64-v4 or native
#   CLASSIFY_TFLITE_LINK   static (default) or shared: how programs link it
#   CLASSIFY_TFLITE_USE_SYSTEM  1 (default): use a tensorflow-lite CMake package
#                          the system already has; 0: always provision
set -euo pipefail

readonly TF_VERSION=2.14.1+dfsg-3.1
readonly FLATBUFFERS_VERSION=23.5.26+dfsg-4
readonly RUY_VERSION=0.0.0~git20230215.21a85fe-3+b1
readonly FFT2D_VERSION=1.0-3+b1
readonly APT_DEPS=(cmake g++ libabsl-dev libcpuinfo-dev libeigen3-dev libfarmhash-dev
  libfp16-dev libgemmlowp-dev libneon-2-sse-dev libpthreadpool-dev xz-utils binutils
  dpkg-dev patch)
# Bump when the recipe below changes in a way the pinned versions do not show.
readonly RECIPE_REVISION=1

cache_root=${CLASSIFY_TFLITE_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/classify}
jobs=$(nproc 2>/dev/null || echo 2)
started_at=$(date +%s)
stage_started_at=$started_at
current_stage="start"

log() { printf '[provision-tflite] %s\n' "$*" >&2; }
die() {
  log "FAILED in stage '$current_stage': $*"
  exit 1
}
stage() {
  local now
  now=$(date +%s)
  if [[ $current_stage != start ]]; then
    log "stage '$current_stage' took $((now - stage_started_at)) s"
  fi
  current_stage=$1
  stage_started_at=$now
  log "stage '$current_stage'..."
}
trap 'rc=$?; [[ $rc -eq 0 ]] || log "FAILED in stage '\''$current_stage'\'' (exit $rc)"' EXIT

as_root() {
  if [[ $(id -u) -eq 0 ]]; then
    "$@"
  elif command -v sudo >/dev/null 2>&1; then
    sudo "$@"
  else
    die "need root (or sudo) to run: $*"
  fi
}

# --- instruction-set level -------------------------------------------------

cpu_has() { grep -q -w -m1 "$1" /proc/cpuinfo 2>/dev/null; }

# AVX2 with FMA is where TFLite's Eigen and ruy kernels gain most: measured on
# an AVX-512 host, x86-64-v4 and -march=native ran MobileNetV3 no faster than
# x86-64-v3 (within the noise), so v3 is chosen wherever the CPU has every
# feature it implies, and the build runs on more machines.
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

# --- system packages --------------------------------------------------------

install_apt_deps() {
  local missing=()
  local pkg
  for pkg in "${APT_DEPS[@]}"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || missing+=("$pkg")
  done
  if ((${#missing[@]})); then
    log "installing from apt: ${missing[*]}"
    as_root apt-get update -q >&2
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}" >&2
  fi
}

# --- private apt configuration for Debian unstable sources -----------------

# The mirror this machine already uses for Debian: the repository that serves
# a plain release suite (not -security, not -updates), as apt itself reads the
# system's sources in either format.
system_debian_mirror() {
  apt-get indextargets --format '$(REPO_URI) $(RELEASE)' 2>/dev/null |
    awk '$2 ~ /^[a-z]+$/ { print $1; exit }' | sed 's#/*$##'
}

setup_private_apt() {
  local dir=$1 mirror
  mirror=$(system_debian_mirror) || true
  [[ -n $mirror ]] || die "found no Debian mirror in the system's apt sources"
  mkdir -p "$dir/lists/partial" "$dir/cache/archives/partial"
  local keyring=/usr/share/keyrings/debian-archive-keyring.gpg
  local signed=""
  [[ -f $keyring ]] && signed="[signed-by=$keyring] "
  printf 'deb %s%s sid main\ndeb-src %s%s sid main\n' "$signed" "$mirror" "$signed" "$mirror" >"$dir/sources.list"
  apt_private=(-o "Dir::Etc::SourceList=$dir/sources.list" -o Dir::Etc::SourceParts=/dev/null
    -o "Dir::State::Lists=$dir/lists" -o "Dir::Cache=$dir/cache"
    -o Dir::Etc::Preferences=/dev/null -o Dir::Etc::PreferencesParts=/dev/null
    -o APT::Sandbox::User=root)
  log "Debian unstable sources from the system's own mirror"
  apt-get "${apt_private[@]}" update -q >&2 || die "apt-get update of the private sid configuration failed"
}

download_sources() {
  local dir=$1
  local wanted=(tensorflow_2.14.1+dfsg.orig.tar.xz tensorflow_2.14.1+dfsg-3.1.debian.tar.xz
    flatbuffers_23.5.26+dfsg.orig.tar.xz "libruy-dev_${RUY_VERSION//:/%3a}_amd64.deb"
    "libfft2d-dev_${FFT2D_VERSION}_amd64.deb")
  local all_there=1 f
  for f in "${wanted[@]}"; do [[ -s $dir/$f ]] || all_there=0; done
  if ((all_there)); then
    log "sources already downloaded in $dir"
    return
  fi
  setup_private_apt "$dir/apt"
  # The mirror has no .dsc for this tensorflow upload, so apt-get source
  # reports failure after it has fetched and verified both tarballs: judge it
  # by the files it leaves, not by its exit status.
  (cd "$dir" && apt-get "${apt_private[@]}" source --download-only \
    "tensorflow=$TF_VERSION" "flatbuffers=$FLATBUFFERS_VERSION" >&2) ||
    log "apt-get source exited non-zero; checking the tarballs it left"
  (cd "$dir" && apt-get "${apt_private[@]}" download "libruy-dev=$RUY_VERSION" "libfft2d-dev=$FFT2D_VERSION" >&2) ||
    die "could not download libruy-dev=$RUY_VERSION and libfft2d-dev=$FFT2D_VERSION from Debian unstable"
  for f in "${wanted[@]}"; do
    [[ -s $dir/$f ]] || die "missing $f after download (tensorflow=$TF_VERSION, flatbuffers=$FLATBUFFERS_VERSION, libruy-dev=$RUY_VERSION, libfft2d-dev=$FFT2D_VERSION)"
  done
}

# --- builds -----------------------------------------------------------------

build_flatbuffers() {
  local src=$1 work=$2 prefix=$3
  rm -rf "$work/flatbuffers"
  mkdir -p "$work/flatbuffers"
  tar -xf "$src/flatbuffers_23.5.26+dfsg.orig.tar.xz" -C "$work/flatbuffers" --strip-components=1
  cmake -S "$work/flatbuffers" -B "$work/flatbuffers-build" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX="$prefix" -DCMAKE_POSITION_INDEPENDENT_CODE=ON \
    -DFLATBUFFERS_BUILD_TESTS=OFF -DFLATBUFFERS_BUILD_FLATC=OFF -DFLATBUFFERS_BUILD_FLATHASH=OFF >&2
  cmake --build "$work/flatbuffers-build" -j "$jobs" >&2
  cmake --install "$work/flatbuffers-build" >&2
}

unpack_ruy_and_fft2d() {
  local src=$1 prefix=$2
  dpkg-deb -x "$src/libruy-dev_${RUY_VERSION//:/%3a}_amd64.deb" "$prefix/deb"
  dpkg-deb -x "$src/libfft2d-dev_${FFT2D_VERSION}_amd64.deb" "$prefix/deb"
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

# Debian 12's cpuinfo package file computes its prefix as /usr/lib, giving
# /usr/lib/lib/... paths; a copy with the prefix written out works.
fix_cpuinfo_config() {
  local prefix=$1
  mkdir -p "$prefix/cmake/cpuinfo"
  cp /usr/lib/cmake/cpuinfo/*.cmake "$prefix/cmake/cpuinfo/"
  sed -i 's#${_IMPORT_PREFIX}#/usr#g' "$prefix"/cmake/cpuinfo/cpuinfo-targets*.cmake
}

build_tflite() {
  local src=$1 work=$2 prefix=$3 level=$4 link=$5
  local tree=$work/tensorflow
  rm -rf "$tree" "$work/tflite-build"
  mkdir -p "$tree"
  tar -xf "$src/tensorflow_2.14.1+dfsg.orig.tar.xz" -C "$tree" --strip-components=1
  tar -xf "$src/tensorflow_2.14.1+dfsg-3.1.debian.tar.xz" -C "$tree"
  local patch_name
  while read -r patch_name _; do
    [[ -z $patch_name || $patch_name == \#* ]] && continue
    patch -d "$tree" -p1 --forward --batch -s <"$tree/debian/patches/$patch_name" ||
      die "patch $patch_name does not apply"
  done <"$tree/debian/patches/series"

  local multiarch
  multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH 2>/dev/null || gcc -print-multiarch)
  local deb_lib=$prefix/deb/usr/lib/$multiarch
  local flags
  flags=$(arch_flags "$level")
  cmake -S "$tree/tensorflow/lite" -B "$work/tflite-build" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" \
    -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" \
    -DBUILD_SHARED_LIBS="$([[ $link == shared ]] && echo ON || echo OFF)" -DTFLITE_ENABLE_INSTALL=ON -DTFLITE_ENABLE_GPU=OFF \
    -DTFLITE_ENABLE_NNAPI=OFF -DTFLITE_ENABLE_RESOURCE=ON -DTFLITE_ENABLE_RUY=ON \
    -DTFLITE_ENABLE_XNNPACK=OFF -DCMAKE_FIND_PACKAGE_PREFER_CONFIG=ON \
    -DSYSTEM_FARMHASH=ON -DSYSTEM_PTHREADPOOL=ON \
    -Dabsl_DIR="/usr/lib/$multiarch/cmake/absl" \
    -Dcpuinfo_DIR="$prefix/cmake/cpuinfo" \
    -DEigen3_DIR=/usr/share/eigen3/cmake \
    -Dfft2d_DIR="$(dirname "$(find "$deb_lib" -name 'fft2d*onfig.cmake' | head -n 1)")" \
    -DFlatBuffers_DIR="$prefix/lib/cmake/flatbuffers" \
    -Druy_DIR="$(dirname "$(find "$deb_lib" -name 'ruy*onfig.cmake' | head -n 1)")" \
    -DGEMMLOWP_SOURCE_DIR=/usr/include/gemmlowp \
    -DNEON_2_SSE_DIR=/usr/lib/cmake/NEON_2_SSE >&2
  cmake --build "$work/tflite-build" -j "$jobs" >&2
  cmake --install "$work/tflite-build" >&2
}

# The prefix itself (tensorflow-lite, flatbuffers), the unpacked ruy and
# fft2d packages, and the corrected cpuinfo package file.
prefix_path() {
  echo "$1;$1/deb/usr;$1/cmake"
}

# --- main -------------------------------------------------------------------

main() {
  if [[ ${CLASSIFY_TFLITE_USE_SYSTEM:-1} == 1 ]] && system_has_tflite; then
    log "the system provides TensorFlow Lite; nothing to provision"
    echo "/usr"
    return
  fi
  stage "apt packages"
  install_apt_deps

  local level link
  level=$(resolve_arch_level)
  link=$(resolve_link)
  local recipe="tensorflow=$TF_VERSION flatbuffers=$FLATBUFFERS_VERSION ruy=$RUY_VERSION fft2d=$FFT2D_VERSION level=$level flags=$(arch_flags "$level") revision=$RECIPE_REVISION"
  local prefix=$cache_root/tflite-2.14.1-$level
  if [[ $link == static ]]; then
    recipe+=" link=static"
    prefix+=-static
  fi
  local stamp=$prefix/.provisioned
  if [[ -f $stamp && $(cat "$stamp") == "$recipe" ]]; then
    log "cached: $prefix ($level, $link)"
    prefix_path "$prefix"
    return
  fi
  log "building TensorFlow Lite ($link) for '$level' into $prefix (about 10 minutes on 2 cores)"
  rm -rf "$prefix"
  mkdir -p "$prefix" "$cache_root/downloads"
  local work=$cache_root/work-$level-$link
  rm -rf "$work"
  mkdir -p "$work"

  stage "download sources"
  download_sources "$cache_root/downloads"
  stage "flatbuffers"
  build_flatbuffers "$cache_root/downloads" "$work" "$prefix"
  stage "ruy and fft2d"
  unpack_ruy_and_fft2d "$cache_root/downloads" "$prefix"
  fix_cpuinfo_config "$prefix"
  stage "tensorflow lite"
  build_tflite "$cache_root/downloads" "$work" "$prefix" "$level" "$link"
  [[ -f $prefix/include/tensorflow/lite/c/c_api.h ]] || die "the install has no tensorflow/lite/c/c_api.h"
  stage "finish"
  rm -rf "$work"
  # Written last: only a finished build carries the stamp.
  printf '%s' "$recipe" >"$stamp"
  log "done in $(($(date +%s) - started_at)) s: $prefix"
  prefix_path "$prefix"
}

# A tensorflow-lite CMake package installed system-wide (as Debian unstable's
# libtensorflow-lite-dev provides) is used as it is.
system_has_tflite() {
  compgen -G "/usr/lib/*/cmake/tensorflow-lite/tensorflow-liteConfig.cmake" >/dev/null ||
    compgen -G "/usr/lib/cmake/tensorflow-lite/tensorflow-liteConfig.cmake" >/dev/null ||
    compgen -G "/usr/local/lib/cmake/tensorflow-lite/tensorflow-liteConfig.cmake" >/dev/null
}

main "$@"
