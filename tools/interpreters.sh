#!/usr/bin/env bash
# Provides marundex's supported Python interpreters, each with a virtual
# environment holding the packages of tools/requirements-NAME.txt:
#
#   ft313  free-threaded CPython 3.13 (Py_GIL_DISABLED = 1)
#   py311  CPython 3.11
#   py312  CPython 3.12
#   py313  CPython 3.13, default (GIL) build
#
# and, set up only when named, tsan313t (see its block below).
#
# An interpreter already on the machine is used when it fits: the right
# version and build, Python.h present, ssl and zlib importable, and able to
# create a venv. Otherwise one is built from the plain upstream source inside
# Debian's python3.X source package (trixie for 3.13, bookworm for 3.11),
# without Debian's patches, which assume Debian's own install layout. No
# Debian suite has a 3.12 source package, so py312 must be on the machine
# (pyenv's 3.12 is).
#
# Everything lives under ${MARUNDEX_CACHE:-/var/cache/marundex}:
#   python3.13t/ ...   interpreters built here (complete once their stamp exists)
#   python3.13t-tsan/  the ThreadSanitizer build of free-threaded 3.13
#   src/ build/        Debian source packages and scratch build trees
#   venvs/NAME/        the venvs; each records what it was made from and is
#                      remade when its requirements file or base changes
#   logs/              output of the long steps (apt, configure, make, pip)
#
# Usage (as root on Debian 12; needs no input, and is quick once cached):
#   tools/interpreters.sh setup [NAME...]   make sure the named interpreters and
#                                           venvs (default: all of them) exist and
#                                           print one line for each
#   tools/interpreters.sh python NAME       print the venv's python path
#   tools/interpreters.sh base NAME         print the interpreter the venv was
#                                           made from (for fresh venvs of it)
#   tools/interpreters.sh names             print the supported interpreters'
#                                           names, one a line
set -euo pipefail

# The supported interpreters: every list of them elsewhere (tests, release
# wheels) is read from here.
NAMES=(ft313 py311 py312 py313)
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
CACHE=$(realpath -m "${MARUNDEX_CACHE:-/var/cache/marundex}")
LOGS=$CACHE/logs
JOBS=${MARUNDEX_JOBS:-$(nproc)}
# Bump to remake every venv when the way they are made changes.
VENV_LAYOUT=1

BUILD_DEPS=(build-essential dpkg-dev pkg-config xz-utils libssl-dev zlib1g-dev
  libffi-dev libbz2-dev liblzma-dev libsqlite3-dev libreadline-dev
  libncurses-dev uuid-dev libgdbm-dev)
# Modules a build of ours must have; each comes from one of BUILD_DEPS.
BUILD_CHECK='import ssl, zlib, bz2, lzma, ctypes, sqlite3, readline, curses, uuid, _uuid, dbm.gnu, ensurepip, venv'

export DEBIAN_FRONTEND=noninteractive PIP_NO_INPUT=1 PIP_DISABLE_PIP_VERSION_CHECK=1
unset PYTHONHOME PYTHONPATH PYTHONSTARTUP PYTHON_GIL

say() { printf 'interpreters: %s\n' "$*" >&2; }
die() {
  say "error: $*"
  exit 1
}

usage() {
  cat >&2 <<EOF
usage: $0 setup [NAME...]
       $0 python NAME
       $0 base NAME
       $0 names
NAME is one of: ${NAMES[*]} $TSAN_NAME
EOF
  exit 2
}

# shellcheck source=run-logged.sh
source "$(dirname "${BASH_SOURCE[0]}")/run-logged.sh"

# Facts about each interpreter: version series, free-threaded?, executable
# name, and the Debian suite whose source package it is built from.
spec_of() {
  case $1 in
    ft313) echo "3.13 1 python3.13t trixie" ;;
    py311) echo "3.11 0 python3.11 bookworm" ;;
    py312) echo "3.12 0 python3.12 none" ;;
    py313) echo "3.13 0 python3.13 trixie" ;;
    *) tsan_spec_of "$1" ;;
  esac
}

# ------------------------------------------- ThreadSanitizer interpreter ------
# tsan313t: free-threaded CPython 3.13 built with --with-thread-sanitizer into a
# prefix of its own, python3.13t-tsan, so that no search for an ordinary 3.13t
# ever finds it. It is only ever this build, made here; it is not in the default
# set of `setup`, and tools/test-all.sh names it for its ThreadSanitizer step.

