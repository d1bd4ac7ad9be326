#!/usr/bin/env bash
# The layering rules hold for the program's sources, and the check finds what breaks them: an
# include of a higher layer, and two units that include each other.
#   layering_test.sh SOURCE_ROOT
set -euo pipefail
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
source "$(dirname "$0")/checks.sh"
layering="$1/scripts/check-layering"

# planted FILE=INCLUDE...: a tree of empty units, each FILE including its INCLUDE (or nothing).
planted() {
    rm -rf "$work/src"
    local pair
    for pair in "$@"; do
        mkdir -p "$(dirname "$work/src/${pair%%=*}")"
        [ -z "${pair#*=}" ] || echo "#include \"${pair#*=}\"" >>"$work/src/${pair%%=*}"
        touch "$work/src/${pair%%=*}"
    done
}
said() { "$layering" "$work/src" 2>&1 || true; }

check "the program's sources keep every rule" "$layering" "$1/src"
planted system/Paths.cpp=update/Journal.h update/Journal.h=
check "an include of a higher layer is named" grep -qx \
    "system/Paths.cpp includes update/Journal.h, which is in a higher layer" <(said)
planted net/A.h= net/A.cpp=net/B.h net/B.h= net/B.cpp=net/A.h
check "units that include each other are a circle" grep -qx "circle: net/A net/B -> net/A" <(said)
check "a circle fails the check" bash -c "! '$layering' '$work/src' >/dev/null"
report layering
