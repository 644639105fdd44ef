#!/usr/bin/env bash
# Provides the interpreters that this machine's own system cannot: Debian's
# CPython 3.14 and 3.15 of the unstable suite, and the aarch64 builds of CPython
# 3.11 (bookworm), 3.14 and 3.15 (unstable), each in a Debian root file system
# made with debootstrap and entered with chroot; the aarch64 roots run under
# qemu-user through binfmt_misc. Each interpreter has a venv inside its root with
# the packages of tools/requirements-pyXY.txt (the same pins on either CPU).
#
#   py314          CPython 3.14, x86-64   (root sid-amd64)
#   py315          CPython 3.15, x86-64   (root sid-amd64)
#   aarch64-py311  CPython 3.11, aarch64  (root bookworm-arm64)
#   aarch64-py314  CPython 3.14, aarch64  (root sid-arm64; smoke)
#   aarch64-py315  CPython 3.15, aarch64  (root sid-arm64; smoke)
#
# Under emulation the Python suite runs about 5 times slower: the interpreters
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
# per machine (about 3 minutes for sid-amd64 and 8 for each aarch64 root, most of
# it Debian's package scripts under emulation).
#
# A command runs in a root with the checkout bound at its own path and the working
# folder kept, so paths of the checkout (dist/, build/, tests/) mean the same file
# inside and out; the mounts belong to a private mount namespace and vanish with it.
#
# Usage (as root on Debian 12):
#   tools/roots.sh setup [NAME...]     make sure the roots and venvs exist
#   tools/roots.sh names               the interpreters, one a line
#   tools/roots.sh python NAME         the venv's python, as a path inside its root
#   tools/roots.sh base NAME           the root's interpreter (for fresh venvs)
#   tools/roots.sh requirements NAME   the venv's pinned requirements file
#   tools/roots.sh suite NAME          what its wheel's test runs: whole or smoke
#   tools/roots.sh cxx NAME            the compiler of NAME's release wheel
#   tools/roots.sh run NAME CMD...     run CMD in NAME's root; a command in a
#                                      venv's bin/ finds that bin/ first on PATH
#   tools/roots.sh run-root ROOT CMD...  the same, by root name
set -euo pipefail

NAMES=(py314 py315 aarch64-py311 aarch64-py314 aarch64-py315)
REPO=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
CACHE=$(realpath -m "${MARUNDEX_CACHE:-/var/cache/marundex}")
ROOTS=$CACHE/roots
LOGS=$CACHE/logs
MIRROR=http://deb.debian.org/debian
# Bump to remake every root when the way they are made changes.
ROOT_LAYOUT=1
# Bump to remake every venv when the way they are made changes.
VENV_LAYOUT=2
SYSTEM_PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
# Where an emulated root sees this machine's /usr, and the compiler its wheels are
# built with: Debian's GCC 12 for aarch64, which runs natively, the build around it
# (pip, scikit-build-core, CMake) under emulation. Compiling under emulation took
# seven to nine minutes a wheel.
HOST_USR=/opt/marundex/host-usr
CROSS_CXX=$HOST_USR/bin/aarch64-linux-gnu-g++-12

say() { printf 'roots: %s\n' "$*" >&2; }
die() {
  say "error: $*"
  exit 1
}

# shellcheck source=run-logged.sh
source "$(dirname "${BASH_SOURCE[0]}")/run-logged.sh"

# spec_of NAME: root, Python series, suite.
spec_of() {
  case $1 in
    py314) echo "sid-amd64 3.14 whole" ;;
    py315) echo "sid-amd64 3.15 whole" ;;
    aarch64-py311) echo "bookworm-arm64 3.11 whole" ;;
    aarch64-py314) echo "sid-arm64 3.14 smoke" ;;
    aarch64-py315) echo "sid-arm64 3.15 smoke" ;;
    *) return 1 ;;
  esac
}

# root_spec ROOT: suite, Debian architecture, packages.
root_spec() {
  local python_packages=()
  add_python() { for series; do python_packages+=("python$series" "python$series-dev" "python$series-venv"); done; }
  case $1 in
    sid-amd64) add_python 3.14 3.15 && echo "sid amd64 ${python_packages[*]} g++-12 g++ clang" ;;
    bookworm-arm64) add_python 3.11 && echo "bookworm arm64 ${python_packages[*]} g++" ;;
    sid-arm64) add_python 3.14 3.15 && echo "sid arm64 ${python_packages[*]} g++-12" ;;
    *) return 1 ;;
  esac
}

