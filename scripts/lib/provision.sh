# Shared machinery of the provisioning scripts (sourced, not run):
#  - stages printed as one line each with their time, the full output of every
#    command kept in a log file, a progress figure while a long build runs,
#    and on failure the stage, the log's last 30 lines and its path;
#  - root and apt helpers;
#  - Debian source tarballs fetched through a private apt configuration on the
#    machine's own mirror and checked by sha256;
#  - cpuinfo built from source, so that every library in a prefix reads one
#    layout of its structures;
#  - FlatBuffers' C++ code generator, for the model metadata's schema;
#  - the versions and sums of everything built from (versions.txt);
#  - provision_prefix, the life of a cached prefix around a recipe's stages.
#
# The sourcing script sets `tool_name` and calls start_log before any stage
# (provision_prefix does, for a recipe). VERBOSE=1 shows every command's
# output as it runs.

prov_started_at=$(date +%s)
prov_lib_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
current_stage=""
stage_started_at=$prov_started_at
log_file=/dev/null
jobs=$(nproc 2>/dev/null || echo 2)
# True while a line of ours is open on the terminal, waiting for its end.
line_open=0

say() {
  close_line
  printf '[%s] %s\n' "$tool_name" "$*" >&2
}
verbose() { [[ ${VERBOSE:-0} != 0 ]]; }
on_terminal() { [[ -t 2 ]] && ! verbose; }
close_line() {
  if ((line_open)); then
    printf '\r\033[K' >&2
    line_open=0
  fi
}

die() {
  printf '%s\n' "$*" >>"$log_file"
  say "error: $*"
  exit 1
}

start_log() {
  continue_log "$1"
  mkdir -p "$(dirname "$log_file")"
  : >"$log_file"
}

# Goes on with the log an earlier run started.
continue_log() {
  log_file=$(realpath -m "$1")
  trap on_exit EXIT
}

on_exit() {
  local rc=$?
  ((rc != 0)) || return 0
  close_line
  if [[ -n $current_stage ]]; then
    say "FAILED in stage '$current_stage' (exit $rc)"
  else
    say "FAILED (exit $rc)"
  fi
  if ! verbose && [[ -s $log_file ]]; then
    say "the last 30 lines of the log:"
    tail -n 30 "$log_file" >&2
  fi
  say "full log: $log_file"
}

# Runs a command with its output in the log, and on standard error too with
# VERBOSE=1.
run() {
  printf '+ %s\n' "$*" >>"$log_file"
  if verbose; then
    "$@" 2>&1 | tee -a "$log_file" >&2
  else
    "$@" >>"$log_file" 2>&1
  fi
}

# Ends the running stage with a line that gives its time, and starts the next.
stage() {
  end_stage
  current_stage=$1
  stage_started_at=$(date +%s)
  printf '=== %s\n' "$current_stage" >>"$log_file"
  if on_terminal; then
    printf '[%s] %s ...' "$tool_name" "$current_stage" >&2
    line_open=1
  fi
}

end_stage() {
  [[ -n $current_stage ]] || return 0
  say "$(printf '%-30s %5d s' "$current_stage" $(($(date +%s) - stage_started_at)))"
  current_stage=""
}

# cmake --build, showing CMake's own percentage: refreshed in place on a
# terminal, a line at every further 10% otherwise.
build_with_progress() {
  if verbose; then
    run cmake --build "$@"
    return
  fi
  printf '+ cmake --build %s\n' "$*" >>"$log_file"
  cmake --build "$@" 2>&1 | tee -a "$log_file" | show_progress
}

