#!/usr/bin/env bash
# Bounded fuzzing with libFuzzer (clang, AddressSanitizer, UBSan):
# model_fuzz over model bytes through the whole interpreter set-up,
# input_fuzz over input bytes through the loader, and photo_fuzz over image
# files through prepare-input's decode, crop and resize, metadata_fuzz over
# model files through classify-photos' metadata and zip readers,
# protocol_fuzz over what a chunk's ssh session carries back and forth (relay
# lines, the chunk's header and list) and the classes' text form, which the
# cache keeps too, sidecar_fuzz over XMP sidecars through
# the merge of --xmp's keywords, truth_fuzz over the CSV and TSV files of
# --truth through their reader and the matching of paths and classes, and as
# category maps and labels that carry paths. Seeds: the
# test models and, where present, the pretrained model; small images in every
# format prepare-input reads, written by ImageMagick; models with metadata
# and an appended archive. Inputs that once crashed are kept in
# fuzz/regressions/ and replayed first.
# The targets run two at a time, one a core.
#   FUZZ_MODEL_RUNS (default 4000000), FUZZ_INPUT_RUNS (default 100000),
#   FUZZ_PHOTO_RUNS (default 50000), FUZZ_METADATA_RUNS (default 1000000),
#   FUZZ_PROTOCOL_RUNS (default 1000000), FUZZ_SIDECAR_RUNS (default 200000),
#   FUZZ_TRUTH_RUNS (default 200000): the
#   number of inputs each target tries; FUZZ_MODEL_SECONDS (default 150),
#   FUZZ_INPUT_SECONDS (default 60), FUZZ_PHOTO_SECONDS (default 150),
#   FUZZ_METADATA_SECONDS (default 60), FUZZ_PROTOCOL_SECONDS (default 30),
#   FUZZ_SIDECAR_SECONDS (default 30), FUZZ_TRUTH_SECONDS (default 60): caps
#   on the time, for a slower
#   machine.
#   FUZZ_SEED (default 1): with a fixed seed and count, a run repeats the last
#   one exactly, so CI does not fail at random on a finding that is new only
#   by chance; set another seed, or 0 for a random one, and more runs, to
#   explore.
# The time is a budget, spent on the readers that are new or changed: a
# target whose reader (every file of this repository its objects were
# compiled from, its link line and the library prefix it links) is the same
# as in its last full run that found nothing on this machine (a record in
# the machine-wide cache, with the same caps and seed) only replays its seeds
# and regressions and fuzzes for FUZZ_UNCHANGED_SECONDS (default 15) with a
# tenth of its inputs.
# FUZZ_FULL=1 gives every target its full budget.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

model_runs=${FUZZ_MODEL_RUNS:-4000000}
input_runs=${FUZZ_INPUT_RUNS:-100000}
photo_runs=${FUZZ_PHOTO_RUNS:-50000}
metadata_runs=${FUZZ_METADATA_RUNS:-1000000}
protocol_runs=${FUZZ_PROTOCOL_RUNS:-1000000}
model_seconds=${FUZZ_MODEL_SECONDS:-150}
input_seconds=${FUZZ_INPUT_SECONDS:-60}
photo_seconds=${FUZZ_PHOTO_SECONDS:-150}
metadata_seconds=${FUZZ_METADATA_SECONDS:-60}
protocol_seconds=${FUZZ_PROTOCOL_SECONDS:-30}
sidecar_runs=${FUZZ_SIDECAR_RUNS:-200000}
sidecar_seconds=${FUZZ_SIDECAR_SECONDS:-30}
truth_runs=${FUZZ_TRUTH_RUNS:-200000}
truth_seconds=${FUZZ_TRUTH_SECONDS:-60}
seed=${FUZZ_SEED:-1}

# The tree the sanitizer suite builds and tests (scripts/sanitize.sh), whose
# fuzzers are built here if it has not built them yet.
build_dir=$(scripts/configure-check.sh)
cmake --build "$build_dir" -j "$(nproc)" --target model_fuzz input_fuzz photo_fuzz metadata_fuzz protocol_fuzz sidecar_fuzz \
  truth_fuzz write_seeds

