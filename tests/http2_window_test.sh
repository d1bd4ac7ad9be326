#!/usr/bin/env bash
# A product of 40 files over HTTPS with HTTP/2, each answer slowed down by nginx so that the
# download phase holds its whole window of transfers open at once. The log reads exactly as one
# download after the other would have written it, every request of the run went over one HTTP/2
# connection, and the answers open at once (from nginx's start and end times) reached 32 and never
# more. Ends with 77 (skipped) where nginx was built without HTTP/2.
#   http2_window_test.sh SOURCE_ROOT VEXL_PUBLISH VEXL_UPDATER_HTTPS HTTPS_ROOT_URL CA_FOLDER
set -euo pipefail
root="$1" publish="$2" updater="$3" url="$4" ca="$5"
source "$(dirname "$0")/checks.sh"
nginx_bin="$(command -v nginx || echo /usr/sbin/nginx)"
if ! "$nginx_bin" -V 2>&1 | grep -q -- --with-http_v2_module; then
    echo "skipped: $nginx_bin was built without HTTP/2 (--with-http_v2_module)"
    exit 77
fi
service_sandbox
files=40 window=32

# Release 1.0.0 holds one file, 1.1.0 drops it and brings $files files of 256 KiB.
releases="$work/releases"
mkdir -p "$releases/7/1.0.0/VEXL" "$releases/7/1.1.0/VEXL"
cat >"$releases/products.json" <<'JSON'
[{"ProductID": 7, "ProdName": "Window", "Simulator": "P3D", "VEXLFolderValue": "VEXL",
  "RegistryKey": "Software\\Window Sim", "MinVersion": "1.0.0",
  "Catalogue": {"Simulator": "P3D", "Aircraft": "744", "Pair": 1}}]
JSON
echo old >"$releases/7/1.0.0/VEXL/old.bin"
head -c $((files * 262144)) /dev/urandom | split -b 262144 -a 2 -d - "$releases/7/1.1.0/VEXL/f"
"$publish" "$releases" "$work/service" >/dev/null

# The sample service's configuration over TLS and HTTP/2; each answer at 128 KiB/s (2 s a file),
# and the log line of each request ending in its end time and its duration.
mkdir -p "$work/nginx"
sed -e "s|@ROOT@|$work/service|g" -e "s|@PORT@|$port|g" -e "s|@RUN@|$work/nginx|g" \
    -e "s|@USER@|$(id -un)|g" \
    -e "s|listen 127.0.0.1:$port;|listen 127.0.0.1:$port ssl http2; ssl_certificate $ca/server.pem; ssl_certificate_key $ca/server.key;|" \
    -e "s|'\$server_protocol';|'\$server_protocol \$msec \$request_time';|" \
    -e "s|add_header Cache-Control max-age=300;|add_header Cache-Control max-age=300; limit_rate 128k;|" \
    "$root/service/nginx.conf" >"$work/nginx/nginx.conf"
"$nginx_bin" -p "$work/nginx" -c "$work/nginx/nginx.conf" -e "$work/nginx/error.log"
for _ in $(seq 100); do
    curl -s -o /dev/null --cacert "$ca/ca.pem" "$url" && break
    sleep 0.05
done

mkdir -p "$work/sim"
cp -r "$releases/7/1.0.0/VEXL" "$work/sim/"
printf '%s\n' 'Windows Registry Editor Version 5.00' '' \
    '[HKEY_LOCAL_MACHINE\SOFTWARE\WOW6432Node\Microsoft\Windows\CurrentVersion\Uninstall\{1E6F9A42-C35D-4B87-9F02-7A4C8B13E6D0}]' \
    '"DisplayVersion"="1.0.0"' '' '[HKEY_CURRENT_USER\Software\Window Sim]' \
    "\"AppPath\"=\"$work/sim\"" >"$work/registry.reg"
code=0
APPDATA="$work/appdata" VEXL_REGISTRY="$work/registry.reg" "$updater" >/dev/null 2>&1 || code=$?
check "the run updates" test "$code" -eq 0
check "the registry names the new version" grep -q '^"DisplayVersion"="1.1.0"' "$work/registry.reg"

# The download phase's lines without their times, against those of one download after the other.
log="$work/appdata/VEXL/VEXL Hangar/Updater/vexl_updater_log.txt"
sed -n "/\*\*\* Downloading file 1 of $files \*\*\*/,/\*\*\* Copy file 1 of $files \*\*\*/p" "$log" |
    cut -c21- | sed '$d' >"$work/phase.txt"
for i in $(seq "$files"); do
    printf '[VEXL 1] *** Downloading file %s of %s ***\n' "$i" "$files"
    printf '[VEXL 1] VEXL\\f%02d downloading.\n' $((i - 1))
    echo '[VEXL 1] Progress:'
    printf '[VEXL 1] File %s of %s downloaded, passed integrity check.\n' "$i" "$files"
done >"$work/expected.txt"
check "the download lines are those of one download after the other" \
    diff "$work/expected.txt" "$work/phase.txt"

# Fields from the end of nginx's line: connection, protocol, end time, duration.
requests() { awk -F'"' '$6 ~ /^vexl-updater/ { print $2, $7 }' "$work/nginx/access.log"; }
check "every file was asked for once" \
    test "$(requests | grep -c ' /files/P3D/744/1/VEXL/f[0-9]* ')" -eq "$files"
check "one connection carried the whole run" \
    test "$(requests | awk '{ print $(NF - 3) }' | sort -u | wc -l)" -eq 1
check "every request came over HTTP/2" \
    test "$(requests | awk '{ print $(NF - 2) }' | sort -u)" = HTTP/2.0
# The most answers open at one moment: each opens at its end less its duration; at equal times
# an end counts before an open, so that touching answers do not count as overlapping.
most_open() {
    requests | grep ' /files/' | awk '{ end = $(NF - 1); printf "%.3f 1\n%.3f 0\n", end - $NF, end }' |
        sort -k1,1n -k2,2n | awk '{ open += $2 ? 1 : -1; if (open > most) most = open }
                                  END { print most + 0 }'
}
check "$window answers were open at once, and never more" test "$(most_open)" -eq "$window"
report "$window transfers over HTTP/2"
