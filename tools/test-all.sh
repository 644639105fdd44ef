#!/usr/bin/env bash
# Every test of marundex, on a fresh machine as on a warm one: installs what is
# missing, checks that the pinned requirements are what their inputs give, then
# runs the C++ suite of the core (plain and under AddressSanitizer and
# UndefinedBehaviorSanitizer), the style checks, and the Python suite on each
# supported interpreter. Exits non-zero when anything fails.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build="$root/build"
cd "$root"
# shellcheck source=lib.sh
source tools/lib.sh

step() { printf '\n=== %s\n' "$*"; }

step "system packages"
# clang-tidy 19: older ones cannot parse the standard library's <expected>. The
# Debian roots need theirs (mmdebstrap, bubblewrap, qemu, the cross compilers of
# the other CPUs, whose binutils also read the wheels' symbols and instructions):
# installed here, so that no two apt-get run at once.
packages=(g++ libgtest-dev libbenchmark-dev clang-format clang-tidy-19 shellcheck ccache)
roots_host=()
listing roots_host tools/roots.sh host-packages
packages+=("${roots_host[@]}")
cpus=()
listing cpus matrix cpus --emulated
apt_install_missing "${packages[@]}"

mkdir -p "$build"
# The Debian roots of the newer interpreters and of aarch64 take a fresh machine
# minutes, mostly waiting on the network and on emulated package scripts: they
# are made beside the steps up to the release.
step "Debian roots of tools/roots.sh: made in the background (log: $build/roots-setup.log)"
tools/roots.sh setup >"$build/roots-setup.log" 2>&1 &
roots_pid=$!

step "interpreters"
tools/interpreters.sh setup
# The ThreadSanitizer interpreter of the concurrency step takes a fresh machine a
# quarter of an hour to build: it is made beside the steps before that one, at the
# lowest priority, so that it takes what they leave of the two cores.
step "ThreadSanitizer interpreter: made in the background (log: $build/tsan-setup.log)"
tsan=$(matrix one --role thread-sanitizer)
nice -n 19 tools/interpreters.sh setup "$tsan" >"$build/tsan-setup.log" 2>&1 &
tsan_pid=$!

# Each pinned requirements file is what uv makes of its input (the free-threaded
# ones need the interpreters just set up); a stale one fails here, by its name.
step "pinned requirements against their inputs (tools/pins.sh check)"
tools/pins.sh check
# The build tools come from a venv, so the C++ build does not depend on what the
# machine's own cmake happens to be.
tools_name=$(matrix one --role tools)
tool_bin=$(dirname "$(tools/interpreters.sh python "$tools_name")")
export PATH="$tool_bin:$PATH"

# The builds of this script compile through the compiler cache (see lib.sh).
cached=() cached_pip=()
cached_build cached
cached_pip_build cached_pip
configure() {  # configure DIR [CMAKE ARGS...]
  local dir=$1
  shift
  cmake -S "$root" -B "$dir" -G Ninja -DMARUNDEX_WARNINGS_AS_ERRORS=ON "$@" >"$dir.configure.log" 2>&1 ||
    { cat "$dir.configure.log"; return 1; }
}

for variant in plain sanitized; do
  step "core C++ tests ($variant)"
  dir="$build/core-$variant"
  sanitize=OFF
  [ "$variant" = sanitized ] && sanitize=ON
  configure "$dir" "${cached[@]}" -DMARUNDEX_BUILD_TESTS=ON -DMARUNDEX_SANITIZE="$sanitize" -DCMAKE_BUILD_TYPE=RelWithDebInfo
  cmake --build "$dir" -j2
  ctest --test-dir "$dir" --output-on-failure -j2
done

# The same suite for each other CPU: built by its cross compiler, with GoogleTest
# from Debian's sources, and run under qemu-user, as the CPU's row says.
for cpu in "${cpus[@]}"; do
  step "core C++ tests ($cpu, emulated)"
  read -r prefix qemu qemu_cpu <<<"$(matrix cpu "$cpu" cross_prefix qemu qemu_cpu)" ||
    die "no row of $cpu in tools/matrix.toml"
  configure "$build/core-$cpu" "${cached[@]}" -DCMAKE_TOOLCHAIN_FILE="$root/tools/cmake/cross.cmake" \
    -DMARUNDEX_CROSS_CPU="$cpu" -DMARUNDEX_CROSS_PREFIX="$prefix" -DMARUNDEX_CROSS_QEMU="$qemu" \
    -DMARUNDEX_CROSS_QEMU_CPU="$qemu_cpu" -DMARUNDEX_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo -Wno-dev
  cmake --build "$build/core-$cpu" -j2
  ctest --test-dir "$build/core-$cpu" --output-on-failure -j2
done

step "style (clang-format, clang-tidy, shellcheck)"
configure "$build/lint" -DMARUNDEX_BUILD_TESTS=ON -DMARUNDEX_BUILD_EXTENSION=ON \
  -DPython_EXECUTABLE="$(tools/interpreters.sh python "$tools_name")"
