#!/usr/bin/env bash
# The timing half of scripts/measure.sh, inside the test runtime.
#   measure-runs.sh STATE_DIR BIN_DIR RUNS
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
state=$1 bin=$2 runs=$3
trap '"$here/session.sh" stop "$state" >/dev/null 2>&1 || true' EXIT
"$here/session.sh" start "$state" >/dev/null
. "$here/wine.env.sh"
DISPLAY=$(cat "$state/display")
export DISPLAY
root=$(cat "$state/root")
mkdir -p "$root/app/Uninstall"
cp "$bin/install.exe" "$bin/donothing.exe" "$root/app/"
cp "$bin/quelbrin.exe" "$root/app/Uninstall/"
echo "add-in" >"$root/app/Larkspan.xla"
: >"$bin/excel_standin.control"
"$WINE" "$bin/excel_standin.exe" /regserver
# Keep one wineserver up for the whole measurement, as it would be on a desktop.
"$WINESERVER" -w
"$WINESERVER" -p 120

median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
time_runs() {
  for _ in $(seq "$runs"); do
    start=$(date +%s%N)
    "$WINE" "$1" >/dev/null 2>&1
    # A run is over for the user when the program ends; the stand-in's own exit is not counted.
    echo $(( ($(date +%s%N) - start) / 1000000 ))
    sleep 3.5
  done | median
}
echo "median of $runs runs, milliseconds:"
echo "  do-nothing GUI exe   $(time_runs "$root/app/donothing.exe")"
echo "  install.exe          $(time_runs "$root/app/install.exe")"
echo "  Uninstall/quelbrin   $(time_runs "$root/app/Uninstall/quelbrin.exe")"
# The same uninstall without Excel registered shows what starting the automation server costs.
"$WINE" "$bin/excel_standin.exe" /unregserver
echo "  quelbrin, no Excel   $(time_runs "$root/app/Uninstall/quelbrin.exe")"
