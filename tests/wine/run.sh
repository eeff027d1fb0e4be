#!/usr/bin/env bash
# Runs a Windows program of the test twin inside the shared Wine session.
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
