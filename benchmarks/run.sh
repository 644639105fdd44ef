#!/usr/bin/env bash
# marundex against the limits of the hardware, TA-Lib, pandas and a NumPy ufunc call,
# the cost of a call on 3.11, 3.13 and free-threaded 3.13, and two threads against one
# on free-threaded 3.13. See benchmarks/README.md.
#
#   bash benchmarks/run.sh            full run: table, results/results.json, results/*.png
#   bash benchmarks/run.sh --smoke    n = 16 and 1000, one batch each, a few seconds once
#                                     the venvs exist; fails if any side is missing
#   bash benchmarks/run.sh --universe 5,000 symbols × 2,520 bars, every indicator: a loop,
#                                     a thread pool, TA-Lib and pandas; results/universe.*
#   bash benchmarks/run.sh --scaling  when a thread pool pays: series length × threads ×
#                                     interpreter and lock; results/scaling.*
#   bash benchmarks/run.sh --stream   live bars: marundex_stream against TA-Lib's stream
#                                     handles, recomputing and the pure-Python
#                                     incremental libraries; results/stream.*
#   bash benchmarks/run.sh --catalogue
#                                     every marundex_stream type against TA-Lib: a batch,
#                                     one live bar and a tick; results/catalogue.*
#   bash benchmarks/run.sh --frames   marundex_ta on a long frame grouped by symbol
#                                     (pandas, polars) against TA-Lib through pandas
#                                     and polars, one series, one bar as numbers;
#                                     results/frames.*
#
# Extra arguments go to `bench.py run` (e.g. --rounds 5 --batches 7).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
LIB_NAME=bench
# shellcheck source=../tools/lib.sh
source "$root/tools/lib.sh"
cache=$CACHE
build=$root/build/bench
mkdir -p "$build"
export PIP_NO_INPUT=1 PIP_DISABLE_PIP_VERSION_CHECK=1
unset PYTHONHOME PYTHONPATH PYTHON_GIL

# The base interpreter behind one of the project's venvs.
base_python() {
    local venv_python home
    venv_python=$("$root/tools/interpreters.sh" python "$1")
    home=$(sed -n 's/^home = //p' "$(dirname "$(dirname "$venv_python")")/pyvenv.cfg")
    local exe
    exe=$(matrix get "$1" exe)
    [[ -x $home/$exe ]] || die "no $exe in $home"
    echo "$home/$exe"
}

# venv ROLE: a venv of the pinned packages of the benchmarks for the matrix's
# target of ROLE, remade when the requirements or the base interpreter change.
venv() {
    local name requirements dir base stamp
    name=$(matrix one --role "$1")
    requirements=$(matrix get "$name" bench_requirements)
    dir=$cache/venvs/bench-$name
    base=$(base_python "$name")
    stamp="$(sha256sum "$requirements" | cut -d' ' -f1) $base"
    if ! stamp_matches "$dir/.bench-stamp" "$stamp"; then
        say "making $dir"
        rm -rf "$dir"
        "$base" -m venv "$dir"
        "$dir/bin/python" -m pip install -q -r "$requirements" >&2
        stamp_write "$dir/.bench-stamp" "$stamp"
    fi
    # The extension as the work tree has it; the build directory keeps rebuilds quick.
    local cached
    cached_pip_build cached
    "$dir/bin/python" -m pip install -q --no-build-isolation --no-deps "${cached[@]}" \
        --config-settings=build-dir="$root/build/bench-$name" "$root" >&2
    echo "$dir/bin/python"
}

roles=(bench-oldest bench-main bench-free-threaded)
# Live bars and the catalogue are measured on the main interpreter alone.
[[ ${1:-} != --stream && ${1:-} != --catalogue && ${1:-} != --frames ]] || roles=(bench-main)
for role in "${roles[@]}"; do
    name=$(matrix one --role "$role")
    [[ -x $("$root/tools/interpreters.sh" python "$name") ]] || "$root/tools/interpreters.sh" setup "$name" >&2
done
py=$(venv bench-main)

if [[ ${1:-} == --stream ]]; then
    shift
    exec "$py" "$root/benchmarks/stream.py" --results "$root/benchmarks/results" "$@"
fi

if [[ ${1:-} == --catalogue ]]; then
    shift
    exec "$py" "$root/benchmarks/catalogue.py" --results "$root/benchmarks/results" "$@"
fi

if [[ ${1:-} == --frames ]]; then
    shift
    exec "$py" "$root/benchmarks/frames.py" --results "$root/benchmarks/results" "$@"
fi

ft=$(venv bench-free-threaded)
py311=$(venv bench-oldest)

# The floor, compiled as the core is: -O3, no contraction into fused multiply-adds,
# no fast-math. Its streaming loops stay loops: not calls of the C library's memcpy.
if [[ ! $build/libfloor.so -nt $root/benchmarks/floor.cpp ]]; then
    g++ -std=c++23 -O3 -DNDEBUG -ffp-contract=off -fno-fast-math -fPIC -shared \
        -fno-tree-loop-distribute-patterns -fvisibility=hidden \
        -o "$build/libfloor.so" "$root/benchmarks/floor.cpp"
fi

if [[ ! $build/libmalloc_count.so -nt $root/benchmarks/malloc_count.c ]]; then
    gcc -O2 -fPIC -shared -o "$build/libmalloc_count.so" "$root/benchmarks/malloc_count.c" -ldl
fi

if [[ ${1:-} == --scaling ]]; then
    shift
    exec "$py" "$root/benchmarks/scaling.py" run --python "$py" --ft-python "$ft" \
        --results "$root/benchmarks/results" "$@"
fi

if [[ ${1:-} == --universe ]]; then
    shift
    exec "$py" "$root/benchmarks/universe.py" run --python "$py" --ft-python "$ft" \
        --data "$cache/bench-data" --results "$root/benchmarks/results" "$@"
fi

exec "$py" "$root/benchmarks/bench.py" run --floor "$build/libfloor.so" --ft-python "$ft" \
    --py311-python "$py311" --malloc-count "$build/libmalloc_count.so" \
    --data "$cache/bench-data" --results "$root/benchmarks/results" "$@"
