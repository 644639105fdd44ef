#!/usr/bin/env bash
# The core as a C++ package: installs marundex-core with `cmake --install` into
# a fresh prefix, builds examples/cpp against that installed tree alone, compares
# the worked values with examples/cpp/worked_values.expected bit for bit, and runs
# the live example, which checks resumed states against the batch kernels. Also
# checks that the programs' own object files hold no kernel code (the header
# declares the kernels only), so their compiler flags cannot reach them.
#
#   tools/test-cpp-package.sh
#
# Takes cmake, ninja and g++ from PATH (tools/test-all.sh puts the tools venv's
# first).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
work="$root/build/cpp-package"
prefix="$work/prefix"
rm -rf "$work"
mkdir -p "$work"
# shellcheck source=lib.sh
source "$root/tools/lib.sh"

run_logged "$work/core.log" "configure the core" cmake -S "$root" -B "$work/core" -G Ninja -DMARUNDEX_WARNINGS_AS_ERRORS=ON -DCMAKE_INSTALL_PREFIX="$prefix" \
  -DCMAKE_INSTALL_LIBDIR=lib
run_logged "$work/core-build.log" "build the core" cmake --build "$work/core" -j2
run_logged "$work/install.log" "cmake --install" cmake --install "$work/core"
installed=$(cd "$prefix" && find . -type f | sort)
expected='./include/marundex/core.hpp
./lib/cmake/marundex/marundexConfig.cmake
./lib/cmake/marundex/marundexConfigVersion.cmake
./lib/cmake/marundex/marundexTargets-release.cmake
./lib/cmake/marundex/marundexTargets.cmake
./lib/libmarundex-core.a'
[ "$installed" = "$expected" ] || die "cmake --install put other files into $prefix:"$'\n'"$installed"
echo "installed into $prefix:"
# shellcheck disable=SC2001  # at the start of each line, not anywhere
sed 's|^\./|  |' <<<"$installed"

# Only the installed tree: no package registry, and the package must be found
# in the prefix.
run_logged "$work/consumer.log" "configure examples/cpp" cmake -S "$root/examples/cpp" -B "$work/consumer" -G Ninja \
  -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF
found=$(sed -n 's/^marundex_DIR:PATH=//p' "$work/consumer/CMakeCache.txt")
[ "$found" = "$prefix/lib/cmake/marundex" ] || die "find_package(marundex) found $found"
run_logged "$work/consumer-build.log" "build examples/cpp" cmake --build "$work/consumer"

# The library's own symbols, not the standard templates that name its types.
for program in worked_values live_equals_backtest; do
  object=$(find "$work/consumer" -name "$program.cpp.o")
  defined=$(nm -C --defined-only "$object" | grep -E '^[0-9a-f]+ . marundex::core::' || true)
  [ -z "$defined" ] || die "$program's object file defines kernel code: $defined"
done
object=$(find "$work/consumer" -name 'worked_values.cpp.o')
for kernel in sma ema macd atr; do
  nm -C --undefined-only "$object" | grep -q "marundex::core::$kernel(" ||
    die "worked_values does not call marundex::core::$kernel from the library"
done
object=$(find "$work/consumer" -name 'live_equals_backtest.cpp.o')
for state in SmaState EmaState MacdState AtrState; do
  nm -C --undefined-only "$object" | grep -q "marundex::core::$state::advance(" ||
    die "live_equals_backtest does not call marundex::core::$state::advance from the library"
done

"$work/consumer/worked_values" >"$work/worked_values.out"
diff -u "$root/examples/cpp/worked_values.expected" "$work/worked_values.out" ||
  die "the worked values differ from examples/cpp/worked_values.expected"
echo "examples/cpp: $(wc -l <"$work/worked_values.out") values, bit for bit as expected"
"$work/consumer/live_equals_backtest" || die "live_equals_backtest: a resumed state differs from its batch kernel"
