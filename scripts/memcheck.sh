#!/usr/bin/env bash
# One full run of classify on the pretrained model and the sample photograph
# under valgrind's memcheck: no memory error, and no leak beyond what the
# program keeps on purpose until exit (tests/sanitizer/valgrind.supp).
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

build_dir=${BUILD_DIR:-build}
scripts/install-deps.sh checks
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
status=0
scripts/workdir.sh "$work" || status=$?
if ((status == 3)); then
  echo "memcheck: skipped: no sample data" >&2
  exit 0
elif ((status != 0)); then
  exit "$status"
fi
exe=$(realpath "$build_dir/classify")
(cd "$work" && valgrind --quiet --error-exitcode=1 --leak-check=full \
  --show-leak-kinds=definite,indirect,possible --errors-for-leak-kinds=definite,indirect,possible \
  --suppressions="$OLDPWD/tests/sanitizer/valgrind.supp" "$exe" >result.txt)
echo "memcheck: no errors; result: $(iconv -f GBK -t UTF-8 <"$work/result.txt")"
