#!/usr/bin/env bash
# Runs a Windows program inside the shared Wine session, within the test runtime.
#   run.sh STATE_DIR PROGRAM.exe [ARGS...]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
state=$1
shift
. "$here/wine.env.sh"
DISPLAY=$(cat "$state/display")
export DISPLAY
root=$(cat "$state/root")
export LARKSPAN_TEST_ROOT="Z:${root//\//\\}"
exec "$WINE" "$@"
