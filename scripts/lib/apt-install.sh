#!/usr/bin/env bash
# apt-install.sh PACKAGE...: apt-get install --no-install-recommends, as
# root, such that no service the packages ship is started, or left enabled,
# where the machine did not have it: Debian's openssh-server, for one, starts
# an SSH server and enables it at boot, and the tests want its sshd binary
# alone (they start their own on 127.0.0.1).
#  - While apt runs, /usr/sbin/policy-rc.d exits 101, which invoke-rc.d and
#    deb-systemd-invoke take as "do not start" (a policy-rc.d that was there
#    is put back afterwards).
#  - The symlinks that enable systemd units (/etc/systemd/system) and SysV
#    scripts (/etc/rc[2-5].d/S*) are listed before and after; the units the
#    install enabled are disabled again: with systemctl where systemd runs,
#    else by removing the symlinks the install made. deb-systemd-helper then
#    sees them as disabled by the administrator, so that an upgrade of the
#    package leaves them so. A SysV script is disabled with update-rc.d, which
#    keeps its K links, so that an upgrade does not enable it again.
#  - A unit that runs afterwards and did not before is stopped.
# Units that were enabled before stay as they were. apt-get update runs first;
# one install runs at a time.
# Environment: APT_INSTALL_LOG, where the list of what was disabled goes (default:
# standard error).
set -euo pipefail
(($#)) || exit 0
report=${APT_INSTALL_LOG:-/dev/stderr}
note() { printf 'apt-install: %s\n' "$*" >>"$report"; }

policy=/usr/sbin/policy-rc.d
saved=$policy.classify-saved
# One install at a time: the second would take our policy-rc.d for the
# machine's own.
lock_dir=/run/lock
[[ -d $lock_dir && -w $lock_dir ]] || lock_dir=/tmp
exec 9>"$lock_dir/classify-apt-install.lock"
flock 9

systemd_runs() { [[ -d /run/systemd/system ]]; }
enabling_links() { find /etc/systemd/system -type l 2>/dev/null | sort; }
# The multi-user runlevels' start links: those of rcS.d set the machine up at
# boot (procps' sysctl settings) and start no service.
sysv_links() { find /etc/rc[2-5].d -name 'S*' -type l 2>/dev/null | sort; }
active_units() { systemd_runs && systemctl list-units --state=active --no-legend --plain 2>/dev/null | awk '{print $1}' | sort; }

restore_policy() {
  rm -f "$policy"
  [[ -e $saved ]] && mv "$saved" "$policy"
  return 0
}
[[ -e $saved ]] && restore_policy # left by an interrupted run
[[ -e $policy ]] && mv "$policy" "$saved"
trap restore_policy EXIT
printf '#!/bin/sh\n# apt-install.sh: no service starts while it installs.\nexit 101\n' >"$policy"
chmod 755 "$policy"

links_before=$(enabling_links)
sysv_before=$(sysv_links)
active_before=$(active_units || true)

apt-get update -q
DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "$@"

# The unit a symlink under /etc/systemd/system enables: the name of the file it
# points to (wants links and aliases alike).
unit_of() { basename "$(readlink "$1")"; }

new_links=$(comm -13 <(echo "$links_before") <(enabling_links))
declare -A had_links=()
while IFS= read -r link; do
  [[ -n $link ]] && had_links[$(unit_of "$link")]=1
done <<<"$links_before"
declare -A newly_enabled=()
while IFS= read -r link; do
  [[ -n $link ]] || continue
  unit=$(unit_of "$link")
  if [[ -z ${had_links[$unit]:-} ]] && systemd_runs; then
    newly_enabled[$unit]=1
  else
    rm -f "$link"
    note "removed $link (enabled $unit)"
  fi
done <<<"$new_links"
for unit in "${!newly_enabled[@]}"; do
  systemctl disable --quiet "$unit" && note "disabled $unit"
done
if systemd_runs; then
  systemctl daemon-reload || true
  active_after=$(active_units || true)
  for unit in $(comm -13 <(echo "$active_before") <(echo "$active_after")); do
    case $unit in
      *.service | *.socket | *.timer | *.path) systemctl stop "$unit" && note "stopped $unit" ;;
    esac
  done
fi

for link in $(comm -13 <(echo "$sysv_before") <(sysv_links)); do
  script=$(basename "$link")
  script=${script#S[0-9][0-9]}
  [[ -e $link ]] || continue # disabled with an earlier link of the same script
  update-rc.d "$script" disable >/dev/null 2>&1 || rm -f /etc/rc[2-5].d/S[0-9][0-9]"$script"
  note "disabled the SysV script $script"
done
