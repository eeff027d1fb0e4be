#!/usr/bin/env bash
# Starts or stops the Wine session that the tests share: a fresh prefix, a private X server,
# a scratch folder and an extra drive letter for a drive-root case. Runs inside the test runtime.
#   session.sh start STATE_DIR
#   session.sh stop STATE_DIR
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
cmd=$1 state=$2
# shellcheck source=wine.env.sh
. "$here/wine.env.sh"

stop() {
  if [ -d "$WINEPREFIX" ]; then "$WINESERVER" -k 2>/dev/null || true; fi
  if [ -f "$state/xvfb.pid" ]; then kill "$(cat "$state/xvfb.pid")" 2>/dev/null || true; rm -f "$state/xvfb.pid"; fi
  if [ -f "$state/root" ]; then rm -rf "$(cat "$state/root")"; rm -f "$state/root"; fi
}

case "$cmd" in
  stop) stop ;;
  start)
    stop
    rm -rf "$state"
    mkdir -p "$state"
    display=$("$here/xvfb.sh" "$state")
    echo "$display" >"$state/display"
    export DISPLAY=$display
    "$WINE" wineboot -i >"$state/wineboot.log" 2>&1
    # A brand-new prefix keeps booting after wineboot returns; the first activation would hang.
    "$WINESERVER" -w
    # Windows show at once without a window manager, and a crash never waits for a click.
    "$WINE" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
    "$WINE" reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1
    # Hidden and system attributes live in extended attributes, which /tmp keeps.
    root=$(mktemp -d /tmp/larkspan-tests.XXXXXX)
    echo "$root" >"$state/root"
    mkdir "$root/r-drive"
    ln -sfn "$root/r-drive" "$WINEPREFIX/dosdevices/r:"
    echo "wine session ready: prefix $WINEPREFIX, display $display, scratch $root"
    ;;
  *) echo "usage: $0 start STATE | stop STATE" >&2; exit 2 ;;
esac
