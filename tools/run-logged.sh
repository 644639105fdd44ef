# Sourced by the scripts that provide interpreters (interpreters.sh, roots.sh),
# which define `say` with their own prefix.
#
# run_logged LOG WHAT CMD...: run CMD with its output in LOG; on failure show
# the end of LOG and stop.
run_logged() {
  local log=$1 what=$2
  shift 2
  say "$what (log: $log)"
  if ! "$@" >"$log" 2>&1; then
    say "FAILED: $what; the last lines of $log:"
    tail -n 40 "$log" >&2
    exit 1
  fi
}
