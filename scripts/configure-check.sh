#!/usr/bin/env bash
# The tree of make check: clang with AddressSanitizer, UndefinedBehaviorSanitizer
# and libFuzzer's coverage, so that one build serves both the sanitizer suite
# (scripts/sanitize.sh) and the fuzzers (scripts/fuzz.sh). Installs clang and
# valgrind where missing, configures the tree if it needs it, and prints its
# folder.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
build_dir=build-check
scripts/install-deps.sh checks
flags="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer"
scripts/configure.sh "$build_dir" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCLASSIFY_BUILD_FUZZERS=ON -DCLASSIFY_STATIC_CXX_RUNTIME=OFF -DCMAKE_CXX_FLAGS="$flags" >&2
echo "$build_dir"
