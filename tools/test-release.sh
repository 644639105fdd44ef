#!/usr/bin/env bash
# Tests the artefacts that tools/build-release.sh left in dist/, as a user gets
# them. For each target of tools/matrix.toml with a wheel (this machine's, then
# those in the Debian roots of tools/roots.sh): a fresh venv of it with the test
# requirements from its pinned requirements file, then `pip install --no-index
# --find-links dist --only-binary :all: marundex`, checked to have installed that
# interpreter's wheel unbuilt, then the Python suite against the installed module
# (on the free-threaded build also with the lock forced off). Under emulation the
# suite is 3 times slower: the whole suite runs on one aarch64 interpreter, and
# on the others (their suite in the matrix) the cross-platform identity check
# and a smoke test. Then the sdist, built by pip as a user's would and installed
# into fresh venvs: with the host's g++ (a smoke test), and with the newest g++
# and clang of the Debian root (the whole suite); none of these builds may treat
# warnings as errors.
# Prints what each took.
#
#   tools/test-release.sh                 everything, two at a time
#                                         (MARUNDEX_RELEASE_JOBS sets how many)
#   tools/test-release.sh --wheel NAME    the wheel of one interpreter
#   tools/test-release.sh --sdist COMPILER   the sdist built with one compiler:
#                                         host-g++, g++ or clang++ (the last two
#                                         in the root of the sdist-root target)
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
dist="$root/dist"
work="$root/build/release-test"
cd "$root"
# shellcheck source=lib.sh
source tools/lib.sh

host_names=() root_names=()
listing host_names matrix names --wheel --host
listing root_names matrix names --wheel --root
tests="$root/tests/python"
smoke_tests=("$tests/test_identity.py" "$tests/test_kernels_worked.py" "$tests/test_module_surface.py"
  "$tests/test_stream.py"
  "$tests/test_stub.py::test_stub_is_installed_beside_the_module_and_as_stub_package")

in_root() { [[ " ${root_names[*]} " == *" $1 "* ]]; }
# on NAME CMD...: run CMD where NAME's interpreter lives (its Debian root, or here).
on() {
  local name=$1
  shift
  if in_root "$name"; then "$root"/tools/roots.sh run "$name" "$@"; else "$@"; fi
}
base_of() { if in_root "$1"; then "$root"/tools/roots.sh base "$1"; else "$root"/tools/interpreters.sh base "$1"; fi; }
requirements_of() { matrix requirements "$1"; }

# lap VAR: set VAR to the seconds since the last lap.
phase_start=$SECONDS
lap() {
  printf -v "$1" %s $((SECONDS - phase_start))
  phase_start=$SECONDS
}

