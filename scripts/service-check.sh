#!/usr/bin/env bash
# make check's check that installing what the commands need starts no service
# and leaves none enabled, on a machine that had no SSH server: a minimal
# Debian 12 made with debootstrap (from the mirror the system's apt sources
# name; kept in the cache folder, so that only the first run downloads it),
# copied afresh for each run. There,
#  - apt's resolution of the build group (make run, make install) does not
#    take openssh-server, or any other SSH server, at all;
#  - `install-deps.sh sshd`, the step of the test group that installs the SSH
#    server, leaves openssh-server installed with none of its units enabled
#    (systemctl --root and the symlinks under /etc/systemd/system), no SysV
#    start link, no sshd running in the chroot and the chroot's policy-rc.d as
#    it was;
#  - a reinstall of openssh-server, as an upgrade runs its maintainer scripts,
#    does not enable it again.
# Needs root. About 20 s once the chroot is cached.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
tool_name=service-check
# shellcheck source=lib/provision.sh
source scripts/lib/provision.sh

[[ $(id -u) -eq 0 ]] || exec sudo "$0" "$@"
cache_root=${CLASSIFY_TFLITE_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/classify}
base=$cache_root/chroot/bookworm-minbase
root=$cache_root/chroot/service-check
start_log "$cache_root/logs/service-check.log"
install_apt_packages debootstrap

if [[ ! -f $base.done ]]; then
  mirror=$(system_debian_mirror)
  [[ -n $mirror ]] || die "found no Debian mirror in the system's apt sources"
  stage "debootstrap a minimal Debian 12 (once)"
  rm -rf "$base"
  run debootstrap --variant=minbase bookworm "$base" "$mirror" || die "debootstrap failed"
  run chroot "$base" apt-get update -q || die "apt-get update in the chroot failed"
  : >"$base.done"
fi

stage "a fresh copy of the chroot"
umount "$root/proc" 2>/dev/null || true
rm -rf "$root"
cp -a "$base" "$root"
mkdir -p "$root/tmp/classify/scripts"
cp -r scripts/install-deps.sh scripts/lib "$root/tmp/classify/scripts/"
# Process substitution in the scripts needs /proc/self/fd.
mount -t proc proc "$root/proc"
trap 'umount "$root/proc" 2>/dev/null || true; on_exit' EXIT
in_root() { chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LC_ALL=C "$@"; }
failures=()
fail() {
  failures+=("$*")
  printf 'FAIL: %s\n' "$*" >>"$log_file"
}

stage "the build group's packages, as apt resolves them"
mapfile -t build_packages < <(scripts/install-deps.sh --list build)
simulated=$(in_root apt-get install -s --no-install-recommends "${build_packages[@]}") ||
  die "apt cannot resolve the build group in the chroot"
printf '%s\n' "$simulated" >>"$log_file"
servers=$(awk '$1 == "Inst" && $2 ~ /ssh-server|^openssh-server$|^dropbear/ {print $2}' <<<"$simulated")
[[ -z $servers ]] || fail "the build group takes an SSH server: $servers"
build_count=$(grep -c '^Inst ' <<<"$simulated" || true)

stage "install-deps.sh sshd in the chroot"
had_policy=$([[ -e $root/usr/sbin/policy-rc.d ]] && cat "$root/usr/sbin/policy-rc.d" || echo none)
status=0
run in_root bash /tmp/classify/scripts/install-deps.sh sshd || status=$?
cat "$root/root/.cache/classify/logs/install-deps.log" >>"$log_file" 2>/dev/null || true
((status == 0)) || die "install-deps.sh sshd failed in the chroot"

# Whether anything enables or runs the SSH server in the chroot; WHEN names the
# moment in the failures.
check_ssh_disabled() {
  local when=$1 unit state link pid
  in_root dpkg-query -W -f='${Status}' openssh-server 2>/dev/null | grep -q 'install ok installed' ||
    fail "$when: openssh-server is not installed"
  if command -v systemctl >/dev/null; then
    for unit in ssh.service ssh.socket rescue-ssh.target sshd.service; do
      state=$(systemctl --root="$root" is-enabled "$unit" 2>/dev/null || true)
      printf '%s: systemctl --root is-enabled %s: %s\n' "$when" "$unit" "${state:-absent}" >>"$log_file"
      [[ $state != enabled* && $state != alias ]] || fail "$when: $unit is $state"
    done
  fi
  while IFS= read -r link; do
    [[ -n $link ]] && fail "$when: ${link#"$root"} enables $(basename "$(readlink "$link")")"
  done < <(find "$root/etc/systemd/system" -type l -lname '*ssh*' 2>/dev/null)
  while IFS= read -r link; do
    [[ -n $link ]] && fail "$when: SysV start link ${link#"$root"}"
  done < <(find "$root"/etc/rc[0-6S].d -name 'S*ssh*' 2>/dev/null)
  for pid in /proc/[0-9]*; do
    [[ $(readlink "$pid/root" 2>/dev/null) == "$root" ]] &&
      fail "$when: a process runs in the chroot: $(tr '\0' ' ' <"$pid/cmdline" 2>/dev/null)"
  done
  return 0
}
check_ssh_disabled "after install-deps.sh sshd"
now_policy=$([[ -e $root/usr/sbin/policy-rc.d ]] && cat "$root/usr/sbin/policy-rc.d" || echo none)
[[ $now_policy == "$had_policy" ]] || fail "the chroot's policy-rc.d is not as it was"

stage "a reinstall of openssh-server, as an upgrade"
# This step's own policy-rc.d, so that the chroot starts nothing whatever
# the outcome; what it checks is whether the unit gets enabled again.
printf '#!/bin/sh\nexit 101\n' >"$root/usr/sbin/policy-rc.d"
chmod 755 "$root/usr/sbin/policy-rc.d"
run in_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --reinstall openssh-server ||
  die "the reinstall failed"
rm -f "$root/usr/sbin/policy-rc.d"
check_ssh_disabled "after a reinstall"
end_stage

say "build group: apt would install $build_count packages into a minimal Debian 12, no SSH server among them"
if ((${#failures[@]})); then
  printf '%s\n' "${failures[@]}" >&2
  die "${#failures[@]} failed"
fi
say "openssh-server installed by install-deps.sh sshd: no unit enabled, no start link, nothing running, also after a reinstall"
umount "$root/proc"
rm -rf "$root"
