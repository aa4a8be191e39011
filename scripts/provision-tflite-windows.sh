#!/usr/bin/env bash
# Provisions TensorFlow Lite 2.14.1 for 64-bit Windows, cross-built with
# Debian's MinGW-w64, into a machine-wide cache prefix beside the Linux one.
# Every library is static and built from source: Debian's source packages
# (abseil, farmhash, fxdiv, cpuinfo, pthreadpool, fft2d, flatbuffers,
# tensorflow), ruy from CLASSIFY_RUY_SOURCE, and Debian's header-only Eigen,
# gemmlowp and NEON_2_SSE copied in. Stamped and staged like the Linux prefix,
# with the same machinery (scripts/lib/provision.sh).
#
# Prints the prefix on the last line of standard output; one line per stage
# on standard error, the full log in the cache folder (VERBOSE=1 shows it).
#
# Environment:
#   CLASSIFY_TFLITE_CACHE  cache folder (default ${XDG_CACHE_HOME:-$HOME/.cache}/classify)
#   CLASSIFY_WINDOWS_LEVEL x86-64 (default: any 64-bit x86 CPU) or x86-64-v3
#                          (AVX2 and FMA, which TensorFlow Lite's own Eigen
#                          kernels gain most from): the level the library
#                          and its XNNPACK delegate are compiled for
#   CLASSIFY_RUY_SOURCE    ruy's source tarball (default: the one in ../shared/third_party)
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
tool_name=provision-tflite-windows
# shellcheck source=lib/provision.sh
source "$here/lib/provision.sh"

readonly APT_DEPS=(cmake make g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix
  libeigen3-dev libgemmlowp-dev libneon-2-sse-dev xz-utils patch dpkg-dev)
# Bump when the recipe below changes in a way the pinned versions do not show
# (or scripts/tflite/, which it compiles the library with).
readonly RECIPE_REVISION=6

# What the mirror serves, in which suites, and the packages used from it
# (versions.txt).
readonly SOURCE_LINES=("deb-src sid" "deb-src trixie" "deb-src bookworm")
readonly SOURCES=(src:abseil src:farmhash src:fxdiv src:cpuinfo src:pthreadpool src:oourafft
  src:flatbuffers src:tensorflow)
readonly TF_RELEASE=${pinned_version[src:tensorflow]%%+*}

toolchain=$here/windows/mingw-w64-x86_64.cmake

check_ruy_source() {
  local commit=${pinned_version[tree:ruy]} sum=${pinned_sha256[tree:ruy]}
  ruy_source=${CLASSIFY_RUY_SOURCE:-$here/../../shared/third_party/${pinned_file[tree:ruy]}}
  if [[ ! -f $ruy_source ]]; then
    die "ruy's source is missing: $ruy_source. It is the tree of https://github.com/google/ruy at commit $commit as a .tar.xz (sha256 $sum); set CLASSIFY_RUY_SOURCE to its path"
  fi
  has_sha256 "$ruy_source" "$sum" || die "$ruy_source is not ruy at commit $commit (its sha256 should be $sum)"
}

fetch_sources() {
  check_ruy_source
  stage "download sources"
  fetch_pinned SOURCE_LINES "${SOURCES[@]}"
}

# Debian's header-only Eigen, gemmlowp and NEON_2_SSE, copied into the
# prefix with a package file each. NEON_2_SSE's UNREFERENCED_PARAMETER macro
# clashes with the one MinGW's winnt.h defines: the copy's is renamed.
copy_header_libraries() {
  mkdir -p "$prefix/include" "$prefix/lib/cmake"
  cp -r /usr/include/eigen3 "$prefix/include/"
  cp -r /usr/include/gemmlowp "$prefix/include/"
  sed 's/\bUNREFERENCED_PARAMETER\b/NEON2SSE_UNREFERENCED_PARAMETER/g' /usr/include/NEON_2_SSE.h \
    >"$prefix/include/NEON_2_SSE.h"
  local package
  for package in Eigen3 gemmlowp NEON_2_SSE; do
    mkdir -p "$prefix/lib/cmake/$package"
    cp "$here/windows/packages/${package}Config.cmake" "$prefix/lib/cmake/$package/"
  done
}

