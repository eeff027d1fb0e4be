#!/usr/bin/env bash
# The test runtime: a Debian 13 root with Wine 10, whose WoW64 mode runs the shipped i686
# programs on a kernel that refuses 32-bit processes, and Xvfb for their message boxes.
# It is built once and kept in LARKSPAN_RUNTIME (default /var/cache/larkspan/runtime).
#   runtime.sh ensure             build the root unless a complete one is there
#   runtime.sh run CMD [ARGS...]  run CMD inside it, with this source tree at its own path
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
root=${LARKSPAN_RUNTIME:-/var/cache/larkspan/runtime}
suite=trixie
packages=wine64,libwine:i386,xvfb,xauth
# The recipe is written into the root; a root built from another recipe is built again.
recipe="$suite amd64,i386 $packages i386-windows-copied"
stamp=$root/.larkspan-runtime

sudo=""
[ "$(id -u)" -eq 0 ] || sudo=sudo

# The host's own Debian mirror, so no host name is written here.
mirror() {
  local uri
  uri=$(grep -hoE '^URIs:[[:space:]]*[^[:space:]]+/debian/?$' /etc/apt/sources.list.d/*.sources 2>/dev/null | head -n1 |
    sed -E 's/^URIs:[[:space:]]*//') || true
  [ -n "$uri" ] || uri=$(grep -hoE '^deb[[:space:]]+(\[[^]]*\][[:space:]]+)?[^[:space:]]+/debian/?[[:space:]]' \
    /etc/apt/sources.list 2>/dev/null | head -n1 | awk '{print $NF}') || true
  [ -n "$uri" ] || { echo "runtime: no Debian mirror in the host's apt sources" >&2; exit 1; }
  echo "$uri"
}

complete() {
  [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$recipe" ] &&
    [ -x "$root/usr/lib/wine/wine64" ] && [ -x "$root/usr/bin/Xvfb" ] &&
    [ -f "$root/usr/lib/x86_64-linux-gnu/wine/i386-windows/kernel32.dll" ] &&
    [ -f "$root/usr/lib/x86_64-linux-gnu/wine/i386-windows/user32.dll" ]
}

ensure() {
  complete && return 0
  command -v mmdebstrap >/dev/null || { echo "runtime: mmdebstrap is missing (scripts/deps.sh installs it)" >&2; exit 1; }
  echo "runtime: building the Debian $suite root with Wine in $root (about a minute)..."
  local fresh=$root.new
  $sudo rm -rf "$fresh"
  $sudo mkdir -p "$(dirname "$root")"
  $sudo mmdebstrap --quiet --variant=apt --architectures=amd64,i386 --include="$packages" "$suite" "$fresh" "$(mirror)"
  # The 64-bit loader looks for the 32-bit PE DLLs beside its own, not where libwine:i386 puts them.
  $sudo cp -a --no-clobber "$fresh/usr/lib/i386-linux-gnu/wine/i386-windows/." "$fresh/usr/lib/x86_64-linux-gnu/wine/i386-windows/"
  echo "$recipe" | $sudo tee "$fresh/.larkspan-runtime" >/dev/null
  $sudo rm -rf "$root"
  $sudo mv "$fresh" "$root"
  complete || { echo "runtime: the root in $root is incomplete" >&2; exit 1; }
}

# A private mount namespace, so the mounts vanish with the last process that uses them.
run() {
  complete || { echo "runtime: no complete root in $root; run '$0 ensure'" >&2; exit 1; }
  $sudo mkdir -p "$root$top"
  exec $sudo unshare --mount --fork /bin/sh -ec '
    root=$1 top=$2 cwd=$3; shift 3
    mount --make-rprivate /
    mount -t proc proc "$root/proc"
    mount --rbind /dev "$root/dev"
    mount --bind "$top" "$root$top"
    exec chroot "$root" /bin/sh -c "cd \"\$0\" && exec \"\$@\"" "$cwd" "$@"
  ' sh "$root" "$top" "$PWD" "$@"
}

case "${1:-}" in
  ensure) ensure ;;
  run) shift; run "$@" ;;
  *) echo "usage: $0 ensure | run CMD [ARGS...]" >&2; exit 2 ;;
esac
