#!/usr/bin/env bash
# The maker's guide's first release runs as it is written: the shell block between the guide's
# markers in docs/makers.md, given the suite's programs (so that it builds nothing), the tested
# port and temporary folders, and the demonstration key in place of a new one (the updater
# trusts it); then what the block left: the update installed, built from a patch and recorded.
#   maker_guide_test.sh SOURCE_ROOT VEXL_PUBLISH VEXL_UPDATER SERVICE_ROOT_URL
set -euo pipefail
root="$1" publish="$2" updater="$3" url="$4"
source "$(dirname "$0")/checks.sh"
port="${url##*:}" port="${port%%/*}"
work="$(mktemp -d)"
first="$work/first"
trap '"$root/scripts/service" stop "$first/run"; rm -rf "$work"' EXIT

awk '/^<!-- guide:begin -->$/ { on = 1; next } /^<!-- guide:end -->$/ { on = 0 }
    on && !/^```/' "$root/docs/makers.md" >"$work/guide.sh"
check "the guide holds one marked block" test "$(grep -c '^<!-- guide:begin -->$' "$root/docs/makers.md")" = 1
check "the block is not empty" test -s "$work/guide.sh"

install -m 600 "$root/tests/fixtures/demo-signing.key" "$work/signing.key"
code=0
(cd "$work" && SOURCE="$root" WORK="$first" KEY="$work/signing.key" PORT="$port" \
    VEXL_PUBLISH="$publish" VEXL_UPDATER="$updater" bash -euo pipefail "$work/guide.sh") \
    >"$work/said.txt" 2>&1 || code=$?
said() { grep -qF -e "$1" "$work/said.txt"; }
log="$first/appdata/VEXL/VEXL Hangar/Updater/vexl_updater_log.txt"

check "the block runs to its end" test "$code" -eq 0
check "the tree it published verifies" said "; no problems."
check "the edge served it" said "The edge serves http://127.0.0.1:$port/ from the origin at"
check "the first check finds 1.0.0 current" said "744 Queen of the Skies for P3D is up to date (1.0.0)."
check "after 1.1.0 is published the check finds it waiting" said "--check: exit code 4"
check "the model came as a patch" grep -q 'Model\\744.mdl built from a patch of the installed copy' "$log"
check "the simulator folder holds release 1.1.0" diff -r "$first/releases/3/1.1.0" "$first/simulator"
check "the registry names 1.1.0" grep -qx '"DisplayVersion"="1.1.0"' "$first/registry.reg"
check "the block stopped its service" bash -c "! curl -s -o /dev/null '$url'"
[ "$failures" -eq 0 ] || cat "$work/said.txt"
report "maker's guide"
