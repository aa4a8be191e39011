#!/usr/bin/env bash
# The life of a provisioned prefix (provision_prefix, scripts/lib/provision.sh)
# around a toy recipe that writes a few files, in a cache folder of its own:
# made, then cached; made again when its recipe changes; an interrupted or
# failed build leaves no stamp and is made again by the next run; a build
# that goes on keeps the first part and its log. And the table of versions
# the recipes are built from is well formed.
# shellcheck disable=SC2317 # (the checks' functions run through check)
set -euo pipefail
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
scratch=$(realpath "$(mktemp -d "${TMPDIR:-/tmp}/provision-prefix-test.XXXXXX")")
trap 'rm -rf "$scratch"' EXIT
export CLASSIFY_TFLITE_CACHE=$scratch/cache
cache=$CLASSIFY_TFLITE_CACHE prefix=$CLASSIFY_TFLITE_CACHE/toy-prefix
log=$cache/logs/toy-prefix.log
failures=0

check() {
  local what=$1
  shift
  if ! "$@"; then
    echo "FAILED: $what" >&2
    failures=$((failures + 1))
  fi
}
fails() { ! "$@"; }
has_line() { grep -qE -- "$2" "$1"; }
stamped_with() { [[ -f $prefix/.provisioned && $(cat "$prefix/.provisioned") == "$1" ]]; }
unstamped() { [[ ! -e $prefix/.provisioned ]]; }
runs() { cat "$cache/runs" 2>/dev/null || echo 0; }

# TOY_VERSION names the recipe; TOY_HOLD, a fifo the second stage waits on;
# TOY_FAIL fails it; TOY_GO_ON goes on from the first stage of a failed run.
cat >"$scratch/provision-toy.sh" <<EOF
#!/usr/bin/env bash
set -euo pipefail
tool_name=provision-toy
source "$repo/scripts/lib/provision.sh"
first() {
  stage "first files"
  echo \$((\$(cat "\$cache_root/runs" 2>/dev/null || echo 0) + 1)) >"\$cache_root/runs"
  echo "\$recipe" >"\$prefix/one"
  echo "\$recipe" >"\$work/kept"
}
second() {
  stage "second files"
  if [[ -n \${TOY_HOLD:-} ]]; then
    : >"\$TOY_HOLD.ready"
    read -r _ <"\$TOY_HOLD"
  fi
  [[ -z \${TOY_FAIL:-} ]] || run sh -c 'echo the toy fails; exit 3'
  cp "\$work/kept" "\$prefix/two"
}
stages=(first second) options=()
[[ -z \${TOY_GO_ON:-} ]] || stages=(second) options=(--go-on)
provision_prefix "\${options[@]}" --about "a toy into its prefix, at once" \\
  "\$cache_root/toy-prefix" "toy=\${TOY_VERSION:-1}" "\$cache_root/work-toy" "\${stages[@]}"
EOF
# toy [NAME=VALUE...]: runs the toy recipe in that environment.
toy() { env "$@" bash "$scratch/provision-toy.sh" >"$scratch/out" 2>"$scratch/err"; }
last_out() { [[ $(tail -n 1 "$scratch/out") == "$prefix" ]]; }

# Made afresh: every stage's line, the stamp last, the work folder gone.
check "a first run succeeds" toy
check "it prints the prefix" last_out
for line in "^\[provision-toy\] building a toy into its prefix, at once$" \
  "^\[provision-toy\] full log: $log$" "^\[provision-toy\] first files +[0-9]+ s$" \
  "^\[provision-toy\] second files +[0-9]+ s$" "^\[provision-toy\] done in [0-9]+ s: $prefix$"; do
  check "a first run says: $line" has_line "$scratch/err" "$line"
done
check "the log has the stages" has_line "$log" "^=== second files$"
check "the prefix is stamped with its recipe" stamped_with toy=1
check "the stages made the prefix" test -f "$prefix/two"
check "the work folder is removed" test ! -e "$cache/work-toy"

# Cached: nothing runs.
check "a cached run succeeds" toy
check "a cached run says so" has_line "$scratch/err" "^\[provision-toy\] cached: $prefix$"
check "a cached run prints the prefix" last_out
check "a cached run runs no stage" test "$(runs)" = 1

# Another recipe: made again, from an empty prefix.
touch "$prefix/stray"
check "a changed recipe is made again" toy TOY_VERSION=2
check "... stamped with the new recipe" stamped_with toy=2
check "... from an empty prefix" test ! -e "$prefix/stray"

# Interrupted during a stage: no stamp then or after, made again next time.
mkfifo "$scratch/hold"
TOY_VERSION=3 TOY_HOLD=$scratch/hold bash "$scratch/provision-toy.sh" >/dev/null 2>&1 &
held=$!
for _ in $(seq 200); do
  [[ -e $scratch/hold.ready ]] && break
  sleep 0.1
done
check "the held run reaches its second stage" test -e "$scratch/hold.ready"
check "no stamp while a stage runs" unstamped
kill -KILL "$held"
wait "$held" 2>/dev/null || true
check "an interrupted run leaves no stamp" unstamped
runs_before=$(runs)
check "the next run succeeds" toy TOY_VERSION=3
check "... making the prefix again" test "$(runs)" = $((runs_before + 1))
check "... and stamping it" stamped_with toy=3

# Failed: the stage, the log's end and its path; no stamp; the next run goes
# on from the first stage, which it does not run again, with the same log.
check "a failing run fails" fails toy TOY_VERSION=4 TOY_FAIL=1
for line in "^\[provision-toy\] FAILED in stage 'second files' \(exit 3\)$" \
  "^\[provision-toy\] the last 30 lines of the log:$" "^the toy fails$" \
  "^\[provision-toy\] full log: $log$"; do
  check "a failed run says: $line" has_line "$scratch/err" "$line"
done
check "a failed run leaves no stamp" unstamped
runs_before=$(runs)
check "a run that goes on succeeds" toy TOY_VERSION=4 TOY_GO_ON=1
check "... without the first stage" test "$(runs)" = "$runs_before"
check "... with the first stage's work" test "$(cat "$prefix/two")" = toy=4
check "... in the same log" has_line "$log" "^=== first files$"
check "... stamped" stamped_with toy=4

# The table: every package has a version, every file a sha256 and a name of
# its own.
table_faults() {
  tool_name=versions
  # shellcheck source=../scripts/lib/provision.sh
  source "$repo/scripts/lib/provision.sh"
  local file package
  ((${#pinned_files[@]} > 0)) || echo "no files"
  for file in "${pinned_files[@]}"; do
    package=${file% *}
    [[ -n ${pinned_version[$package]:-} ]] || echo "no version: $package"
    [[ ${pinned_sha256[$file]} =~ ^[0-9a-f]{64}$ ]] || echo "no sha256: $file"
  done
  printf '%s\n' "${pinned_file[@]}" | sort | uniq -d | sed 's/^/named twice: /'
}
faults=$(table_faults)
check "the table of versions is well formed${faults:+: $faults}" test -z "$faults"

((failures == 0)) && echo "provision_prefix: all checks pass"
exit $((failures != 0))
