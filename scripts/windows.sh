#!/usr/bin/env bash
# make windows: provisions TensorFlow Lite for 64-bit Windows, cross-builds
# build-windows/classify.exe with MinGW-w64, checks what it is (it imports
# only Windows' own DLLs, and no AVX code keeps 32- or 64-byte vectors on the
# stack with aligned moves, which Win64's 16-byte stack alignment breaks),
# and packs build-windows/classify-<version>-win64.zip: the .exe and a README
# in CR LF text.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
tool_name=windows
# shellcheck source=lib/provision.sh
source scripts/lib/provision.sh

build_dir=build-windows
prefix=$(scripts/provision-tflite-windows.sh | tail -n 1)
install_apt_packages zip
mkdir -p "$build_dir"
start_log "$build_dir/build.log"
if ! grep -qxF "CLASSIFY_WINDOWS_PREFIX:PATH=$prefix" "$build_dir/CMakeCache.txt" 2>/dev/null; then
  rm -f "$build_dir/CMakeCache.txt"
  stage "configure $build_dir"
  run cmake -S . -B "$build_dir" -DCMAKE_TOOLCHAIN_FILE="$PWD/scripts/windows/mingw-w64-x86_64.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DCLASSIFY_WINDOWS_PREFIX="$prefix" \
    -DCLASSIFY_BUILD_TESTS=OFF -DCLASSIFY_BUILD_BENCH=OFF
fi
stage "compile classify.exe"
build_with_progress "$build_dir" --target classify -j "$jobs"
exe=$build_dir/classify.exe

stage "check classify.exe"
dlls=$(x86_64-w64-mingw32-objdump -p "$exe" | awk '/DLL Name:/ { print $3 }' | sort -u | tr '\n' ' ')
for dll in $dlls; do
  case ${dll,,} in
    kernel32.dll | msvcrt.dll) ;;
    *) die "classify.exe imports $dll; it may import only KERNEL32.dll and msvcrt.dll" ;;
  esac
done
# An aligned move of a YMM or ZMM register to or from the stack faults where
# the stack is only 16-byte aligned (GCC bug 54412).
disassembly=$build_dir/classify.exe.s
x86_64-w64-mingw32-objdump -d --no-show-raw-insn "$exe" >"$disassembly"
# The scan must see vector code at all, or it proves nothing.
grep -qE '%[yz]mm[0-9]+' "$disassembly" || die "no AVX code found in classify.exe's disassembly"
aligned=$(grep -E 'vmov(aps|apd|dqa|dqa32|dqa64)[[:space:]]' "$disassembly" |
  grep -E '%[yz]mm[0-9]+' | grep -E '\((%rsp|%rbp)' || true)
[[ -z $aligned ]] || die "classify.exe moves vectors of 32 or 64 bytes to or from the stack with aligned moves:
$(head -n 5 <<<"$aligned")"

stage "zip"
version=$(sed -n 's/^project(classify VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
zip_file=$build_dir/classify-$version-win64.zip
staging=$build_dir/zip
rm -rf "$staging" "$zip_file"
mkdir -p "$staging"
cp "$exe" "$staging/"
sed 's/$/\r/' scripts/windows/README.txt >"$staging/README.txt"
(cd "$staging" && run zip -X -q "../$(basename "$zip_file")" classify.exe README.txt)
end_stage
say "imports: $dlls"
say "$zip_file"
