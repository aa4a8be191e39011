#!/usr/bin/env bash
# Builds the Debian packages with CPack: build/classify_<version>_amd64.deb,
# the programs (their Depends computed by dpkg-shlibdeps), and
# build/classify-data_<version>_all.deb, the model and labels they use by
# default; checks both with lintian and runs the programs of the extracted
# packages on the sample photograph.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
tool_name=package
# shellcheck source=lib/provision.sh
source scripts/lib/provision.sh

build_dir=${BUILD_DIR:-build}
scripts/install-deps.sh package
start_log "$build_dir/package.log"
stage "cpack"
(cd "$build_dir" && run cpack -G DEB)
end_stage
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build_dir/CMakeCache.txt")
debs=("$build_dir/classify_${version}_amd64.deb" "$build_dir/classify-data_${version}_all.deb")
for deb in "${debs[@]}"; do
  [[ -f $deb ]] || die "cpack made no $deb"
  say "$deb"
  dpkg-deb --field "$deb" Package Version Architecture Depends | sed "s/^/[$tool_name]   /" >&2
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
# model, and classify-photos on a JPEG of it with nothing but the photograph.
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
mkdir "$scratch/run"
ln -s "$root/share/classify/mobilenet_v3_small_224_1.0_float.tflite" \
  "$scratch/run/v3-small_224_0.75_float.tflite"
(cd "$scratch/run" && "$root/bin/prepare-input" "$photo" && "$root/bin/classify" >result.txt) \
  >>"$log_file" 2>&1 || die "the extracted package's programs failed on the sample photograph"
line=$(iconv -f GBK -t UTF-8 <"$scratch/run/result.txt")
mkdir "$scratch/photos"
convert "$photo" -quality 90 "$scratch/photos/photo.jpg"
named=$(cd "$scratch/photos" && "$root/bin/classify-photos" photo.jpg 2>>"$log_file") ||
  die "the extracted package's classify-photos failed on a JPEG of the sample photograph"
for page in classify prepare-input classify-photos; do
  man -l "$root/share/man/man1/$page.1.gz" >/dev/null 2>>"$log_file" ||
    die "man -l cannot render the manual page $page(1)"
done
end_stage
say "extracted package: $line"
say "extracted package: classify-photos photo.jpg: $named"
[[ $line == *"类别：653，"* ]] || die "the extracted package classified the sample photograph as: $line"
[[ $named == *$'\t653\t'*$'\tmilitary uniform' ]] ||
  die "the extracted package's classify-photos named the sample photograph: $named"
