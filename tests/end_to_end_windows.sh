#!/usr/bin/env bash
# kestova.exe as a person runs it on Windows, under Wine in an Xvfb display:
# Nevaro.mdb at C:\Archivos de programa\Nevaro inside the Wine prefix,
# Kestova.mdb in the folder it is started from, "Comenzar" pressed from the
# keyboard, and "Salir" awaited on the button. Passes when the main file's
# three tables then hold exactly the rows, values and row ids, that the Linux
# program makes of the same two files, nothing is left beside the main file
# or of the note, no warning was shown and "Salir" ends the program with
# status 0. Then once more without the main file: one warning, a task dialog
# in Spanish whose main text says where the file was looked for.
#
#   end_to_end_windows.sh KESTOVA_EXE WINDOW_TEXTS_EXE KESTOVA KESTOVA_SAMPLE CLICK_THROUGH OUTDIR
set -euo pipefail
exe=$1 texts=$2 linux=$3 sample=$4 click_through=$5 out=$6

root=$(mktemp -d /tmp/kestova-e2e-windows.XXXXXX)
xvfb_pid="" app_pid=""
cleanup() {
  [[ -n $app_pid ]] && kill "$app_pid" 2>/dev/null || true
  wineserver -k 2>/dev/null || true
  [[ -n $xvfb_pid ]] && kill "$xvfb_pid" 2>/dev/null || true
  rm -rf "$root"
}
trap cleanup EXIT
fail() { echo "end_to_end_windows: $*" >&2; exit 1; }
rm -rf "$out"
mkdir -p "$out"

# Both programs start from the same two files.
main_path="drive_c/Archivos de programa/Nevaro/Nevaro.mdb"
mkdir -p "$root/files" "$root/linux/work" "$root/windows/work"
"$sample" --update "$root/files/Kestova.mdb" --main "$root/files/Nevaro.mdb" --scale 0.005 --seed 11 >/dev/null
for side in linux windows; do
  mkdir -p "$(dirname "$root/$side/prefix/$main_path")"
  cp "$root/files/Nevaro.mdb" "$root/$side/prefix/$main_path"
  cp "$root/files/Kestova.mdb" "$root/$side/work/Kestova.mdb"
done
WINEPREFIX=$root/linux/prefix XDG_STATE_HOME=$root/linux/state \
  "$click_through" "$linux" "$root/linux/work" "$out/linux" >/dev/null

display_file=$root/display
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$display_file" 2>/dev/null &
xvfb_pid=$!
for _ in $(seq 100); do [[ -s $display_file ]] && break; sleep 0.1; done
[[ -s $display_file ]] || fail "Xvfb did not start"
export DISPLAY=":$(head -n1 "$display_file")" WINEDEBUG=-all WINEPREFIX=$root/windows/prefix
wineboot -i >/dev/null 2>&1

title="Actualización de Valuaciones"
shown() { wine "$texts" "$title" 2>/dev/null | tr -d '\r'; }
await() {  # await SECONDS TEXT: until some window shows TEXT
  local deadline=$((SECONDS + $1))
  until shown | grep -qF -- "$2"; do ((SECONDS < deadline)) || return 1; sleep 0.3; done
}
start() {
  (cd "$1" && exec wine "$exe") &
  app_pid=$!
  window=$(timeout 60 xdotool search --sync --onlyvisible --name 'Actualizaci' | head -n1) ||
    fail "no window within 60 s"
  await 30 "Button: Comenzar" || fail "no Comenzar button"
}
press() { xdotool windowfocus --sync "$1" key "$2"; }
ended() {
  for _ in $(seq 100); do kill -0 "$app_pid" 2>/dev/null || break; sleep 0.1; done
  kill -0 "$app_pid" 2>/dev/null && fail "$1 did not end the program"
  local status=0
  wait "$app_pid" || status=$?
  app_pid=""
  [[ $status == 0 ]] || fail "kestova.exe exited with status $status"
}

start "$root/windows/work"
import -window "$window" "$out/before.png"
press "$window" space
await 300 "Button: Salir" || fail "the button never read Salir: $(shown)"
[[ $(shown | grep -c '^[^ ]') == 1 ]] || fail "a clean run showed a warning: $(shown)"
import -window "$window" "$out/after.png"
press "$window" space
ended "Salir"

query() { sqlcipher "$1" "PRAGMA key='k7p.t4';" "$2"; }
for table in RNAMarMod RNAValVehi1 RNAValVehi2; do
  select="SELECT rowid, * FROM $table ORDER BY rowid;"
  cmp -s <(query "$root/linux/prefix/$main_path" "$select") \
    <(query "$root/windows/prefix/$main_path" "$select") ||
    fail "$table differs from what the Linux program made"
done
[[ $(query "$root/windows/prefix/$main_path" "PRAGMA integrity_check;") == ok ]] || fail "integrity check"
[[ $(ls -A "$(dirname "$root/windows/prefix/$main_path")") == Nevaro.mdb ]] ||
  fail "a file was left beside the main file"
notes=$(find "$WINEPREFIX/drive_c/users" -path '*Kestova*' -type f | head -n1)
[[ -z $notes ]] || fail "the note of the journal mode was left: $notes"

# No main file: one warning, in Spanish, that says where it was looked for.
rm "$root/windows/prefix/$main_path"
start "$root/windows/work"
press "$window" space
await 60 "Aceptar" || fail "no warning was shown: $(shown)"
sleep 1
shown >"$out/warning.txt"
warning=$(xdotool search --onlyvisible --name 'Actualizaci' | grep -vx "$window" | head -n1)
import -window "$warning" "$out/warning.png"
for expected in "No se encontró la base de datos de Nevaro. Se buscó en" \
    'C:\Archivos de programa\Nevaro\Nevaro.mdb' "Mostrar detalles…"; do
  grep -qF -- "$expected" "$out/warning.txt" || fail "the warning does not say \"$expected\": $(shown)"
done
press "$warning" Return
await 30 "Button: Salir" || fail "the button never read Salir after the warning"
press "$window" space
ended "Salir after the warning"
echo "end_to_end_windows: passed; screenshots in $out"
