#!/usr/bin/env bash
# Provides the interpreters that this machine's own system cannot, the targets
# of tools/matrix.toml whose origin is a root: Debian's CPython of a suite (the
# newer series from unstable), for this machine's CPU and for others, each in a
# Debian root file system made with mmdebstrap and entered with bubblewrap; a root
# of another CPU runs under qemu-user through binfmt_misc. Each interpreter has a
# venv inside its root with the packages of its requirements file (the same pins
# on either CPU).
#
# Under emulation the Python suite runs about 3 times slower: the interpreters
# marked smoke run the identity check and a smoke test only, and their venvs hold
# the build tools, NumPy and pytest, not the packages of the whole suite. pip
# under emulation takes minutes a venv: the aarch64 venvs are filled by this
# machine's pip, asked for the wheels of the root's CPU, glibc and interpreter.
#
# Every release wheel is compiled by GCC 12: a newer one's C++ library headers
# call into parts of libstdc++ that manylinux_2_24 systems lack. On x86-64 that
# is the root's g++-12; the aarch64 wheels are compiled by this machine's cross
# compiler (Debian's g++-aarch64-linux-gnu), which runs natively inside the
# aarch64 root while pip, scikit-build-core and CMake run there under emulation.
# The aarch64 roots keep a native g++ too (the suite compiles a second module).
# sid-amd64 also has the suite's newest g++ and clang, for the builds from source.
#
# Everything lives under ${MARUNDEX_CACHE:-/var/cache/marundex}/roots, made once
# per machine: the three roots at once, with their venvs, in about 4 minutes,
# most of it Debian's package scripts under emulation.
#
# A command runs in a root with the checkout bound at its own path and the working
# folder kept, so paths of the checkout (dist/, build/, tests/) mean the same file
# inside and out; the mounts belong to a private mount namespace and vanish with it.
#
# Usage (as root on Debian 12):
#   tools/roots.sh setup [NAME...]     make sure the roots and venvs exist
#   tools/roots.sh host-packages       the Debian packages this machine needs for them, one a line
#   tools/roots.sh names               the interpreters, one a line
#   tools/roots.sh python NAME         the venv's python, as a path inside its root
#   tools/roots.sh base NAME           the root's interpreter (for fresh venvs)
#   tools/roots.sh requirements NAME   the venv's pinned requirements file
#   tools/roots.sh suite NAME          what its wheel's test runs: whole or smoke
#   tools/roots.sh cxx NAME            the compiler of NAME's release wheel
#   tools/roots.sh run NAME [VAR=VALUE...] CMD...
#                                      run CMD in NAME's root, in a clean
#                                      environment with these variables; a command
#                                      in a venv's bin/ finds that bin/ first on PATH
#   tools/roots.sh run-root ROOT [VAR=VALUE...] CMD...  the same, by root name
set -euo pipefail

LIB_NAME=roots
# shellcheck source=lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
ROOTS=$CACHE/roots
MIRROR=http://deb.debian.org/debian
# Bump to remake every root when the way they are made changes.
ROOT_LAYOUT=2
# Bump to remake every venv when the way they are made changes.
VENV_LAYOUT=2
SYSTEM_PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
# Where an emulated root sees this machine's /usr, and the compiler its wheels are
# built with: Debian's GCC 12 cross compiler for the root's CPU, which runs
# natively, the build around it (pip, scikit-build-core, CMake) under emulation.
# Compiling under emulation took seven to nine minutes a wheel.
HOST_USR=/opt/marundex/host-usr

# spec NAME: set ROOT, SERIES and SUITE (whole or smoke) of the interpreter NAME.
spec() {
  local facts
  facts=$(matrix get "$1" origin root series suite) || die "unknown interpreter $1"
  [[ $facts == "root "* ]] || die "$1 is not an interpreter of a root (see tools/interpreters.sh)"
  read -r _ ROOT SERIES SUITE <<<"$facts"
}

# root_spec ROOT: set R_SUITE, R_ARCH, R_CPU, R_EMULATED (1 or 0), R_QEMU_CPU (the
# model qemu-user emulates for it), R_CROSS_PREFIX and R_PACKAGES (an array) of
# the root ROOT.
root_spec() {
  local facts
  facts=$(matrix root "$1" suite arch cpu emulated qemu_cpu cross_prefix packages) || die "unknown root $1"
  local packages
  read -r R_SUITE R_ARCH R_CPU R_EMULATED R_QEMU_CPU R_CROSS_PREFIX packages <<<"$facts"
  read -r -a R_PACKAGES <<<"$packages"
}

root_dir() { echo "$ROOTS/$1"; }
venv_in_root() { echo "/opt/marundex/venvs/$1"; }

