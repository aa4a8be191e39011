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

readonly RUY_COMMIT=21a85fef159f9942f636a43b14c64b481c2a05b2
readonly RUY_SHA256=be22b693dd1cf473d4c1cddbb3220b49ce7c88c2aec6c4b2cfedfacf18fb0fe1
readonly ABSEIL_TARBALL=abseil_20220623.1.orig.tar.gz
readonly ABSEIL_DEBIAN_TARBALL=abseil_20220623.1-1+deb12u2.debian.tar.xz
readonly FARMHASH_TARBALL=farmhash_0~git20190513.0d859a8.orig.tar.xz
readonly FARMHASH_DEBIAN_TARBALL=farmhash_0~git20190513.0d859a8-2.debian.tar.xz
readonly FXDIV_TARBALL=fxdiv_0.0~git20200417.b408327.orig.tar.xz
readonly PTHREADPOOL_TARBALL=pthreadpool_0.0~git20240616.560c60d.orig.tar.xz
readonly FFT2D_TARBALL=oourafft_1.0.orig.tar.gz
readonly FLATBUFFERS_TARBALL=flatbuffers_23.5.26+dfsg.orig.tar.xz
readonly TF_TARBALL=tensorflow_2.14.1+dfsg.orig.tar.xz
readonly TF_DEBIAN_TARBALL=tensorflow_2.14.1+dfsg-3.1.debian.tar.xz
# What the mirror serves, in which suite, and the sha256 of each file used.
readonly SOURCE_LINES=("deb-src sid" "deb-src trixie" "deb-src bookworm")
readonly SOURCE_PACKAGES=("src:abseil=20220623.1-1+deb12u2" "src:farmhash=0~git20190513.0d859a8-2"
  "src:fxdiv=0.0~git20200417.b408327-3" "src:cpuinfo=$CPUINFO_VERSION"
  "src:pthreadpool=0.0~git20240616.560c60d-1" "src:oourafft=1.0-3"
  "src:flatbuffers=23.5.26+dfsg-4" "src:tensorflow=2.14.1+dfsg-3.1")
readonly SOURCE_FILES=(
  "$ABSEIL_TARBALL=abfe2897f3a30edaa74bc34365afe3c2a3cd012091a97dc7e008f7016adcd5fe"
  "$ABSEIL_DEBIAN_TARBALL=e08490fc7b6f3beca1925953b0c4fb92df2de5e2a01295e4641e2a3d4e528eeb"
  "$FARMHASH_TARBALL=e2fc97337d22a598d1b35697c20a9a9c638abccff2793e2cab12d01eec5bc496"
  "$FARMHASH_DEBIAN_TARBALL=a981ba1b866841da0dd80e7be0b0e52f50cadf98b91051f4ab76ded2966b0076"
  "$FXDIV_TARBALL=7953482badaf4cb34026c3487c257b8e4ab2df061c019bd6fabbbc12ad52c44b"
  "$CPUINFO_TARBALL=$CPUINFO_SHA256"
  "$PTHREADPOOL_TARBALL=4cc3cbd933b28131d2a34edc54f76af9fb41bc490af5eae1a5bd3cd07ea90708"
  "$FFT2D_TARBALL=5f4dabc2ae21e1f537425d58a49cdca1c49ea11db0d6271e2a4b27e9697548eb"
  "$FLATBUFFERS_TARBALL=0d309fd2c47bbbebd450e68d1419c336d53d1b8f5ce47e1f1f7f28f452fc6f3b"
  "$TF_TARBALL=9dfff0627def4e999f66a80d0fb57fd0651d12d525dcd67d6c24f1e9bca72b93"
  "$TF_DEBIAN_TARBALL=05f0c158488289368b06664d0e6e54a9d408936c479c9529e5f6fe9fa41b72a0")

cache_root=${CLASSIFY_TFLITE_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/classify}
ruy_source=${CLASSIFY_RUY_SOURCE:-$here/../../shared/third_party/ruy-$RUY_COMMIT.tar.xz}
toolchain=$here/windows/mingw-w64-x86_64.cmake

