# Sourced by every script of tools/ and by benchmarks/run.sh: messages, logged
# steps, the matrix's answers, Debian packages, stamps, locks and the job pool.
# Sourcing it also makes every process the script starts end with it, whatever
# the reason it exits (see end_children).
# shellcheck shell=bash

TOOLS=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck disable=SC2034  # for the scripts that source this file
REPO=$(dirname "$TOOLS")
CACHE=$(realpath -m "${MARUNDEX_CACHE:-/var/cache/marundex}")
LOGS=$CACHE/logs
# What say's lines start with: the script's name unless it says otherwise.
LIB_NAME=${LIB_NAME:-$(basename "$0" .sh)}

say() { printf '%s: %s\n' "$LIB_NAME" "$*" >&2; }
die() {
  say "error: $*"
  exit 1
}

# run_logged LOG WHAT CMD...: run CMD with its output in LOG; on failure show
# the end of LOG and stop.
run_logged() {
  local log=$1 what=$2
  shift 2
  say "$what (log: $log)"
  if ! "$@" >"$log" 2>&1; then
    say "FAILED: $what; the last lines of $log:"
    tail -n 40 "$log" >&2
    exit 1
  fi
}

# listing VAR CMD...: the lines CMD prints, into the array VAR. A listing that
# fails stops the run: a shorter list would quietly test less.
listing() {
  local -n listing_into=$1
  shift
  local out
  out=$("$@") || die "listing failed: $*"
  # shellcheck disable=SC2034  # the caller's array, through the name reference
  {
    listing_into=()
    if [ -n "$out" ]; then mapfile -t listing_into <<<"$out"; fi
  }
}

# matrix ARGS...: tools/matrix's answer (see tools/matrix.py).
matrix() { "$TOOLS/matrix" "$@"; }

# ---------------------------------------------------------------- apt ------

need_root() {
  [ "$(id -u)" = 0 ] || die "root is needed to $*"
}

APT_UPDATED=0
apt_update() {
  [ "$APT_UPDATED" = 1 ] && return 0
  need_root "run apt-get update"
  mkdir -p "$LOGS"
  local log=$LOGS/apt-update.log
  say "apt-get update (log: $log)"
  if ! apt-get update >"$log" 2>&1; then
    if ! grep -E 'NO_PUBKEY|not signed|EXPKEYSIG' "$log" | grep -q 'deb\.debian\.org'; then
      say "FAILED: apt-get update; the last lines of $log:"
      tail -n 40 "$log" >&2
      exit 1
    fi
    # A keyring too old for a Debian suite added since: take the newest
    # debian-archive-keyring of this machine's suite, then try once more.
    run_logged "$LOGS/apt-keyring.log" "apt-get install debian-archive-keyring" \
      apt-get install -y debian-archive-keyring
    run_logged "$log" "apt-get update" apt-get update
  fi
  APT_UPDATED=1
}

# apt_install_missing PACKAGE...: install those of the Debian packages that are
# not. Another apt-get of a script run beside this one is waited for.
apt_install_missing() {
  local p missing=()
  for p in "$@"; do
    [ "$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)" = "install ok installed" ] ||
      missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  need_root "install ${missing[*]}"
  apt_update
  run_logged "$LOGS/apt-install.log" "apt-get install ${missing[*]}" \
    env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 install -y --no-install-recommends \
    "${missing[@]}"
}

# ------------------------------------------------ a clean environment ------
# What a release build and every command in a Debian root get of the caller's
# environment: these, and nothing else. Anything more changes the artefacts or
# the results behind the script's back: CXX, CXXFLAGS, CMAKE_ARGS and SKBUILD_*
# steer the compiler and the build, PIP_* what pip reads and fetches, and
# LD_*, PYTHON* and VIRTUAL_ENV what the interpreter loads. The build needs
# PATH (the compilers; the script puts the venv's bin/ first), HOME and TMPDIR
# (scratch files of pip, CMake and the compiler), LANG and LC_ALL (UTF-8 file
# names and messages), MARUNDEX_CACHE (so that tools/ finds the same cache) and
# CMAKE_BUILD_PARALLEL_LEVEL (the script's own choice of jobs).
CLEAN_ENV=(PATH HOME TMPDIR LANG LC_ALL MARUNDEX_CACHE CMAKE_BUILD_PARALLEL_LEVEL)