TSAN_NAME=tsan313t

tsan_spec_of() {
  [ "$1" = "$TSAN_NAME" ] && echo "3.13 1 python3.13t trixie"
}

# prefix_of NAME: where the interpreter NAME is built in the cache.
prefix_of() {
  local series ft exe suite
  read -r series ft exe suite <<<"$(spec_of "$1")"
  if [ "$1" = "$TSAN_NAME" ]; then echo "$CACHE/$exe-tsan"; else echo "$CACHE/$exe"; fi
}

# configure_flags NAME: the flags of ./configure beyond the prefix.
configure_flags() {
  local series ft exe suite
  read -r series ft exe suite <<<"$(spec_of "$1")"
  if [ "$ft" = 1 ]; then echo --disable-gil; fi
  if [ "$1" != "$TSAN_NAME" ]; then
    echo --with-ensurepip=install
  else
    # Neither the interpreter's own test suite nor pip (the venv brings its own):
    # byte-compiling them with the instrumented interpreter would take most of
    # the install's time.
    printf '%s\n' --with-thread-sanitizer --disable-test-modules --with-ensurepip=no
  fi
}

# The interpreter's own suppressions for its internals, kept beside the build
# for the runs under ThreadSanitizer (the source tree is removed after the build).
tsan_suppressions() { echo "$(prefix_of "$TSAN_NAME")/suppressions_free_threading.txt"; }

# What this script runs on that build (the build's own steps, venv, pip) is not
# under test: a report is logged and leaves the exit status alone. No other
# interpreter reads this variable.
export TSAN_OPTIONS="exitcode=0 log_path=$LOGS/$TSAN_NAME-setup-report"

# Its venv only runs tests: no build tools (cmake, ninja, scikit-build-core) and no
# hypothesis, whose import alone costs the instrumented interpreter seconds; and pip
# leaves byte-compilation to the first import, which needs a fraction of the files.
venv_modules() {
  if [ "$1" = "$TSAN_NAME" ]; then echo numpy pytest; else echo numpy pytest hypothesis scikit_build_core; fi
}
venv_has_build_tools() { [ "$1" != "$TSAN_NAME" ]; }
pip_install_flags() { if [ "$1" = "$TSAN_NAME" ]; then echo --no-compile; fi; }

# ------------------------------------------------------------------------------

# ---------------------------------------------------------------- apt ------

APT_UPDATED=0

need_root() {
  [ "$(id -u)" = 0 ] || die "root is needed to $*"
}

apt_update() {
  [ "$APT_UPDATED" = 1 ] && return 0
  need_root "run apt-get update"
  local log=$LOGS/apt-update.log
  say "apt-get update (log: $log)"
  if ! apt-get update >"$log" 2>&1; then
    if ! grep -E 'NO_PUBKEY|not signed|EXPKEYSIG' "$log" | grep -q 'deb\.debian\.org'; then
      say "FAILED: apt-get update; the last lines of $log:"
      tail -n 40 "$log" >&2
      exit 1
    fi
    # A keyring too old for a Debian suite added below: take the newest
    # debian-archive-keyring that bookworm has, then try once more.
    run_logged "$LOGS/apt-keyring.log" "apt-get install debian-archive-keyring" \
      apt-get install -y debian-archive-keyring
    run_logged "$log" "apt-get update" apt-get update
  fi
  APT_UPDATED=1
}

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
    apt-get install -y --no-install-recommends "${missing[@]}"
}

# ensure_deb_src SUITE: let apt see SUITE's source packages (deb-src only, so
# nothing from that suite is ever installed as a binary package).
ensure_deb_src() {
  local suite=$1 file=/etc/apt/sources.list.d/marundex-src-$1.sources text
  case $suite in
    trixie)
      text="Types: deb-src
URIs: http://deb.debian.org/debian
Suites: trixie
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg"
      ;;
    bookworm)
      text="Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm bookworm-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

Types: deb-src
URIs: http://deb.debian.org/debian-security
Suites: bookworm-security
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg"
      ;;
    *) die "no source list known for suite $suite" ;;
  esac
  if [ "$(cat "$file" 2>/dev/null || true)" != "$text" ]; then
    need_root "write $file"
    say "adding $file"
    printf '%s\n' "$text" >"$file"
    APT_UPDATED=0
  fi
}

# ------------------------------------------------------- source builds ------

