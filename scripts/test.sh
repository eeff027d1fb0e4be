#!/usr/bin/env bash
# Installs what is missing, builds the test runtime once, builds both targets and runs every test:
# static checks of the shipped 32-bit programs, then their unit and end-to-end tests under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
scripts/runtime.sh ensure
scripts/build.sh
ctest --preset deliverable-i686
