#!/usr/bin/env bash
# The Windows executable end to end under Wine, against the sample service on loopback. The
# sample release, plus names beyond ASCII and a path of more than 300 characters, published by
# this machine's vexl-publish; the registry imported with 'wine regedit' (an AppPath with characters of
# the ANSI code page, and the user's APPDATA in a folder named beyond ASCII). The update is checked
# file by file by its name on the Unix side of drive C, and with 'wine reg query'. It runs in a
# throw-away prefix of its own, since it changes the user's environment. Then the build with an
# https root, trusting the test authority, against the service over TLS: Wine's TLS service does
# not check certificates by itself, so this shows that the program's own check refuses the others.
#   wine_test.sh SOURCE_ROOT VEXL_PUBLISH EXE SERVICE_ROOT_URL HTTPS_EXE HTTPS_ROOT_URL CA_FOLDER
set -euo pipefail
root="$1" publish="$2" exe="$3" url="$4" https_exe="$5" https_url="$6" ca="$7"
port="${url##*:}" port="${port%%/*}"
work="$(mktemp -d)"
# Unix names, arguments and environment reach Wine as UTF-8.
export LC_ALL=C.UTF-8
export WINEPREFIX="$work/prefix"
unset WINESERVER
wine() { "$root/scripts/wine-run" --like "$exe" "$@"; }
cleanup() {
    "$root/scripts/wine-run" --stop "$exe" 2>/dev/null || true
    "$root/scripts/service" stop "$work/nginx"
    "$root/scripts/service" stop "$work/nginx-tls"
    rm -rf "$work"
}
trap cleanup EXIT
source "$(dirname "$0")/checks.sh"
mkdir -p "$WINEPREFIX"
"$root/scripts/wine-run" --serve "$exe" >/dev/null 2>&1
wine wineboot -i >/dev/null 2>&1

"$root/scripts/sample-setup" "$work" "$publish" >/dev/null
new="$work/releases/3/1.2.0"
sizes="VEXL 744/Größe Überblick.txt"
japanese="VEXL 744/日本語.dds"
deep="VEXL 744"
for level in 1 2 3 4 5 6; do
    deep="$deep/Folder $level of a path longer than Windows' classic limit"
done
deep="$deep/deep.bin"
printf 'sizes\n' >"$new/$sizes"
printf 'texture' >"$new/$japanese"
mkdir -p "$(dirname "$new/$deep")" && printf 'deep' >"$new/$deep"
"$publish" "$work/releases" "$work/service" >/dev/null
"$root/scripts/service" start "$work/service" "$work/nginx" "$port"

uninstall='SOFTWARE\WOW6432Node\Microsoft\Windows\CurrentVersion\Uninstall\{1E6F9A42-C35D-4B87-9F02-7A4C8B13E6D0}'
printf '%s\r\n' 'Windows Registry Editor Version 5.00' '' "[HKEY_LOCAL_MACHINE\\$uninstall]" \
    '"DisplayVersion"="1.1.0"' '' '[HKEY_CURRENT_USER\Software\Sample Simulator\P3D]' \
    "\"AppPath\"=\"C:\\\\Sims\\\\Zoë's P3D\\\\\"" '' '[HKEY_CURRENT_USER\Volatile Environment]' \
    '"APPDATA"="C:\\users\\Zoë Größe\\AppData\\Roaming"' |
    iconv -f UTF-8 -t UTF-16 >"$work/seed.reg"
wine regedit /s "Z:$work/seed.reg" 2>/dev/null
simulator="$WINEPREFIX/drive_c/Sims/Zoë's P3D"
mkdir -p "$simulator" && cp -r "$work/releases/3/1.1.0/." "$simulator/"
appdata="$WINEPREFIX/drive_c/users/Zoë Größe/AppData/Roaming"

code=0
wine "$exe" >"$work/console.txt" 2>"$work/progress.txt" || code=$?
check "exit code 0" test "$code" -eq 0
for f in "VEXL 744/aircraft.cfg" "VEXL 744/Model/744.mdl" "VEXL 744/Sound Pack/engines.wav" \
    "$sizes" "$japanese" "$deep"; do
    label="$f"
    [ "$f" != "$deep" ] || label="the file under a path of $((${#deep} + 19)) characters"
    check "installed $label by its name" cmp -s "$simulator/$f" "$new/$f"
done
check "wine reg query shows the new version" \
    bash -c "'$root/scripts/wine-run' --like '$exe' reg query 'HKLM\\$uninstall' /v DisplayVersion \
        2>/dev/null | grep -q '1\.2\.0'"
log="$appdata/VEXL/VEXL Hangar/Updater/vexl_updater_log.txt"
check "the log is under the APPDATA named beyond ASCII" test -f "$log"
check "the log names a file in UTF-8" \
    grep -qF "Integrity OK: C:\\Sims\\Zoë's P3D\\VEXL 744\\Größe Überblick.txt" "$log"
check "the log ends with Done." bash -c "tail -n 1 '$log' | tr -d '\r' | grep -q 'Done\.$'"
check "log lines end in CR LF" bash -c "head -n 1 '$log' | grep -q $'\r$'"
backup="$(dirname "$log")/744 Queen of the Skies/P3D/Backup/744/P3D/VEXL 744/aircraft.cfg"
check "the backup holds the old bytes" cmp -s "$backup" "$work/releases/3/1.1.0/VEXL 744/aircraft.cfg"

[ "$failures" -eq 0 ] || tr -d "\r" <"$work/console.txt"

# run_https CERTIFICATE: the https build against the service with that certificate, from 1.1.0.
https_port="${https_url##*:}" https_port="${https_port%%/*}"
run_https() {
    "$root/scripts/service" stop "$work/nginx-tls"
    "$root/scripts/service" start "$work/service" "$work/nginx-tls" "$https_port" \
        "$ca/$1.pem" "$ca/$1.key"
    wine reg add "HKLM\\$uninstall" /v DisplayVersion /d 1.1.0 /f >/dev/null 2>&1
    local code=0
    wine "$https_exe" >/dev/null 2>&1 || code=$?
    echo "$code"
}
failed_get="[VEXL 2] Failed to get ${https_url}products/P3D/744/1.json, "
for refused in other wrong-host expired; do
    check "https, $refused certificate: exit code 2" test "$(run_https "$refused")" -eq 2
    check "https, $refused certificate: the log says so" \
        bash -c "tail -n 2 '$log' | head -n 1 | cut -c21- | grep -qF '$failed_get'"
    echo "   libcurl's reason: $(tail -n 2 "$log" | head -n 1 | tr -d '\r' | sed 's/.*, //')"
done
check "https, a certificate of the trusted authority: exit code 0" test "$(run_https server)" -eq 0
check "https: the new version is recorded" \
    bash -c "'$root/scripts/wine-run' --like '$exe' reg query 'HKLM\\$uninstall' /v DisplayVersion \
        2>/dev/null | grep -q '1\.2\.0'"
[ "$failures" -eq 0 ] || tail -n 8 "$log" | tr -d "\r"
report wine
