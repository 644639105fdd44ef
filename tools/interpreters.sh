#!/usr/bin/env bash
# Provides the interpreters of tools/matrix.toml whose origin is this machine,
# each with a virtual environment holding the packages of its requirements file:
# the free-threaded and default builds of the CPython series the wheels are built
# for, and, set up only when named, the ThreadSanitizer build (see is_tsan).
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
#   tools/interpreters.sh find NAME         print an interpreter on the machine
#                                           that fits NAME, making nothing (for
#                                           tools/pins.sh)
#   tools/interpreters.sh names             print the names `setup` makes by
#                                           default, one a line (tools/matrix)
set -euo pipefail

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

LIB_NAME=interpreters
# shellcheck source=lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

usage() {
  cat >&2 <<EOF
usage: $0 setup [NAME...]
       $0 python NAME
       $0 base NAME
       $0 find NAME
       $0 names
NAME is one of: $(matrix names --host | tr '\n' ' ')
EOF
  exit 2
}

# SPEC[NAME]: the matrix's facts about each interpreter named on the command
# line (tools/matrix.toml), read once.
declare -A SPEC=()
load_spec() {
  SPEC[$1]=$(matrix get "$1" origin series free_threaded exe source variant requirements) || return 1
  [[ ${SPEC[$1]} == "host "* ]] || { say "$1 is not an interpreter of this machine (see tools/roots.sh)"; return 1; }
}

# spec NAME: set SERIES, FT (1 or 0), EXE, SOURCE (the Debian suite whose source
# package it is built from, or none), VARIANT (plain or thread-sanitizer) and REQ
# (its requirements file).
spec() {
  [ -n "${SPEC[$1]:-}" ] || die "no facts read about $1"
  read -r _ SERIES FT EXE SOURCE VARIANT REQ <<<"${SPEC[$1]}"
}

# The ThreadSanitizer variant (tsan313t): built with --with-thread-sanitizer into
# a prefix of its own, python3.13t-tsan, so that no search for an ordinary 3.13t
# ever finds it. It is only ever this build, made here; it is not in the default
# set of `setup`, and tools/test-all.sh names it for its ThreadSanitizer step.
is_tsan() {
  spec "$1"
  [ "$VARIANT" = thread-sanitizer ]
}

# prefix_of NAME: where the interpreter NAME is built in the cache.
prefix_of() {
  spec "$1"
  if is_tsan "$1"; then echo "$CACHE/$EXE-tsan"; else echo "$CACHE/$EXE"; fi
}

# configure_flags NAME: the flags of ./configure beyond the prefix.
configure_flags() {
  spec "$1"
  if [ "$FT" = 1 ]; then echo --disable-gil; fi
  if ! is_tsan "$1"; then
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
tsan_suppressions() { echo "$(prefix_of "$1")/suppressions_free_threading.txt"; }

# Its venv only runs tests: no build tools (cmake, ninja, scikit-build-core) and no
# hypothesis, whose import alone costs the instrumented interpreter seconds; and pip
# leaves byte-compilation to the first import, which needs a fraction of the files.
venv_modules() {
  if is_tsan "$1"; then echo numpy pytest; else echo numpy pytest hypothesis scikit_build_core; fi
}
venv_has_build_tools() { ! is_tsan "$1"; }
pip_install_flags() { if is_tsan "$1"; then echo --no-compile; fi; }

# ---------------------------------------------------------------- apt ------

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
  local name=$1 prefix
  prefix=$(prefix_of "$name")
  spec "$name"
  local series=$SERIES exe=$EXE suite=$SOURCE
  local build
  build=$CACHE/build/$(basename "$prefix")
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
  local more=()
  listing more configure_flags "$name"
  flags+=("${more[@]}")
  if is_tsan "$name"; then
    mkdir -p "$prefix"
    cp "$build/src/Tools/tsan/suppressions_free_threading.txt" "$(tsan_suppressions "$name")"
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
  local p exe
  spec "$1"
  exe=$EXE
  if is_tsan "$1"; then
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
  local tsan=0
  is_tsan "$1" && tsan=1
  "$2" -I - "$SERIES" "$FT" "$tsan" <<'EOF'
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
req_file() {
  spec "$1"
  echo "$REQ"
}

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
  spec "$1"
  # shellcheck disable=SC2046  # one module name a word
  "$(venv_dir "$1")/bin/python" -I - "$FT" $(venv_modules "$1") <<'EOF'
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
  listing cands candidates "$name"
  for cand in "${cands[@]}"; do
    case $seen in *" $cand "*) continue ;; esac
    seen="$seen$cand "
    if try_base "$name" "$cand"; then
      made=1
      break
    fi
  done

  # Debian's own interpreter (3.11 on Debian 12) only lacks its -dev and -venv packages.
  spec "$name"
  if [ "$made" = 0 ] && [ "$FT" = 0 ] && [ -x "/usr/bin/$EXE" ] && [ "$(id -u)" = 0 ] && ! is_tsan "$name"; then
    apt_install_missing "$EXE-dev" "$EXE-venv"
    try_base "$name" "/usr/bin/$EXE" && made=1
  fi

  if [ "$made" = 0 ]; then
    build_cpython "$name"
    spec "$name"
    try_base "$name" "$(prefix_of "$name")/bin/$EXE" ||
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
  setup)
    names=()
    if [ $# -eq 0 ]; then listing names matrix names --host --setup && set -- "${names[@]}"; fi
    ;;
  python | base) [ $# -eq 1 ] || usage ;;
  find)
    # Reads only, so it neither waits for the lock nor makes a venv.
    [ $# -eq 1 ] || usage
    load_spec "$1" || usage
    cands=()
    listing cands candidates "$1"
    for cand in "${cands[@]}"; do
      if out=$(probe "$1" "$cand" 2>/dev/null); then
        echo "${out##*$'\n'}"
        exit 0
      fi
    done
    die "$1: no interpreter on this machine fits (tools/interpreters.sh setup $1 makes one)"
    ;;
  names)
    [ $# -eq 0 ] || usage
    exec "$TOOLS/matrix" names --host --setup
    ;;
  -h | --help | help) usage ;;
  *) usage ;;
esac
for n in "$@"; do
  load_spec "$n" || { say "unknown interpreter: $n"; usage; }
done

mkdir -p "$CACHE" "$LOGS"
# The ThreadSanitizer build, a quarter of an hour on a fresh machine, is made
# beside the steps that use the others, under a lock of its own; it shares with
# them only the source package, which the setup of the others has fetched.
lock=$CACHE/.lock
[ $# != 1 ] || ! is_tsan "$1" || lock=$CACHE/.lock-$1
take_lock "$lock" "$CACHE"

for n in "$@"; do
  # What this script runs on a ThreadSanitizer build (the build's own steps, venv,
  # pip) is not under test: a report is logged and leaves the exit status alone.
  # No other interpreter reads this variable.
  if is_tsan "$n"; then export TSAN_OPTIONS="exitcode=0 log_path=$LOGS/$n-setup-report"; fi
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
