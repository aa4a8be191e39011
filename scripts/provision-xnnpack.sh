#!/usr/bin/env bash
# Provisions XNNPACK, the library behind TensorFlow Lite's XNNPACK delegate,
# at the commit TensorFlow Lite 2.14.1 pins (the delegate's source speaks
# that commit's interface), with the pthreadpool and FP16 commits it names.
# Usage: provision-xnnpack.sh linux|win64
#
# Built once per target: its microkernels choose the instruction set at run
# time, so one build serves the portable and the x86-64-v3 TensorFlow Lite.
# Only the library and the production microkernels are built (as one
# amalgamated file per instruction set), no tests and no benchmarks. It is
# built against the same cpuinfo as the TensorFlow Lite prefixes, so that
# every library of a program reads one layout of cpuinfo's structures.
#
# Prints the prefix on the last line of standard output; one line per stage
# on standard error, the full log in the cache folder (VERBOSE=1 shows it).
#
# Environment:
#   CLASSIFY_TFLITE_CACHE       cache folder (default ${XDG_CACHE_HOME:-$HOME/.cache}/classify)
#   CLASSIFY_THIRD_PARTY        folder of the XNNPACK, pthreadpool and FP16
#                               tarballs (default: ../shared/third_party)
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
tool_name=provision-xnnpack
# shellcheck source=lib/provision.sh
source "$here/lib/provision.sh"

# Bump when the recipe below changes in a way the pinned commits do not show
# (or scripts/xnnpack/patches/).
readonly RECIPE_REVISION=2
readonly XNNPACK_COMMIT=b9d4073a6913891ce9cbd8965c8d506075d2a45a
readonly PTHREADPOOL_COMMIT=43edadc654d6283b4b6e45ba09a853181ae8e850
readonly FP16_COMMIT=0a92994d729ff76a58f692d3028ca1b64b145d91
readonly TARBALLS=(
  "xnnpack-$XNNPACK_COMMIT.tar.xz=5de3454df3a8cc58ee652052f6b04de587d5733d06ca742f57599ae07e3f38e1"
  "pthreadpool-$PTHREADPOOL_COMMIT.tar.xz=6183f4083eb2e8062ec7926bce64b98425eb5f035f0c22b3a93935d8f423257d"
  "FP16-$FP16_COMMIT.tar.xz=1f71871c188e6863ee0b594bca9ca05f358c9c1a4cf154021c5e2935034671c0")
# FXdiv is header-only: Debian 12's package is the commit XNNPACK names.
readonly FXDIV_VERSION=0.0~git20200417.b408327-3

cache_root=${CLASSIFY_TFLITE_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/classify}
third_party=${CLASSIFY_THIRD_PARTY:-$here/../../shared/third_party}

check_tarballs() {
  local entry file
  for entry in "${TARBALLS[@]}"; do
    file=$third_party/${entry%%=*}
    [[ -f $file ]] || die "missing: $file. It is the commit its name gives, as a .tar.xz of the upstream repository's tree (sha256 ${entry#*=}); set CLASSIFY_THIRD_PARTY to its folder"
    has_sha256 "$file" "${entry#*=}" || die "$file is not the expected tree (its sha256 should be ${entry#*=})"
  done
}

# header_project DIR NAME: makes DIR, which holds a header-only library's
# include/, the small CMake project XNNPACK adds for it (the library's own
# would fetch what its tests and benchmarks need).
header_project() {
  cat >"$1/CMakeLists.txt" <<EOF
cmake_minimum_required(VERSION 3.5)
project($2 C)
add_library($2 INTERFACE)
target_include_directories($2 INTERFACE "\${CMAKE_CURRENT_SOURCE_DIR}/include")
EOF
}