check_ruy_source() {
  if [[ ! -f $ruy_source ]]; then
    die "ruy's source is missing: $ruy_source. It is the tree of https://github.com/google/ruy at commit $RUY_COMMIT as a .tar.xz (sha256 $RUY_SHA256); set CLASSIFY_RUY_SOURCE to its path"
  fi
  has_sha256 "$ruy_source" "$RUY_SHA256" ||
    die "$ruy_source is not ruy at commit $RUY_COMMIT (its sha256 should be $RUY_SHA256)"
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

build_dependencies() {
  local src=$1
  stage "flatbuffers"
  unpack "$src/$FLATBUFFERS_TARBALL" "$work/flatbuffers"
  cross_build flatbuffers "$work/flatbuffers" -DFLATBUFFERS_BUILD_TESTS=OFF \
    -DFLATBUFFERS_BUILD_FLATC=OFF -DFLATBUFFERS_BUILD_FLATHASH=OFF
  # The metadata code generator runs here, on the machine that builds.
  mkdir -p "$prefix/bin"
  build_flatc_cpp "$work/flatbuffers" "$prefix/bin"
  stage "abseil"
  unpack "$src/$ABSEIL_TARBALL" "$work/abseil" "$src/$ABSEIL_DEBIAN_TARBALL"
  cross_build abseil "$work/abseil" -DCMAKE_CXX_STANDARD=17 -DABSL_PROPAGATE_CXX_STD=ON \
    -DBUILD_TESTING=OFF -DABSL_ENABLE_INSTALL=ON
  stage "cpuinfo, pthreadpool, farmhash, fft2d"
  build_cpuinfo "$src/$CPUINFO_TARBALL" "$work" "$prefix" -DCMAKE_TOOLCHAIN_FILE="$toolchain"
  unpack "$src/$FXDIV_TARBALL" "$work/fxdiv"
  unpack "$src/$PTHREADPOOL_TARBALL" "$work/pthreadpool"
  cross_build pthreadpool "$work/pthreadpool" -DPTHREADPOOL_LIBRARY_TYPE=static \
    -DPTHREADPOOL_BUILD_TESTS=OFF -DPTHREADPOOL_BUILD_BENCHMARKS=OFF \
    -DFXDIV_SOURCE_DIR="$work/fxdiv"
  unpack "$src/$FARMHASH_TARBALL" "$work/farmhash" "$src/$FARMHASH_DEBIAN_TARBALL"
  cp "$here/windows/farmhash.cmake" "$work/farmhash/CMakeLists.txt"
  cross_build farmhash "$work/farmhash"
  unpack "$src/$FFT2D_TARBALL" "$work/fft2d"
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

configure_tflite() {
  local src=$1 tree=$work/tensorflow
  unpack "$src/$TF_TARBALL" "$tree" "$src/$TF_DEBIAN_TARBALL"
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
}

main() {
  level=${CLASSIFY_WINDOWS_LEVEL:-x86-64}
  flags=$(level_flags "$level")
  # Above the base level only TensorFlow Lite and its delegate are compiled
  # again: the libraries below them (ruy and cpuinfo choose their kernels at
  # run time) are the base prefix's, copied.
  local base=""
  if [[ $level != x86-64 ]]; then
    base=$(CLASSIFY_WINDOWS_LEVEL=x86-64 "$here/provision-tflite-windows.sh" | tail -n 1)
    [[ -d $base ]] || die "the base prefix could not be provisioned"
  fi
  local recipe="tensorflow=2.14.1+dfsg-3.1 flatbuffers=23.5.26+dfsg-4 abseil=20220623.1-1+deb12u2 farmhash=0~git20190513.0d859a8-2 fxdiv=0.0~git20200417.b408327-3 cpuinfo=$CPUINFO_VERSION xnnpack-delegate=b9d4073 pthreadpool=0.0~git20240616.560c60d-1 fft2d=oourafft-1.0-3 ruy=$RUY_COMMIT target=x86_64-w64-mingw32 level=$level link=static revision=$RECIPE_REVISION${base:+ dependencies=$(basename "$base")}"
  prefix=$cache_root/tflite-2.14.1-win64
  [[ $level == x86-64 ]] || prefix+=-${level#x86-64-}
  if prefix_is_current "$prefix" "$recipe"; then
    say "cached: $prefix"
    echo "$prefix"
    return
  fi
  local xnnpack
  xnnpack=$(xnnpack_prefix win64)
  start_log "$cache_root/logs/$(basename "$prefix").log"
  say "building TensorFlow Lite 2.14.1 for 64-bit Windows ($level) into $prefix, about 4 to 5 minutes on 2 cores"
  say "full log: $log_file"
  stage "apt packages"
  install_apt_packages "${APT_DEPS[@]}"
  check_ruy_source
  rm -rf "$prefix"
  mkdir -p "$prefix" "$cache_root/downloads"
  work=$cache_root/work-$(basename "$prefix")
  package_dirs_of
  rm -rf "$work"
  mkdir -p "$work"
  local src=$cache_root/downloads

  stage "download sources"
  fetch_debian_files "$src" SOURCE_LINES SOURCE_PACKAGES SOURCE_FILES
  if [[ -n $base ]]; then
    stage "dependencies, from $(basename "$base")"
    cp -a "$base/." "$prefix/"
    rm -rf "$prefix/.provisioned" "$prefix/include/tensorflow" "$prefix/lib/libtensorflow-lite.a" \
      "$prefix/lib/cmake/tensorflow-lite" "$prefix/lib/xnnpack-delegate" \
      "$prefix/lib/cmake/tflite-xnnpack-delegate"
  else
    build_dependencies "$src"
  fi
  stage "tensorflow lite: configure"
  configure_tflite "$src"
  stage "tensorflow lite: compile"
  build_with_progress "$work/tflite-build" -j "$jobs"
  stage "tensorflow lite: install"
  run cmake --install "$work/tflite-build"
  [[ -f $prefix/lib/libtensorflow-lite.a ]] || die "the install has no libtensorflow-lite.a"
  stage "xnnpack delegate"
  build_xnnpack_delegate "$work/tensorflow" "$work" "$prefix" "$xnnpack" \
    -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_PREFIX_PATH="$prefix" \
    -Dtensorflow-lite_DIR="$prefix/lib/cmake/tensorflow-lite" "${package_dirs[@]}" \
    -DCMAKE_CXX_FLAGS="$flags"
  end_stage
  rm -rf "$work"
  stamp_prefix "$prefix" "$recipe"
  say "done in $(elapsed_total) s: $prefix"
  echo "$prefix"
}

main "$@"
