#!/usr/bin/env bash
# Installs what building and testing need on a Debian 12 host, skipping what is already there.
# Wine and Xvfb are not among them: they live in the test runtime (scripts/runtime.sh).
set -uo pipefail
packages=(
  cmake make git
  clang-format
  g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix
  googletest
  mmdebstrap
  python3-pefile
  osslsigncode openssl
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
echo "installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo=sudo
# One unreachable index must not stop the rest.
$sudo apt-get update || true
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get install -y --no-install-recommends "${missing[@]}" ||
  $sudo apt-get install -y --no-install-recommends -t bookworm "${missing[@]}"