# intercept_tls_get_addr=0: see scripts/sanitize.sh.
# max_allocation_size_mb: the arena the library reserves for a model's
# tensors is as large as the kernels' Prepare steps compute, past anything
# the model check can see (the fuzzer found one of 17.7 GB). A larger one
# fails, as on a machine with less memory, and the set-up reports it (the
# model fuzzer's operator new throws as the program's does), below the limit
# at which libFuzzer would call the allocation a crash.
export ASAN_OPTIONS="detect_leaks=1:allocator_may_return_null=1:intercept_tls_get_addr=0:max_allocation_size_mb=8000"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export LSAN_OPTIONS="suppressions=$PWD/tests/sanitizer/lsan.supp:print_suppressions=0"

seeds=$build_dir/seeds
rm -rf "$seeds" "$build_dir/corpus" "$build_dir/crashes"
for target in model_fuzz input_fuzz photo_fuzz metadata_fuzz protocol_fuzz sidecar_fuzz truth_fuzz; do
  mkdir -p "$seeds/$target" "$build_dir/corpus/$target" "fuzz/regressions/$target"
done
mkdir -p "$build_dir/crashes"
"$build_dir/fuzz/write_seeds" "$seeds/model_fuzz" "$seeds/metadata_fuzz"
cp models/mobilenet_v3_small_224_1.0_float.tflite "$seeds/model_fuzz/pretrained.tflite"
printf '\x00\xff\x80\x7f' >"$seeds/input_fuzz/four_bytes"
: >"$seeds/input_fuzz/empty"
# A relay line of each outcome (scores as the line prints them, and exact
# ones at the ends of a float's range), the classes alone as the cache keeps
# them, and a chunk's header with its list.
printf '3\t17\tok\t653\t0.447165\t668\t0.02\n' >"$seeds/protocol_fuzz/classified"
printf '3\t19\tok\t1\t0.99999994\t7\t-nan\t2\t1e-45\t0\t-3.4028235e+38\t9\tinf\n' \
  >"$seeds/protocol_fuzz/exact"
