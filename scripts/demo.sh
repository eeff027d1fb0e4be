#!/usr/bin/env bash
# Shows the two programs at work under Wine against the Excel stand-in, in a sandbox prefix:
# the shipped folder layout, a setup run, a setup run without Excel, and an uninstall run
# with the Add-in Manager keys before and after.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
scripts/build.sh >/dev/null
echo "built: build/deliverable-i686/bin (shipped), build/twin-x86_64/bin (run here)"

bin=$PWD/build/twin-x86_64/bin
state=$PWD/build/demo/wine
session=tests/wine/session.sh
run() { tests/wine/run.sh "$state" "$@"; }
trap '"$session" stop "$state" >/dev/null 2>&1 || true' EXIT
echo "starting a sandbox Wine prefix (about 15 s)..."
"$session" start "$state" "$bin" >/dev/null

# The shipped layout, with the add-in file dropped in beside install.exe.
root=$(cat "$state/root")
app=$root/Larkspan
mkdir -p "$app/Uninstall"
cp "$bin/install.exe" "$app/"
cp "$bin/quelbrin.exe" "$app/Uninstall/"
echo "add-in workbook" >"$app/Larkspan.xla"
win_app="Z:${app//\//\\}"

journal=$bin/excel_standin.journal
show_journal() {
  echo "--- what Excel was told (stand-in journal) ---"
  if [ -s "$journal" ]; then sed 's/\t/  /g; s/^/  /' "$journal"; else echo "  (nothing: Excel was never started)"; fi
}
fresh_standin() { rm -f "$journal"; printf '%s\n' "$@" >"$bin/excel_standin.control"; }
wait_standin() {
  for _ in $(seq 100); do
    [ "$(grep -c '^start' "$journal" 2>/dev/null || true)" = "$(grep -c '^exit' "$journal" 2>/dev/null || true)" ] && return
    sleep 0.1
  done
}

echo
echo "=== shipped layout ==="
(cd "$root" && find Larkspan -type f | sort | sed 's/^/  /')

echo
echo "=== 1. install.exe beside Larkspan.xla ==="
fresh_standin
echo "--- what the user saw ---"
run "$bin/boxreader.exe" "$win_app\\install.exe" | sed 's/^/  /'
wait_standin
show_journal

echo
echo "=== 2. install.exe on a machine without Excel ==="
fresh_standin
run "$bin/excel_standin.exe" /unregserver
echo "--- what the user saw ---"
run "$bin/boxreader.exe" "$win_app\\install.exe" | sed 's/^/  /'
show_journal
run "$bin/excel_standin.exe" /regserver

echo
echo "=== 3. Uninstall\\quelbrin.exe ==="
manager='HKCU\Software\Microsoft\Office'
for v in 11.0 10.0 12.0; do
  key="$manager\\$v\\Excel\\Add-in Manager"
  run reg add "$key" /v "$win_app\\Larkspan.xla" /d "" /f >/dev/null 2>&1
  run reg add "$key" /v "C:\\Other\\Larkspan.xla" /d "" /f >/dev/null 2>&1
done
show_registry() {
  for v in 11.0 10.0 12.0; do
    echo "  [$v\\Excel\\Add-in Manager]"
    run reg query "$manager\\$v\\Excel\\Add-in Manager" 2>/dev/null | tr -d '\r' | grep REG_SZ | sed 's/ *REG_SZ.*//; s/^ */    /'
  done
}
echo "--- Add-in Manager values before ---"
show_registry
fresh_standin "addin Zorvik Larkspan|$win_app\\Larkspan.xla|1"
echo "--- what the user saw ---"
run "$bin/boxreader.exe" "$win_app\\Uninstall\\quelbrin.exe" | sed 's/^/  /'
wait_standin
show_journal
echo "--- Add-in Manager values after (only this add-in's 11.0 and 10.0 values go) ---"
show_registry