# fresh_venv NAME DIR [PIP INSTALL ARGS...]: a new venv of NAME's interpreter at
# DIR with the pinned pip and then, by default, the packages of NAME's
# requirements file; prints DIR's python. In a Debian root, a copy of the root's
# venv of the same requirements. Nothing is byte-compiled up front
# (half the time of the install): the tests compile what they import.
fresh_venv() {
  local name=$1 venv=$2 requirements
  requirements=$(requirements_of "$name")
  shift 2
  [ $# -gt 0 ] || set -- -r "$requirements"
  rm -rf "$venv"
  if in_root "$name"; then
    # Under emulation pip takes minutes over the test requirements: the venv is a
    # copy of the root's own, made from the same pinned file, which holds no marundex.
    on "$name" cp -a "$("$root"/tools/roots.sh python "$name" | sed 's|/bin/python$||')" "$venv" ||
      die "$name: copying the root's venv to $venv failed"
    # A marundex put there by hand would be taken for the wheel's.
    on "$name" "$venv/bin/python" -I -m pip uninstall -q -y marundex >/dev/null 2>&1 || true
    echo "$venv/bin/python"
    return 0
  fi
  {
    on "$name" "$(base_of "$name")" -I -m venv "$venv" &&
      on "$name" "$venv/bin/python" -I -m pip install --progress-bar off "$(grep -E '^pip==' "$requirements")" &&
      on "$name" "$venv/bin/python" -I -m pip install --progress-bar off --no-compile "$@"
  } >"$venv.venv.log" 2>&1 || die "$name: making the venv $venv failed: $(tail -n 20 "$venv.venv.log")"
  echo "$venv/bin/python"
}

# identity_report NAME PYTHON FILE: the identity check's one line (how many outputs,
# and which NaN patterns the build stored) into FILE; fails if it differs.
identity_report() {
  (cd "$work/elsewhere" && on "$1" "$2" "$tests/identity.py") >"$3" || die "$1: $(cat "$3")"
}

# suite_venv NAME DIR FIRST_TEST: a fresh venv for a suite: the whole test
# requirements for the whole suite, NumPy and pytest for a smoke test.
suite_venv() {
  if [ "$3" = "$tests" ]; then
    fresh_venv "$1" "$2"
  else
    fresh_venv "$1" "$2" -c "$(requirements_of "$1")" numpy pytest
  fi
}

# run_suite NAME LABEL PYTHON LOG [PYTEST ARGS...]: the Python suite, from a
# folder where no checkout's module can be imported, and it must have tested the
# installed one (the suite's header names the module's file).
run_suite() {
  local name=$1 label=$2 python=$3 log=$4 module
  shift 4
  module=$(on "$name" "$python" -I -c \
    'import sysconfig as s; print(s.get_paths()["platlib"] + "/marundex" + s.get_config_var("EXT_SUFFIX"))')
  mkdir -p "$work/elsewhere"
  if ! (cd "$work/elsewhere" && on "$name" "$python" -m pytest -p no:cacheprovider "$@" >"$log" 2>&1); then
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
  local suite=("$tests") kind
  kind=$(matrix get "$name" suite)
  if [ "$kind" = smoke ]; then suite=("${smoke_tests[@]}"); fi
  say "$name: fresh venv with the test requirements"
  lap _
  python=$(suite_venv "$name" "$venv" "${suite[0]}")
  lap venv_time

  say "$name: pip install --no-index --find-links dist --only-binary :all: marundex"
  # Only dist/ is searched: no index, and no links from the machine's pip
  # configuration (a config file of /dev/null makes pip read none).
  on "$name" env -u PIP_FIND_LINKS PIP_CONFIG_FILE=/dev/null "$python" -I -m pip install --progress-bar off \
    --no-index --find-links "$dist" --only-binary :all: marundex >"$log" 2>&1 ||
    die "$name: the install failed: $(tail -n 5 "$log")"
  ! grep -iE 'building|running setup|build backend' "$log" ||
    die "$name: pip built something instead of installing a wheel (log: $log)"
  wheel=$(sed -nE 's|^Processing .*/(marundex-[^/ ]*\.whl).*|\1|p' "$log")
  { [ -n "$wheel" ] && [ -f "$dist/$wheel" ]; } || die "$name: pip installed no wheel of dist/ (log: $log)"
  on "$name" "$python" -I -W ignore::RuntimeWarning "$root/tools/check_installed_wheel.py" "$dist/$wheel" ||
    die "$name: what is installed is not $wheel"
  lap install_time

  say "$name: the Python suite against the installed wheel"
  run_suite "$name" "$name" "$python" "$work/$name-suite.log" "${suite[@]}"
  identity_report "$name" "$python" "$work/$name.identity"
  free_threaded=$(on "$name" "$python" -I -c 'import sysconfig; print(int(bool(sysconfig.get_config_var("Py_GIL_DISABLED"))))')
  if [ "$free_threaded" = 1 ]; then
    say "$name: the concurrency tests again, with PYTHON_GIL=0"
    gil_check='import sys, marundex; sys.exit(sys._is_gil_enabled())'
    (cd "$work/elsewhere" && PYTHON_GIL=0 "$python" -c "$gil_check") ||
      die "$name: PYTHON_GIL=0 did not keep the lock off"
    PYTHON_GIL=0 run_suite "$name" "$name with PYTHON_GIL=0" "$python" "$work/$name-suite-gil0.log" \
      "$root"/tests/python/test_{free_threading,free_threaded_stress,interpreter_lock,borrow_registry,errors}.py
  fi
  lap test_time
  echo "$wheel $venv_time $install_time $test_time" >"$work/$name.result"
}

# test_sdist COMPILER: the sdist as a user with a compiler installs it: pip builds
# it in an isolated environment, whose build tools come from the index, held to
# the pinned versions. host-g++ is the host's g++ on the sdist-host target of the
# matrix (py313) with a smoke test (the worked values, the module's surface, the
# stub installed beside it); g++ and clang++ are the newest of the root of the
# sdist-root target (py314 in sid-amd64), with the whole suite.
# The build must show warnings and not treat them as errors. Leaves "LABEL VENV_S
# INSTALL_S TESTS_S WARNINGS" in $work/sdist-COMPILER.result.
test_sdist() {
  local compiler=$1 name label python log build_dir requirements venv_time install_time test_time
  local suite=("$tests") cxx=(env CXX="$1")
  name=$(matrix one --role sdist-root)
  if [ "$compiler" = host-g++ ]; then
    name=$(matrix one --role sdist-host) cxx=(env -u CXX) suite=("${smoke_tests[@]}")
  fi
  label="$(basename "${sdists[0]}") ($compiler on $name)"
  requirements=$(requirements_of "$name")
  say "$label: fresh venv with the test requirements"
  lap _
  python=$(suite_venv "$name" "$work/sdist-$compiler" "${suite[0]}")
  lap venv_time
  say "$label: pip install (builds it)"
  log="$work/sdist-$compiler-install.log"
  build_dir="$work/sdist-$compiler-build"
  on "$name" "${cxx[@]}" CMAKE_BUILD_PARALLEL_LEVEL=2 "$python" -I -m pip install -v --progress-bar off \
    -c "$requirements" --build-constraint "$requirements" --no-binary marundex \
    --config-settings=build-dir="$build_dir" "${sdists[0]}" >"$log" 2>&1 ||
    die "$label: the install failed: $(tail -n 20 "$log")"
  grep -q 'Building wheel for marundex' "$log" || die "$label: pip did not build marundex (log: $log)"
  # A user's build shows the warnings and never fails on one.
  grep -q -- '-Wall' "$build_dir/compile_commands.json" || die "$label: the build shows no warnings"
  ! grep -q -- '-Werror' "$build_dir/compile_commands.json" ||
    die "$label: a user's build treats warnings as errors ($build_dir/compile_commands.json)"
  lap install_time
  say "$label: the Python suite against the module built from it"
  run_suite "$name" "$label" "$python" "$work/sdist-$compiler-suite.log" "${suite[@]}"
  identity_report "$name" "$python" "$work/sdist-$compiler.identity"
  lap test_time
  # Warnings of the compilers, not GCC's link-time note that it compiles serially.
  echo "${label// /_} $venv_time $install_time $test_time $(grep 'warning:' "$log" | grep -vc '^ *lto-wrapper:' || true)" \
    >"$work/sdist-$compiler.result"
}

sdists=("$dist"/marundex-*.tar.gz)
case ${1:-} in
  --wheel | --sdist)
    [ $# -eq 2 ] || die "usage: $0 [--wheel NAME | --sdist COMPILER]"
    [ -f "${sdists[0]}" ] || die "no sdist in $dist: run tools/build-release.sh"
    mkdir -p "$work"
    if [ "$1" = --wheel ]; then test_wheel "$2"; else test_sdist "$2"; fi
    exit 0
    ;;
esac
[ $# -eq 0 ] || die "usage: $0 [--wheel NAME | --sdist COMPILER]"

names=("${host_names[@]}" "${root_names[@]}")
compilers=(host-g++ g++ clang++)
"$root"/tools/interpreters.sh setup "${host_names[@]}" >/dev/null
"$root"/tools/roots.sh setup "${root_names[@]}" >/dev/null
{ [ -f "${sdists[0]}" ] && [ ${#sdists[@]} -eq 1 ]; } ||
  die "expected one sdist in $dist: run tools/build-release.sh"
# One wheel in dist/ for each target, found by its tags, before any test runs:
# a missing one is named here rather than as a failed install.
for name in "${names[@]}"; do
  read -r series free_threaded cpu <<<"$(matrix get "$name" series free_threaded cpu)"
  abi=cp${series/./}
  [ "$free_threaded" = 0 ] || abi+=t
  pattern="marundex-*-cp${series/./}-$abi-*_$(matrix cpu "$cpu" manylinux).whl"
  found=$(cd "$dist" && { compgen -G "$pattern" || true; })
  [ "$(grep -c . <<<"$found")" = 1 ] || die "$name: expected one wheel $pattern in $dist, found: ${found:-none}"
done
rm -rf "$work"
mkdir -p "$work"

# Each test is one process and mostly one core's work; the emulated ones, the
# longest, start first.
emulated=() native=()
listing emulated matrix names --wheel --emulated
listing native matrix names --wheel --native
pool_start "${MARUNDEX_RELEASE_JOBS:-2}" "a release test"
for name in "${emulated[@]}" "${native[@]}"; do pool_run "$root/tools/test-release.sh" --wheel "$name"; done
for compiler in "${compilers[@]}"; do pool_run "$root/tools/test-release.sh" --sdist "$compiler"; done
pool_wait

# Each target's wheel was tested, and every wheel in dist/ was installed by
# exactly one of them: a wheel missing from dist/, or one too many, fails here.
missing=()
for name in "${names[@]}"; do [ -f "$work/$name.result" ] || missing+=("$name"); done
[ ${#missing[@]} -eq 0 ] || die "no wheel was tested for ${missing[*]}"
wheels=("$dist"/*.whl)
[ ${#wheels[@]} -eq ${#names[@]} ] ||
  die "dist/ holds ${#wheels[@]} wheels for ${#names[@]} targets: $(cd "$dist" && echo ./*.whl)"
timings=()
for name in "${names[@]}"; do
  read -r -a result <"$work/$name.result"
  timings+=("${result[@]}" "")
done
for wheel in "$dist"/*.whl; do
  count=$(for name in "${names[@]}"; do cut -d' ' -f1 "$work/$name.result"; done |
    grep -cxF "$(basename "$wheel")" || true)
  [ "$count" = 1 ] || die "$(basename "$wheel") was installed by $count interpreters, not one"
done
for compiler in "${compilers[@]}"; do
  read -r -a result <"$work/sdist-$compiler.result"
  timings+=("${result[0]//_/ }" "${result[@]:1}")
done

printf '\n%-58s %8s %9s %8s %9s\n' "release artefact tested" "venv s" "install s" "tests s" "warnings"
printf '%-58s %8s %9s %8s %9s\n' "${timings[@]}"
echo
for name in "${names[@]}"; do printf '%-16s %s\n' "$name" "$(cat "$work/$name.identity")"; done
for compiler in "${compilers[@]}"; do
  printf '%-16s %s\n' "sdist, $compiler" "$(cat "$work/sdist-$compiler.identity")"
done
