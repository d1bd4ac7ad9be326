#!/usr/bin/env bash
# The Windows executable end to end under Wine, in a throw-away prefix, against the sample
# service on loopback: the registry seeded with 'wine reg add', the update installed and verified,
# 'wine reg query' showing the new version, the log written under the prefix's APPDATA.
#   wine_test.sh SOURCE_ROOT VEXL_PUBLISH EXE
set -euo pipefail
root="$1" publish="$2" exe="$3"
work="$(mktemp -d)"
export WINEPREFIX="$work/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" DISPLAY=
# Wine's own loader for the executable's word size.
if head -c 4096 "$exe" | grep -qa $'PE\0\0d\x86'; then
    export WINELOADER=/usr/lib/wine/wine64 WINESERVER=/usr/lib/wine/wineserver64
else
    export WINELOADER=/usr/lib/wine/wine WINESERVER=/usr/lib/wine/wineserver32
fi
wine() { "$WINELOADER" "$@"; }
cleanup() {
    "$WINESERVER" -k 2>/dev/null || true
    "$root/scripts/service" stop "$work/nginx"
    rm -rf "$work"
}
trap cleanup EXIT
source "$(dirname "$0")/checks.sh"

"$root/scripts/sample-setup" "$work" "$publish"
"$root/scripts/service" start "$work/service" "$work/nginx"
wine wineboot -i >/dev/null 2>&1
uninstall='HKLM\SOFTWARE\WOW6432Node\Microsoft\Windows\CurrentVersion\Uninstall\{1E6F9A42-C35D-4B87-9F02-7A4C8B13E6D0}'
wine reg add "$uninstall" /v DisplayVersion /d 1.1.0 /f >/dev/null 2>&1
wine reg add 'HKCU\Software\Sample Simulator\P3D' /v AppPath /d 'C:\vexl\simulator' /f >/dev/null 2>&1
simulator="$WINEPREFIX/drive_c/vexl/simulator"
mkdir -p "$simulator" && cp -r "$work/simulator/." "$simulator/"

code=0
wine "$exe" >"$work/console.txt" 2>"$work/progress.txt" || code=$?
check "exit code 0" test "$code" -eq 0
new="$work/releases/3/1.2.0"
for f in "VEXL 744/aircraft.cfg" "VEXL 744/Model/744.mdl" "VEXL 744/Sound Pack/engines.wav"; do
    check "installed $f has the new digest" cmp -s "$simulator/$f" "$new/$f"
done
check "wine reg query shows the new version" \
    bash -c "'$WINELOADER' reg query '$uninstall' /v DisplayVersion 2>/dev/null | grep -q '1\.2\.0'"
log="$(find "$WINEPREFIX/drive_c/users" -path '*VEXL Hangar/Updater/vexl_updater_log.txt' | head -1)"
check "the log is under the prefix's APPDATA" test -n "$log"
check "the log ends with Done." bash -c "tail -n 1 '$log' | tr -d '\r' | grep -q 'Done\.$'"
check "log lines end in CR LF" bash -c "head -n 1 '$log' | grep -q $'\r$'"
backup="$(dirname "$log")/744 Queen of the Skies/P3D/Backup/744/P3D/VEXL 744/aircraft.cfg"
check "the backup holds the old bytes" cmp -s "$backup" "$work/releases/3/1.1.0/VEXL 744/aircraft.cfg"

[ "$failures" -eq 0 ] || tr -d "\r" <"$work/console.txt"
report wine
