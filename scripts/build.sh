#!/usr/bin/env bash
# Builds the shipped 32-bit programs and their 64-bit twin with the test programs.
set -euo pipefail
cd "$(dirname "$0")/.."
for preset in deliverable-i686 twin-x86_64; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$(nproc)"
done
