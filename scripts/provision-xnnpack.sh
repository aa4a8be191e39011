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
# The upstream trees (versions.txt) and, for cpuinfo, the mirror's suite.
readonly TREES=(tree:xnnpack tree:pthreadpool tree:FP16)
readonly CPUINFO_LINES=("deb-src sid")

third_party=${CLASSIFY_THIRD_PARTY:-$here/../../shared/third_party}

check_tarballs() {
  local tree file
  for tree in "${TREES[@]}"; do
    file=$third_party/${pinned_file[$tree]}
    [[ -f $file ]] || die "missing: $file. It is the commit its name gives, as a .tar.xz of the upstream repository's tree (sha256 ${pinned_sha256[$tree]}); set CLASSIFY_THIRD_PARTY to its folder"
    has_sha256 "$file" "${pinned_sha256[$tree]}" || die "$file is not the expected tree (its sha256 should be ${pinned_sha256[$tree]})"
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
  target=${1:-linux}
  toolchain_args=()
  case $target in
    linux) ;;
    win64) toolchain_args=(-DCMAKE_TOOLCHAIN_FILE="$here/windows/mingw-w64-x86_64.cmake") ;;
    *) die "usage: provision-xnnpack.sh linux|win64" ;;
  esac
  local commit=${pinned_version[tree:xnnpack]}
  # FXdiv is header-only: Debian 12's package is the commit XNNPACK names.
  local recipe="xnnpack=$commit pthreadpool=${pinned_version[tree:pthreadpool]}"
  recipe+=" fp16=${pinned_version[tree:FP16]} fxdiv=${pinned_version[src:fxdiv]}"
  recipe+=" cpuinfo=${pinned_version[src:cpuinfo]} target=$target revision=$RECIPE_REVISION"
  local prefix=$cache_root/xnnpack-${commit:0:7}-$target
  local deps=(cmake g++ libfxdiv-dev xz-utils patch)
  [[ $target == win64 ]] && deps+=(g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix)
  provision_prefix --about "XNNPACK ${commit:0:7} for $target into $prefix, under a minute on 2 cores" \
    --apt "${deps[*]}" "$prefix" "$recipe" "$cache_root/work-xnnpack-$target" build_xnnpack
}

build_xnnpack() {
  check_tarballs
  stage "download sources"
  fetch_pinned CPUINFO_LINES src:cpuinfo
  stage "unpack"
  unpack "$third_party/${pinned_file[tree:xnnpack]}" "$work/xnnpack"
  # Our own patches (scripts/xnnpack/patches/, each saying why at its top).
  local patch_file
  for patch_file in "$here"/xnnpack/patches/*.patch; do
    run patch -d "$work/xnnpack" -p1 --forward --batch -s -i "$patch_file" ||
      die "our patch $(basename "$patch_file") does not apply"
  done
  unpack "$third_party/${pinned_file[tree:pthreadpool]}" "$work/pthreadpool"
  unpack "$third_party/${pinned_file[tree:FP16]}" "$work/fp16"
  unpack_pinned src:cpuinfo "$work/cpuinfo"
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
}

main "$@"
