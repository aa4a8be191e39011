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

readonly JPEG_TARBALL=libjpeg-turbo_2.1.5.orig.tar.gz
readonly JPEG_DEBIAN_TARBALL=libjpeg-turbo_2.1.5-2.debian.tar.xz
readonly ZLIB_TARBALL=zlib_1.2.13.dfsg.orig.tar.bz2
readonly ZLIB_DEBIAN_TARBALL=zlib_1.2.13.dfsg-1.debian.tar.xz
readonly PNG_TARBALL=libpng1.6_1.6.39.orig.tar.gz
readonly PNG_DEBIAN_TARBALL=libpng1.6_1.6.39-2+deb12u5.debian.tar.xz
readonly LCMS_TARBALL=lcms2_2.14.orig.tar.gz
readonly LCMS_DEBIAN_TARBALL=lcms2_2.14-2+deb12u1.debian.tar.xz
readonly EXIF_TARBALL=libexif_0.6.24.orig.tar.gz
readonly EXIF_DEBIAN_TARBALL=libexif_0.6.24-1+deb12u1.debian.tar.xz
readonly MINIZIP_TARBALL=minizip_1.1.orig.tar.xz
readonly MINIZIP_DEBIAN_TARBALL=minizip_1.1-8+deb12u1.debian.tar.xz
readonly SQLITE_TARBALL=sqlite3_3.40.1.orig.tar.xz
readonly SQLITE_DEBIAN_TARBALL=sqlite3_3.40.1-2+deb12u2.debian.tar.xz
readonly EXPAT_TARBALL=expat_2.5.0.orig.tar.gz
readonly EXPAT_DEBIAN_TARBALL=expat_2.5.0-1+deb12u2.debian.tar.xz
readonly EXIV2_TARBALL=exiv2_0.27.6.orig.tar.gz
readonly EXIV2_DEBIAN_TARBALL=exiv2_0.27.6-1.debian.tar.xz
readonly SOURCE_LINES=("deb-src bookworm")
readonly SOURCE_PACKAGES=("src:libjpeg-turbo=1:2.1.5-2" "src:zlib=1:1.2.13.dfsg-1"
  "src:libpng1.6=1.6.39-2+deb12u5" "src:lcms2=2.14-2+deb12u1" "src:libexif=0.6.24-1+deb12u1"
  "src:minizip=1.1-8+deb12u1" "src:sqlite3=3.40.1-2+deb12u2" "src:expat=2.5.0-1+deb12u2"
  "src:exiv2=0.27.6-1")
readonly SOURCE_FILES=(
  "$JPEG_TARBALL=254f3642b04e309fee775123133c6464181addc150499561020312ec61c1bf7c"
  "$JPEG_DEBIAN_TARBALL=cdb2433c2f7101345c1ffa14efb943787c675b86354691a32490845fe4bc9237"
  "$ZLIB_TARBALL=71feb7947e3c00ef125f83b79a4e529bde31171e5babe48b391f06758d1ab0a1"
  "$ZLIB_DEBIAN_TARBALL=f66cf3d4f2d7defcd4d1fd1fb0a11ee39f1e01b42ec7d059c9dc5c1695133c44"
  "$PNG_TARBALL=a00e9d2f2f664186e4202db9299397f851aea71b36a35e74910b8820e380d441"
  "$PNG_DEBIAN_TARBALL=ab14906eda9fddf14cbb1e589b9ba7439c22e233dc3c5e3cf9356c9625565a82"
  "$LCMS_TARBALL=28474ea6f6591c4d4cee972123587001a4e6e353412a41b3e9e82219818d5740"
  "$LCMS_DEBIAN_TARBALL=3b88006a5ccc15f3d4b2f28310875a8c4d789ac8342deaf4113ed5c2fd4a59e8"
  "$EXIF_TARBALL=d3fb7c47829ec4d2def39aa38f4c35a0891763448a05dbf216a329a12bf198f9"
  "$EXIF_DEBIAN_TARBALL=ddf8224fe0d54ab840e2f85f4e0a219103079b043ec59ca6f900d7476927e613"
  "$MINIZIP_TARBALL=7d8da446d3b6799e7851f077a66551a46b80fc3de708549e79dbd3e49e842ba1"
  "$MINIZIP_DEBIAN_TARBALL=1a6f0cec9d51b9485d7a2f6c6fcf8240ab716854fe4640790838451f9f4b90fa"
  "$SQLITE_TARBALL=aaa776260ab4dc976db34aa7891819484c8676b5b2783123ebc6301e2ca5d655"
  "$SQLITE_DEBIAN_TARBALL=0843bc12e4364076477935ce313a6d0796fd899a989ff18ebb6545540e10e4ca"
  "$EXPAT_TARBALL=ab00ee05c7067fd10a35c5d2a4922ebba746ddd50ff83b79c828da17bbdf1757"
  "$EXPAT_DEBIAN_TARBALL=7e29f5db5067e55193540089ed0f3ec9676704cf79dcea81a9bfb9f49435ae53"
  "$EXIV2_TARBALL=f16ee5ff08b6994c66106109417857f13e711fca100ac43c6a403d4f02b59602"
  "$EXIV2_DEBIAN_TARBALL=abc4aa851abd1fd5ae9f28076ac42388190a99e5ae04c9615fed4ea789b55ebf")

