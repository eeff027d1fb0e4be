#!/usr/bin/env bash
# Builds the shipped 32-bit programs with their tests, and the 64-bit Excel stand-in.
set -euo pipefail
cd "$(dirname "$0")/.."
for preset in standin-x86_64 deliverable-i686; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$(nproc)"
done