# The libraries TensorFlow Lite is built over: built here at the base level,
# copied from the base prefix above it.
build_dependencies() {
  if [[ -n $base ]]; then
    stage "dependencies, from $(basename "$base")"
    cp -a "$base/." "$prefix/"
    rm -rf "$prefix/.provisioned" "$prefix/include/tensorflow" "$prefix/lib/libtensorflow-lite.a" \
      "$prefix/lib/cmake/tensorflow-lite" "$prefix/lib/xnnpack-delegate" \
      "$prefix/lib/cmake/tflite-xnnpack-delegate"
    return
  fi
  stage "flatbuffers"
  unpack_pinned src:flatbuffers "$work/flatbuffers"
  cross_build flatbuffers "$work/flatbuffers" -DFLATBUFFERS_BUILD_TESTS=OFF \
    -DFLATBUFFERS_BUILD_FLATC=OFF -DFLATBUFFERS_BUILD_FLATHASH=OFF
  # The metadata code generator runs here, on the machine that builds.
  mkdir -p "$prefix/bin"
  build_flatc_cpp "$work/flatbuffers" "$prefix/bin"
  stage "abseil"
  unpack_pinned src:abseil "$work/abseil"
  cross_build abseil "$work/abseil" -DCMAKE_CXX_STANDARD=17 -DABSL_PROPAGATE_CXX_STD=ON \
    -DBUILD_TESTING=OFF -DABSL_ENABLE_INSTALL=ON
  stage "cpuinfo, pthreadpool, farmhash, fft2d"
  build_cpuinfo "$work" "$prefix" -DCMAKE_TOOLCHAIN_FILE="$toolchain"
  unpack_pinned src:fxdiv "$work/fxdiv"
  unpack_pinned src:pthreadpool "$work/pthreadpool"
  cross_build pthreadpool "$work/pthreadpool" -DPTHREADPOOL_LIBRARY_TYPE=static \
    -DPTHREADPOOL_BUILD_TESTS=OFF -DPTHREADPOOL_BUILD_BENCHMARKS=OFF \
    -DFXDIV_SOURCE_DIR="$work/fxdiv"
  unpack_pinned src:farmhash "$work/farmhash"
  cp "$here/windows/farmhash.cmake" "$work/farmhash/CMakeLists.txt"
  cross_build farmhash "$work/farmhash"
  unpack_pinned src:oourafft "$work/fft2d"
  cp "$here/windows/fft2d.cmake" "$work/fft2d/CMakeLists.txt"
  cross_build fft2d "$work/fft2d"
  stage "ruy"
  unpack "$ruy_source" "$work/ruy"
  cross_build ruy "$work/ruy" -DRUY_MINIMAL_BUILD=ON -DRUY_ENABLE_INSTALL=ON \
    -DRUY_FIND_CPUINFO=ON -Dcpuinfo_DIR="$prefix/share/cpuinfo"
  copy_header_libraries
}

# Where each package the library needs is found in the prefix.
package_dirs_of() {
  package_dirs=(-Dabsl_DIR="$prefix/lib/cmake/absl" -Dcpuinfo_DIR="$prefix/share/cpuinfo"
    -DEigen3_DIR="$prefix/lib/cmake/Eigen3" -Dfarmhash_DIR="$prefix/lib/cmake/farmhash"
    -Dfft2d_DIR="$prefix/lib/cmake/fft2d" -DFlatBuffers_DIR="$prefix/lib/cmake/flatbuffers"
    -Dgemmlowp_DIR="$prefix/lib/cmake/gemmlowp" -DNEON_2_SSE_DIR="$prefix/lib/cmake/NEON_2_SSE"
    -Druy_DIR="$prefix/lib/cmake/ruy")
}

# The compiler flags of the level. GCC keeps 32-byte AVX values on the
# stack with aligned moves, assuming a 32-byte aligned stack that Win64 does
# not give (GCC bug 54412); the assembler turns them into unaligned moves,
# which cost nothing on aligned data (scripts/windows.sh checks that none
# remains).
level_flags() {
  case $1 in
    x86-64) echo "" ;;
    x86-64-v3) echo "-march=x86-64-v3 -Wa,-muse-unaligned-vector-move" ;;
    *) die "CLASSIFY_WINDOWS_LEVEL='$1' is not x86-64 or x86-64-v3" ;;
  esac
}