show_progress() {
  local line percent shown=-1
  while IFS= read -r line; do
    [[ $line =~ ^\[\ *([0-9]+)%\] ]] || continue
    percent=$((10#${BASH_REMATCH[1]}))
    if [[ -t 2 ]]; then
      if ((percent != shown)); then
        printf '\r\033[K[%s] %s %3d%%' "$tool_name" "$current_stage" "$percent" >&2
        shown=$percent
      fi
    elif ((percent / 10 > shown / 10 && percent >= 10)); then
      shown=$((percent / 10 * 10))
      printf '[%s] %s %3d%%\n' "$tool_name" "$current_stage" "$shown" >&2
    fi
  done
  # The stage's own line follows; on a terminal it replaces the figure.
  return 0
}

as_root() {
  if [[ $(id -u) -eq 0 ]]; then
    "$@"
  elif command -v sudo >/dev/null 2>&1; then
    sudo "$@"
  else
    die "need root (or sudo) to run: $*"
  fi
}

# Installs the named Debian packages that are missing, starting no service
# and leaving none enabled that the machine did not have (apt-install.sh).
install_apt_packages() {
  local missing=() pkg
  for pkg in "$@"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || missing+=("$pkg")
  done
  ((${#missing[@]})) || return 0
  printf 'installing from apt: %s\n' "${missing[*]}" >>"$log_file"
  run as_root env APT_INSTALL_LOG=/dev/stdout "$prov_lib_dir/apt-install.sh" "${missing[@]}" ||
    die "could not install from apt: ${missing[*]}"
}

# The mirror this machine already uses for Debian: the repository that serves
# a plain release suite (not -security, not -updates), as apt itself reads the
# system's sources in either format.
system_debian_mirror() {
  apt-get indextargets --format '$(REPO_URI) $(RELEASE)' 2>/dev/null |
    awk '$2 ~ /^[a-z]+$/ { print $1; exit }' | sed 's#/*$##'
}

# A private apt configuration in DIR over the system's mirror, with the given
# "TYPE SUITE" lines ("deb sid", "deb-src trixie"...). The system's own apt
# sources and state are not touched. Sets `apt_private` to the options that
# select it.
setup_private_apt() {
  local dir=$1 mirror line
  shift
  mirror=$(system_debian_mirror) || true
  [[ -n $mirror ]] || die "found no Debian mirror in the system's apt sources"
  mkdir -p "$dir/lists/partial" "$dir/cache/archives/partial"
  local keyring=/usr/share/keyrings/debian-archive-keyring.gpg signed=""
  [[ -f $keyring ]] && signed="[signed-by=$keyring] "
  : >"$dir/sources.list"
  for line in "$@"; do
    printf '%s %s%s %s main\n' "${line%% *}" "$signed" "$mirror" "${line#* }" >>"$dir/sources.list"
  done
  apt_private=(-o "Dir::Etc::SourceList=$dir/sources.list" -o Dir::Etc::SourceParts=/dev/null
    -o "Dir::State::Lists=$dir/lists" -o "Dir::Cache=$dir/cache"
    -o Dir::Etc::Preferences=/dev/null -o Dir::Etc::PreferencesParts=/dev/null
    -o APT::Sandbox::User=root)
  run apt-get "${apt_private[@]}" update -q || die "apt-get update of the private configuration ($*) failed"
}

# True when FILE exists and has the sha256 SUM.
has_sha256() {
  [[ -s $1 ]] && [[ $(sha256sum "$1" | cut -d' ' -f1) == "$2" ]]
}

# --- what is built from (versions.txt) ----------------------------------------

cache_root=${CLASSIFY_TFLITE_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/classify}
# Where the Debian packages' files are kept, for every prefix.
downloads=$cache_root/downloads

# pinned_version[PACKAGE] is its version; pinned_file[FILE] and
# pinned_sha256[FILE] are a file's name and sum, FILE being "PACKAGE orig"
# or "PACKAGE debian" for a source package, PACKAGE alone for the others;
# pinned_files lists every FILE in the table's order.
declare -gA pinned_version=() pinned_file=() pinned_sha256=()
declare -ga pinned_files=()
read_versions() {
  local line package="" version="" plain kind sum file name
  while IFS= read -r line; do
    [[ $line =~ ^[[:space:]]*(#|$) ]] && continue
    if [[ $line != [[:space:]]* ]]; then
      read -r package version <<<"$line"
      pinned_version[$package]=$version
      continue
    fi
    read -r kind sum <<<"$line"
    file=$package name=${package#*:}
    # (file names leave out the epoch; an upstream tarball's, the Debian
    # revision too)
    plain=${version#*:}
    case $package in
      src:*)
        file+=" ${kind%%.*}"
        [[ $kind != orig.* ]] || plain=${plain%-*}
        name+="_$plain.$kind"
        ;;
      tree:*) name+="-$version.$kind" ;;
      *) name+="_${version//:/%3a}_$kind" ;;
    esac
    pinned_file[$file]=$name
    pinned_sha256[$file]=$sum
    pinned_files+=("$file")
  done <"$prov_lib_dir/versions.txt"
}
read_versions

# "NAME=VERSION" of each of the packages, NAME without "src:", on one line:
# how a recipe names what it is built from.
pinned_versions() {
  local package named=()
  for package in "$@"; do named+=("${package#src:}=${pinned_version[$package]}"); done
  echo "${named[*]}"
}

# fetch_pinned APT_LINES PACKAGE...: the files of the Debian packages from
# the mirror's suites in the array APT_LINES, into the downloads folder
# (fetch_debian_files).
fetch_pinned() {
  local lines=$1 package file wanted_packages=() wanted_files=()
  shift
  for package in "$@"; do
    wanted_packages+=("$package=${pinned_version[$package]}")
    for file in "${pinned_files[@]}"; do
      [[ $file == "$package" || $file == "$package "* ]] || continue
      wanted_files+=("${pinned_file[$file]}=${pinned_sha256[$file]}")
    done
  done
  fetch_debian_files "$downloads" "$lines" wanted_packages wanted_files
}

# fetch_debian_files DIR APT_LINES PACKAGES FILES: makes sure that every
# "name=sha256" in FILES is in DIR. What is missing is fetched with
# `apt-get source --download-only` (for "src:NAME=VERSION" in PACKAGES) and
# `apt-get download` (for "NAME=VERSION"). This mirror lacks the .dsc of
# several uploads, so apt-get may report failure after it has fetched the
# tarballs: the download is judged by the files it leaves and their sums.
# APT_LINES, PACKAGES and FILES are names of arrays.
fetch_debian_files() {
  local dir=$1
  local -n apt_lines=$2 packages=$3 files=$4
  local entry missing=0
  for entry in "${files[@]}"; do has_sha256 "$dir/${entry%%=*}" "${entry#*=}" || missing=1; done
  ((missing)) || return 0
  mkdir -p "$dir"
  setup_private_apt "$dir/apt" "${apt_lines[@]}"
  local sources=() binaries=()
  for entry in "${packages[@]}"; do
    if [[ $entry == src:* ]]; then sources+=("${entry#src:}"); else binaries+=("$entry"); fi
  done
  if ((${#sources[@]})); then
    (cd "$dir" && run apt-get "${apt_private[@]}" source --download-only "${sources[@]}") ||
      printf 'apt-get source exited non-zero; checking the files it left\n' >>"$log_file"
  fi
  if ((${#binaries[@]})); then
    (cd "$dir" && run apt-get "${apt_private[@]}" download "${binaries[@]}") ||
      die "could not download ${binaries[*]}"
  fi
  for entry in "${files[@]}"; do
    has_sha256 "$dir/${entry%%=*}" "${entry#*=}" ||
      die "$dir/${entry%%=*} is missing or not the expected file (sha256 ${entry#*=}); wanted: ${packages[*]}"
  done
}

# build_cpuinfo WORK PREFIX [cmake args...]: the cpuinfo every library of a
# prefix is built against (src:cpuinfo in versions.txt). ruy reads cpuinfo's
# structures through inline functions compiled into ruy itself, so ruy and the
# cpuinfo library it is linked with must come from one version: against
# Debian 12's older cpuinfo, ruy reads the AVX2 and AVX-512 flags at the
# wrong offsets and falls back to its plain AVX kernels. A static library
# with position-independent code, without tools, tests and benchmarks (which
# would download googletest).
build_cpuinfo() {
  local work=$1 prefix=$2
  shift 2
  unpack_pinned src:cpuinfo "$work/cpuinfo"
  rm -rf "$work/cpuinfo-build"
  run cmake -S "$work/cpuinfo" -B "$work/cpuinfo-build" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX="$prefix" -DCMAKE_POSITION_INDEPENDENT_CODE=ON \
    -DCPUINFO_LIBRARY_TYPE=static -DCPUINFO_BUILD_TOOLS=OFF -DCPUINFO_BUILD_UNIT_TESTS=OFF \
    -DCPUINFO_BUILD_MOCK_TESTS=OFF -DCPUINFO_BUILD_BENCHMARKS=OFF "$@"
  run cmake --build "$work/cpuinfo-build" -j "$jobs"
  run cmake --install "$work/cpuinfo-build"
}

# build_flatc_cpp TREE BIN_DIR [JOBS]: FlatBuffers' C++ code generator for this
# machine, from the unpacked FlatBuffers TREE, as BIN_DIR/flatc-cpp: the
# code that reads a model's metadata is generated by the FlatBuffers release
# TensorFlow Lite is built with (Debian 12's flatc is older, and its code
# does not compile against these headers). Only the parser and the C++
# generator are compiled, a fifth of the full flatc.
build_flatc_cpp() {
  local tree=$1 bin=$2 parallel=${3:-$jobs} objects=$2/flatc-cpp-objects source
  mkdir -p "$objects"
  for source in "$tree"/src/{idl_parser,idl_gen_text,reflection,util,idl_gen_cpp,code_generators}.cpp \
    "$prov_lib_dir/../codegen/flatc_cpp.cpp"; do
    printf '%s\n' "$source"
  done | run xargs -P "$parallel" -I{} sh -c 'g++ -O1 -std=c++17 -I"$1/include" -I"$1/src" -c "$2" \
    -o "$3/$(basename "$2").o"' sh "$tree" {} "$objects" || die "flatc-cpp does not compile"
  run g++ "$objects"/*.o -o "$bin/flatc-cpp" || die "flatc-cpp does not link"
  rm -rf "$objects"
}

# True when PREFIX carries a stamp that records exactly RECIPE.
prefix_is_current() {
  [[ -f $1/.provisioned && $(cat "$1/.provisioned") == "$2" ]]
}

# Written last: only a finished build carries the stamp.
stamp_prefix() {
  printf '%s' "$2" >"$1/.provisioned"
}

elapsed_total() {
  echo $(($(date +%s) - prov_started_at))
}

# provision_prefix [OPTIONS] PREFIX RECIPE WORK STAGE...: makes PREFIX by
# RECIPE (the whole recipe, which its stamp records) unless it carries that
# stamp already, and prints it on standard output either way. A prefix is
# made afresh: its log started, the apt packages installed, PREFIX and the
# work folder WORK emptied; then the functions STAGE... run in order (they
# see PREFIX, RECIPE and WORK as $prefix, $recipe and $work); then WORK is
# removed and the stamp written, last, so that an interrupted build is made
# again by the next run. WORK is renamed away and removed at the lowest
# priority while the caller goes on: removing TensorFlow's tree and its
# objects took two minutes and more of an empty cache's CI run, each time.
#   --about TEXT     what is built, into where, in how long: the first line
#   --apt "PKG..."   the Debian packages the stages need
#   --log FILE       the log (default: logs/NAME.log in the cache, NAME
#                    being PREFIX's)
#   --note TEXT      said after PREFIX when it is cached
#   --print FUNCTION prints what to give for PREFIX (default: PREFIX itself)
#   --before FUNCTION runs first when the prefix is to be made, before its
#                    log starts
#   --go-on          an earlier run made part of PREFIX and left WORK for the
#                    rest: both are kept and its log goes on
provision_prefix() {
  local about="" apt="" log="" note="" print=echo before="" go_on=0
  while [[ $1 == --* ]]; do
    case $1 in
      --about) about=$2; shift ;;
      --apt) apt=$2; shift ;;
      --log) log=$2; shift ;;
      --note) note=$2; shift ;;
      --print) print=$2; shift ;;
      --before) before=$2; shift ;;
      --go-on) go_on=1 ;;
      *) die "provision_prefix: unknown option $1" ;;
    esac
    shift
  done
  local prefix=$1 recipe=$2 work=$3 stage_function packages
  shift 3
  if prefix_is_current "$prefix" "$recipe"; then
    say "cached: $prefix${note:+ $note}"
    "$print" "$prefix"
    return
  fi
  [[ -z $before ]] || "$before"
  log=${log:-$cache_root/logs/$(basename "$prefix").log}
  if ((go_on)); then
    continue_log "$log"
  else
    start_log "$log"
    say "building $about"
    say "full log: $log_file"
    stage "apt packages"
    read -ra packages <<<"$apt"
    install_apt_packages "${packages[@]}"
    rm -rf "$prefix"
    mkdir -p "$prefix" "$downloads"
    # (and what an interrupted removal in the background left of an earlier one)
    rm -rf "$work" "$work".removed.*
    mkdir -p "$work"
  fi
  for stage_function in "$@"; do
    "$stage_function"
  done
  end_stage
  remove_work "$work"
  stamp_prefix "$prefix" "$recipe"
  say "done in $(elapsed_total) s: $prefix"
  "$print" "$prefix"
}

# remove_work WORK: in the background, the folder renamed first, so that a
# build that starts meanwhile finds its name free.
remove_work() {
  local removed
  removed=$(mktemp -d "$1.removed.XXXXXX")
  mv "$1" "$removed/"
  nice -n 19 rm -rf "$removed" </dev/null >/dev/null 2>&1 &
}

# Unpacks TARBALL into DIR (its top folder stripped) and applies the Debian
# patch series of DEBIAN_TARBALL, when given.
unpack() {
  local tarball=$1 dir=$2 debian=${3:-}
  rm -rf "$dir"
  mkdir -p "$dir"
  tar -xf "$tarball" -C "$dir" --strip-components=1
  [[ -n $debian ]] || return 0
  tar -xf "$debian" -C "$dir"
  local name
  while read -r name _; do
    [[ -z $name || $name == \#* ]] && continue
    run patch -d "$dir" -p1 --forward --batch -s -i "$dir/debian/patches/$name" ||
      die "patch $name does not apply to $(basename "$tarball")"
  done <"$dir/debian/patches/series"
}

# unpack_pinned PACKAGE DIR: the downloaded source package unpacked into
# DIR, with its Debian patches where versions.txt names them.
unpack_pinned() {
  unpack "$downloads/${pinned_file[$1 orig]}" "$2" \
    ${pinned_file[$1 debian]:+"$downloads/${pinned_file[$1 debian]}"}
}

# cross_build NAME SOURCE [cmake args...]: configures, builds and installs
# the CMake project in SOURCE for Windows, static, with the MinGW-w64
# toolchain file `toolchain`, in `work`, into `prefix`.
cross_build() {
  local name=$1 source=$2
  shift 2
  run cmake -S "$source" -B "$work/$name-build" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" -DCMAKE_PREFIX_PATH="$prefix" \
    -DBUILD_SHARED_LIBS=OFF "$@" || die "$name does not configure"
  run cmake --build "$work/$name-build" -j "$jobs" || die "$name does not build"
  run cmake --install "$work/$name-build" || die "$name does not install"
}

# Our own patches to TensorFlow Lite (scripts/tflite/patches/, each saying
# why at its top), applied after Debian's, in name order.
apply_own_patches() {
  local tree=$1 patch_file
  for patch_file in "$(dirname "${BASH_SOURCE[0]}")"/../tflite/patches/*.patch; do
    [[ -e $patch_file ]] || continue
    run patch -d "$tree" -p1 --forward --batch -s -i "$(realpath "$patch_file")" ||
      die "our patch $(basename "$patch_file") does not apply"
  done
}

# build_xnnpack_delegate TREE WORK PREFIX XNNPACK_PREFIX [cmake args...]:
# compiles TensorFlow Lite's XNNPACK delegate from the unpacked TREE against
# the library installed in PREFIX and XNNPACK in XNNPACK_PREFIX, with the
# flags the library was compiled with (passed in the cmake args), and
# installs it into PREFIX (scripts/tflite/xnnpack-delegate/).
build_xnnpack_delegate() {
  local tree=$1 build=$2/xnnpack-delegate prefix=$3 xnnpack_prefix=$4
  shift 4
  run cmake -S "$prov_lib_dir/../tflite/xnnpack-delegate" -B "$build" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX="$prefix" -DTFLITE_TREE="$tree" -DXNNPACK_PREFIX="$xnnpack_prefix" "$@" ||
    die "the XNNPACK delegate does not configure"
  run cmake --build "$build" -j "$jobs" || die "the XNNPACK delegate does not build"
  run cmake --install "$build" || die "the XNNPACK delegate does not install"
}

# The lock that one provisioning of XNNPACK for TARGET holds while it runs
# (provision-tflite.sh starts one in the background, which xnnpack_prefix
# then waits for).
xnnpack_lock() {
  mkdir -p "$cache_root"
  echo "$cache_root/.xnnpack-$1.lock"
}

# The prefix of scripts/provision-xnnpack.sh for TARGET (linux or win64),
# provisioned first where it is not yet (or waited for, where it is being
# provisioned); its stage lines go to standard error.
xnnpack_prefix() {
  local out
  out=$(flock "$(xnnpack_lock "$1")" "$prov_lib_dir/../provision-xnnpack.sh" "$1" | tail -n 1) ||
    die "XNNPACK could not be provisioned"
  [[ -d $out ]] || die "XNNPACK's provisioning printed no prefix"
  echo "$out"
}