CLANG_TIDY=clang-tidy-19 tools/check-style.sh "$build/lint"

# The Python suite runs on every interpreter against the release wheels (below);
# the development build goes into the tools interpreter for the type check of
# the examples.
python=$(tools/interpreters.sh python "$tools_name")
step "development build on $tools_name"
"$python" -m pip install --no-build-isolation --no-deps -q "${cached_pip[@]}" \
  --config-settings=build-dir="$build/wheel-$tools_name" \
  --config-settings=cmake.define.MARUNDEX_WARNINGS_AS_ERRORS=ON "$root"
"$python" -c "import marundex"

step "type check of the examples (mypy --strict, against the installed stub)"
# From examples/, so that mypy takes marundex's stub from the installation, not from the checkout.
(cd "$root/examples" && "$python" -m mypy --strict --config-file "$root/pyproject.toml" --cache-dir "$build/mypy-cache" .)

# The extension under AddressSanitizer and UndefinedBehaviorSanitizer, on a default
# build: the sanitizer runtime is preloaded into the interpreter, and leak detection
# is off because the interpreter keeps its own allocations until exit.
asan=$(matrix one --role sanitizers)
python=$(tools/interpreters.sh python "$asan")
step "Python suite on $asan under AddressSanitizer and UndefinedBehaviorSanitizer"
sanitized=$build/sanitized-$asan
configure "$sanitized" "${cached[@]}" -DMARUNDEX_BUILD_EXTENSION=ON -DMARUNDEX_SANITIZE=ON \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPython_EXECUTABLE="$python"
cmake --build "$sanitized" -j2
sanitized_run() {
  LD_PRELOAD="$(g++ -print-file-name=libasan.so)" ASAN_OPTIONS=detect_leaks=0 \
    UBSAN_OPTIONS=print_stacktrace=1 PYTHONPATH="$sanitized/module:$sanitized/stream" "$@"
}
sanitized_run "$python" -c "import marundex, marundex_stream, sys
sys.exit(not all('$sanitized' in m.__file__ for m in (marundex, marundex_stream)))"
sanitized_run "$python" -m pytest "$root/tests/python" -q -p no:cacheprovider

# The release as users get it: the sdist and one wheel per supported interpreter,
# each wheel installed into a fresh venv without compiling and the suite run
# against it there, the sdist built by pip and smoke-tested; then the core as a
# C++ package, used by a program that sees only the installed tree.
step "Debian roots of tools/roots.sh"
wait "$roots_pid" || { cat "$build/roots-setup.log"; exit 1; }
grep -v '^roots: ' "$build/roots-setup.log" || true

step "release artefacts: sdist and wheels (tools/build-release.sh)"
tools/build-release.sh
step "release artefacts installed into fresh venvs and tested (tools/test-release.sh)"
tools/test-release.sh
# The site built with mkdocs --strict, and every code block of README.md and docs/
# run, the install commands in a fresh venv from the wheels just built.
step "documentation: the site and its code blocks (tools/test-docs.sh)"
tools/test-docs.sh
step "C++ package: examples/cpp built against the installed core (tools/test-cpp-package.sh)"
tools/test-cpp-package.sh

# Free-threaded 3.13 built with ThreadSanitizer (cached with the other interpreters,
# made above), marundex and borrow_peer built with it, and the tests that call from
# several threads, with the lock as set and forced off: any report fails the step.
step "ThreadSanitizer interpreter"
wait "$tsan_pid" || { cat "$build/tsan-setup.log"; exit 1; }
step "concurrency tests under ThreadSanitizer (free-threaded 3.13)"
tools/thread-sanitizer.sh

# Not a measurement: checks that the benchmark still builds and runs every side,
# that the floor computes marundex's bits, and that a call allocates nothing.
step "benchmark smoke"
bash "$root/benchmarks/run.sh" --smoke
bash "$root/benchmarks/run.sh" --stream --smoke --rounds 1 >/dev/null
bash "$root/benchmarks/run.sh" --catalogue --smoke --rounds 1 >/dev/null
bash "$root/benchmarks/run.sh" --frames --smoke --rounds 1 >/dev/null
# The borrow registry's store under threads: that it builds, and that every store
# grants every read-only borrow.
configure "$build/bench-core" "${cached[@]}" -DMARUNDEX_BUILD_BENCHMARKS=ON
cmake --build "$build/bench-core" -j2 --target marundex_registry_contention marundex_resume_benchmark
"$build/bench-core/benchmarks/registry/marundex_registry_contention" --calls 2000 --repeats 1 >/dev/null
# Resumed kernels: that every run length gives the batch kernel's bits.
"$build/bench-core/benchmarks/core/marundex_resume_benchmark" --rounds 1 --bars 5040 >/dev/null

step "all tests passed"
