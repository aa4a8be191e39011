#!/usr/bin/env bash
# Provisions the photograph libraries for 64-bit Windows, cross-built with
# Debian's MinGW-w64 as static libraries from Debian 12's own source packages
# (each checked by sha256, with Debian's patches applied), into a
# machine-wide cache prefix beside the TensorFlow Lite ones: libjpeg-turbo
# (with its SIMD code, assembled by nasm), zlib, libpng, lcms2, libexif and
# minizip (the reader of a model's appended zip archive), SQLite (the
# results' cache), expat and exiv2 (the XMP sidecars), the versions the
# Linux build links; and the header-only CLI11, nlohmann's JSON and xxHash
# as Debian ships them. Stamped and staged like the other
# prefixes (scripts/lib/provision.sh).
#
# Prints the prefix on the last line of standard output; one line per stage
# on standard error, the full log in the cache folder (VERBOSE=1 shows it).
#
# Environment:
#   CLASSIFY_TFLITE_CACHE  cache folder (default ${XDG_CACHE_HOME:-$HOME/.cache}/classify)
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
tool_name=provision-photo-windows
# shellcheck source=lib/provision.sh
source "$here/lib/provision.sh"

readonly APT_DEPS=(cmake make nasm g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix
  autoconf automake libtool autopoint pkg-config libcli11-dev nlohmann-json3-dev xz-utils bzip2
  patch dpkg-dev tcl libxxhash-dev)
# Bump when the recipe below changes in a way the pinned versions do not show.
readonly RECIPE_REVISION=3

# What the mirror serves, in which suite, and the packages used from it
# (versions.txt).
readonly SOURCE_LINES=("deb-src bookworm")
readonly SOURCES=(src:libjpeg-turbo src:zlib src:libpng1.6 src:lcms2 src:libexif src:minizip
  src:sqlite3 src:expat src:exiv2)

toolchain=$here/windows/mingw-w64-x86_64.cmake
readonly host=x86_64-w64-mingw32

# An autotools project in SOURCE, configured for Windows, static only.
autotools_build() {
  local name=$1 source=$2
  shift 2
  (cd "$source" && run ./configure --host="$host" --prefix="$prefix" --disable-shared \
    --enable-static CC="$host-gcc-posix" AR="$host-gcc-ar-posix" RANLIB="$host-gcc-ranlib-posix" \
    "$@") || die "$name does not configure"
  run make -C "$source" -j "$jobs" || die "$name does not build"
  run make -C "$source" install || die "$name does not install"
}

fetch_sources() {
  stage "download sources"
  fetch_pinned SOURCE_LINES "${SOURCES[@]}"
}

build_libraries() {
  stage "build the libraries"
  # zlib's CMake project makes a DLL too, from a resource file Debian's
  # tarball leaves out: only its static library is built, and installed
  # under the name the others look for.
  unpack_pinned src:zlib "$work/zlib"
  run cmake -S "$work/zlib" -B "$work/zlib-build" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DCMAKE_BUILD_TYPE=Release || die "zlib does not configure"
  run cmake --build "$work/zlib-build" --target zlibstatic -j "$jobs" || die "zlib does not build"
  mkdir -p "$prefix/lib" "$prefix/include"
  cp "$work/zlib-build/libzlibstatic.a" "$prefix/lib/libz.a"
  cp "$work/zlib/zlib.h" "$work/zlib-build/zconf.h" "$prefix/include/"
  unpack_pinned src:libpng1.6 "$work/png"
  cross_build libpng "$work/png" -DPNG_SHARED=OFF -DPNG_STATIC=ON -DPNG_TESTS=OFF \
    -DPNG_EXECUTABLES=OFF -DZLIB_LIBRARY="$prefix/lib/libz.a" -DZLIB_INCLUDE_DIR="$prefix/include"
  unpack_pinned src:libjpeg-turbo "$work/jpeg"
  cross_build libjpeg-turbo "$work/jpeg" -DENABLE_SHARED=OFF -DENABLE_STATIC=ON \
    -DWITH_TURBOJPEG=OFF -DREQUIRE_SIMD=ON -DCMAKE_ASM_NASM_COMPILER=nasm
  unpack_pinned src:lcms2 "$work/lcms2"
  autotools_build lcms2 "$work/lcms2" --without-jpeg --without-tiff --without-zlib
  # libexif's tarball has no configure script: it is made, as Debian's build
  # makes it.
  unpack_pinned src:libexif "$work/libexif"
  (cd "$work/libexif" && run autoreconf -fi) || die "libexif's configure cannot be made"
  autotools_build libexif "$work/libexif" --disable-nls --disable-docs
  # minizip's reader alone (unzip.c over ioapi.c): the programs read
  # archives and write none.
  unpack_pinned src:minizip "$work/minizip"
  local part
  for part in unzip ioapi; do
    run "$host-gcc-posix" -O2 -I"$prefix/include" -c "$work/minizip/$part.c" \
      -o "$work/minizip/$part.o" || die "minizip does not build"
  done
  run "$host-gcc-ar-posix" rcs "$prefix/lib/libminizip.a" "$work/minizip/unzip.o" \
    "$work/minizip/ioapi.o" || die "minizip does not archive"
  mkdir -p "$prefix/include/minizip"
  cp "$work/minizip/unzip.h" "$work/minizip/ioapi.h" "$prefix/include/minizip/"
  build_keeping_libraries
  # The header-only libraries the programs use, as Debian ships them.
  cp -r /usr/include/CLI /usr/include/nlohmann /usr/include/xxhash.h "$prefix/include/"
}

