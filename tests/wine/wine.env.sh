# Environment for Wine 10 in a session's own prefix, whose WoW64 mode runs the 32-bit programs; sourced with $state set.
WINE=/usr/lib/wine/wine64
WINESERVER=/usr/lib/wine/wineserver
export WINEPREFIX="$state/prefix"
export WINEDEBUG=-all
# No Mono or Gecko: nothing here needs them, and their installers would prompt.
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEARCH=win64
