#!/usr/bin/env bash
# Builds the Debian packages with CPack: build/classify_<version>_amd64.deb,
# the programs (their Depends computed by dpkg-shlibdeps), with classify and
# classify-photos also built for any x86-64 CPU (a second TensorFlow Lite,
# portable, provisioned on first use) for CPUs without the level the main
# build is for; build/classify-formats_<version>_amd64.deb, the formats beyond
# JPEG and PNG; and build/classify-data_<version>_all.deb, the model and
# labels they use by default. Checks them with lintian and runs the programs
# of the extracted packages on the sample photograph, on this CPU and, under
# qemu-user, on a plain x86-64 CPU (qemu64) and on one without AVX (Nehalem).
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
tool_name=package
# shellcheck source=lib/provision.sh
source scripts/lib/provision.sh

build_dir=${BUILD_DIR:-build}
portable_dir=${build_dir}-portable
scripts/install-deps.sh package
start_log "$build_dir/package.log"
level=$(sed -n 's/^CLASSIFY_CPU_LEVEL:INTERNAL=//p' "$build_dir/CMakeCache.txt")
if [[ ${level:-0} != 0 ]]; then
  CLASSIFY_TFLITE_ARCH=portable scripts/configure.sh "$portable_dir" -DCLASSIFY_BUILD_TESTS=OFF \
    -DCLASSIFY_BUILD_BENCH=OFF
  stage "compile classify and classify-photos for any x86-64 CPU"
  build_with_progress "$portable_dir" --target classify classify-photos -j "$jobs"
  stage "configure $build_dir with them"
  run cmake -S . -B "$build_dir" -DCLASSIFY_PORTABLE_BUILD="$PWD/$portable_dir"
fi
stage "cpack"
(cd "$build_dir" && run cpack -G DEB)
end_stage
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build_dir/CMakeCache.txt")
debs=("$build_dir/classify_${version}_amd64.deb" "$build_dir/classify-formats_${version}_amd64.deb"
  "$build_dir/classify-data_${version}_all.deb")
for deb in "${debs[@]}"; do
  [[ -f $deb ]] || die "cpack made no $deb"
  say "$deb"
  dpkg-deb --field "$deb" Package Version Architecture Depends Recommends Suggests |
    sed "s/^/[$tool_name]   /" >&2
done
stage "lintian"
# lintian exits non-zero on errors; warnings are listed.
status=0
lintian --info "${debs[@]}" 2>&1 | grep -v '^running with root privileges' >"$build_dir/lintian.txt" ||
  status=${PIPESTATUS[0]}
end_stage
if [[ -s $build_dir/lintian.txt ]]; then
  sed "s/^/[$tool_name]   /" "$build_dir/lintian.txt" >&2
else
  say "lintian: no errors, no warnings"
fi
((status == 0)) || die "lintian reports errors on ${debs[*]}"

# The packages as a user gets them: extracted into a scratch folder, their own
# prepare-input and classify run on the sample photograph with the packaged
# model, and classify-photos on a JPEG of it with nothing but the photograph;
# on this CPU, then under qemu-user as an x86-64 CPU of the base level
# (qemu64) and one of x86-64-v2 without AVX (Nehalem). There, classify and
# classify-photos check the CPU at their entry and become their builds for
# any x86-64 CPU, which qemu-user runs on the host's CPU (it runs a program
# started by execve natively); so those builds are also run under qemu
# themselves.
shared=${CLASSIFY_SHARED_DIR:-../shared}
photo=$(realpath -m "$shared/images/grace_hopper.bmp")
if [[ ! -f $photo ]]; then
  say "skipped the extracted packages' run: no sample photograph under $shared"
  exit 0
fi
stage "run the extracted packages"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
for deb in "${debs[@]}"; do dpkg-deb -x "$deb" "$scratch/root"; done
root=$scratch/root/usr
mkdir "$scratch/photos"
convert "$photo" -quality 90 "$scratch/photos/photo.jpg"
for page in classify prepare-input classify-photos; do
  # The POSIX locale, as a minimal system starts: no warnings either.
  LC_ALL=C man -l "$root/share/man/man1/$page.1.gz" >/dev/null 2>"$scratch/man.err" ||
    die "man -l cannot render the manual page $page(1)"
  [[ ! -s $scratch/man.err ]] || die "$page(1) renders with warnings in the POSIX locale: $(head -n 2 "$scratch/man.err")"
done

# The result line of classify and classify-photos' line for the sample
# photograph, with the programs run by RUNNER (empty, or qemu-x86_64 -cpu
# CPU) from the folder BIN (bin, or the builds for any CPU).
results() {
  local runner=$1 bin=$2 run=$scratch/run-$RANDOM
  mkdir "$run"
  ln -s "$root/share/classify/mobilenet_v3_small_224_1.0_float.tflite" \
    "$run/v3-small_224_0.75_float.tflite"
  (cd "$run" && $runner "$root/bin/prepare-input" "$photo" && $runner "$bin/classify" >result.txt) \
    >>"$log_file" 2>&1 || die "the extracted packages failed on the sample photograph ($runner $bin)"
  cmp -s "$run/input.bin" "$scratch/input.bin" ||
    die "prepare-input wrote other bytes under '$runner' than on this CPU"
  printf '%s\t' "$(iconv -f GBK -t UTF-8 <"$run/result.txt")"
  (cd "$scratch/photos" && $runner "$bin/classify-photos" photo.jpg 2>>"$log_file") ||
    die "the extracted package's classify-photos failed on a JPEG of the sample photograph ($runner $bin)"
}
(cd "$scratch" && "$root/bin/prepare-input" "$photo" input.bin) >>"$log_file" 2>&1
here=$(results "" "$root/bin")
say "extracted packages, this CPU: $here"
[[ $here == *"类别：653，"*$'\t'*$'\t653\t'*$'\tmilitary uniform' ]] ||
  die "the extracted packages classified the sample photograph as: $here"
install_apt_packages qemu-user
runs=("$here")
for cpu in qemu64 Nehalem; do
  dirs=("$root/bin")
  [[ -d $root/libexec/classify/x86-64 ]] && dirs+=("$root/libexec/classify/x86-64")
  for dir in "${dirs[@]}"; do
    line=$(results "qemu-x86_64 -cpu $cpu" "$dir")
    say "extracted packages, qemu-x86_64 -cpu $cpu, ${dir#"$root/"}: $line"
    runs+=("$line")
  done
done
end_stage
# The same class everywhere; the scores apart in the last printed digit at
# most (the builds for any CPU, and ruy on CPUs without AVX, add in another
# order and without FMA).
printf '%s\n' "${runs[@]}" | awk -F'\t' '
  function score(text) { sub(/.*：/, "", text); return text + 0 }
  function close_to(a, b) {
    unit = 10 ^ (int(log(a) / log(10) + (a >= 1 ? 1 : 0)) - 6)
    return (a - b <= 9.0001 * unit && b - a <= 9.0001 * unit)
  }
  NR == 1 { c = $1; sub(/，.*/, "", c); s1 = score($1); s2 = $4; i = $3; next }
  { d = $1; sub(/，.*/, "", d)
    if (d != c || $3 != i || !close_to(s1, score($1)) || !close_to(s2, $4 + 0)) { bad = 1; print }
  }
  END { exit bad }' >"$scratch/differences" ||
  die "the builds disagree on the sample photograph: $(cat "$scratch/differences")"
say "the same class on every CPU, the scores apart in the last printed digit at most"
