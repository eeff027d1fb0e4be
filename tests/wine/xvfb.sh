#!/usr/bin/env bash
# Starts a private Xvfb on the first free display, records its pid in STATE/xvfb.pid, prints the display.
set -euo pipefail
state=$1
for n in $(seq 90 189); do
  [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ] || break
done
# 24-bit depth lets screen pixels be compared with the stock icons exactly.
Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp >"$state/xvfb.log" 2>&1 &
echo $! >"$state/xvfb.pid"
for _ in $(seq 100); do
  [ -e "/tmp/.X11-unix/X$n" ] && break
  sleep 0.05
done
[ -e "/tmp/.X11-unix/X$n" ] || { echo "Xvfb did not start on :$n" >&2; exit 1; }
echo ":$n"