root_dir() { echo "$ROOTS/$1"; }
venv_in_root() { echo "/opt/marundex/venvs/$1"; }
requirements_of() {
  local root series
  read -r root series _ <<<"$(spec_of "$1")"
  echo "$REPO/tools/requirements-py${series/./}.txt"
}

# emulation: aarch64 binaries run through qemu-user, registered with binfmt_misc
# with the F flag, so that the emulator works inside a chroot too.
ensure_emulation() {
  [ -f /proc/sys/fs/binfmt_misc/status ] ||
    mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
  [ "$(cat /proc/sys/fs/binfmt_misc/qemu-aarch64 2>/dev/null | head -n 1)" = enabled ] ||
    update-binfmts --enable qemu-aarch64
}

apt_install_host() {
  local p missing=()
  for p in "$@"; do
    [ "$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)" = "install ok installed" ] || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  run_logged "$LOGS/roots-apt-update.log" "apt-get update" apt-get update
  run_logged "$LOGS/roots-apt-install.log" "apt-get install ${missing[*]}" \
    env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
}

# in_root DIR CMD...: CMD inside the root file system DIR, in a mount namespace of
# its own with /dev, /proc and the checkout; the environment less what names the
# host's own files.
in_root() {
  local dir=$1 path=$SYSTEM_PATH
  shift
  case $1 in */bin/*) path="$(dirname "$1"):$path" ;; esac
  # The root's name service and certificates follow the host's.
  cp /etc/resolv.conf "$dir/etc/resolv.conf"
  mkdir -p "$dir/etc/ssl/certs" "$dir$REPO"
  cp /etc/ssl/certs/ca-certificates.crt "$dir/etc/ssl/certs/ca-certificates.crt"
  # An emulated root also sees this machine's /usr at $HOST_USR, its x86-64
  # loader and libraries where that loader looks, and the cross C library, so
  # that this machine's cross compiler runs there natively.
  local cross=0
  if grep -q " arch=arm64 " "$dir/.marundex-root" 2>/dev/null; then
    cross=1
    mkdir -p "$dir$HOST_USR" "$dir/usr/lib64" "$dir/usr/lib/x86_64-linux-gnu" "$dir/usr/aarch64-linux-gnu"
    [ -e "$dir/lib64" ] || ln -s usr/lib64 "$dir/lib64"
  fi
  # shellcheck disable=SC2016  # expanded by the inner shell
  unshare --mount --propagation private -- /bin/sh -c '
    dir=$1 repo=$2 cwd=$3 cross=$4 host_usr=$5
    shift 5
    mount --rbind /dev "$dir/dev" && mount -t proc proc "$dir/proc" &&
      mount --bind "$repo" "$dir$repo" || exit 125
    if [ "$cross" = 1 ]; then
      # The cross C library'"'"'s linker scripts name it at its own path.
      for bind in "/usr $host_usr" /usr/lib64 /usr/lib/x86_64-linux-gnu /usr/aarch64-linux-gnu; do
        mount --bind -o ro "${bind%% *}" "$dir${bind#* }" || exit 125
      done
    fi
    exec chroot "$dir" /bin/sh -c "cd \"\$0\" 2>/dev/null || cd /; exec \"\$@\"" "$cwd" "$@"' \
    _ "$dir" "$REPO" "$PWD" "$cross" "$HOST_USR" env -u LD_PRELOAD -u LD_LIBRARY_PATH -u PYTHONHOME -u PYTHONPATH \
    -u VIRTUAL_ENV -u PYENV_ROOT -u PYENV_VERSION -u TMPDIR -u PIP_FIND_LINKS \
    PATH="$path" HOME=/root LANG=C.UTF-8 "$@"
}

# ensure_root ROOT: the root file system, bootstrapped and with its packages.
ensure_root() {
  local root=$1 dir suite arch packages stamp
  dir=$(root_dir "$root")
  read -r suite arch packages <<<"$(root_spec "$root")"
  stamp="layout=$ROOT_LAYOUT suite=$suite arch=$arch packages=$packages"
  [ "$(cat "$dir/.marundex-root" 2>/dev/null || true)" = "$stamp" ] && return 0

  say "$root: making $dir ($suite, $arch); this takes minutes"
  rm -rf "$dir" "$dir.tmp"
  mkdir -p "$ROOTS"
  run_logged "$LOGS/root-$root-debootstrap.log" "$root: debootstrap" \
    debootstrap --arch="$arch" --variant=minbase "$suite" "$dir.tmp" "$MIRROR"
  # The archive this machine reaches can be older than its Release files allow.
  echo 'Acquire::Check-Valid-Until "false";' >"$dir.tmp/etc/apt/apt.conf.d/99marundex"
  run_logged "$LOGS/root-$root-apt-update.log" "$root: apt-get update" in_root "$dir.tmp" apt-get update
  # shellcheck disable=SC2086  # one package a word
  run_logged "$LOGS/root-$root-apt-install.log" "$root: apt-get install $packages" \
    in_root "$dir.tmp" env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends \
    ca-certificates $packages
  in_root "$dir.tmp" apt-get clean
  echo "$stamp" >"$dir.tmp/.marundex-root"
  mv "$dir.tmp" "$dir"
}

# foreign_root ROOT: does ROOT run under emulation?
foreign_root() {
  local arch
  read -r _ arch _ <<<"$(root_spec "$1")"
  [ "$arch" != "$(dpkg --print-architecture)" ]
}

# ensure_host_pip: the pinned pip, in a venv of this machine's own python3, that
# fills the emulated roots' venvs: pip under emulation takes minutes a venv, most
# of it starting up and unpacking.
HOST_PIP=$ROOTS/.host-pip/bin/pip
ensure_host_pip() {
  local venv=$ROOTS/.host-pip pip_req
  pip_req=$(grep -hE '^pip==' "$REPO"/tools/requirements-py31[145].txt | sort -u)
  [ "$(echo "$pip_req" | wc -l)" = 1 ] || die "the requirements files pin different pips: $pip_req"
  [ "$(cat "$venv/.marundex-pip" 2>/dev/null || true)" = "$pip_req" ] && return 0
  rm -rf "$venv"
  run_logged "$LOGS/roots-host-pip.log" "a venv with $pip_req for the emulated roots' venvs" \
    sh -c 'python3 -m venv "$1" && "$1/bin/python" -m pip install -q --progress-bar off "$2"' _ "$venv" "$pip_req"
  echo "$pip_req" >"$venv/.marundex-pip"
}

# fill_foreign_venv ROOT VENV SERIES PIP_ARGS...: install into the venv (a path
# inside ROOT) with this machine's pip, choosing the wheels of ROOT's CPU, glibc
# and interpreter. pip's --target puts scripts and data beside the packages: they
# move to the venv's own bin/ and share/, the scripts starting the venv's python.
fill_foreign_venv() {
  local root=$1 venv=$2 series=$3 dir glibc site item
  shift 3
  dir=$(root_dir "$root")
  site=$dir$venv/lib/python$series/site-packages
  glibc=$(dpkg-query --admindir="$dir/var/lib/dpkg" -W -f='${Version}' libc6 | sed -E 's/^2\.([0-9]+).*/\1/')
  # pip takes each platform tag as given: every manylinux this glibc runs is named.
  local platforms=(--platform manylinux2014_aarch64) version
  for ((version = glibc; version >= 17; version--)); do platforms+=(--platform "manylinux_2_${version}_aarch64"); done
  "$HOST_PIP" install --progress-bar off --no-compile --only-binary :all: --target "$site" \
    "${platforms[@]}" --implementation cp --python-version "$series" --abi "cp${series/./}" "$@" || return 1
  for item in bin share include; do
    [ -d "$site/$item" ] || continue
    mkdir -p "$dir$venv/$item"
    cp -a "$site/$item/." "$dir$venv/$item/" && rm -rf "${site:?}/$item"
  done
  for item in "$dir$venv"/bin/*; do
    [ -f "$item" ] && [ ! -L "$item" ] && head -c 2 "$item" | grep -q '^#!' || continue
    head -n 1 "$item" | grep -q python || continue
    sed -i "1s|.*|#!$venv/bin/python|" "$item"
  done
}

# ensure_venv NAME: the venv in the root, remade when its requirements change.
ensure_venv() {
  local name=$1 root series suite dir venv req stamp pip_req packages
  read -r root series suite <<<"$(spec_of "$name")"
  dir=$(root_dir "$root")
  venv=$(venv_in_root "$name")
  req=$(requirements_of "$name")
  pip_req=$(grep -E '^pip==' "$req")
  packages=(-r "$req")
  [ "$suite" = whole ] || packages=(-c "$req" "$pip_req" scikit-build-core cmake ninja numpy pytest)
  stamp="layout=$VENV_LAYOUT requirements=$(sha256sum <"$req" | cut -d' ' -f1) $suite root=$(cat "$dir/.marundex-root")"
  [ "$(cat "$dir$venv/.marundex-venv" 2>/dev/null || true)" = "$stamp" ] && return 0
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
  echo "$stamp" >"$dir$venv/.marundex-venv"
}

[ $# -ge 1 ] || die "usage: $0 setup|names|python|base|requirements|suite|cxx|run|run-root ..."
cmd=$1
shift
case $cmd in
  names)
    printf '%s\n' "${NAMES[@]}"
    exit 0
    ;;
  cxx)
    [ $# -eq 1 ] && spec_of "$1" >/dev/null || die "usage: $0 cxx NAME"
    read -r root _ <<<"$(spec_of "$1")"
    if foreign_root "$root"; then echo "$CROSS_CXX"; else echo g++-12; fi
    exit 0
    ;;
  python | base | requirements | suite)
    [ $# -eq 1 ] && spec_of "$1" >/dev/null || die "usage: $0 $cmd NAME"
    if [ "$cmd" = python ]; then
      echo "$(venv_in_root "$1")/bin/python"
    elif [ "$cmd" = requirements ]; then
      requirements_of "$1"
    elif [ "$cmd" = suite ]; then
      read -r _ _ suite <<<"$(spec_of "$1")"
      echo "$suite"
    else
      read -r _ series <<<"$(spec_of "$1")"
      echo "/usr/bin/python$series"
    fi
    exit 0
    ;;
  run)
    [ $# -ge 2 ] && spec_of "$1" >/dev/null || die "usage: $0 run NAME CMD..."
    read -r root _ <<<"$(spec_of "$1")"
    shift
    in_root "$(root_dir "$root")" "$@"
    exit
    ;;
  run-root)
    [ $# -ge 2 ] && root_spec "$1" >/dev/null || die "usage: $0 run-root ROOT CMD..."
    dir=$(root_dir "$1")
    shift
    in_root "$dir" "$@"
    exit
    ;;
  setup) [ $# -gt 0 ] || set -- "${NAMES[@]}" ;;
  *) die "unknown command $cmd" ;;
esac

[ "$(id -u)" = 0 ] || die "root is needed to make and enter the roots"
mkdir -p "$ROOTS" "$LOGS"
exec 9>>"$ROOTS/.lock"
flock 9
apt_install_host debootstrap qemu-user-static binfmt-support g++-aarch64-linux-gnu
ensure_emulation
ensure_host_pip
# Each root with its venvs at the same time as the others: most of the time is
# the network, or one emulated package script after another on one core.
declare -A names_of=()
for name in "$@"; do
  read -r root _ <<<"$(spec_of "$name")" || die "unknown interpreter $name"
  names_of[$root]+=" $name"
done
pids=()
for root in "${!names_of[@]}"; do
  # shellcheck disable=SC2086  # one name a word
  (ensure_root "$root" && for name in ${names_of[$root]}; do ensure_venv "$name"; done) &
  pids+=($!)
done
for pid in "${pids[@]}"; do wait "$pid" || die "making a root failed (see above)"; done
for name in "$@"; do
  read -r root _ <<<"$(spec_of "$name")"
  printf '%-14s %s\n' "$name" "$(in_root "$(root_dir "$root")" "$(venv_in_root "$name")/bin/python" -I -c \
    'import sys, platform, numpy; print(sys.version.split()[0], platform.machine(), "numpy=" + numpy.__version__)')"
done