# TensorFlow Lite and its XNNPACK delegate, over the libraries in the prefix.
build_tflite() {
  local tree=$work/tensorflow
  stage "tensorflow lite: configure"
  unpack_pinned src:tensorflow "$tree"
  apply_own_patches "$tree"
  # The benchmark tool and the label_image example are not needed here.
  sed -i '/add_subdirectory(${TFLITE_SOURCE_DIR}\/tools\/benchmark)/d;
          /add_subdirectory(${TFLITE_SOURCE_DIR}\/examples\/label_image)/d' \
    "$tree/tensorflow/lite/CMakeLists.txt"
  run cmake -S "$tree/tensorflow/lite" -B "$work/tflite-build" \
    -DCMAKE_PROJECT_INCLUDE="$here/tflite/build-speed.cmake" \
    -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" \
    -DCMAKE_INSTALL_PREFIX="$prefix" -DCMAKE_PREFIX_PATH="$prefix" -DBUILD_SHARED_LIBS=OFF \
    -DTFLITE_ENABLE_INSTALL=ON -DTFLITE_ENABLE_GPU=OFF -DTFLITE_ENABLE_NNAPI=OFF \
    -DTFLITE_ENABLE_RESOURCE=ON -DTFLITE_ENABLE_RUY=ON -DTFLITE_ENABLE_XNNPACK=OFF \
    -DCMAKE_FIND_PACKAGE_PREFER_CONFIG=ON -DSYSTEM_PTHREADPOOL=ON \
    -DPTHREADPOOL_LIB="$prefix/lib/libpthreadpool.a" "${package_dirs[@]}" ||
    die "TensorFlow Lite does not configure"
  stage "tensorflow lite: compile"
  build_with_progress "$work/tflite-build" -j "$jobs"
  stage "tensorflow lite: install"
  run cmake --install "$work/tflite-build"
  [[ -f $prefix/lib/libtensorflow-lite.a ]] || die "the install has no libtensorflow-lite.a"
  stage "xnnpack delegate"
  build_xnnpack_delegate "$tree" "$work" "$prefix" "$xnnpack" \
    -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_PREFIX_PATH="$prefix" \
    -Dtensorflow-lite_DIR="$prefix/lib/cmake/tensorflow-lite" "${package_dirs[@]}" \
    -DCMAKE_CXX_FLAGS="$flags"
}

# XNNPACK, which the delegate is built over, before anything else: its
# prefix is another recipe's.
provision_xnnpack() {
  xnnpack=$(xnnpack_prefix win64)
}

main() {
  level=${CLASSIFY_WINDOWS_LEVEL:-x86-64}
  flags=$(level_flags "$level")
  # Above the base level only TensorFlow Lite and its delegate are compiled
  # again: the libraries below them (ruy and cpuinfo choose their kernels at
  # run time) are the base prefix's, copied.
  base=""
  if [[ $level != x86-64 ]]; then
    base=$(CLASSIFY_WINDOWS_LEVEL=x86-64 "$here/provision-tflite-windows.sh" | tail -n 1)
    [[ -d $base ]] || die "the base prefix could not be provisioned"
  fi
  local recipe
  recipe="$(pinned_versions src:tensorflow src:flatbuffers src:abseil src:farmhash src:fxdiv src:cpuinfo)"
  recipe+=" xnnpack-delegate=${pinned_version[tree:xnnpack]:0:7} pthreadpool=${pinned_version[src:pthreadpool]}"
  recipe+=" fft2d=oourafft-${pinned_version[src:oourafft]} ruy=${pinned_version[tree:ruy]}"
  recipe+=" target=x86_64-w64-mingw32 level=$level link=static revision=$RECIPE_REVISION"
  recipe+="${base:+ dependencies=$(basename "$base")}"
  prefix=$cache_root/tflite-$TF_RELEASE-win64
  [[ $level == x86-64 ]] || prefix+=-${level#x86-64-}
  package_dirs_of
  provision_prefix --before provision_xnnpack --apt "${APT_DEPS[*]}" \
    --about "TensorFlow Lite $TF_RELEASE for 64-bit Windows ($level) into $prefix, about 4 to 5 minutes on 2 cores" \
    "$prefix" "$recipe" "$cache_root/work-$(basename "$prefix")" fetch_sources build_dependencies build_tflite
}

main "$@"
