#!/usr/bin/env bash
# The packages as a new user meets them (after make package; not part of
# CI, it downloads a Debian system): a minimal Debian 12 made with
# debootstrap in a scratch folder, the packages installed there with
# --no-install-recommends (the number of packages apt adds is reported), then
# classify-photos on a JPEG of the sample photograph, and a WebP of it, which
# without classify-formats gets the message that names that package; then
# classify-formats installed and the WebP classified.
# Needs root. Usage: chroot-check.sh [FOLDER] (default: a new scratch folder)
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
tool_name=chroot-check
# shellcheck source=lib/provision.sh
source scripts/lib/provision.sh

build_dir=${BUILD_DIR:-build}
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build_dir/CMakeCache.txt")
debs=("$build_dir/classify_${version}_amd64.deb" "$build_dir/classify-formats_${version}_amd64.deb"
  "$build_dir/classify-data_${version}_all.deb")
for deb in "${debs[@]}"; do [[ -f $deb ]] || die "no $deb: run make package first"; done
shared=${CLASSIFY_SHARED_DIR:-../shared}
[[ -f $shared/images/grace_hopper.bmp ]] || die "no sample photograph under $shared"
root=${1:-$(mktemp -d)}
start_log "$root.log"
install_apt_packages debootstrap
mirror=$(system_debian_mirror)
[[ -n $mirror ]] || die "found no Debian mirror in the system's apt sources"
stage "debootstrap a minimal Debian 12 into $root"
[[ -x $root/usr/bin/apt-get ]] || run debootstrap --variant=minbase bookworm "$root" "$mirror"
# The programs find their installed files from /proc/self/exe, as on any
# running system.
mountpoint -q "$root/proc" || mount -t proc proc "$root/proc"
trap 'umount "$root/proc" 2>/dev/null || true; on_exit' EXIT
in_root() { chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LC_ALL=C "$@"; }
mkdir -p "$root/tmp/classify"
cp "${debs[@]}" "$root/tmp/classify/"
convert "$shared/images/grace_hopper.bmp" -quality 90 "$root/tmp/classify/photo.jpg"
convert "$shared/images/grace_hopper.bmp" "$root/tmp/classify/photo.webp"
stage "apt-get install --no-install-recommends classify and classify-data"
before=$(in_root dpkg-query -W -f='${Package}\n' | wc -l)
run in_root apt-get install -y -q --no-install-recommends /tmp/classify/classify_${version}_amd64.deb \
  /tmp/classify/classify-data_${version}_all.deb
after=$(in_root dpkg-query -W -f='${Package}\n' | wc -l)
stage "classify-photos in the chroot, as a user"
in_root useradd -m user 2>/dev/null || true
as_user() {
  chroot --userspec=user:user "$root" /usr/bin/env -i PATH=/usr/bin:/bin HOME=/home/user LC_ALL=C "$@"
}
jpeg=$(as_user /usr/bin/classify-photos /tmp/classify/photo.jpg 2>&1) || true
webp=$(as_user /usr/bin/classify-photos /tmp/classify/photo.webp 2>&1) || true
stage "apt-get install classify-formats"
run in_root apt-get install -y -q --no-install-recommends /tmp/classify/classify-formats_${version}_amd64.deb
with_formats=$(as_user /usr/bin/classify-photos /tmp/classify/photo.webp 2>&1) || true
end_stage
say "packages apt added for classify and classify-data: $((after - before)) (classify, classify-data and their closure)"
say "classify-photos photo.jpg: $jpeg"
say "classify-photos photo.webp without classify-formats: $webp"
say "classify-photos photo.webp with classify-formats: $with_formats"
[[ $jpeg == *$'\t653\t'*$'\tmilitary uniform' ]] || die "the JPEG was not named"
[[ $webp == *"needs the package classify-formats"* ]] || die "the WebP did not name classify-formats"
[[ $with_formats == *$'\t653\t'* ]] || die "the WebP was not classified with classify-formats"