check_libraries() {
  end_stage
  local library
  for library in libjpeg.a libpng16.a libz.a liblcms2.a libexif.a libminizip.a libsqlite3.a \
    libexpat.a libexiv2.a libexiv2-xmp.a; do
    [[ -f $prefix/lib/$library ]] || die "the prefix has no $library"
  done
}

# What classify-photos keeps its results with: SQLite's amalgamation (made
# by its own build, natively, then compiled for Windows), and exiv2 with its
# XMP toolkit over expat (made as Debian makes it, with autoreconf, which
# also sets the XML_DTD its security patches test). exiv2 is built for XMP
# alone: no PNG, no network, no command.
build_keeping_libraries() {
  unpack_pinned src:sqlite3 "$work/sqlite"
  mkdir -p "$work/sqlite/native"
  (cd "$work/sqlite/native" && run ../configure --disable-tcl && run make sqlite3.c) ||
    die "SQLite's amalgamation cannot be made"
  run "$host-gcc-posix" -O2 -DSQLITE_THREADSAFE=1 -DSQLITE_OMIT_LOAD_EXTENSION=1 \
    -c "$work/sqlite/native/sqlite3.c" -o "$work/sqlite/sqlite3.o" || die "SQLite does not build"
  run "$host-gcc-ar-posix" rcs "$prefix/lib/libsqlite3.a" "$work/sqlite/sqlite3.o" ||
    die "SQLite does not archive"
  cp "$work/sqlite/native/sqlite3.h" "$prefix/include/"
  unpack_pinned src:expat "$work/expat-all"
  (cd "$work/expat-all/expat" && run autoreconf -fi) || die "expat's configure cannot be made"
  autotools_build expat "$work/expat-all/expat" --without-docbook --without-examples \
    --without-tests --without-xmlwf
  unpack_pinned src:exiv2 "$work/exiv2"
  cross_build exiv2 "$work/exiv2" -DEXIV2_ENABLE_XMP=ON -DEXIV2_ENABLE_PNG=OFF \
    -DEXIV2_ENABLE_NLS=OFF -DEXIV2_BUILD_EXIV2_COMMAND=OFF -DEXIV2_BUILD_SAMPLES=OFF \
    -DEXIV2_BUILD_UNIT_TESTS=OFF -DEXIV2_ENABLE_WEBREADY=OFF -DEXIV2_ENABLE_CURL=OFF \
    -DEXIV2_ENABLE_BMFF=OFF -DEXIV2_ENABLE_LENSDATA=OFF -DEXIV2_ENABLE_WIN_UNICODE=OFF \
    -DEXIV2_BUILD_DOC=OFF -DEXPAT_LIBRARY="$prefix/lib/libexpat.a" \
    -DEXPAT_INCLUDE_DIR="$prefix/include" -DCMAKE_C_FLAGS=-DXML_STATIC \
    -DCMAKE_CXX_FLAGS=-DXML_STATIC
}

main() {
  # CLI11 and nlohmann's JSON come from Debian 12's packages, whose versions
  # a stable release keeps: the revision is bumped if that ever changes.
  local recipe
  recipe="$(pinned_versions "${SOURCES[@]}") headers=debian12 target=$host link=static"
  recipe+=" revision=$RECIPE_REVISION"
  local prefix=$cache_root/photo-libs-win64
  provision_prefix --apt "${APT_DEPS[*]}" \
    --about "the photograph libraries for 64-bit Windows into $prefix, about 6 minutes on 2 cores" \
    "$prefix" "$recipe" "$cache_root/work-photo-win64" fetch_sources build_libraries check_libraries
}

main "$@"
