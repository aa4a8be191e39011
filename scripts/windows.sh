#!/usr/bin/env bash
# make windows: provisions TensorFlow Lite and the photograph libraries for
# 64-bit Windows, cross-builds build-windows/classify.exe, prepare-input.exe
# and classify-photos.exe with MinGW-w64 for any x86-64 CPU, and
# build-windows-v3/classify.exe and classify-photos.exe over TensorFlow Lite
# for x86-64-v3 (which check the CPU at their entry and run the first where
# it lacks AVX2 or FMA), checks what they are (each imports
# only Windows' own DLLs, and no AVX code keeps 32- or 64-byte vectors on the
# stack with aligned moves, which Win64's 16-byte stack alignment breaks),
# and packs build-windows/classify-<version>-win64.zip: the three programs,
# the pretrained model and its labels, and a README in CR LF text.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
tool_name=windows
# shellcheck source=lib/provision.sh
source scripts/lib/provision.sh

build_dir=build-windows
v3_dir=build-windows-v3
prefix=$(scripts/provision-tflite-windows.sh | tail -n 1)
v3_prefix=$(CLASSIFY_WINDOWS_LEVEL=x86-64-v3 scripts/provision-tflite-windows.sh | tail -n 1)
photo_prefix=$(scripts/provision-photo-windows.sh | tail -n 1)
install_apt_packages zip
mkdir -p "$build_dir" "$v3_dir"
start_log "$build_dir/build.log"

# configure DIR PREFIX: configures DIR against the TensorFlow Lite PREFIX,
# where it is new or was configured against another.
configure() {
  local dir=$1 tflite=$2
  if ! grep -qxF "CLASSIFY_WINDOWS_PREFIX:PATH=$tflite" "$dir/CMakeCache.txt" 2>/dev/null ||
    ! grep -qxF "CLASSIFY_WINDOWS_PHOTO_PREFIX:PATH=$photo_prefix" "$dir/CMakeCache.txt"; then
    rm -f "$dir/CMakeCache.txt"
    stage "configure $dir"
    run cmake -S . -B "$dir" -DCMAKE_TOOLCHAIN_FILE="$PWD/scripts/windows/mingw-w64-x86_64.cmake" \
      -DCMAKE_BUILD_TYPE=Release -DCLASSIFY_WINDOWS_PREFIX="$tflite" \
      -DCLASSIFY_WINDOWS_PHOTO_PREFIX="$photo_prefix" -DCLASSIFY_BUILD_TESTS=OFF \
      -DCLASSIFY_BUILD_BENCH=OFF
  fi
}
configure "$build_dir" "$prefix"
configure "$v3_dir" "$v3_prefix"
stage "compile classify.exe, prepare-input.exe and classify-photos.exe"
build_with_progress "$build_dir" --target classify prepare-input classify-photos -j "$jobs"
stage "compile classify.exe and classify-photos.exe for x86-64-v3"
build_with_progress "$v3_dir" --target classify classify-photos -j "$jobs"
# In the zip: classify.exe and classify-photos.exe for x86-64-v3, and in
# x86-64/ the same for any x86-64 CPU, which the first run where the CPU
# lacks the level.
programs=(classify.exe prepare-input.exe classify-photos.exe)
for program in classify classify-photos; do
  [[ $(x86_64-w64-mingw32-objdump -f "$v3_dir/$program.exe" | awk '/start address/ { print $3 }') == \
    0x$(x86_64-w64-mingw32-nm "$v3_dir/$program.exe" | awk '$3 == "classify_entry" { print $1 }') ]] ||
    die "$v3_dir/$program.exe does not check the CPU at its entry"
done

# What each program may import: Windows' own DLLs. classify.exe needs no
# more than the kernel and the C runtime; the photograph tools also COM, for
# the Windows Imaging Component (BMP), and shell32, for the command line in
# wide characters.
allowed_imports() {
  case $1 in
    classify.exe) echo "kernel32.dll msvcrt.dll" ;;
    # exiv2's static library brings psapi.dll (the program's path) and
    # ws2_32.dll (its HTTP reader, which we never call): both are Windows' own.
    classify-photos.exe) echo "kernel32.dll msvcrt.dll ole32.dll shell32.dll psapi.dll ws2_32.dll" ;;
    *) echo "kernel32.dll msvcrt.dll ole32.dll shell32.dll" ;;
  esac
}

# An aligned move of a YMM or ZMM register to or from the stack faults where
# the stack is only 16-byte aligned (GCC bug 54412). libjpeg-turbo's
# hand-written AVX2 routines (jsimd_*) align their own frame to 32 bytes
# first and are passed over. The scan must see vector code at all, or it
# proves nothing.
check_stack_alignment() {
  local exe=$1 disassembly=$1.s aligned
  x86_64-w64-mingw32-objdump -d --no-show-raw-insn "$exe" >"$disassembly"
  grep -qE '%[yz]mm[0-9]+' "$disassembly" || die "no AVX code found in $exe's disassembly"
  aligned=$(awk '/^[0-9a-f]+ <.*>:$/ { name = $2 }
    name !~ /^<jsimd_/ && /vmov(aps|apd|dqa|dqa32|dqa64)[[:space:]]/ && /%[yz]mm[0-9]+/ &&
      /\((%rsp|%rbp)/ { print name, $0 }' "$disassembly")
  [[ -z $aligned ]] || die "$exe moves vectors of 32 or 64 bytes to or from the stack with aligned moves:
$(head -n 5 <<<"$aligned")"
}

imports_line=""
for program in "${programs[@]}" v3/classify.exe v3/classify-photos.exe; do
  stage "check $program"
  exe=$build_dir/$program
  [[ $program == v3/* ]] && exe=$v3_dir/${program#v3/}
  [[ -f $exe ]] || die "$exe was not built"
  dlls=$(x86_64-w64-mingw32-objdump -p "$exe" | awk '/DLL Name:/ { print $3 }' | sort -u | tr '\n' ' ')
  allowed=$(allowed_imports "${program#v3/}")
  for dll in $dlls; do
    [[ " $allowed " == *" ${dll,,} "* ]] ||
      die "$program imports $dll; it may import only Windows' own $allowed"
  done
  check_stack_alignment "$exe"
  imports_line+="$program: $dlls; "
done

stage "zip"
version=$(sed -n 's/^project(classify VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
zip_file=$build_dir/classify-$version-win64.zip
staging=$build_dir/zip
rm -rf "$staging" "$zip_file"
mkdir -p "$staging"
# The programs without their symbol tables, which only a debugger reads.
mkdir -p "$staging/x86-64"
x86_64-w64-mingw32-strip -o "$staging/prepare-input.exe" "$build_dir/prepare-input.exe"
for program in classify.exe classify-photos.exe; do
  x86_64-w64-mingw32-strip -o "$staging/$program" "$v3_dir/$program"
  x86_64-w64-mingw32-strip -o "$staging/x86-64/$program" "$build_dir/$program"
done
cp models/mobilenet_v3_small_224_1.0_float.tflite models/imagenet_labels.txt "$staging/"
sed 's/$/\r/' scripts/windows/README.txt >"$staging/README.txt"
(cd "$staging" && run zip -X -q "../$(basename "$zip_file")" "${programs[@]}" x86-64/classify.exe x86-64/classify-photos.exe \
  mobilenet_v3_small_224_1.0_float.tflite imagenet_labels.txt README.txt)
end_stage
say "imports: $imports_line"
say "$zip_file"