printf '653\t0.447165\t668\t1.1754942e-38' >"$seeds/protocol_fuzz/classes"
printf '3\t18\terror\tnot a photograph\n' >"$seeds/protocol_fuzz/failed"
printf 'classify-photos-chunk copy 2 12\na.jpg\0b/c.png\0' >"$seeds/protocol_fuzz/chunk"
# Sidecars as photo managers write them, ours among them.
printf '<x:xmpmeta xmlns:x="adobe:ns:meta/"><rdf:RDF xmlns:rdf="http://www.w3.org/1999/02/22-rdf-syntax-ns#"><rdf:Description rdf:about="" xmlns:dc="http://purl.org/dc/elements/1.1/" xmlns:lr="http://ns.adobe.com/lightroom/1.0/" xmlns:xmp="http://ns.adobe.com/xap/1.0/" xmp:Rating="3"><dc:subject><rdf:Bag><rdf:li>cat</rdf:li></rdf:Bag></dc:subject><lr:hierarchicalSubject><rdf:Bag><rdf:li>classify|cat</rdf:li><rdf:li>pets|cat</rdf:li></rdf:Bag></lr:hierarchicalSubject></rdf:Description></rdf:RDF></x:xmpmeta>' >"$seeds/sidecar_fuzz/lightroom.xmp"
printf '<?xpacket begin="" id="W5M0MpCehiHzreSzNTczkc9d"?><x:xmpmeta xmlns:x="adobe:ns:meta/"><rdf:RDF xmlns:rdf="http://www.w3.org/1999/02/22-rdf-syntax-ns#"><rdf:Description rdf:about="" xmlns:digiKam="http://www.digikam.org/ns/1.0/"><digiKam:TagsList><rdf:Seq><rdf:li>classify/dog</rdf:li><rdf:li>People/Ann</rdf:li></rdf:Seq></digiKam:TagsList></rdf:Description></rdf:RDF></x:xmpmeta><?xpacket end="w"?>' >"$seeds/sidecar_fuzz/digikam.xmp"
# Truth files as spreadsheets and scripts write them: quoted CSV with a header,
# CRLF and a byte-order mark; TSV with a quoted field over two lines.
printf '\xef\xbb\xbfpath,class\r\np/tench/a.JPEG,"tench, Tinca tinca"\r\n"p/a,""b""/c.jpg",-1\r\n' >"$seeds/truth_fuzz/spreadsheet.csv"
printf 'p/a.jpg\t3\n"p/two\nlines.jpg"\tcrane\n./p/../p/b.jpg\t goldfish \n' >"$seeds/truth_fuzz/script.tsv"
# A category map as a person writes one, and labels that carry their paths.
printf '# a map\nclass\tpath\ngoldfish\tanimal | fish\n4\tanimal|bird\n"a,b"\tthing\n' >"$seeds/truth_fuzz/map.tsv"
printf 'background\nanimal|fish|tench\n goldfish \n|crane|\nthing | a,b\n' >"$seeds/truth_fuzz/carried.txt"
# Sidecars that bind the prefixes we write (and ours) to other namespaces,
# some with the known namespaces under prefixes of their own.
for prefix in lr digiKam dc classifyPhotos; do
  printf '<x:xmpmeta xmlns:x="adobe:ns:meta/"><rdf:RDF xmlns:rdf="http://www.w3.org/1999/02/22-rdf-syntax-ns#"><rdf:Description rdf:about="" xmlns:%s="http://example.com/other/" %s:note="theirs"><%s:subject><rdf:Bag><rdf:li>x</rdf:li></rdf:Bag></%s:subject></rdf:Description></rdf:RDF></x:xmpmeta>' \
    "$prefix" "$prefix" "$prefix" "$prefix" >"$seeds/sidecar_fuzz/foreign-$prefix.xmp"
  printf '<x:xmpmeta xmlns:x="adobe:ns:meta/"><rdf:RDF xmlns:rdf="http://www.w3.org/1999/02/22-rdf-syntax-ns#"><rdf:Description rdf:about="" xmlns:%s="http://example.com/other/" xmlns:a="http://purl.org/dc/elements/1.1/" xmlns:b="http://ns.adobe.com/lightroom/1.0/" xmlns:c="http://www.digikam.org/ns/1.0/" xmlns:d="http://ns.classify-photos.invalid/1.0/" %s:note="theirs"><a:subject><rdf:Bag><rdf:li>cat</rdf:li></rdf:Bag></a:subject><b:hierarchicalSubject><rdf:Bag><rdf:li>classify|cat</rdf:li></rdf:Bag></b:hierarchicalSubject><c:TagsList><rdf:Seq><rdf:li>classify/cat</rdf:li></rdf:Seq></c:TagsList><d:addedKeywords><rdf:Bag><rdf:li>cat</rdf:li></rdf:Bag></d:addedKeywords></rdf:Description></rdf:RDF></x:xmpmeta>' \
    "$prefix" "$prefix" >"$seeds/sidecar_fuzz/foreign-$prefix-and-known.xmp"
done
# One small picture in each format and variant prepare-input reads.
convert -size 12x9 plasma:fractal -seed "$seed" "$seeds/photo_fuzz/source.ppm"
for out in baseline.jpg progressive.jpg:-interlace:JPEG cmyk.jpg:-colorspace:CMYK png8.png \
  png16.png:-depth:16 palette.png:-colors:16 alpha.png:-alpha:on grey.png:-colorspace:Gray \
  photo.webp photo.gif photo.bmp photo.tiff photo.pgm:-colorspace:Gray photo.heic photo.avif \
  tagged.jpg; do
  IFS=: read -r -a variant <<<"$out"
  convert "$seeds/photo_fuzz/source.ppm" "${variant[@]:1}" "$seeds/photo_fuzz/${variant[0]}"
done
exiv2 -M "set Exif.Image.Orientation Short 6" "$seeds/photo_fuzz/tagged.jpg"

# Tensors may take up to the model check's bound of 4 GiB in all.
limits=(-rss_limit_mb=8192 -malloc_limit_mb=8192)
cache_root=${CLASSIFY_TFLITE_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/classify}
records=$cache_root/fuzz-records
unchanged_seconds=${FUZZ_UNCHANGED_SECONDS:-15}
mkdir -p "$records"

