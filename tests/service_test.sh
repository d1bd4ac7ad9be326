#!/usr/bin/env bash
# The sample service end to end: publish a release set (signed with the demonstration key), serve
# it with nginx at the compiled-in address, update a simulator folder with the built vexl-updater
# and check what it left, then what the service answers for each kind of address.
# With VEXL_THROUGH_EDGE=1 all of it goes through the caching edge over a plain static origin, and
# what the edge keeps and passes on is checked too. With the updater that checks signatures
# (VEXL_SIGNED_UPDATER), a second simulator folder is updated by it.
#   service_test.sh SOURCE_ROOT VEXL_PUBLISH VEXL_UPDATER SERVICE_ROOT_URL [VEXL_SIGNED_UPDATER]
set -euo pipefail
root="$1" publish="$2" updater="$3" url="$4" signed_updater="${5:-}"
source "$(dirname "$0")/checks.sh"
service_sandbox
same_file() { cmp -s "$1" "$2"; }

"$root/scripts/sample-setup" --signed "$work" "$publish"
serve "$work/service"

code=0
APPDATA="$work/appdata" VEXL_REGISTRY="$work/registry.reg" "$updater" >"$work/console.txt" 2>&1 ||
    code=$?
log="$work/appdata/VEXL/VEXL Hangar/Updater/vexl_updater_log.txt"
backup="$work/appdata/VEXL/VEXL Hangar/Updater/744 Queen of the Skies/P3D/Backup/744/P3D"
new="$work/releases/3/1.2.0"
old="$work/releases/3/1.1.0"

check "exit code 0" test "$code" -eq 0
for f in "VEXL 744/aircraft.cfg" "VEXL 744/Model/744.mdl" "VEXL 744/Sound Pack/engines.wav" \
    "VEXL 744/Documentation/readme.txt"; do
    check "installed $f has the new digest" \
        test "$(md5sum <"$work/simulator/$f")" = "$(md5sum <"$new/$f")"
done
check "backup of aircraft.cfg holds the old bytes" same_file "$backup/VEXL 744/aircraft.cfg" "$old/VEXL 744/aircraft.cfg"
check "backup of the model holds the old bytes" same_file "$backup/VEXL 744/Model/744.mdl" "$old/VEXL 744/Model/744.mdl"
check "the unchanged file was not downloaded" test ! -e "$backup/VEXL 744/Documentation/readme.txt"
check "the registry names the new version" grep -q '^"DisplayVersion"="1.2.0"' "$work/registry.reg"
check "the registry keeps the other values" grep -q '^"DisplayName"="VEXL 744 Queen of the Skies"' "$work/registry.reg"
check "the log ends with the counts, the run's result and Done." \
    test "$(tail -n 4 "$log" | cut -c21-)" = "$(printf '%s\n' \
        '[VEXL 1] Installed products that failed to update: 0' \
        '[VEXL 1] Installed products successfully updated: 1' \
        '[VEXL 1] Run result: complete (exit 0)' '[VEXL 1] Done.')"

APPDATA="$work/appdata" VEXL_REGISTRY="$work/registry.reg" "$updater" >"$work/console2.txt" 2>&1
check "a second run has nothing to do" grep -q '120 is the current version. No need to update.' "$work/console2.txt"

status() { curl -s -o /dev/null -w '%{http_code}' "$url$1"; }
served() { curl -s "$url$1"; }
check "a query naming a path is refused" test "$(status 'manifest/files?product=../x&version=110')" = 400
check "a non-numeric version is refused" test "$(status 'manifest/summary?product=3&version=1.1')" = 400
check "a signature query naming a path is refused" \
    test "$(status 'manifest/removed.sig?product=3&version=../110')" = 400
check "the tree's manifest folders are not served as they are" \
    test "$(status 'manifest/removed/3/110.json')" = 404
check "an unpublished version gets the full manifest" \
    test "$(served 'manifest/summary?product=3&version=5')" = "$(cat "$work/service/manifest/summary/3/full.json")"
check "an unpublished version gets the full removal list" \
    test "$(served 'manifest/removed?product=3&version=5')" = "$(cat "$work/service/manifest/removed/3/full.json")"
check "the removal list names the dropped file with its digest" \
    grep -qF "$(md5sum <"$old/VEXL 744/Texture/old livery.dds" | cut -c1-32)" \
    <(served 'manifest/removed?product=3&version=110')

encoding() { curl -s -o /dev/null -D - -H 'Accept-Encoding: gzip' "$url$1" |
    sed -n 's/^[Cc]ontent-[Ee]ncoding: *\([a-z]*\).*/\1/p'; }
check "a manifest goes gzip-compressed to a client that asks" \
    test "$(encoding 'manifest/files?product=3&version=5')" = gzip
check "its decoded bytes are the document's" \
    cmp -s <(curl -s --compressed "${url}manifest/files?product=3&version=5") \
    "$work/service/manifest/files/3/full.json"

check "the publication record is served as the tree has it" \
    test "$(served vexl-publication.json)" = "$(cat "$work/service/vexl-publication.json")"

