#!/usr/bin/env bash
# How long the window takes to be whole again after another window that
# covered it goes away: during a run, and during a wait for another program's
# lock. The real program in a real X window (Xvfb, no window manager), an
# xclock window put over it and closed; the explanatory text's area is then
# compared with how it looked before, every 20 ms, until it is the same.
#
#   bench/uncover.sh [BUILD_DIR] [SCALE]     defaults: build, 0.1
set -euo pipefail
build=$(realpath "${1:-build}")
scale=${2:-0.1}
root=$(mktemp -d /tmp/kestova-uncover.XXXXXX)
pids=()
trap 'kill "${pids[@]}" 2>/dev/null || true; rm -rf "$root"' EXIT

display_file=$root/display
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$display_file" 2>/dev/null &
pids+=($!)
for _ in $(seq 100); do [[ -s $display_file ]] && break; sleep 0.1; done
export DISPLAY=":$(head -n1 "$display_file")" XDG_RUNTIME_DIR=$root
unset QT_QPA_PLATFORM
export WINEPREFIX=$root/prefix
main="$WINEPREFIX/drive_c/Archivos de programa/Nevaro/Nevaro.mdb"

text_area() { import -window root -crop "300x50+$((x + 8))+$((y + 6))" "$1"; }
same() { [[ $(compare -metric AE "$1" "$2" null: 2>&1 || true) == 0 ]]; }

# CASE is "run" or "wait"; prints how long the text took to come back.
measure() {
  local case=$1
  rm -rf "$WINEPREFIX" "$root/work"
  mkdir -p "$(dirname "$main")" "$root/work"
  "$build/tools/sample/kestova-sample" --update "$root/work/Kestova.mdb" --main "$main" \
    --scale "$scale" >/dev/null
  (cd "$root/work" && exec "$build/app/kestova") 2>/dev/null &
  local app=$!
  pids+=("$app")
  local window
  window=$(xdotool search --sync --onlyvisible --name 'Actualizaci' | head -n1)
  sleep 1
  eval "$(xdotool getwindowgeometry --shell "$window")"
  x=$X y=$Y
  text_area "$root/before.png"
  if [[ $case == wait ]]; then
    # Another program holds the write lock for 8 s.
    printf "PRAGMA key='k7p.t4';\nBEGIN EXCLUSIVE;\nSELECT count(*) FROM RNAMarMod;\n.shell sleep 8\nCOMMIT;\n" |
      sqlcipher "$main" >/dev/null &
    pids+=($!)
    sleep 0.5
  fi
  xdotool mousemove --window "$window" 160 114 click 1
  sleep 0.5
  xclock -geometry "330x150+$((x - 5))+$((y - 5))" 2>/dev/null &
  local cover=$!
  sleep 0.5
  kill "$cover"
  local started=$EPOCHREALTIME whole=""
  while [[ -z $whole ]] && (($(echo "$EPOCHREALTIME - $started < 5" | bc))); do
    text_area "$root/after.png"
    same "$root/before.png" "$root/after.png" && whole=$EPOCHREALTIME
    sleep 0.02
  done
  if [[ -n $whole ]]; then
    printf '%s: whole again %.0f ms after it was uncovered\n' "$case" \
      "$(echo "($whole - $started) * 1000" | bc)"
  else
    echo "$case: still not whole 5 s after it was uncovered"
  fi
  kill "$app" 2>/dev/null || true
  wait "$app" 2>/dev/null || true
}

measure run
measure wait