# reader_fingerprint TARGET: a hash over what the target's code is made of:
# the repository's files named in the dependency files of its objects and of
# the project's libraries on its link line, that link line, and the stamp of
# the TensorFlow Lite prefix it links. The clone's own path is left out, so
# that another clone of the same commit is the same reader.
reader_fingerprint() {
  local target=$1
  local links=("$build_dir/fuzz/CMakeFiles/$target.dir/link.txt") archive name prefix root
  root=$(pwd -P)
  for archive in $(tr ' ' '\n' <"${links[0]}" | grep -E '^\.\./.*\.a$'); do
    name=$(basename "$archive" .a)
    links+=("$(dirname "$build_dir/fuzz/$archive")/CMakeFiles/${name#lib}.dir/link.txt")
  done
  {
    cat "${links[0]}"
    prefix=$(tr ' ' '\n' <"${links[0]}" | sed -n 's#/lib/libtensorflow-lite\.a$##p' | head -n 1)
    [[ -n $prefix && -f $prefix/.provisioned ]] && echo "$(<"$prefix/.provisioned")"
    # The objects a link line names, and the files their dependency files
    # name, each from the folder the compiler ran in.
    for link in "${links[@]}"; do
      (
        cd "${link%%/CMakeFiles/*}"
        for object in $(tr ' ' '\n' <"CMakeFiles/${link#*/CMakeFiles/}" | tr -d '"' | grep '\.o$'); do
          tr ' \\' '\n\n' <"$object.d" | grep -v -e '^$' -e ':$' | xargs -r realpath -m --
        done
      )
    done | sed -n "s#^$root/##p" | grep -v '^build' | sort -u | while IFS= read -r file; do
      printf '%s ' "$file"
      sha256sum <"$file" 2>/dev/null || echo missing
    done
  } | sha256sum | cut -d' ' -f1
}

run_target() {
  local target=$1 runs=$2 seconds=$3 record full=1 kind="its reader is new or changed"
  # A run with smaller caps than these is no full run of them.
  record="$(reader_fingerprint "$target") $runs $seconds $seed"
  if [[ ${FUZZ_FULL:-0} != 1 && -f $records/$target && $(cat "$records/$target") == "$record" ]]; then
    full=0 kind="its reader is unchanged since its last full run"
    runs=$((runs / 10))
    ((seconds > unchanged_seconds)) && seconds=$unchanged_seconds
  fi
  echo "fuzz: $target, $runs inputs (at most $seconds s: $kind)" >&2
  "$build_dir/fuzz/$target" "$build_dir/corpus/$target" "$seeds/$target" "fuzz/regressions/$target" \
    -runs="$runs" -max_total_time="$seconds" -seed="$seed" -print_final_stats=1 "${limits[@]}" \
    -artifact_prefix="$build_dir/crashes/$target-" 2>"$build_dir/$target.log" || {
    tail -n 60 "$build_dir/$target.log" >&2
    echo "fuzz: $target found a crash; the input is in $build_dir/crashes/" >&2
    rm -f "$records/$target"
    return 1
  }
  grep -E '^stat::number_of_executed_units|^stat::average_exec_per_sec|^stat::peak_rss_mb' "$build_dir/$target.log" |
    sed "s/^/fuzz: $target /" >&2
  if ((full)); then printf '%s\n' "$record" >"$records/$target"; fi
}
# Each target runs on one core, two at a time, the longest first, each
# starting as soon as a core is free.
jobs=(
  "model_fuzz $model_runs $model_seconds" "photo_fuzz $photo_runs $photo_seconds"
  "metadata_fuzz $metadata_runs $metadata_seconds" "input_fuzz $input_runs $input_seconds"
  "truth_fuzz $truth_runs $truth_seconds" "protocol_fuzz $protocol_runs $protocol_seconds"
  "sidecar_fuzz $sidecar_runs $sidecar_seconds")
status=0
running=()
for job in "${jobs[@]}"; do
  if ((${#running[@]} == 2)); then
    wait -n "${running[@]}" || status=1
    alive=()
    for pid in "${running[@]}"; do kill -0 "$pid" 2>/dev/null && alive+=("$pid"); done
    running=("${alive[@]}")
  fi
  # shellcheck disable=SC2086 # a job is its three words
  run_target $job &
  running+=("$!")
done
for pid in "${running[@]}"; do wait "$pid" || status=1; done
((status == 0)) || exit 1
echo "fuzz: no crashes"
