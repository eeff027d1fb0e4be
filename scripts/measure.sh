#!/usr/bin/env bash
# Times whole runs under Wine in one sandbox session: the do-nothing baseline, a setup run and an
# uninstall run against the Excel stand-in, each the median of RUNS runs (default 7).
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-7}
scripts/build.sh >/dev/null
bin=$PWD/build/twin-x86_64/bin
state=$PWD/build/measure/wine
trap 'tests/wine/session.sh stop "$state" >/dev/null 2>&1 || true' EXIT
tests/wine/session.sh start "$state" "$bin" >/dev/null
. tests/wine/wine.env.sh
DISPLAY=$(cat "$state/display")
export DISPLAY
root=$(cat "$state/root")
mkdir -p "$root/app/Uninstall"
cp "$bin/install.exe" "$bin/donothing.exe" "$root/app/"
cp "$bin/quelbrin.exe" "$root/app/Uninstall/"
echo "add-in" >"$root/app/Larkspan.xla"
: >"$bin/excel_standin.control"
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
"$WINE" "$bin/excel_standin.exe" /regserver
