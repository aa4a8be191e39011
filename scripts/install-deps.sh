#!/usr/bin/env bash
# Installs, from Debian's archive, what building and testing classify needs
# and the machine lacks. Does nothing, and prints nothing, when everything is
# there; otherwise one line, with apt's own output in a log file.
#   install-deps.sh           build, tests, tools
#   install-deps.sh checks    also clang with libFuzzer, and valgrind
#   install-deps.sh package   also what builds and checks the Debian package
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
tool_name=install-deps
# shellcheck source=lib/provision.sh
source "$here/lib/provision.sh"

packages=(cmake g++ make pkg-config libgtest-dev libbenchmark-dev libcli11-dev nlohmann-json3-dev libvips-dev
  libjpeg62-turbo-dev libpng-dev liblcms2-dev libexif-dev libminizip-dev libsqlite3-dev libexiv2-dev
  libxxhash-dev libexempi-dev
  imagemagick libvips-tools exiv2 icc-profiles-free libjpeg-turbo-progs scdoc parallel
  openssh-client
  openssh-server qemu-user tidy)
for extra in "$@"; do
  case $extra in
    checks) packages+=(clang libclang-rt-14-dev valgrind) ;;
    package) packages+=(dpkg-dev lintian file man-db) ;;
    *) echo "install-deps: unknown group '$extra'" >&2 && exit 2 ;;
  esac
done

missing=()
for pkg in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || missing+=("$pkg")
done
((${#missing[@]})) || exit 0

cache_root=${CLASSIFY_TFLITE_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/classify}
start_log "$cache_root/logs/install-deps.log"
stage "apt: ${missing[*]}"
install_apt_packages "${missing[@]}"
end_stage
