#!/usr/bin/env bash
# Sets up the free-threaded interpreter with marundex and the demo's packages
# installed, then runs examples/demo.py with any arguments given (--csv PATH,
# --chart PATH, --help). The chart goes to ./marundex-demo.png by default.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# shellcheck source=lib.sh
source "$root/tools/lib.sh"
name=$(matrix one --role demo)
"$root/tools/interpreters.sh" setup "$name" >/dev/null
python=$("$root/tools/interpreters.sh" python "$name")
"$python" -m pip install --no-build-isolation --no-deps -q \
  --config-settings=build-dir="$root/build/wheel-$name" "$root"
# Importing marundex turns the interpreter lock on (the module declares that it
# relies on it) and Python warns about that; the README explains it, the demo
# does not need to repeat it.
exec "$python" -W "ignore:The global interpreter lock:RuntimeWarning" "$root/examples/demo.py" "$@"
