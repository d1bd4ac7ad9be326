#!/usr/bin/env bash
# The sample service over HTTPS: a certificate of the trusted (test) authority updates; one of
# another authority, one for another host and an expired one each end the run with exit 2 and
# libcurl's reason in the log.
#   service_tls_test.sh SOURCE_ROOT VEXL_PUBLISH VEXL_UPDATER_HTTPS HTTPS_ROOT_URL CA_FOLDER
set -euo pipefail
root="$1" publish="$2" updater="$3" url="$4" ca="$5"
source "$(dirname "$0")/checks.sh"
service_sandbox

"$root/scripts/sample-setup" "$work" "$publish"
log="$work/appdata/VEXL/VEXL Hangar/Updater/vexl_updater_log.txt"
# run_with CERTIFICATE: the updater against the service with that certificate; its exit code.
run_with() {
    "$root/scripts/service" stop "$work/nginx"
    "$root/scripts/service" start "$work/service" "$work/nginx" "$port" "$ca/$1.pem" "$ca/$1.key"
    local code=0
    APPDATA="$work/appdata" VEXL_REGISTRY="$work/registry.reg" "$updater" >/dev/null 2>&1 || code=$?
    echo "$code"
}
refused() { # refused CERTIFICATE REASON: exit 2, and the reason at the end of the log
    local registry_before
    registry_before="$(cat "$work/registry.reg")"
    check "$1: exit code 2" test "$(run_with "$1")" -eq 2
    check "$1: the log names the reason" \
        test "$(tail -n 2 "$log" | head -n 1 | cut -c21-)" = \
        "[VEXL 2] Failed to get ${url}products/P3D/744/1.json, $2"
    check "$1: the registry is unchanged" test "$(cat "$work/registry.reg")" = "$registry_before"
}

refused other "SSL certificate problem: unable to get local issuer certificate"
refused wrong-host "SSL: no alternative certificate subject name matches target host name '127.0.0.1'"
refused expired "SSL certificate problem: certificate has expired"
check "a certificate of the trusted authority updates" test "$(run_with server)" -eq 0
check "the registry names the new version" grep -q '^"DisplayVersion"="1.2.0"' "$work/registry.reg"
# Every request of the run (documents and files at once) went over one connection, in HTTP/2.
connections() {
    awk -F'"' '$6 ~ /^vexl-updater/ { split($7, f, " "); print f[1], f[2] }' \
        "$work/nginx/access.log" | sort -u
}
check "one connection carried the whole run" test "$(connections | wc -l)" -eq 1
check "that connection spoke HTTP/2" test "$(connections | cut -d' ' -f2)" = HTTP/2.0
report "sample service over HTTPS"