cache_root=${CLASSIFY_TFLITE_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/classify}
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

build_libraries() {
  local src=$1
  # zlib's CMake project makes a DLL too, from a resource file Debian's
  # tarball leaves out: only its static library is built, and installed
  # under the name the others look for.
  unpack "$src/$ZLIB_TARBALL" "$work/zlib" "$src/$ZLIB_DEBIAN_TARBALL"
  run cmake -S "$work/zlib" -B "$work/zlib-build" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DCMAKE_BUILD_TYPE=Release || die "zlib does not configure"
  run cmake --build "$work/zlib-build" --target zlibstatic -j "$jobs" || die "zlib does not build"
  mkdir -p "$prefix/lib" "$prefix/include"
  cp "$work/zlib-build/libzlibstatic.a" "$prefix/lib/libz.a"
  cp "$work/zlib/zlib.h" "$work/zlib-build/zconf.h" "$prefix/include/"
  unpack "$src/$PNG_TARBALL" "$work/png" "$src/$PNG_DEBIAN_TARBALL"
  cross_build libpng "$work/png" -DPNG_SHARED=OFF -DPNG_STATIC=ON -DPNG_TESTS=OFF \
    -DPNG_EXECUTABLES=OFF -DZLIB_LIBRARY="$prefix/lib/libz.a" -DZLIB_INCLUDE_DIR="$prefix/include"
  unpack "$src/$JPEG_TARBALL" "$work/jpeg" "$src/$JPEG_DEBIAN_TARBALL"
  cross_build libjpeg-turbo "$work/jpeg" -DENABLE_SHARED=OFF -DENABLE_STATIC=ON \
    -DWITH_TURBOJPEG=OFF -DREQUIRE_SIMD=ON -DCMAKE_ASM_NASM_COMPILER=nasm
  unpack "$src/$LCMS_TARBALL" "$work/lcms2" "$src/$LCMS_DEBIAN_TARBALL"
  autotools_build lcms2 "$work/lcms2" --without-jpeg --without-tiff --without-zlib
  # libexif's tarball has no configure script: it is made, as Debian's build
  # makes it.
  unpack "$src/$EXIF_TARBALL" "$work/libexif" "$src/$EXIF_DEBIAN_TARBALL"
  (cd "$work/libexif" && run autoreconf -fi) || die "libexif's configure cannot be made"
  autotools_build libexif "$work/libexif" --disable-nls --disable-docs
  # minizip's reader alone (unzip.c over ioapi.c): the programs read
  # archives and write none.
  unpack "$src/$MINIZIP_TARBALL" "$work/minizip" "$src/$MINIZIP_DEBIAN_TARBALL"
  local part
  for part in unzip ioapi; do
    run "$host-gcc-posix" -O2 -I"$prefix/include" -c "$work/minizip/$part.c" \
      -o "$work/minizip/$part.o" || die "minizip does not build"
  done
  run "$host-gcc-ar-posix" rcs "$prefix/lib/libminizip.a" "$work/minizip/unzip.o" \
    "$work/minizip/ioapi.o" || die "minizip does not archive"
  mkdir -p "$prefix/include/minizip"
  cp "$work/minizip/unzip.h" "$work/minizip/ioapi.h" "$prefix/include/minizip/"
  build_keeping_libraries "$src"
  # The header-only libraries the programs use, as Debian ships them.
  cp -r /usr/include/CLI /usr/include/nlohmann /usr/include/xxhash.h "$prefix/include/"
}