# fetch_source SERIES SUITE: download Debian's python<SERIES> source package
# into $CACHE/src/python<SERIES> (once) and set SRC_DSC to its .dsc.
SRC_DSC=
fetch_source() {
  local series=$1 suite=$2 dir=$CACHE/src/python$1
  if [ ! -f "$dir/.complete" ]; then
    ensure_deb_src "$suite"
    apt_update
    rm -rf "$dir"
    mkdir -p "$dir"
    # apt downloads as _apt where it can write the target folder.
    if id _apt >/dev/null 2>&1; then chown _apt "$dir"; fi
    run_logged "$LOGS/src-python$series.log" "apt-get source python$series/$suite" \
      env -C "$dir" apt-get source --download-only "python$series/$suite"
    touch "$dir/.complete"
  fi
  SRC_DSC=$(find "$dir" -maxdepth 1 -name "python${series}_*.dsc" | sort -V | tail -n 1)
  [ -n "$SRC_DSC" ] || die "no python$series .dsc in $dir"
}

# build_cpython NAME: build the interpreter NAME from source into its prefix
# (prefix_of), unless a completed build is there already.
build_cpython() {
  local name=$1 series ft exe suite prefix
  read -r series ft exe suite <<<"$(spec_of "$name")"
  prefix=$(prefix_of "$name")
  local build=$CACHE/build/$(basename "$prefix")
  local stamp=$prefix/.marundex-build-complete
  [ -f "$stamp" ] && return 0
  [ "$suite" != none ] ||
    die "$name: no CPython $series on this machine fits, and there is no Debian source package to build one from"

  say "$name: building CPython $series from source; this takes a few minutes"
  # The source list first, so that one apt-get update serves both steps.
  [ -f "$CACHE/src/python$series/.complete" ] || ensure_deb_src "$suite"
  apt_install_missing "${BUILD_DEPS[@]}"
  fetch_source "$series" "$suite"
  local dsc=$SRC_DSC
  rm -rf "$build" "$prefix"
  mkdir -p "$build"
  # --skip-patches: the upstream tree as released, without Debian's patches.
  run_logged "$LOGS/$name-unpack.log" "unpack $(basename "$dsc") without Debian's patches" \
    dpkg-source --skip-patches -x "$dsc" "$build/src"
  local flags=("--prefix=$prefix")
  mapfile -t -O 1 flags < <(configure_flags "$name")
  if [ "$name" = "$TSAN_NAME" ]; then
    mkdir -p "$prefix"
    cp "$build/src/Tools/tsan/suppressions_free_threading.txt" "$(tsan_suppressions)"
  fi
  run_logged "$LOGS/$name-configure.log" "$name: configure ${flags[*]}" \
    env -C "$build/src" ./configure "${flags[@]}"
  run_logged "$LOGS/$name-make.log" "$name: make -j$JOBS" make -C "$build/src" -j"$JOBS"
  run_logged "$LOGS/$name-install.log" "$name: make install" make -C "$build/src" install
  run_logged "$LOGS/$name-check.log" "$name: check the built modules" \
    "$prefix/bin/$exe" -I -c "$BUILD_CHECK"
  printf 'source=%s\nconfigure=%s\n' "$(basename "$dsc")" "${flags[*]}" >"$stamp"
  rm -rf "$build"
}

# ------------------------------------------------------------ choosing ------

