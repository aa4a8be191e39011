#!/usr/bin/env bash
# Installs, from Debian's archive, what the named groups need and the machine
# lacks; nothing else. Does nothing, and prints nothing, when everything is
# there; otherwise one line, with apt's own output in a log file. No package
# it installs is left with a service enabled or running that the machine did
# not have (scripts/lib/apt-install.sh).
#   install-deps.sh GROUP...        install the groups (default: build)
#   install-deps.sh --list GROUP... print their packages, one a line
# The groups, each with what uses it (README.md, "What each command installs"):
#   build    compilers and libraries for classify, prepare-input, classify-photos
#            and their manual pages: make run, make programs, make install
#   picture  ImageMagick, which draws the demo's picture when the sample
#            photograph is missing (make run asks for it only then)
#   sshd     the SSH client and server, whose binaries the remote tests run
#            (they start their own server on 127.0.0.1; the system's SSH service
#            is installed neither started nor enabled)
#   test     the tools the test suite runs, sshd among them: make test
#   bench    Google Benchmark, exempi (exiv2's rival in a benchmark) and djpeg:
#            make bench
#   checks   clang with libFuzzer, valgrind, debootstrap: make check
#   package  what builds and checks the Debian package: make package
#   ci       ccache, with which .ci/run keeps what it compiled for the next run
# Groups name others: test and checks need build; bench and checks need test.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
tool_name=install-deps
# shellcheck source=lib/provision.sh
source "$here/lib/provision.sh"

# group_packages GROUP: the packages of GROUP and of the groups it needs.
group_packages() {
  case $1 in
    build)
      echo cmake g++ make pkg-config libcli11-dev nlohmann-json3-dev libvips-dev libjpeg62-turbo-dev \
        libpng-dev liblcms2-dev libexif-dev libminizip-dev libsqlite3-dev libexiv2-dev libxxhash-dev scdoc
      ;;
    picture) echo imagemagick ;;
    sshd) echo openssh-client openssh-server ;;
    test)
      group_packages build
      group_packages picture
      group_packages sshd
      echo libgtest-dev libexpat1-dev libvips-tools exiv2 libimage-exiftool-perl icc-profiles-free man-db parallel python3 qemu-user tidy wordnet-base
      ;;
    bench)
      group_packages test
      echo libbenchmark-dev libexempi-dev libjpeg-turbo-progs
      ;;
    checks)
      # build-check compiles everything, the benchmarks too.
      group_packages bench
      echo clang libclang-rt-14-dev valgrind debootstrap
      ;;
    package) echo dpkg-dev lintian file man-db imagemagick qemu-user ;;
    ci) echo ccache ;;
    *) echo "install-deps: unknown group '$1' (build, picture, sshd, test, bench, checks, package, ci)" >&2 && return 2 ;;
  esac
}

list=0
if [[ ${1:-} == --list ]]; then
  list=1
  shift
fi
(($#)) || set -- build
packages=()
for group in "$@"; do
  words=$(group_packages "$group") || exit 2
  read -r -a named <<<"${words//$'\n'/ }"
  packages+=("${named[@]}")
done
mapfile -t packages < <(printf '%s\n' "${packages[@]}" | awk '!seen[$0]++')
if ((list)); then
  printf '%s\n' "${packages[@]}"
  exit 0
fi

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