# What classify-photos keeps its results with: SQLite's amalgamation (made
# by its own build, natively, then compiled for Windows), and exiv2 with its
# XMP toolkit over expat (made as Debian makes it, with autoreconf, which
# also sets the XML_DTD its security patches test). exiv2 is built for XMP
# alone: no PNG, no network, no command.
build_keeping_libraries() {
  local src=$1
  unpack "$src/$SQLITE_TARBALL" "$work/sqlite" "$src/$SQLITE_DEBIAN_TARBALL"
  mkdir -p "$work/sqlite/native"
  (cd "$work/sqlite/native" && run ../configure --disable-tcl && run make sqlite3.c) ||
    die "SQLite's amalgamation cannot be made"
  run "$host-gcc-posix" -O2 -DSQLITE_THREADSAFE=1 -DSQLITE_OMIT_LOAD_EXTENSION=1 \
    -c "$work/sqlite/native/sqlite3.c" -o "$work/sqlite/sqlite3.o" || die "SQLite does not build"
  run "$host-gcc-ar-posix" rcs "$prefix/lib/libsqlite3.a" "$work/sqlite/sqlite3.o" ||
    die "SQLite does not archive"
  cp "$work/sqlite/native/sqlite3.h" "$prefix/include/"
  unpack "$src/$EXPAT_TARBALL" "$work/expat-all" "$src/$EXPAT_DEBIAN_TARBALL"
  (cd "$work/expat-all/expat" && run autoreconf -fi) || die "expat's configure cannot be made"
  autotools_build expat "$work/expat-all/expat" --without-docbook --without-examples \
    --without-tests --without-xmlwf
  unpack "$src/$EXIV2_TARBALL" "$work/exiv2" "$src/$EXIV2_DEBIAN_TARBALL"
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
  local recipe="libjpeg-turbo=1:2.1.5-2 zlib=1:1.2.13.dfsg-1 libpng1.6=1.6.39-2+deb12u5 lcms2=2.14-2+deb12u1 libexif=0.6.24-1+deb12u1 minizip=1.1-8+deb12u1 sqlite3=3.40.1-2+deb12u2 expat=2.5.0-1+deb12u2 exiv2=0.27.6-1 headers=debian12 target=$host link=static revision=$RECIPE_REVISION"
  prefix=$cache_root/photo-libs-win64
  if prefix_is_current "$prefix" "$recipe"; then
    say "cached: $prefix"
    echo "$prefix"
    return
  fi
  start_log "$cache_root/logs/photo-libs-win64.log"
  say "building the photograph libraries for 64-bit Windows into $prefix, about 6 minutes on 2 cores"
  say "full log: $log_file"
  stage "apt packages"
  install_apt_packages "${APT_DEPS[@]}"
  rm -rf "$prefix"
  mkdir -p "$prefix" "$cache_root/downloads"
  work=$cache_root/work-photo-win64
  rm -rf "$work"
  mkdir -p "$work"
  local src=$cache_root/downloads

  stage "download sources"
  fetch_debian_files "$src" SOURCE_LINES SOURCE_PACKAGES SOURCE_FILES
  stage "build the libraries"
  build_libraries "$src"
  end_stage
  local library
  for library in libjpeg.a libpng16.a libz.a liblcms2.a libexif.a libminizip.a libsqlite3.a \
    libexpat.a libexiv2.a libexiv2-xmp.a; do
    [[ -f $prefix/lib/$library ]] || die "the prefix has no $library"
  done
  rm -rf "$work"
  stamp_prefix "$prefix" "$recipe"
  say "done in $(elapsed_total) s: $prefix"
  echo "$prefix"
}

main "$@"
