#!/usr/bin/env bash
# Installs what is missing, builds the test runtime once, builds both targets and runs every test:
# static checks of the shipped 32-bit programs, then their unit and end-to-end tests under Wine.
# Before anything is built, every C++ file of the tree must have the one layout .clang-format gives.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
find common install uninstall tests \( -name '*.cpp' -o -name '*.h' \) -print0 | sort -z |
  xargs -0 clang-format --dry-run --Werror
scripts/runtime.sh ensure
scripts/build.sh
ctest --preset deliverable-i686
