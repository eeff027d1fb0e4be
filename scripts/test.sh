#!/usr/bin/env bash
# Installs what is missing, builds both targets and runs every test: static checks of the
# shipped 32-bit programs, then the 64-bit twin's unit and end-to-end tests under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
scripts/build.sh
status=0
ctest --preset deliverable-i686 || status=1
ctest --preset twin-x86_64 || status=1
exit $status
