#!/usr/bin/env bash
# The program as a person runs it: the built kestova in a real X window under
# Xvfb, with sample databases where it looks for them, "Comenzar" double-clicked
# and then "Salir" pressed with xdotool. Passes when the program exits with
# status 0, the main database holds every key of the update with the update's
# values, nothing is left beside it, the update file is unchanged and no warning
# was shown. Then once more without the main database: the real window shows
# one warning, in Spanish down to Qt's own buttons.
#
#   end_to_end.sh KESTOVA KESTOVA_SAMPLE CLICK_THROUGH OUTDIR
set -euo pipefail
kestova=$1 sample=$2 click_through=$3 out=$4

root=$(mktemp -d /tmp/kestova-e2e.XXXXXX)
trap 'rm -rf "$root"' EXIT
export WINEPREFIX=$root/prefix XDG_STATE_HOME=$root/state
main="$WINEPREFIX/drive_c/Archivos de programa/Nevaro/Nevaro.mdb"
update=$root/work/Kestova.mdb
mkdir -p "$(dirname "$main")" "$root/work"
"$sample" --update "$update" --main "$main" --scale 0.005 --seed 11 >/dev/null
update_sum=$(sha256sum <"$update")

rm -rf "$out"
"$click_through" "$kestova" "$root/work" "$out"

query() { sqlcipher "$main" "PRAGMA key='k7p.t4';" "ATTACH DATABASE '$update' AS u KEY 'k7p.t4';" "$1"; }
fail() { echo "end_to_end: $*" >&2; exit 1; }

# Every update row's values are in the main table under its key, unless a
# later update row has the same key.
missing=$(query "SELECT count(*) FROM u.ValVehi2 v WHERE NOT EXISTS (
  SELECT 1 FROM u.ValVehi2 w WHERE w.rowid > v.rowid AND w.Anioimp = v.Anioimp AND w.Tipo = v.Tipo
    AND w.CodMar = v.CodMar AND w.CodMod = v.CodMod AND w.Modanio = v.Modanio)
  AND NOT EXISTS (SELECT 1 FROM RNAValVehi2 r WHERE r.AnioImpuesto = v.Anioimp AND r.Tipo = v.Tipo
    AND r.CodMar = v.CodMar AND r.CodMod = v.CodMod AND r.ModAnio = v.Modanio
    AND r.Importe IS v.Importe AND r.Alicuota IS v.Alicuota AND r.DispTipo IS v.DispTipo
    AND r.DispNro IS v.DispNro AND r.DispAnio IS v.DispAnio);")
[[ $missing == 0 ]] || fail "$missing ValVehi2 rows are not in RNAValVehi2"
missing=$(query "SELECT count(*) FROM u.Marcas m WHERE NOT EXISTS (
  SELECT 1 FROM RNAMarMod r WHERE r.CodMar = m.CodMar AND r.CodMod = m.CodMod);")
[[ $missing == 0 ]] || fail "$missing Marcas keys are not in RNAMarMod"
[[ $(query "PRAGMA integrity_check;") == ok ]] || fail "integrity check"
[[ $(ls -A "$(dirname "$main")") == Nevaro.mdb ]] || fail "a file was left beside the main database"
[[ -z $(ls -A "$XDG_STATE_HOME/kestova") ]] || fail "the note of the journal mode was left"
[[ $(sha256sum <"$update") == "$update_sum" ]] || fail "the update file changed"
[[ -s $out/before.png && -s $out/after.png ]] || fail "no screenshots"
cmp -s "$out/before.png" "$out/after.png" && fail "the window did not change"
[[ ! -e $out/warning.txt ]] || fail "a clean run showed a warning: $(<"$out/warning.txt")"

# No main database: the warning says where it was looked for, with the buttons
# of Qt's Spanish translation, as the real window's Ctrl+C copies it.
export WINEPREFIX=$root/missing/prefix
mkdir -p "$WINEPREFIX/drive_c" "$root/missing/work"
cp "$update" "$root/missing/work/Kestova.mdb"
"$click_through" "$kestova" "$root/missing/work" "$out/missing"
[[ -s $out/missing/warning.png && -s $out/missing/warning.txt ]] || fail "no warning was shown"
warning=$(<"$out/missing/warning.txt")
for expected in "No se encontró la base de datos de Nevaro. Se buscó en:" \
    "$WINEPREFIX/drive_c/Archivos de programa/Nevaro/Nevaro.mdb" \
    "Aceptar   Mostrar detalles…" "el archivo no existe"; do
  [[ $warning == *"$expected"* ]] || fail "the warning does not say \"$expected\": $warning"
done
echo "end_to_end: passed; screenshots $out/before.png, $out/after.png and $out/missing/warning.png"