main() {
  local target=${1:-linux}
  local toolchain_args=()
  case $target in
    linux) ;;
    win64) toolchain_args=(-DCMAKE_TOOLCHAIN_FILE="$here/windows/mingw-w64-x86_64.cmake") ;;
    *) die "usage: provision-xnnpack.sh linux|win64" ;;
  esac
  local recipe="xnnpack=$XNNPACK_COMMIT pthreadpool=$PTHREADPOOL_COMMIT fp16=$FP16_COMMIT fxdiv=$FXDIV_VERSION cpuinfo=$CPUINFO_VERSION target=$target revision=$RECIPE_REVISION"
  local prefix=$cache_root/xnnpack-${XNNPACK_COMMIT:0:7}-$target
  if prefix_is_current "$prefix" "$recipe"; then
    say "cached: $prefix"
    echo "$prefix"
    return
  fi
  start_log "$cache_root/logs/xnnpack-${XNNPACK_COMMIT:0:7}-$target.log"
  say "building XNNPACK ${XNNPACK_COMMIT:0:7} for $target into $prefix, under a minute on 2 cores"
  stage "apt packages"
  local deps=(cmake g++ libfxdiv-dev xz-utils patch)
  [[ $target == win64 ]] && deps+=(g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix)
  install_apt_packages "${deps[@]}"
  check_tarballs
  rm -rf "$prefix"
  mkdir -p "$prefix" "$cache_root/downloads"
  local work=$cache_root/work-xnnpack-$target
  rm -rf "$work"
  mkdir -p "$work"

  stage "download sources"
  local src=$cache_root/downloads
  local cpuinfo_lines=("deb-src sid") cpuinfo_packages=("src:cpuinfo=$CPUINFO_VERSION")
  local cpuinfo_files=("$CPUINFO_TARBALL=$CPUINFO_SHA256")
  fetch_debian_files "$src" cpuinfo_lines cpuinfo_packages cpuinfo_files
  stage "unpack"
  unpack "$third_party/xnnpack-$XNNPACK_COMMIT.tar.xz" "$work/xnnpack"
  # Our own patches (scripts/xnnpack/patches/, each saying why at its top).
  local patch_file
  for patch_file in "$here"/xnnpack/patches/*.patch; do
    run patch -d "$work/xnnpack" -p1 --forward --batch -s -i "$patch_file" ||
      die "our patch $(basename "$patch_file") does not apply"
  done
  unpack "$third_party/pthreadpool-$PTHREADPOOL_COMMIT.tar.xz" "$work/pthreadpool"
  unpack "$third_party/FP16-$FP16_COMMIT.tar.xz" "$work/fp16"
  unpack "$src/$CPUINFO_TARBALL" "$work/cpuinfo"
  header_project "$work/fp16" fp16
  mkdir -p "$work/fxdiv/include"
  cp /usr/include/fxdiv.h "$work/fxdiv/include/"
  header_project "$work/fxdiv" fxdiv
  stage "compile"
  run cmake -S "$work/xnnpack" -B "$work/build" "${toolchain_args[@]}" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX="$prefix" -DCMAKE_POSITION_INDEPENDENT_CODE=ON \
    -DXNNPACK_LIBRARY_TYPE=static -DXNNPACK_BUILD_TESTS=OFF -DXNNPACK_BUILD_BENCHMARKS=OFF \
    -DXNNPACK_ENABLE_JIT=OFF -DXNNPACK_USE_SYSTEM_LIBS=OFF \
    -DCPUINFO_SOURCE_DIR="$work/cpuinfo" -DPTHREADPOOL_SOURCE_DIR="$work/pthreadpool" \
    -DFP16_SOURCE_DIR="$work/fp16" -DFXDIV_SOURCE_DIR="$work/fxdiv" \
    -DCPUINFO_LIBRARY_TYPE=static -DPTHREADPOOL_LIBRARY_TYPE=static || die "XNNPACK does not configure"
  # The library alone: the default target would also compile every
  # microkernel the tests use, ten times the work.
  build_with_progress "$work/build" --target XNNPACK -j "$jobs"
  stage "install"
  # XNNPACK's own install rules would also install what its build did not
  # make: the archives and headers are copied instead.
  mkdir -p "$prefix/lib" "$prefix/include"
  cp "$work/build/libXNNPACK.a" "$work/build/pthreadpool/libpthreadpool.a" "$prefix/lib/"
  cp "$work/xnnpack/include/xnnpack.h" "$work/pthreadpool/include/pthreadpool.h" \
    "$work/fp16/include/fp16.h" "$prefix/include/"
  cp -r "$work/fp16/include/fp16" "$prefix/include/"
  [[ -s $prefix/lib/libXNNPACK.a ]] || die "the build made no libXNNPACK.a"
  end_stage
  rm -rf "$work"
  stamp_prefix "$prefix" "$recipe"
  say "done in $(elapsed_total) s: $prefix"
  echo "$prefix"
}

main "$@"