# Each document's signature record lies at its address with ".sig" after the path, names the
# address the updater asks for and the document's SHA-256, and its signature verifies with the
# demonstration public key (OpenSSL checks it).
printf '\x30\x2a\x30\x05\x06\x03\x2b\x65\x70\x03\x21\x00' >"$work/demo.der"
base64 -d "$root/tests/fixtures/demo-signing.pub" >>"$work/demo.der"
field() { # field NAME: that member of the record, a text or a number
    sed -n "s/.*\"$1\":\"\{0,1\}\([^\",}]*\).*/\1/p" "$work/record.json"
}
verifies() { # verifies DOCUMENT_ADDRESS SIGNATURE_ADDRESS TREE_FILE RECORDED_ADDRESS
    served "$1" >"$work/document" && served "$2" >"$work/record.json" &&
        cmp -s "$work/record.json" "$work/service/$3.sig" &&
        test "$(field Address)" = "$4" &&
        test "$(field SHA256)" = "$(sha256sum <"$work/document" | cut -c1-64)" &&
        printf 'vexl-signature 1\n%s\n%s\n%s\n%s\n' "$(field Address)" "$(field SHA256)" \
            "$(field Publication)" "$(field Expires)" >"$work/signed.txt" &&
        field Signature | base64 -d >"$work/signature" &&
        openssl pkeyutl -verify -pubin -keyform DER -inkey "$work/demo.der" -rawin \
            -in "$work/signed.txt" -sigfile "$work/signature" >/dev/null
}
check "the product information's signature verifies" \
    verifies products/P3D/744/1.json products/P3D/744/1.json.sig products/P3D/744/1.json \
    products/P3D/744/1.json
for kind in summary files removed; do
    check "the $kind signature of a published version verifies" \
        verifies "manifest/$kind?product=3&version=110" "manifest/$kind.sig?product=3&version=110" \
        "manifest/$kind/3/110.json" "manifest/$kind?product=3&version=110"
    check "the $kind signature of an unpublished version is the full one's" \
        verifies "manifest/$kind?product=3&version=5" "manifest/$kind.sig?product=3&version=5" \
        "manifest/$kind/3/full.json" "manifest/$kind?product=3&version=0"
done
check "vexl-publish verify finds the served tree as published" \
    "$publish" verify --public-key "$(cat "$root/tests/fixtures/demo-signing.pub")" "$work/service"

header() { # header NAME ADDRESS: that header of the answer, as sent
    curl -s -o /dev/null -D - "$url$2" | tr -d '\r' | sed -n "s/^$1: //Ip" | head -n 1
}
check "documents are sent to be revalidated" \
    test "$(header Cache-Control products/P3D/744/1.json)" = no-cache
check "manifests are sent to be revalidated" \
    test "$(header Cache-Control 'manifest/files?product=3&version=110')" = no-cache
check "files are sent to be kept five minutes" \
    test "$(header Cache-Control 'files/P3D/744/1/VEXL%20744/aircraft.cfg')" = max-age=300

if [ -n "$signed_updater" ]; then
    mkdir -p "$work/simulator-signed"
    cp -r "$old/." "$work/simulator-signed/"
    sed -e "s|$work/simulator|$work/simulator-signed|" \
        -e 's|^"DisplayVersion"=.*|"DisplayVersion"="1.1.0"|' "$work/registry.reg" \
        >"$work/registry-signed.reg"
    code=0
    APPDATA="$work/appdata-signed" VEXL_REGISTRY="$work/registry-signed.reg" "$signed_updater" \
        >"$work/console-signed.txt" 2>&1 || code=$?
    check "the updater that checks signatures updates from the signed tree" test "$code" -eq 0
    check "and installs the new model" \
        same_file "$work/simulator-signed/VEXL 744/Model/744.mdl" "$new/VEXL 744/Model/744.mdl"
fi

if [ "${VEXL_THROUGH_EDGE:-}" = 1 ]; then
    origin_log="$work/nginx/origin/access.log"
    address='files/P3D/744/1/VEXL%20744/aircraft.cfg'
    check "the origin was asked for plain paths only" test "$(grep -c '?' "$origin_log")" -eq 0
    check "the origin was asked for the fallback of an unpublished version" \
        grep -q 'GET /manifest/summary/3/full.json ' "$origin_log"
    check "a file asked again comes from the edge" test "$(header X-Cache "$address")" = HIT
    # A republish that keeps the file's address: the edge keeps last release's bytes until asked
    # past it, and then keeps the new ones.
    target="$(readlink -f "$work/service")/files/P3D/744/1/VEXL 744/aircraft.cfg"
    before="$(served "$address")"
    rm -f "$target" && printf 'republished\n' >"$target"
    check "the edge keeps a cached file across a change at the origin" \
        test "$(served "$address")" = "$before"
    check "a request with no-cache gets the origin's bytes" \
        test "$(curl -s -H 'Cache-Control: no-cache' "$url$address")" = republished
    check "and the edge keeps those for the next request" \
        test "$(served "$address")" = republished
fi

report "sample service"
