#!/usr/bin/env bash
# Installs, from Debian's archive, what building and testing classify needs
# and the machine lacks. Does nothing when everything is there.
#   install-deps.sh           build, tests, tools
#   install-deps.sh checks    also clang with libFuzzer, and valgrind
set -euo pipefail

packages=(cmake g++ make pkg-config libgtest-dev libbenchmark-dev libcli11-dev libvips-dev
  imagemagick libvips-tools exiv2 icc-profiles-free)
for extra in "$@"; do
  case $extra in
    checks) packages+=(clang libclang-rt-14-dev valgrind) ;;
    *) echo "install-deps: unknown group '$extra'" >&2 && exit 2 ;;
  esac
done

missing=()
for pkg in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || missing+=("$pkg")
done
((${#missing[@]})) || exit 0

echo "[install-deps] installing from apt: ${missing[*]}" >&2
run_as_root() {
  if [[ $(id -u) -eq 0 ]]; then "$@"; else sudo "$@"; fi
}
run_as_root apt-get update -q >&2
run_as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}" >&2
