#!/usr/bin/env bash
# Runs a Windows program inside the shared Wine session, within the test runtime.
#   run.sh STATE_DIR [NAME=value...] PROGRAM.exe [ARGS...]
# NAME=value pairs go into the Unix environment Wine starts with: Wine reads the user locale
# (LC_ALL) there, and the programs it starts inherit that, not what their Windows environment says.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
state=$1
shift
vars=()
while [[ ${1:-} =~ ^[A-Za-z_][A-Za-z0-9_]*= ]]; do
  vars+=("$1")
  shift
done
. "$here/wine.env.sh"
DISPLAY=$(cat "$state/display")
export DISPLAY
root=$(cat "$state/root")
export LARKSPAN_TEST_ROOT="Z:${root//\//\\}"
exec env ${vars[@]+"${vars[@]}"} "$WINE" "$@"
