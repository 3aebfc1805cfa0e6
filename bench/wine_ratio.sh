#!/usr/bin/env bash
# How long one run takes for kestova.exe under Wine against the Linux program,
# on copies of the same two files: an update of 122,000 rows by default
# (SCALE 0.1). Each program runs in an Xvfb display of its own, its button is
# pressed, and the run is timed from the moment the main file goes into
# write-ahead mode (its -wal file appears) to the moment it is returned to its
# own mode (the -wal file is gone): the whole run, window repaints included,
# without the program's start. The two programs take turns, REPEAT times each;
# the medians and their ratio are printed.
#
#   bench/wine_ratio.sh KESTOVA KESTOVA_EXE KESTOVA_SAMPLE [SCALE] [REPEAT]
set -euo pipefail
linux=$(realpath "$1") exe=$(realpath "$2") sample=$3 scale=${4:-0.1} repeat=${5:-3}

root=$(mktemp -d /tmp/kestova-wine-ratio.XXXXXX)
xvfb_pid="" app_pid=""
cleanup() {
  [[ -n $app_pid ]] && kill "$app_pid" 2>/dev/null || true
  WINEPREFIX=$root/prefix wineserver -k 2>/dev/null || true
  [[ -n $xvfb_pid ]] && kill "$xvfb_pid" 2>/dev/null || true
  rm -rf "$root"
}
trap cleanup EXIT

display_file=$root/display
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$display_file" 2>/dev/null &
xvfb_pid=$!
for _ in $(seq 100); do [[ -s $display_file ]] && break; sleep 0.1; done
export DISPLAY=":$(head -n1 "$display_file")" WINEDEBUG=-all WINEPREFIX=$root/prefix \
  XDG_STATE_HOME=$root/state XDG_RUNTIME_DIR=$root
unset QT_QPA_PLATFORM
wineboot -i >/dev/null 2>&1

main="$WINEPREFIX/drive_c/Archivos de programa/Nevaro/Nevaro.mdb"
mkdir -p "$root/files" "$root/work" "$(dirname "$main")"
"$sample" --update "$root/work/Kestova.mdb" --main "$root/files/Nevaro.mdb" --scale "$scale" \
  --seed 11 >/dev/null
echo "wine_ratio: $(sqlcipher "$root/work/Kestova.mdb" "PRAGMA key='k7p.t4';" \
  "SELECT (SELECT count(*) FROM Marcas) + (SELECT count(*) FROM ValVehi1) + (SELECT count(*) FROM ValVehi2);") update rows"

now() { date +%s.%N; }
minus() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.2f\n", a - b}'; }
# run PROGRAM...: one run on a fresh copy of the main file; prints its seconds.
run() {
  cp "$root/files/Nevaro.mdb" "$main"
  (cd "$root/work" && exec "$@") >/dev/null 2>&1 &
  app_pid=$!
  local window
  window=$(timeout 60 xdotool search --sync --onlyvisible --name 'Actualizaci' | head -n1)
  # Pressed until the run starts: a window that has just appeared may not
  # take keys yet.
  until [[ -e $main-wal ]]; do
    xdotool windowfocus --sync "$window" key space
    for _ in $(seq 100); do [[ -e $main-wal ]] && break; sleep 0.005; done
  done
  local started
  started=$(now)
  while [[ -e $main-wal ]]; do sleep 0.005; done
  minus "$(now)" "$started"
  sleep 0.5
  xdotool windowfocus --sync "$window" key space
  wait "$app_pid" || true
  app_pid=""
}

median() { sort -g | awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }
for ((i = 1; i <= repeat; ++i)); do
  run "$linux" >>"$root/linux.times"
  run wine "$exe" >>"$root/wine.times"
  echo "wine_ratio: turn $i: Linux $(tail -n1 "$root/linux.times") s, Wine $(tail -n1 "$root/wine.times") s"
done
linux_median=$(median <"$root/linux.times")
wine_median=$(median <"$root/wine.times")
echo "wine_ratio: medians Linux $linux_median s, Wine $wine_median s, ratio Wine/Linux $(awk -v a="$wine_median" -v b="$linux_median" 'BEGIN {printf "%.2f", a / b}')"
