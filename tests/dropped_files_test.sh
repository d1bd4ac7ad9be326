#!/usr/bin/env bash
# A maker's release that drops files, end to end over the sample service: releases 1.0.0, 1.1.0
# and 2.0.0 of one product, where 2.0.0 drops 50 old gauges, renames effects\fx_old.fx to
# fx_new.fx, drops sound\old_engine.wav and changes a few bytes of its 1 MiB model, which then
# travels as a patch. A simulator folder at 1.0.0, in which the user changed
# one of the dropped gauges, is updated by the built vexl-updater and must then hold exactly
# release 2.0.0 and the user's gauge; the updater folder keeps the backups and no downloads.
#   dropped_files_test.sh SOURCE_ROOT VEXL_PUBLISH VEXL_UPDATER SERVICE_ROOT_URL
set -euo pipefail
root="$1" publish="$2" updater="$3" url="$4"
source "$(dirname "$0")/checks.sh"
service_sandbox

releases="$work/releases"
r100="$releases/3/1.0.0/VEXL 744" r110="$releases/3/1.1.0/VEXL 744"
r200="$releases/3/2.0.0/VEXL 744"
for release in "$r100" "$r110" "$r200"; do
    mkdir -p "$release/Gauges" "$release/effects" "$release/sound" "$release/Model"
done
cat >"$releases/products.json" <<'JSON'
[{"ProductID": 3, "ProdName": "744 Queen of the Skies", "Simulator": "P3D",
  "VEXLFolderValue": "VEXL 744", "RegistryKey": "Software\\Sample Simulator\\P3D",
  "MinVersion": "1.0.0", "Catalogue": {"Simulator": "P3D", "Aircraft": "744", "Pair": 1}}]
JSON
for i in $(seq -w 1 60); do
    printf 'gauge %s\n' "$i" >"$r100/Gauges/gauge_$i.gau"
done
printf 'effect\n' >"$r100/effects/fx_old.fx"
head -c 200K /dev/urandom >"$r100/sound/old_engine.wav"
head -c 300K /dev/urandom >"$r100/sound/engine.wav"
head -c 1M /dev/urandom >"$r100/Model/744.mdl"
printf 'version=1.0.0\n' >"$r100/aircraft.cfg"
cp -r "$r100/." "$r110/"
printf 'version=1.1.0\n' >"$r110/aircraft.cfg"
printf 'gauge 61\n' >"$r110/Gauges/gauge_61.gau" # added in 1.1.0 and dropped again in 2.0.0
cp -r "$r100/." "$r200/"
printf 'version=2.0.0\n' >"$r200/aircraft.cfg"
printf 'gauge 51, mended\n' >"$r200/Gauges/gauge_51.gau"
rm "$r200"/Gauges/gauge_0[1-9].gau "$r200"/Gauges/gauge_[1-4]?.gau "$r200/Gauges/gauge_50.gau"
mv "$r200/effects/fx_old.fx" "$r200/effects/fx_new.fx"
rm "$r200/sound/old_engine.wav"
head -c 100K /dev/urandom >"$r200/sound/new_engine.wav"
printf 'MODEL 2.0.0' | dd of="$r200/Model/744.mdl" bs=1 seek=4096 conv=notrunc status=none
"$publish" "$releases" "$work/service" >/dev/null

simulator="$work/simulator"
mkdir -p "$simulator"
cp -r "$releases/3/1.0.0/." "$simulator/"
printf 'gauge 07, tuned by the user\n' >"$simulator/VEXL 744/Gauges/gauge_07.gau"
cat >"$work/registry.reg" <<REG
Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\\SOFTWARE\\WOW6432Node\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\{1E6F9A42-C35D-4B87-9F02-7A4C8B13E6D0}]
"DisplayVersion"="1.0.0"

[HKEY_CURRENT_USER\\Software\\Sample Simulator\\P3D]
"AppPath"="$simulator"
REG
serve "$work/service"

run_updater() {
    APPDATA="$work/appdata" VEXL_REGISTRY="$work/registry.reg" "$updater" >>"$work/console.txt" 2>&1
}
code=0
run_updater || code=$?
downloads="$work/appdata/VEXL/VEXL Hangar/Updater/744 Queen of the Skies/P3D"
backup="$downloads/Backup/744/P3D"
log="$work/appdata/VEXL/VEXL Hangar/Updater/vexl_updater_log.txt"
logged() { cut -c21- "$log"; }

check "exit code 0" test "$code" -eq 0
check "the registry names 2.0.0" grep -q '^"DisplayVersion"="2.0.0"' "$work/registry.reg"
mkdir -p "$work/expected"
cp -r "$releases/3/2.0.0/." "$work/expected/"
cp "$simulator/VEXL 744/Gauges/gauge_07.gau" "$work/expected/VEXL 744/Gauges/"
check "the simulator holds exactly release 2.0.0 and the gauge the user changed" \
    diff -r "$work/expected" "$simulator"
{
    for i in $(seq -w 1 50); do
        [ "$i" = 07 ] || printf '[VEXL 1] Removed VEXL 744\\Gauges\\gauge_%s.gau (kept in the backup folder)\n' "$i"
    done
    printf '[VEXL 1] Removed VEXL 744\\effects\\fx_old.fx (kept in the backup folder)\n'
    printf '[VEXL 1] Removed VEXL 744\\sound\\old_engine.wav (kept in the backup folder)\n'
} | sort >"$work/removed.expected"
check "51 files are logged as removed" \
    cmp -s "$work/removed.expected" <(logged | grep '^\[VEXL 1\] Removed ' | sort)
check "the model is built from a patch of the installed copy" \
    grep -qE '^\[VEXL 1\] VEXL 744\\Model\\744\.mdl built from a patch of the installed copy \([0-9]{2,4} of 1048576 bytes\)\.$' \
    <(logged)
check "the changed gauge is logged as kept" test "$(logged | grep 'Kept ')" = \
    '[VEXL 1] Kept VEXL 744\Gauges\gauge_07.gau: it was changed after it was installed'
backed_up_as_released() {
    for i in $(seq -w 1 50); do
        [ "$i" = 07 ] || cmp -s "$r100/Gauges/gauge_$i.gau" "$backup/VEXL 744/Gauges/gauge_$i.gau" ||
            return 1
    done
    cmp -s "$r100/effects/fx_old.fx" "$backup/VEXL 744/effects/fx_old.fx" &&
        cmp -s "$r100/sound/old_engine.wav" "$backup/VEXL 744/sound/old_engine.wav"
}
check "every removed file is in the backup folder as released" backed_up_as_released
check "the user's gauge is not in the backup folder" test ! -e "$backup/VEXL 744/Gauges/gauge_07.gau"
check "the replaced aircraft.cfg is in the backup folder" \
    cmp -s "$r100/aircraft.cfg" "$backup/VEXL 744/aircraft.cfg"
check "the download folder holds no copies, only the backups and the last update's journal" \
    test "$(ls -A "$downloads" | tr '\n' ' ')" = "Backup vexl_update_journal.json "

run_updater
check "a second run has nothing to do" \
    test "$(logged | grep -c 'No need to update')" -eq 1 -a "$(logged | grep -c 'Removed ')" -eq 51
check "the second run leaves the simulator alone" diff -r "$work/expected" "$simulator"

report "dropped files"
