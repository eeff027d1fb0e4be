#!/usr/bin/env bash
# Times whole runs of the shipped 32-bit programs under Wine 10 in one sandbox session: the
# do-nothing baseline, a setup run and an uninstall run against the 32-bit Excel stand-in,
# each the median of RUNS runs (default 7).
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-7}
scripts/runtime.sh ensure
scripts/build.sh >/dev/null
exec scripts/runtime.sh run /bin/bash tests/wine/measure-runs.sh "$PWD/build/measure/wine" "$PWD/build/deliverable-i686/bin" "$runs"
