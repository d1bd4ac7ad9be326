#!/usr/bin/env bash
# The throw-away certificate authority: the good certificate passes for both loopback names, and
# each bad one fails for its own reason.
#   test_ca_test.sh SOURCE_ROOT
set -euo pipefail
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
source "$(dirname "$0")/checks.sh"
"$1/scripts/test-ca" "$work/ca"

# verify_error CERT [openssl verify options...]: the error openssl names, or "ok".
verify_error() {
    local out
    if out="$(openssl verify -CAfile "$work/ca/ca.pem" "${@:2}" "$work/ca/$1" 2>&1)"; then
        echo ok
    else
        sed -n 's/^error [0-9]* at [0-9]* depth lookup: //p' <<<"$out" | head -1
    fi
}
is() { [ "$1" = "$2" ] || { echo "  got: $1" && false; }; }

check "good certificate for 127.0.0.1" is "$(verify_error server.pem -verify_ip 127.0.0.1)" ok
check "good certificate for localhost" is "$(verify_error server.pem -verify_hostname localhost)" ok
check "good key matches" is "$(openssl pkey -in "$work/ca/server.key" -pubout)" \
    "$(openssl x509 -in "$work/ca/server.pem" -noout -pubkey)"
check "another authority" is "$(verify_error other.pem -verify_ip 127.0.0.1)" \
    "unable to get local issuer certificate"
check "the other authority's own chain is sound" is \
    "$(openssl verify -CAfile "$work/ca/other-ca.pem" "$work/ca/other.pem")" "$work/ca/other.pem: OK"
check "wrong host name" is "$(verify_error wrong-host.pem -verify_ip 127.0.0.1)" \
    "IP address mismatch"
check "expired" is "$(verify_error expired.pem -verify_ip 127.0.0.1)" "certificate has expired"
check "keys are private" is "$(stat -c %a "$work/ca/server.key")" 600
report TestCaTest
