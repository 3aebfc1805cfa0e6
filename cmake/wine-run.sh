#!/bin/sh
# Runs a Windows program of the build under Wine, for CTest and GoogleTest's
# discovery: in the build's own Windows prefix (made at its first use),
# quiet, with Wine's server kept running for a minute after the last program
# ends, since starting it again costs each program seconds.
#
#   wine-run.sh PREFIX PROGRAM [ARGUMENT...]
export WINEPREFIX="$1" WINEDEBUG=-all
shift
# The first program makes the prefix; the others wait for it.
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  mkdir -p "$(dirname "$WINEPREFIX")"
  flock "$WINEPREFIX.lock" sh -c '[ -f "$WINEPREFIX/system.reg" ] || wineboot -i >/dev/null 2>&1'
fi
wineserver -p60 2>/dev/null
exec wine "$@"
