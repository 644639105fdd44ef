#!/usr/bin/env bash
# Tests the artefacts that tools/build-release.sh left in dist/, as a user gets
# them. For each supported interpreter (the names of tools/interpreters.sh): a
# fresh venv of it with the test requirements from its pinned requirements file,
# then `pip install --no-index --find-links dist --only-binary :all: marundex`,
# checked to have installed that interpreter's wheel unbuilt, then the Python
# suite against the installed module (on the free-threaded build also with the
# lock forced off). Then the sdist, built by pip with the compiler and installed
# into one more fresh venv, and a smoke test of that. Prints what each took.
#
#   tools/test-release.sh                 everything, two interpreters at a time
#                                         (MARUNDEX_RELEASE_JOBS sets how many)
#   tools/test-release.sh --wheel NAME    the wheel of one interpreter
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
dist="$root/dist"
work="$root/build/release-test"
cd "$root"

say() { printf 'test-release: %s\n' "$*" >&2; }
die() {
  say "error: $*"
  exit 1
}

# lap VAR: set VAR to the seconds since the last lap.
phase_start=$SECONDS
lap() {
  printf -v "$1" %s $((SECONDS - phase_start))
  phase_start=$SECONDS
}

# fresh_venv NAME DIR [PIP INSTALL ARGS...]: a new venv of NAME's interpreter at
# DIR with the pinned pip and then, by default, the packages of NAME's
# requirements file; prints DIR's python. Nothing is byte-compiled up front
# (half the time of the install): the tests compile what they import.
fresh_venv() {
  local name=$1 venv=$2 requirements="$root/tools/requirements-$1.txt"
  shift 2
  [ $# -gt 0 ] || set -- -r "$requirements"
  rm -rf "$venv"
  "$(tools/interpreters.sh base "$name")" -I -m venv "$venv"
  {
    "$venv/bin/python" -I -m pip install --progress-bar off "$(grep -E '^pip==' "$requirements")" &&
      "$venv/bin/python" -I -m pip install --progress-bar off --no-compile "$@"
  } >"$venv.venv.log" 2>&1 || die "$name: making the venv $venv failed: $(tail -n 20 "$venv.venv.log")"
  echo "$venv/bin/python"
}

# run_suite LABEL PYTHON LOG [PYTEST ARGS...]: the Python suite, from a folder
# where no checkout's module can be imported, and it must have tested the
# installed one (the suite's header names the module's file).
run_suite() {
  local label=$1 python=$2 log=$3 module
  shift 3
  module=$("$python" -I -c \
    'import sysconfig as s; print(s.get_paths()["platlib"] + "/marundex" + s.get_config_var("EXT_SUFFIX"))')
  mkdir -p "$work/elsewhere"
  if ! (cd "$work/elsewhere" && "$python" -m pytest -p no:cacheprovider "$@" >"$log" 2>&1); then
    tail -n 60 "$log" >&2
    die "$label: the suite failed (log: $log)"
  fi
  printf '%s: %s\n' "$label" "$(tail -n 1 "$log")"
  grep -qxF "marundex: $module" "$log" || die "$label: the suite did not test $module (log: $log)"
}

# test_wheel NAME: install NAME's wheel into a fresh venv and test it there;
# leaves "WHEEL VENV_S INSTALL_S TESTS_S" in $work/NAME.result.
test_wheel() {
  local name=$1 venv="$work/$1" log="$work/$1-install.log" python wheel free_threaded
  local venv_time install_time test_time
  say "$name: fresh venv with the test requirements"
  lap _
  python=$(fresh_venv "$name" "$venv")
  lap venv_time

  say "$name: pip install --no-index --find-links dist --only-binary :all: marundex"
  # Only dist/ is searched: no index, and no links from the machine's pip
  # configuration (a config file of /dev/null makes pip read none).
  env -u PIP_FIND_LINKS PIP_CONFIG_FILE=/dev/null "$python" -I -m pip install --progress-bar off \
    --no-index --find-links "$dist" --only-binary :all: marundex >"$log" 2>&1 ||
    die "$name: the install failed: $(tail -n 5 "$log")"
  ! grep -iE 'building|running setup|build backend' "$log" ||
    die "$name: pip built something instead of installing a wheel (log: $log)"
  wheel=$(sed -nE 's|^Processing .*/(marundex-[^/ ]*\.whl).*|\1|p' "$log")
  [ -n "$wheel" ] && [ -f "$dist/$wheel" ] || die "$name: pip installed no wheel of dist/ (log: $log)"
  "$python" -I -W ignore::RuntimeWarning "$root/tools/check_installed_wheel.py" "$dist/$wheel" ||
    die "$name: what is installed is not $wheel"
  lap install_time

  say "$name: the Python suite against the installed wheel"
  run_suite "$name" "$python" "$work/$name-suite.log" "$root/tests/python"
  free_threaded=$("$python" -I -c 'import sysconfig; print(int(bool(sysconfig.get_config_var("Py_GIL_DISABLED"))))')
  if [ "$free_threaded" = 1 ]; then
    say "$name: the concurrency tests again, with PYTHON_GIL=0"
    gil_check='import sys, marundex; sys.exit(sys._is_gil_enabled())'
    (cd "$work/elsewhere" && PYTHON_GIL=0 "$python" -c "$gil_check") ||
      die "$name: PYTHON_GIL=0 did not keep the lock off"
    PYTHON_GIL=0 run_suite "$name with PYTHON_GIL=0" "$python" "$work/$name-suite-gil0.log" \
      "$root"/tests/python/test_{free_threading,free_threaded_stress,interpreter_lock,borrow_registry,errors}.py
  fi
  lap test_time
  echo "$wheel $venv_time $install_time $test_time" >"$work/$name.result"
}

if [ "${1:-}" = --wheel ]; then
  [ $# -eq 2 ] || die "usage: $0 [--wheel NAME]"
  mkdir -p "$work"
  test_wheel "$2"
  exit 0
fi
[ $# -eq 0 ] || die "usage: $0 [--wheel NAME]"

mapfile -t names < <(tools/interpreters.sh names)
tools/interpreters.sh setup "${names[@]}" >/dev/null
sdists=("$dist"/marundex-*.tar.gz)
[ -f "${sdists[0]}" ] && [ ${#sdists[@]} -eq 1 ] ||
  die "expected one sdist in $dist: run tools/build-release.sh"
rm -rf "$work"
mkdir -p "$work"

# Each interpreter's test is one process and mostly one core's work.
printf '%s\n' "${names[@]}" | xargs -P "${MARUNDEX_RELEASE_JOBS:-2}" -n 1 "$root/tools/test-release.sh" --wheel ||
  die "a wheel's test failed (see above)"

# Every wheel in dist/ was installed by exactly one interpreter.
timings=()
for name in "${names[@]}"; do
  read -r -a result <"$work/$name.result"
  timings+=("${result[@]}")
done
for wheel in "$dist"/*.whl; do
  count=$(for name in "${names[@]}"; do cut -d' ' -f1 "$work/$name.result"; done |
    grep -cxF "$(basename "$wheel")" || true)
  [ "$count" = 1 ] || die "$(basename "$wheel") was installed by $count interpreters, not one"
done

# The sdist, as a user with a compiler installs it: pip builds it in an isolated
# environment, whose build tools come from the index, held to the pinned
# versions. A smoke test follows: the worked values, the module's surface, and
# the stub installed beside it.
name=py313
sdist=$(basename "${sdists[0]}")
requirements="$root/tools/requirements-$name.txt"
say "sdist: fresh $name venv with pytest and NumPy"
lap _
python=$(fresh_venv "$name" "$work/sdist" -c "$requirements" numpy pytest)
lap venv_time
say "sdist: pip install $sdist (builds it)"
log="$work/sdist-install.log"
CMAKE_BUILD_PARALLEL_LEVEL=2 "$python" -I -m pip install --progress-bar off \
  -c "$requirements" --build-constraint "$requirements" --no-binary marundex "${sdists[0]}" >"$log" 2>&1 ||
  die "the sdist's install failed: $(tail -n 20 "$log")"
grep -q 'Building wheel for marundex' "$log" || die "pip did not build marundex from the sdist (log: $log)"
lap install_time
say "sdist: smoke test of the module built from it"
run_suite sdist "$python" "$work/sdist-suite.log" "$root/tests/python/test_kernels_worked.py" \
  "$root/tests/python/test_module_surface.py" \
  "$root/tests/python/test_stub.py::test_stub_is_installed_beside_the_module_and_as_stub_package"
lap test_time
timings+=("$sdist ($name)" "$venv_time" "$install_time" "$test_time")

printf '\n%-58s %8s %9s %8s\n' "release artefact tested" "venv s" "install s" "tests s"
printf '%-58s %8s %9s %8s\n' "${timings[@]}"