# allowed_env VAR: NAME=VALUE of each variable of CLEAN_ENV that is set, into
# the array VAR.
allowed_env() {
  local -n allowed_into=$1
  local var
  allowed_into=()
  for var in "${CLEAN_ENV[@]}"; do
    if [ -n "${!var+set}" ]; then allowed_into+=("$var=${!var}"); fi
  done
}

# clean_env [NAME=VALUE...] CMD...: CMD in an empty environment but for the
# allowed variables and the given ones, which win.
clean_env() {
  local allowed
  allowed_env allowed
  env -i "${allowed[@]}" "$@"
}

# ------------------------------------------------------ compiler cache ------
# The project's own builds (the C++ suites, the sanitized, benchmark and
# development builds) compile through ccache, kept with the other caches, so a
# clean clone compiles only what changed since the last run. Every path of the
# checkout is mapped out of the objects (-ffile-prefix-map), so clones at other
# paths share the entries and no object names a clone that may be gone. The
# release artefacts never go through it: they are built as a user's pip builds
# them.
export CCACHE_DIR=$CACHE/ccache CCACHE_BASEDIR=$REPO CCACHE_NOHASHDIR=true CCACHE_MAXSIZE=4G

# cached_build VAR: the CMake definitions of a cached build, into the array VAR;
# for pip, as scikit-build-core's --config-settings.
# Without ccache on the machine, a plain build.
cached_build() {
  local -n cached_into=$1
  cached_into=()
  command -v ccache >/dev/null || return 0
  # shellcheck disable=SC2034  # the caller's array, through the name reference
  cached_into=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache "-DCMAKE_CXX_FLAGS=-ffile-prefix-map=$REPO/=")
}
cached_pip_build() {
  local -n cached_pip_into=$1
  local define defines
  cached_build defines
  cached_pip_into=()
  for define in "${defines[@]}"; do cached_pip_into+=("--config-settings=cmake.define.${define#-D}"); done
}

# -------------------------------------------------------------- stamps ------
# A stamp is a file that records what a cached thing was made from; the thing
# is remade when it does not hold the same text.

stamp_matches() { [ "$(cat "$1" 2>/dev/null || true)" = "$2" ]; }
stamp_write() { printf '%s\n' "$2" >"$1"; }

# --------------------------------------------------------------- locks ------

# take_lock FILE WHAT: hold FILE's lock until this script and every process it
# started have ended; says so when it has to wait for another run.
take_lock() {
  local fd
  mkdir -p "$(dirname "$1")"
  exec {fd}>>"$1"
  if ! flock -n "$fd"; then
    say "waiting for another run to finish with $2 (lock: $1)"
    flock "$fd"
  fi
}

# ------------------------------------------------------- the job pool ------
# pool_start N WHAT; pool_run CMD... (as often as needed); pool_wait. At most N
# commands at once; the first that fails stops the run (the others are ended on
# exit).

POOL_MAX=1 POOL_RUNNING=0 POOL_WHAT=job
pool_start() {
  POOL_MAX=$1 POOL_WHAT=$2 POOL_RUNNING=0
}
pool_wait_one() {
  wait -n || die "$POOL_WHAT failed (see above)"
  POOL_RUNNING=$((POOL_RUNNING - 1))
}
pool_run() {
  if [ "$POOL_RUNNING" -ge "$POOL_MAX" ]; then pool_wait_one; fi
  "$@" &
  POOL_RUNNING=$((POOL_RUNNING + 1))
}
pool_wait() {
  while [ "$POOL_RUNNING" -gt 0 ]; do pool_wait_one; done
}

# ----------------------------------------------------------- on exit ------

children_of() { cat /proc/"$1"/task/*/children 2>/dev/null || true; }

# end_tree PID: PID and everything below it; each is stopped first, so that it
# starts nothing more while its children are found.
end_tree() {
  local child
  kill -STOP "$1" 2>/dev/null || return 0
  for child in $(children_of "$1"); do end_tree "$child"; done
  kill -TERM "$1" 2>/dev/null || true
  kill -CONT "$1" 2>/dev/null || true
}

# Every process this script started ends with it, for whatever reason it exits:
# a job left running goes on using the machine and keeps the locks it holds, and
# a rerun would wait on it without a word.
end_children() {
  # The shell that exits: this script, or a subshell that sourced this file.
  local child me=$BASHPID
  for child in $(children_of "$me"); do end_tree "$child"; done
}
trap end_children EXIT
