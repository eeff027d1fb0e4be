#!/usr/bin/env bash
# Shows the shipped 32-bit programs at work, under Wine in the test runtime, against the Excel
# stand-in (a 32-bit Excel): the layout where a user would put it, what Excel was told, what the
# user saw (as text and as pictures) and the Add-in Manager values before and after uninstalling.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
scripts/runtime.sh ensure
scripts/build.sh >/dev/null

bin=$PWD/build/deliverable-i686/bin
state=$PWD/build/demo/wine
pictures=$PWD/build/demo/pictures
session=tests/wine/session.sh
run() { scripts/runtime.sh run tests/wine/run.sh "$state" "$@"; }
trap 'scripts/runtime.sh run "$session" stop "$state" >/dev/null 2>&1 || true' EXIT
echo "starting a sandbox Wine prefix (about 15 s)..."
scripts/runtime.sh run "$session" start "$state" >/dev/null
rm -rf "$pictures"
mkdir -p "$pictures"

# Where a user would put it; the programs are laid out as the ZIP ships them.
app='C:\Users\Public\Zorvik Larkspan'
app_unix="$state/prefix/drive_c/users/Public/Zorvik Larkspan"
cmake --install build/deliverable-i686 --prefix "$app_unix" >/dev/null
echo "add-in workbook" >"$app_unix/Larkspan.xla"
unix_path() { local p=${1#Z:}; echo "${p//\\//}"; }

standin=$bin/excel_standin.exe
journal=$bin/excel_standin.journal
run "$standin" /regserver
fresh_standin() { rm -f "$journal"; printf '%s\n' "$@" >"$bin/excel_standin.control"; }
# A server ends a little after its last release; its journal is complete once it has.
wait_standin() {
  for _ in $(seq 150); do
    [ "$(grep -c '^start' "$journal" 2>/dev/null || true)" = "$(grep -c '^exit' "$journal" 2>/dev/null || true)" ] && return
    sleep 0.1
  done
}
show_journal() {
  wait_standin
  echo "--- what Excel was told ---"
  run "$bin/journalview.exe" "Z:${journal//\//\\}" | sed 's/^/  /'
}
# Runs a program as the user would, answering its boxes; NAME names their pictures.
show_run() {
  local name=$1
  shift
  echo "--- what the user saw ---"
  local seen
  seen=$(run "$bin/boxreader.exe" --pictures "Z:${pictures//\//\\}\\$name" "$@" | tr -d '\r')
  if ! grep -q '^box ' <<<"$seen"; then echo "  (no message box)"; fi
  while IFS= read -r line; do
    case "$line" in
      "  picture "*) local size=${line#  picture }
                     echo "  picture ${size%%:*}: $(unix_path "${line#*: }")" ;;
      *) echo "  $line" ;;
    esac
  done <<<"$seen"
}

echo
echo "=== the shipped layout, where a user put it ==="
(cd "$app_unix" && find . -type f | sed 's|^\./||' | sort) | while IFS= read -r f; do echo "  $app\\${f//\//\\}"; done

echo
echo "=== 1. $app\\install.exe, beside Larkspan.xla ==="
fresh_standin
show_run setup "$app\\install.exe"
show_journal

echo
echo "=== 2. install.exe on a machine without Excel ==="
fresh_standin
run "$standin" /unregserver
show_run setup-without-excel "$app\\install.exe"
show_journal
run "$standin" /regserver

echo
echo "=== 3. $app\\Uninstall\\quelbrin.exe, with Excel open ==="
manager='HKCU\Software\Microsoft\Office'
for v in 11.0 10.0 12.0; do
  key="$manager\\$v\\Excel\\Add-in Manager"
  run reg add "$key" /v "$app\\Larkspan.xla" /d "" /f >/dev/null 2>&1
  run reg add "$key" /v 'C:\Other\Larkspan.xla' /d "" /f >/dev/null 2>&1
done
show_registry() {
  for v in 11.0 10.0 12.0; do
    run reg query "$manager\\$v\\Excel\\Add-in Manager" 2>/dev/null | tr -d '\r' | grep -v '^$' | sed 's/^/  /'
  done
}
echo "--- Add-in Manager values before ---"
show_registry
fresh_standin "addin Zorvik Larkspan|$app\\Larkspan.xla|1"
show_run uninstall-with-excel-open --excel-window "$app\\Uninstall\\quelbrin.exe"
show_journal
echo "--- Add-in Manager values after (only this add-in's 11.0 and 10.0 values are gone) ---"
show_registry
run "$standin" /unregserver
