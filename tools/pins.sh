#!/usr/bin/env bash
# The pinned requirements files, generated: each is what uv's resolver makes of
# its input in tools/requirements/ (the [pins] table of tools/matrix.toml says
# which), for the Python series and build and the CPUs of the targets that
# install it. The file being written is uv's preference: every version already
# pinned stays while the input allows it, so a release upstream changes nothing
# until an input asks for it.
#
#   tools/pins.sh compile [FILE...]   regenerate the pinned files (default: all)
#   tools/pins.sh check               regenerate each into a temporary folder,
#                                     from the committed file, and fail naming
#                                     every file its input no longer gives
#
# Needs PyPI; a file of a free-threaded build also needs that build's interpreter
# (tools/interpreters.sh setup makes it).
set -euo pipefail

LIB_NAME=pins
# shellcheck source=lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

UV_VERSION=0.13.8
UV_VENV=$CACHE/pins/uv-$UV_VERSION
# The wheels chosen must run on the oldest C library that installs them, Debian 12's.
GLIBC=2_36
# What the pins are made from is the inputs and the committed files, not the
# caller's uv settings.
while read -r var; do unset "$var"; done < <(compgen -e UV_ || true)
export UV_CACHE_DIR=$CACHE/pins/uv-cache

# ensure_uv: the pinned uv, in a venv of this machine's python3 under the cache.
ensure_uv() {
  stamp_matches "$UV_VENV/.marundex-uv" "uv==$UV_VERSION" && return 0
  rm -rf "$UV_VENV"
  # shellcheck disable=SC2016  # expanded by the inner shell
  run_logged "$LOGS/pins-uv.log" "a venv with uv==$UV_VERSION" \
    sh -c 'python3 -m venv "$1" && "$1/bin/python" -m pip install -q --progress-bar off "uv==$2"' _ "$UV_VENV" "$UV_VERSION"
  stamp_write "$UV_VENV/.marundex-uv" "uv==$UV_VERSION"
}

# flat FILE: FILE's path in the checkout, as one word (for logs and copies).
flat() { realpath --relative-to="$REPO" "$1" | tr / _; }

# compile_for CPU DEST: uv's pins of INPUT for CPU into DEST (its pins preferred),
# with PYTHON (the series or an interpreter), FILE and LOG set by resolve. Binary
# wheels only, and the file tells pip so: nothing pinned may be built from source
# (NumPy least of all).
compile_for() {
  run_logged "$LOG" "$FILE: uv pip compile $INPUT for $1" \
    env -C "$REPO" "$UV_VENV/bin/uv" pip compile --quiet --no-config --no-python-downloads \
    --only-binary :all: --emit-build-options --custom-compile-command "tools/pins.sh compile" \
    "${PYTHON[@]}" --python-platform "$1-manylinux_$GLIBC" -o "$2" "$INPUT"
}

# resolve FILE DEST: FILE's pins, from its input, into DEST (DEST's own pins
# preferred). A file that targets of several CPUs install must come out the same
# for each of them.
resolve() {
  local file=$1 dest=$2 input series interpreter platforms first other cpu found
  read -r input series interpreter platforms <<<"$(matrix pin "$file" input series interpreter platforms)"
  [ -n "$platforms" ] || die "no pins for $file in tools/matrix.toml"
  # The input by its path in the checkout, as the files name it.
  INPUT=$(realpath --relative-to="$REPO" "$input")
  FILE=$(realpath --relative-to="$REPO" "$file")
  LOG=$LOGS/pins-$(flat "$file").log
  PYTHON=(--python-version "$series")
  if [ "$interpreter" != none ]; then
    found=$("$TOOLS/interpreters.sh" find "$interpreter") || die "$file: no interpreter to resolve it with"
    PYTHON=(--python "$found")
  fi
  read -r first other <<<"$platforms"
  compile_for "$first" "$dest"
  for cpu in $other; do
    cp "$dest" "$dest.$cpu"
    compile_for "$cpu" "$dest.$cpu"
    diff -u "$dest" "$dest.$cpu" >&2 ||
      die "$file: its input gives other pins for $cpu than for $first; give $cpu a file of its own"
    rm -f "$dest.$cpu"
  done
}

[ $# -ge 1 ] || die "usage: $0 compile [FILE...] | check"
cmd=$1
shift
files=()
mkdir -p "$LOGS"
# One run at a time rebuilds uv's venv and writes the files.
take_lock "$CACHE/pins/.lock" "$CACHE/pins"
case $cmd in
  compile)
    if [ $# -gt 0 ]; then files=("$@"); else listing files matrix pins; fi
    ensure_uv
    for file in "${files[@]}"; do resolve "$file" "$file"; done
    ;;
  check)
    [ $# -eq 0 ] || die "usage: $0 check"
    listing files matrix pins
    ensure_uv
    work=$(mktemp -d)
    # shellcheck disable=SC2064  # the folder of this run
    trap "rm -rf '$work'; end_children" EXIT
    stale=()
    for file in "${files[@]}"; do
      [ -f "$file" ] || die "$file is missing: tools/pins.sh compile makes it"
      fresh=$work/$(flat "$file")
      cp "$file" "$fresh"
      resolve "$file" "$fresh"
      if ! cmp -s "$file" "$fresh"; then
        diff -u "$file" "$fresh" | head -n 40 >&2 || true
        stale+=("$(realpath --relative-to="$REPO" "$file")")
      fi
    done
    [ ${#stale[@]} -eq 0 ] || die "not what their inputs give: ${stale[*]} (tools/pins.sh compile remakes them)"
    say "${#files[@]} pinned files are what their inputs give"
    ;;
  *) die "usage: $0 compile [FILE...] | check" ;;
esac
