#!/usr/bin/env bash
# Style gate: clang-format over every tracked C++ file, then clang-tidy (with the
# repository's .clang-tidy) over the sources of core/, runtime/, module/ and stream/ that
# the given build compiles, then every tracked shell script with Debian's lint
# for shell, shellcheck (installed when missing). Exits non-zero on any finding.
#
#   tools/check-style.sh BUILD_DIR
#
# BUILD_DIR is a configured CMake build of this repository; it must hold
# compile_commands.json (the top-level CMakeLists exports it). Configure it with
# -DMARUNDEX_BUILD_EXTENSION=ON for runtime/ and module/ to be checked as well.
# CLANG_FORMAT and CLANG_TIDY name other binaries than the default ones.
set -euo pipefail

if [[ $# -ne 1 ]]; then
    echo "usage: $0 BUILD_DIR" >&2
    exit 2
fi

build_dir=$(cd "$1" && pwd)
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
clang_format=${CLANG_FORMAT:-clang-format}
clang_tidy=${CLANG_TIDY:-clang-tidy}

if [[ ! -f "$build_dir/compile_commands.json" ]]; then
    echo "check-style: no compile_commands.json in $build_dir" >&2
    exit 2
fi

cd "$root"
# shellcheck source=lib.sh
source tools/lib.sh
status=0

echo "== clang-format"
formatted=() sources=() tracked=()
listing formatted git ls-files -- '*.cpp' '*.hpp' '*.h' '*.cc'
if [[ ${#formatted[@]} -gt 0 ]]; then
    if ! "$clang_format" --dry-run --Werror "${formatted[@]}"; then
        status=1
    fi
fi
echo "${#formatted[@]} files checked"

echo "== clang-tidy"
# The translation units of our own libraries in the build, by absolute path.
tidy_sources() {
    # shellcheck disable=SC2317  # called through listing
    python3 - "$build_dir/compile_commands.json" "$root" <<'EOF'
import json, os, sys
database, root = sys.argv[1], os.path.realpath(sys.argv[2])
seen = set()
for entry in json.load(open(database)):
    path = os.path.realpath(os.path.join(entry["directory"], entry["file"]))
    relative = os.path.relpath(path, root)
    top = relative.split(os.sep)[0]
    if top in ("core", "runtime", "module", "stream") and path.endswith(".cpp") and path not in seen:
        seen.add(path)
        print(path)
EOF
}
listing sources tidy_sources

# clang-tidy before 17 does not know -std=c++23 (the build's flag) under that name,
# and crashes on the `if consteval` that libstdc++ uses when the compiler
# announces it; the intrinsic it falls back to is equivalent.
extra_args=(--extra-arg=-Wno-unknown-warning-option)
tidy_major=$("$clang_tidy" --version | sed -n 's/.*LLVM version \([0-9]*\).*/\1/p' | head -n 1)
if [[ -n "$tidy_major" && "$tidy_major" -lt 17 ]]; then
    extra_args+=(--extra-arg=-std=c++2b --extra-arg=-U__cpp_if_consteval
                 --extra-arg=-Wno-builtin-macro-redefined)
fi

# One clang-tidy per core at a time, each into a file of its own, shown in order.
findings=$(mktemp -d)
# shellcheck disable=SC2317  # called through pool_run
tidy_one() {  # tidy_one INDEX SOURCE: the findings and exit status of SOURCE
    local rc=0
    "$clang_tidy" -p "$build_dir" --quiet "${extra_args[@]}" "$2" >"$findings/$1.out" 2>&1 || rc=$?
    echo "$rc" >"$findings/$1.rc"
}
pool_start "$(nproc)" "clang-tidy"
for i in "${!sources[@]}"; do pool_run tidy_one "$i" "${sources[$i]}"; done
pool_wait
for i in "${!sources[@]}"; do
    # Drop the count of diagnostics in system headers, which are not reported.
    grep -vE '^[0-9]+ warnings?( and [0-9]+ errors?)? generated\.$' "$findings/$i.out" || true
    if [[ $(cat "$findings/$i.rc") != 0 ]]; then
        status=1
    fi
done
rm -rf "$findings"
echo "${#sources[@]} files checked"

echo "== shellcheck"
apt_install_missing shellcheck
# The tracked files that are shell scripts: by their ending or their first line.
listing tracked git ls-files
scripts=()
for file in "${tracked[@]}"; do
    case $file in
        *.sh) scripts+=("$file") ;;
        *) if [[ -f $file ]] && head -n 1 "$file" | grep -qE '^#!.*[/ ](ba)?sh$'; then scripts+=("$file"); fi ;;
    esac
done
if ! shellcheck --external-sources --source-path=SCRIPTDIR "${scripts[@]}"; then
    status=1
fi
echo "${#scripts[@]} files checked"

if [[ $status -ne 0 ]]; then
    echo "check-style: findings above" >&2
fi
exit $status