# candidates NAME: interpreters on this machine that may fit, best first.
candidates() {
  local series ft exe suite p
  read -r series ft exe suite <<<"$(spec_of "$1")"
  if [ "$1" = "$TSAN_NAME" ]; then
    if [ -f "$(prefix_of "$1")/.marundex-build-complete" ]; then echo "$(prefix_of "$1")/bin/$exe"; fi
    return 0
  fi
  command -v "$exe" 2>/dev/null || true
  for p in "${PYENV_ROOT:-${HOME:-/root}/.pyenv}"/versions/*/bin/"$exe"; do
    if [ -x "$p" ]; then echo "$p"; fi
  done | sort -V -r
  for p in /usr/local/bin/"$exe" /usr/bin/"$exe"; do
    if [ -x "$p" ]; then echo "$p"; fi
  done
  if [ -f "$CACHE/$exe/.marundex-build-complete" ]; then echo "$CACHE/$exe/bin/$exe"; fi
}

# probe NAME PYTHON: print the base interpreter's path if PYTHON fits NAME;
# otherwise print why not and fail.
probe() {
  local series ft exe suite
  read -r series ft exe suite <<<"$(spec_of "$1")"
  local tsan=0
  [ "$1" = "$TSAN_NAME" ] && tsan=1
  "$2" -I - "$series" "$ft" "$tsan" <<'EOF'
import os, sys, sysconfig
series, ft, tsan = sys.argv[1], sys.argv[2] == "1", sys.argv[3] == "1"
found = "%d.%d" % sys.version_info[:2]
if found != series:
    sys.exit("it is Python " + found)
if bool(sysconfig.get_config_var("Py_GIL_DISABLED")) != ft:
    sys.exit("Py_GIL_DISABLED is %r" % sysconfig.get_config_var("Py_GIL_DISABLED"))
if ("--with-thread-sanitizer" in (sysconfig.get_config_var("CONFIG_ARGS") or "")) != tsan:
    sys.exit("it is %sa ThreadSanitizer build" % ("not " if tsan else ""))
include = sysconfig.get_paths()["include"]
if not os.path.isfile(os.path.join(include, "Python.h")):
    sys.exit("no Python.h in " + include)
try:
    import ssl, zlib, venv, ensurepip
except ImportError as e:
    sys.exit(str(e))
print(sys._base_executable if sys.prefix != sys.base_prefix else sys.executable)
EOF
}

# --------------------------------------------------------------- venvs ------

venv_dir() { echo "$CACHE/venvs/$1"; }
req_file() { echo "$ROOT/tools/requirements-$1.txt"; }

# stamp_text NAME BASE: what the venv NAME made from BASE records.
stamp_text() {
  local base_version
  base_version=$("$2" -I -c 'import sys; print(sys.version.replace("\n", " "))') || return 1
  printf 'layout=%s\nrequirements=%s\nbase=%s\nbase_version=%s\n' \
    "$VENV_LAYOUT" "$(sha256sum <"$(req_file "$1")" | cut -d' ' -f1)" "$2" "$base_version"
}

venv_current() {
  local stamp base
  stamp=$(venv_dir "$1")/.marundex-venv
  [ -f "$stamp" ] || return 1
  base=$(sed -n 's/^base=//p' "$stamp")
  [ -n "$base" ] && [ -x "$base" ] || return 1
  [ "$(cat "$stamp")" = "$(stamp_text "$1" "$base" 2>/dev/null)" ]
}

# verify NAME: check the venv and print "VERSION GIL_DISABLED NUMPY_VERSION".
verify() {
  local series ft exe suite
  read -r series ft exe suite <<<"$(spec_of "$1")"
  # shellcheck disable=SC2046  # one module name a word
  "$(venv_dir "$1")/bin/python" -I - "$ft" $(venv_modules "$1") <<'EOF'
import importlib, os, sys, sysconfig
for module in sys.argv[2:]:
    importlib.import_module(module)
import numpy
ft = sys.argv[1] == "1"
include = sysconfig.get_paths()["include"]
if not os.path.isfile(os.path.join(include, "Python.h")):
    sys.exit("no Python.h in " + include)
disabled = int(bool(sysconfig.get_config_var("Py_GIL_DISABLED")))
if disabled != ft:
    sys.exit("Py_GIL_DISABLED is %d" % disabled)
if ft and sys._is_gil_enabled():
    sys.exit("the GIL is enabled after importing numpy")
print(sys.version.split()[0], disabled, numpy.__version__)
EOF
}

# make_venv NAME BASE: (re)create the venv from BASE and install its
# requirements. Fails (for the next candidate) only if BASE cannot make a venv.
make_venv() {
  local name=$1 base=$2 venv req pip_req
  venv=$(venv_dir "$name")
  req=$(req_file "$name")
  rm -rf "$venv"
  mkdir -p "$(dirname "$venv")"
  if ! "$base" -I -m venv "$venv" >"$LOGS/$name-venv.log" 2>&1; then
    say "  $base cannot create a venv: $(tail -n 1 "$LOGS/$name-venv.log")"
    rm -rf "$venv"
    return 1
  fi
  # pip first, on its own, then everything else with that pip.
  pip_req=$(grep -E '^pip([=<>!~ ]|$)' "$req" | head -n 1 || true)
  # shellcheck disable=SC2046  # no flag or one flag a word
  run_logged "$LOGS/$name-pip.log" "$name: pip install --upgrade ${pip_req:-pip}" \
    "$venv/bin/python" -I -m pip install --progress-bar off $(pip_install_flags "$name") --upgrade "${pip_req:-pip}"
  # shellcheck disable=SC2046
  run_logged "$LOGS/$name-requirements.log" "$name: pip install -r $(basename "$req")" \
    "$venv/bin/python" -I -m pip install --progress-bar off $(pip_install_flags "$name") --upgrade -r "$req"
  if venv_has_build_tools "$name"; then
    # shellcheck disable=SC2016  # $1 is expanded by the inner bash
    run_logged "$LOGS/$name-tools.log" "$name: check cmake and ninja" \
      bash -c '"$1/bin/cmake" --version && "$1/bin/ninja" --version' _ "$venv"
  fi
  stamp_text "$name" "$base" >"$venv/.marundex-venv"
}

# try_base NAME PYTHON: make the venv from PYTHON if it fits.
try_base() {
  local out base
  if ! out=$(probe "$1" "$2" 2>&1); then
    out=$(printf '%s\n' "$out" | grep -m 1 . || true)
    say "  $2 does not fit: $out"
    return 1
  fi
  base=${out##*$'\n'}
  say "  using $base"
  make_venv "$1" "$base"
}

VERIFIED=
ensure() {
  local name=$1 req cand seen=" "
  req=$(req_file "$name")
  [ -f "$req" ] || die "missing $req"
  if venv_current "$name" && VERIFIED=$(verify "$name" 2>/dev/null); then
    return 0
  fi

  say "$name: making $(venv_dir "$name")"
  local made=0 cands=()
  mapfile -t cands < <(candidates "$name")
  for cand in "${cands[@]}"; do
    case $seen in *" $cand "*) continue ;; esac
    seen="$seen$cand "
    if try_base "$name" "$cand"; then
      made=1
      break
    fi
  done

  # Debian's own 3.11 only lacks its -dev and -venv packages.
  if [ "$made" = 0 ] && [ "$name" = py311 ] && [ -x /usr/bin/python3.11 ] && [ "$(id -u)" = 0 ]; then
    apt_install_missing python3.11-dev python3.11-venv
    try_base "$name" /usr/bin/python3.11 && made=1
  fi

  if [ "$made" = 0 ]; then
    local series ft exe suite
    read -r series ft exe suite <<<"$(spec_of "$name")"
    build_cpython "$name"
    try_base "$name" "$(prefix_of "$name")/bin/$exe" ||
      die "$name: the interpreter built in $(prefix_of "$name") does not fit"
  fi

  local out
  out=$(verify "$name" 2>&1) || die "$name: the venv fails its check: ${out##*$'\n'}"
  VERIFIED=$out
}

# ---------------------------------------------------------------- main ------

[ $# -ge 1 ] || usage
cmd=$1
shift
case $cmd in
  setup) [ $# -gt 0 ] || set -- "${NAMES[@]}" ;;
  python | base) [ $# -eq 1 ] || usage ;;
  names)
    [ $# -eq 0 ] || usage
    printf '%s\n' "${NAMES[@]}"
    exit 0
    ;;
  -h | --help | help) usage ;;
  *) usage ;;
esac
for n in "$@"; do
  spec_of "$n" >/dev/null || { say "unknown interpreter: $n"; usage; }
done

mkdir -p "$CACHE" "$LOGS"
# The ThreadSanitizer build, a quarter of an hour on a fresh machine, is made
# beside the steps that use the others, under a lock of its own; it shares with
# them only the source package, which the setup of the others has fetched.
lock=$CACHE/.lock
[ "$*" != "$TSAN_NAME" ] || lock=$CACHE/.lock-$TSAN_NAME
exec 9>>"$lock"
if ! flock -n 9; then
  say "waiting for another run to finish with $CACHE"
  flock 9
fi

for n in "$@"; do
  ensure "$n"
  if [ "$cmd" = python ]; then
    echo "$(venv_dir "$n")/bin/python"
  elif [ "$cmd" = base ]; then
    sed -n 's/^base=//p' "$(venv_dir "$n")/.marundex-venv"
  else
    read -r version disabled numpy_version <<<"$VERIFIED"
    printf '%-6s %s %s Py_GIL_DISABLED=%s numpy=%s\n' \
      "$n" "$(venv_dir "$n")/bin/python" "$version" "$disabled" "$numpy_version"
  fi
done
