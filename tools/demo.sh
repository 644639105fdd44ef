#!/usr/bin/env bash
# Sets up an interpreter with marundex installed, then runs the demo with any
# arguments given.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
"$root/tools/interpreters.sh" setup ft313 >/dev/null
python=$("$root/tools/interpreters.sh" python ft313)
"$python" -m pip install --no-build-isolation --no-deps -q \
  --config-settings=build-dir="$root/build/wheel-ft313" "$root"
exec "$python" "$root/examples/demo.py" "$@"
