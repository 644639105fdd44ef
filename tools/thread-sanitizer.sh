#!/usr/bin/env bash
# The concurrency tests under ThreadSanitizer: free-threaded CPython 3.13 built
# with it (tools/interpreters.sh, tsan313t), marundex, marundex_stream and the
# second module (borrow_peer) built with it, and every test that runs calls on several threads,
# with the interpreter lock as marundex sets it and forced off:
#   tools/stress.py: TSAN_THREADS threads x TSAN_CALLS calls on shared inputs,
#     and TSAN_FIRST_USE fresh processes whose 8 threads make the process's first
#     calls at once (both modules), in each lock mode;
#   the second module on the same registry, the lock turned on at import, and the
#     in-process thread tests (registry, errors, lock release), in each lock mode.
# Fails on the first report, and on any report left in the log.
#
#   tools/thread-sanitizer.sh [BUILD_DIR]      (default: build/tsan-ft313)
#   (the interpreter is the matrix's thread-sanitizer target)
#   TSAN_THREADS, TSAN_CALLS, TSAN_FIRST_USE   (environment; default 8, 4000, 8)
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-$root/build/tsan-ft313}
cd "$root"
# shellcheck source=lib.sh
source tools/lib.sh

python=$(tools/interpreters.sh python "$(matrix one --role thread-sanitizer)")
# The build tools come from the tools venv, as in tools/test-all.sh.
tool_bin=$(dirname "$(tools/interpreters.sh python "$(matrix one --role tools)")")
export PATH="$tool_bin:$PATH"
# The interpreter's own suppressions are kept beside it.
interpreter_suppressions=$("$python" -I -c 'import sys; print(sys.base_prefix)')/suppressions_free_threading.txt
[ -f "$interpreter_suppressions" ] || { echo "missing $interpreter_suppressions" >&2; exit 1; }

mkdir -p "$build"
cached=()
cached_build cached
cmake -S "$root" -B "$build" -G Ninja "${cached[@]}" -DMARUNDEX_WARNINGS_AS_ERRORS=ON -DMARUNDEX_BUILD_EXTENSION=ON -DMARUNDEX_SANITIZE=thread \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPython_EXECUTABLE="$python" >"$build.configure.log" 2>&1 ||
  { cat "$build.configure.log"; exit 1; }
cmake --build "$build" -j2

# One file for TSAN_OPTIONS: the interpreter's suppressions, then ours.
suppressions=$build/suppressions.txt
cat "$interpreter_suppressions" "$root/tools/tsan-suppressions.txt" >"$suppressions"
reports=$build/reports
rm -rf "$reports"
mkdir -p "$reports"
# halt_on_error: a report ends its process at once, with exit status 66, which fails
# the test that ran it. The reports go to files, one per process, shown below.
export TSAN_OPTIONS="suppressions=$suppressions halt_on_error=1 exitcode=66 history_size=4 \
second_deadlock_stack=1 log_path=$reports/report"
export PYTHONPATH="$build/module:$build/stream"

instrumented() {  # instrumented FILE: is FILE built with ThreadSanitizer?
  nm -D "$1" | grep -q ' U __tsan_func_entry' || { echo "$1 is not built with ThreadSanitizer" >&2; exit 1; }
}
module=$("$python" -W ignore -c 'import marundex; print(marundex.__file__)')
case $module in
  "$build"/*) instrumented "$module" ;;
  *) echo "marundex comes from $module, not from $build" >&2; exit 1 ;;
esac
instrumented "$(PYTHONPATH="$root/tests/python" "$python" -c '
import os, peer, sysconfig
print(os.path.join(peer.build(), "borrow_peer" + sysconfig.get_config_var("EXT_SUFFIX")))')"

tests=tests/python
# These choose the lock mode of their fresh interpreters themselves.
fresh=("$tests/test_second_module.py" "$tests/test_free_threading.py")
# The threads inside the test process run in its mode: both are run.
in_process=("$tests/test_borrow_registry.py::test_borrows_from_several_threads"
  "$tests/test_errors.py::test_failures_on_other_threads_leave_this_thread_working"
  "$tests/test_interpreter_lock.py"
  "$tests/test_stream.py::test_threads_on_one_universe_get_their_own_bits"
  "$tests/test_stream.py::test_threads_on_one_series_are_serialized"
  "$tests/test_stream.py::test_rows_rewritten_by_another_thread_during_a_call_never_index_outside_the_states")

status=0
echo "--- stress, the lock as set and forced off"
"$python" tools/stress.py --threads "${TSAN_THREADS:-8}" --calls "${TSAN_CALLS:-4000}" \
  --first-use "${TSAN_FIRST_USE:-8}" --gil both || status=1
echo "--- tests, the lock as set"
"$python" -m pytest "${fresh[@]}" "${in_process[@]}" -q -p no:cacheprovider || status=1
echo "--- tests, the lock forced off"
PYTHON_GIL=0 "$python" -m pytest "${in_process[@]}" -q -p no:cacheprovider || status=1

if compgen -G "$reports/report*" >/dev/null; then
  echo "ThreadSanitizer reported:" >&2
  cat "$reports"/report* >&2
  status=1
fi
if [ "$status" = 0 ]; then echo "ThreadSanitizer: no reports"; fi
exit "$status"
