#!/bin/sh
# Runs a Windows program of the build under Wine, for CTest and GoogleTest's
# discovery: in the build's own Windows prefix (made at its first use),
# quiet, with Wine's server kept running for a minute after the last program
# ends, since starting it again costs each program seconds.
#
# A program that shows windows on a display of its own (--display) needs
# Wine's desktop on that display: the server is started afresh for it, and
# ends with it.
#
#   wine-run.sh [--display] PREFIX PROGRAM [ARGUMENT...]
display=false
if [ "$1" = --display ]; then display=true; shift; fi
export WINEPREFIX="$1" WINEDEBUG=-all
shift
mkdir -p "$(dirname "$WINEPREFIX")"
flock "$WINEPREFIX.lock" sh -c '[ -f "$WINEPREFIX/system.reg" ] || { wineboot -i; wineserver -w; }' \
  </dev/null >/dev/null 2>&1
if $display; then
  wineserver -k 2>/dev/null
  wineserver -w
else
  wineserver -p60 </dev/null >/dev/null 2>&1
fi
# Wine's own background programs, started with the first program, inherit its
# output and keep it open past its end, and CMake waits for that end: the
# output goes through a file, shown once the program has ended.
output=$(mktemp)
trap 'rm -f "$output"' EXIT
status=0
wine "$@" >"$output" 2>&1 || status=$?
cat "$output"
exit "$status"