# ensure_emulation: the other CPUs' binaries run through qemu-user, registered
# with binfmt_misc with the F flag, so that the emulator works inside a root too.
ensure_emulation() {
  local cpus cpu qemu
  [ -f /proc/sys/fs/binfmt_misc/status ] ||
    mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
  listing cpus matrix cpus --emulated
  for cpu in "${cpus[@]}"; do
    qemu=$(matrix cpu "$cpu" qemu)
    [ "$(head -n 1 /proc/sys/fs/binfmt_misc/"$qemu" 2>/dev/null)" = enabled ] ||
      update-binfmts --enable "$qemu"
  done
}

# host_packages: what this machine needs to make and enter the roots, and the
# cross compilers of the other CPUs. Packages are installed without their
# recommendations, so what the tools use of those is named here: mmdebstrap only
# recommends arch-test, and refuses a root of another CPU without it.
host_packages() {
  local cpus cpu
  echo mmdebstrap arch-test bubblewrap qemu-user-static binfmt-support
  listing cpus matrix cpus --emulated
  for cpu in "${cpus[@]}"; do matrix cpu "$cpu" cross_packages; done
}

# in_root DIR [NAME=VALUE...] CMD...: CMD inside the root file system DIR (of a
# root, or that root being made, DIR.tmp), in a mount namespace of its own
# (bubblewrap's) with /dev, /proc and the checkout at its own path, in the working
# folder when the root has it (else in /); in a clean environment (see clean_env)
# with the root's own PATH, HOME and TMPDIR, the CPU model of an emulated root's
# qemu, and the given variables.
in_root() {
  local dir=$1 path=$SYSTEM_PATH given=() allowed emulator=() cwd=/ sysroot
  shift
  while [[ $# -gt 1 && $1 =~ ^[A-Za-z_][A-Za-z0-9_]*= ]]; do
    given+=("$1")
    shift
  done
  case $1 in */bin/*) path="$(dirname "$1"):$path" ;; esac
  allowed_env allowed
  # The root's name service and certificates follow the host's.
  cp /etc/resolv.conf "$dir/etc/resolv.conf"
  mkdir -p "$dir/etc/ssl/certs"
  cp /etc/ssl/certs/ca-certificates.crt "$dir/etc/ssl/certs/ca-certificates.crt"
  local mounts=(--bind "$dir" / --dev-bind /dev /dev --proc /proc --bind "$REPO" "$REPO")
  root_spec "$(basename "${dir%.tmp}")"
  if [ "$R_EMULATED" = 1 ]; then
    emulator=("QEMU_CPU=$R_QEMU_CPU")
    # An emulated root, once made, also sees this machine's /usr at $HOST_USR, its
    # x86-64 loader and libraries where that loader looks, and the cross C library
    # at its own path, where its linker scripts name it: this machine's cross
    # compiler runs there natively.
    if [ -f "$dir/.marundex-root" ]; then
      sysroot=/usr/$R_CROSS_PREFIX
      [ -e "$dir/lib64" ] || ln -s usr/lib64 "$dir/lib64"
      mounts+=(--ro-bind /usr "$HOST_USR" --ro-bind /usr/lib64 /usr/lib64
        --ro-bind /usr/lib/x86_64-linux-gnu /usr/lib/x86_64-linux-gnu --ro-bind "${sysroot%-}" "${sysroot%-}")
    fi
  fi
  if [[ $PWD == "$REPO" || $PWD == "$REPO/"* ]] || [ -d "$dir$PWD" ]; then cwd=$PWD; fi
  bwrap "${mounts[@]}" --chdir "$cwd" -- \
    /usr/bin/env -i "${allowed[@]}" PATH="$path" HOME=/root TMPDIR=/tmp LANG=C.UTF-8 "${emulator[@]}" "${given[@]}" "$@"
}

# ensure_root ROOT: the root file system, bootstrapped with its packages.
ensure_root() {
  local root=$1 dir suite arch packages stamp emulator=()
  dir=$(root_dir "$root")
  root_spec "$root"
  suite=$R_SUITE arch=$R_ARCH packages=(ca-certificates "${R_PACKAGES[@]}")
  stamp="layout=$ROOT_LAYOUT suite=$suite arch=$arch packages=${R_PACKAGES[*]}"
  stamp_matches "$dir/.marundex-root" "$stamp" && return 0

  say "$root: making $dir ($suite, $arch); this takes minutes"
  rm -rf "$dir" "$dir.tmp"
  mkdir -p "$ROOTS"
  if [ "$R_EMULATED" = 1 ]; then emulator=("QEMU_CPU=$R_QEMU_CPU"); fi
  # Check-Valid-Until: the archive this machine reaches can be older than its
  # Release files allow; the option stays in the root for later apt runs. The
  # mounts mmdebstrap makes in the root (/proc, /sys, devices) belong to a mount
  # namespace of its own: however it ends, none is left for a rerun's rm -rf.
  run_logged "$LOGS/root-$root-mmdebstrap.log" "$root: mmdebstrap with ${packages[*]}" \
    env "${emulator[@]}" unshare --mount --propagation private -- mmdebstrap --mode=root --variant=minbase --architectures="$arch" \
    --aptopt='Acquire::Check-Valid-Until "false"' --include="$(IFS=,; echo "${packages[*]}")" \
    "$suite" "$dir.tmp" "$MIRROR"
  stamp_write "$dir.tmp/.marundex-root" "$stamp"
  mv "$dir.tmp" "$dir"
}

# foreign_root ROOT: does ROOT run under emulation?
foreign_root() {
  root_spec "$1"
  [ "$R_EMULATED" = 1 ]
}

# ensure_host_pip: the pinned pip, in a venv of this machine's own python3, that
# fills the emulated roots' venvs: pip under emulation takes minutes a venv, most
# of it starting up and unpacking.
HOST_PIP=$ROOTS/.host-pip/bin/pip
ensure_host_pip() {
  local venv=$ROOTS/.host-pip pip_req
  # The pip that every pinned file has from its input (tools/pins.sh).
  pip_req=$(grep -E '^pip==' "$TOOLS/requirements/test.in") || die "no pip== in tools/requirements/test.in"
  stamp_matches "$venv/.marundex-pip" "$pip_req" && return 0
  rm -rf "$venv"
  # shellcheck disable=SC2016  # expanded by the inner shell
  run_logged "$LOGS/roots-host-pip.log" "a venv with $pip_req for the emulated roots' venvs" \
    sh -c 'python3 -m venv "$1" && "$1/bin/python" -m pip install -q --progress-bar off "$2"' _ "$venv" "$pip_req"
  stamp_write "$venv/.marundex-pip" "$pip_req"
}

# fill_foreign_venv ROOT VENV SERIES PIP_ARGS...: install into the venv (a path
# inside ROOT) with this machine's pip, choosing the wheels of ROOT's CPU, glibc
# and interpreter. pip's --target puts scripts and data beside the packages: they
# move to the venv's own bin/ and share/, the scripts starting the venv's python.
fill_foreign_venv() {
  local root=$1 venv=$2 series=$3 dir glibc site item cpu
  shift 3
  dir=$(root_dir "$root")
  root_spec "$root"
  cpu=$(matrix cpu "$R_CPU" manylinux)
  site=$dir$venv/lib/python$series/site-packages
  glibc=$(dpkg-query --admindir="$dir/var/lib/dpkg" -W -f='${Version}' libc6 | sed -E 's/^2\.([0-9]+).*/\1/')
  # pip takes each platform tag as given: every manylinux this glibc runs is named.
  local platforms=(--platform "manylinux2014_$cpu") version
  for ((version = glibc; version >= 17; version--)); do platforms+=(--platform "manylinux_2_${version}_$cpu"); done
  "$HOST_PIP" install --progress-bar off --no-compile --only-binary :all: --target "$site" \
    "${platforms[@]}" --implementation cp --python-version "$series" --abi "cp${series/./}" "$@" || return 1
  for item in bin share include; do
    [ -d "$site/$item" ] || continue
    mkdir -p "$dir$venv/$item"
    cp -a "$site/$item/." "$dir$venv/$item/" && rm -rf "${site:?}/$item"
  done
  for item in "$dir$venv"/bin/*; do
    { [ -f "$item" ] && [ ! -L "$item" ] && head -c 2 "$item" | grep -q '^#!'; } || continue
    head -n 1 "$item" | grep -q python || continue
    sed -i "1s|.*|#!$venv/bin/python|" "$item"
  done
}

# ensure_venv NAME: the venv in the root, remade when its requirements change.
ensure_venv() {
  local name=$1 root series suite dir venv req stamp pip_req packages
  spec "$name"
  root=$ROOT series=$SERIES suite=$SUITE
  dir=$(root_dir "$root")
  venv=$(venv_in_root "$name")
  req=$(matrix requirements "$name")
  pip_req=$(grep -E '^pip==' "$req")
  packages=(-r "$req")
  [ "$suite" = whole ] || packages=(-c "$req" "$pip_req" scikit-build-core cmake ninja numpy pytest)
  stamp="layout=$VENV_LAYOUT requirements=$(sha256sum <"$req" | cut -d' ' -f1) $suite root=$(cat "$dir/.marundex-root")"
  stamp_matches "$dir$venv/.marundex-venv" "$stamp" && return 0
  say "$name: making the venv $venv in $root"
  rm -rf "$dir$venv"
  if foreign_root "$root"; then
    run_logged "$LOGS/root-$name-venv.log" "$name: python$series -m venv --without-pip" \
      in_root "$dir" "/usr/bin/python$series" -I -m venv --without-pip "$venv"
    run_logged "$LOGS/root-$name-requirements.log" "$name: this machine's pip install ${packages[*]}" \
      fill_foreign_venv "$root" "$venv" "$series" "${packages[@]}"
  else
    run_logged "$LOGS/root-$name-venv.log" "$name: python$series -m venv" \
      in_root "$dir" "/usr/bin/python$series" -I -m venv "$venv"
    run_logged "$LOGS/root-$name-pip.log" "$name: pip install $pip_req" \
      in_root "$dir" "$venv/bin/python" -I -m pip install --progress-bar off "$pip_req"
    run_logged "$LOGS/root-$name-requirements.log" "$name: pip install ${packages[*]}" \
      in_root "$dir" "$venv/bin/python" -I -m pip install --progress-bar off "${packages[@]}"
  fi
  # Something to run, the compiled parts included, before the venv counts as made.
  run_logged "$LOGS/root-$name-check.log" "$name: check the venv" \
    in_root "$dir" "$venv/bin/python" -I -c 'import numpy, pytest, pip; numpy.add(1, 1)'
  stamp_write "$dir$venv/.marundex-venv" "$stamp"
}

# make_root ROOT NAME...: the root and the venvs of the interpreters NAME in it.
make_root() {
  local name
  ensure_root "$1"
  for name in "${@:2}"; do ensure_venv "$name"; done
}

[ $# -ge 1 ] || die "usage: $0 setup|names|python|base|requirements|suite|cxx|run|run-root ..."
cmd=$1
shift
case $cmd in
  names)
    exec "$TOOLS/matrix" names --root
    ;;
  host-packages)
    [ $# -eq 0 ] || die "usage: $0 host-packages"
    host_packages | tr ' ' '\n'
    exit 0
    ;;
  cxx)
    [ $# -eq 1 ] || die "usage: $0 cxx NAME"
    spec "$1"
    root_spec "$ROOT"
    if [ "$R_EMULATED" = 1 ]; then
      echo "$HOST_USR/bin/${R_CROSS_PREFIX}g++-12"
    else
      echo g++-12
    fi
    exit 0
    ;;
  python | base | requirements | suite)
    [ $# -eq 1 ] || die "usage: $0 $cmd NAME"
    spec "$1"
    case $cmd in
      python) echo "$(venv_in_root "$1")/bin/python" ;;
      requirements) matrix requirements "$1" ;;
      suite) echo "$SUITE" ;;
      base) echo "/usr/bin/python$SERIES" ;;
    esac
    exit 0
    ;;
  run)
    [ $# -ge 2 ] || die "usage: $0 run NAME [VAR=VALUE...] CMD..."
    spec "$1"
    shift
    in_root "$(root_dir "$ROOT")" "$@"
    exit
    ;;
  run-root)
    [ $# -ge 2 ] || die "usage: $0 run-root ROOT [VAR=VALUE...] CMD..."
    root_spec "$1"
    dir=$(root_dir "$1")
    shift
    in_root "$dir" "$@"
    exit
    ;;
  setup)
    names=()
    if [ $# -eq 0 ]; then listing names matrix names --root && set -- "${names[@]}"; fi
    ;;
  *) die "unknown command $cmd" ;;
esac

[ "$(id -u)" = 0 ] || die "root is needed to make and enter the roots"
mkdir -p "$ROOTS" "$LOGS"
take_lock "$ROOTS/.lock" "$ROOTS"
host=()
listing host host_packages
# shellcheck disable=SC2046  # one package a word
apt_install_missing $(printf '%s\n' "${host[@]}")
ensure_emulation
ensure_host_pip
# Each root with its venvs at the same time as the others: most of the time is
# the network, or one emulated package script after another on one core.
declare -A names_of=()
for name in "$@"; do
  spec "$name"
  names_of[$ROOT]+=" $name"
done
pool_start ${#names_of[@]} "making a root"
for root in "${!names_of[@]}"; do
  # shellcheck disable=SC2086  # one name a word
  pool_run make_root "$root" ${names_of[$root]}
done
pool_wait
for name in "$@"; do
  spec "$name"
  printf '%-14s %s\n' "$name" "$(in_root "$(root_dir "$ROOT")" "$(venv_in_root "$name")/bin/python" -I -c \
    'import sys, platform, numpy; print(sys.version.split()[0], platform.machine(), "numpy=" + numpy.__version__)')"
done
