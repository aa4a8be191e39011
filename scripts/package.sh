#!/usr/bin/env bash
# Builds the Debian package build/classify_<version>_amd64.deb with CPack
# (its Depends computed by dpkg-shlibdeps) and checks it with lintian.
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
deb=$(ls -t "$build_dir"/classify_*_amd64.deb | head -n 1)
say "$deb"
dpkg-deb --field "$deb" Package Version Depends | sed "s/^/[$tool_name]   /" >&2
stage "lintian"
# lintian exits non-zero on errors; warnings are listed.
status=0
lintian --info "$deb" 2>&1 | grep -v '^running with root privileges' >"$build_dir/lintian.txt" ||
  status=${PIPESTATUS[0]}
end_stage
if [[ -s $build_dir/lintian.txt ]]; then
  sed "s/^/[$tool_name]   /" "$build_dir/lintian.txt" >&2
else
  say "lintian: no errors, no warnings"
fi
((status == 0)) || die "lintian reports errors on $deb"

# The package as a user gets it: extracted into a scratch folder, its own
# prepare-input and classify run on the sample photograph.
shared=${CLASSIFY_SHARED_DIR:-../shared}
model=$(realpath -m "$shared/models/mobilenet_v3_small_224_1.0_float.tflite")
photo=$(realpath -m "$shared/images/grace_hopper.bmp")
if [[ ! -f $model || ! -f $photo ]]; then
  say "skipped the extracted package's run: no sample data under $shared"
  exit 0
fi
stage "run the extracted package"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
dpkg-deb -x "$deb" "$scratch/root"
mkdir "$scratch/run"
ln -s "$model" "$scratch/run/v3-small_224_0.75_float.tflite"
(cd "$scratch/run" && "$scratch/root/usr/bin/prepare-input" "$photo" &&
  "$scratch/root/usr/bin/classify" >result.txt) >>"$log_file" 2>&1 ||
  die "the extracted package's programs failed on the sample photograph"
line=$(iconv -f GBK -t UTF-8 <"$scratch/run/result.txt")
for page in classify prepare-input; do
  man -l "$scratch/root/usr/share/man/man1/$page.1.gz" >/dev/null 2>>"$log_file" ||
    die "man -l cannot render the manual page $page(1)"
done
end_stage
say "extracted package: $line"
[[ $line == *"类别：653，"* ]] || die "the extracted package classified the sample photograph as: $line"
