#!/usr/bin/env bash
# The scripts' apt steps against a mirror in the middle of a sync: stand-ins for apt-get,
# apt-cache and sleep, first in PATH, fail as such a mirror makes them fail and log every call.
#   apt_retry_test.sh SOURCE_ROOT
set -euo pipefail
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
source "$(dirname "$0")/checks.sh"
# shellcheck source=../scripts/common.sh
source "$1/scripts/common.sh"

mkdir "$work/bin"
# The stand-in fails while $work/fail-SUBCOMMAND holds a count above zero, taking one off.
cat >"$work/bin/apt-get" <<EOF
#!/usr/bin/env bash
echo "\${0##*/} \$*" >>"$work/calls"
sub="\$(printf '%s\n' "\$@" | grep -v -e '^-' -e '=900$' | head -1)"
left="\$(cat "$work/fail-\$sub" 2>/dev/null || echo 0)"
if [ "\$left" -eq 0 ]; then
    echo "Version: 7.88.1-10" && echo "N: a notice" >&2 && exit 0
fi
echo \$((left - 1)) >"$work/fail-\$sub"
if [ "\$sub" = update ]; then # an index of the wrong size is only a warning
    echo "W: Failed to fetch http://deb.debian.org/debian/dists/bookworm/main/binary-i386/Packages.xz  File has unexpected size (8781004 != 8780736). Mirror sync in progress?" >&2
    exit 0
fi
echo " wine32:i386 : Depends: libwine:i386 (= 8.0~repack-4) but it is not going to be installed"
echo "E: Unable to correct problems, you have held broken packages." >&2
exit 100
EOF
cp "$work/bin/apt-get" "$work/bin/apt-cache"
printf '#!/bin/sh\necho "sleep $*" >>"%s/calls"\n' "$work" >"$work/bin/sleep"
chmod +x "$work/bin"/*
PATH="$work/bin:$PATH"

# attempt FAILURES SUBCOMMAND VEXL_APT-ARGUMENTS...: the helper against a fresh mirror that fails
# the subcommand so many times; its status, output, error output and the calls are kept.
attempt() {
    rm -f "$work/calls" "$work"/fail-*
    echo "$1" >"$work/fail-$2"
    status=0
    vexl_apt "${@:3}" >"$work/out" 2>"$work/err" || status=$?
    calls="$(cat "$work/calls")" out="$(cat "$work/out")" err="$(cat "$work/err")"
}
is() { [ "$1" = "$2" ] || { echo "  got: $1" && false; }; }
update=(apt-get update -qq -o DPkg::Lock::Timeout=900)
install=(apt-get install -y -qq -o DPkg::Lock::Timeout=900 --no-install-recommends wine wine32)

VEXL_APT_ATTEMPTS=5 VEXL_APT_PAUSE=0
attempt 2 update "updating the package lists" "${update[@]}"
check "an update that could not fetch an index, with status 0, is tried again" is \
    "$status|$calls" "0|${update[*]}"$'\nsleep 0\n'"${update[*]}"$'\nsleep 0\n'"${update[*]}"
check "each failed try is shown, then reported" is "$(sed -n 2p <<<"$err")" \
    "updating the package lists failed (try 1 of 5), trying again in 0 s"

attempt 1 install "installing packages" "${install[@]}"
check "the lists are updated before an install with unmet dependencies is tried again" is \
    "$status|$calls" "0|${install[*]}"$'\nsleep 0\n'"${update[*]}"$'\n'"${install[*]}"

attempt 1 showsrc "looking up a source package" apt-cache showsrc curl
check "only the try that succeeds reaches standard output" is "$status|$out" "0|Version: 7.88.1-10"

attempt 1 source --quiet "downloading the curl sources" apt-get source -qq curl=7.88.1-10
check "a quiet step shows only its failed try" is "$status|$out|$(tail -1 <<<"$err")" \
    "0||downloading the curl sources failed (try 1 of 5), trying again in 0 s"

VEXL_APT_ATTEMPTS=3 VEXL_APT_PAUSE=15
attempt 99 install "installing packages" "${install[@]}"
check "an install that always fails: three tries, the pause doubling" is "$status|$calls" \
    "100|${install[*]}"$'\nsleep 15\n'"${update[*]}"$'\n'"${install[*]}"$'\nsleep 30\n'\
"${update[*]}"$'\n'"${install[*]}"
check "the last line names the step, the tries, the packages and the mirror" is \
    "$(tail -1 <<<"$err")" "error: installing packages failed after 3 tries (packages: wine wine32); the Debian mirror may be in the middle of a sync, try again in a few minutes"

VEXL_APT_ATTEMPTS=1
attempt 99 update "updating the package lists" "${update[@]}"
check "an update that only ever warns fails, naming no packages" is "$status|$(tail -1 <<<"$err")" \
    "1|error: updating the package lists failed after 1 try; the Debian mirror may be in the middle of a sync, try again in a few minutes"
# The lists are updated once for the scripts of a run; one that stays out of step stops nothing.
rm -f "$work/calls" && echo 99 >"$work/fail-update"
unset VEXL_APT_LISTS_UPDATED
status=0
(VEXL_APT_UPDATE_ATTEMPTS=2 VEXL_APT_PAUSE=0 && vexl_update_lists && vexl_update_lists) \
    2>"$work/err" || status=$?
check "a list update that keeps failing warns and goes on, once for the run" is \
    "$status|$(grep -c update "$work/calls")|$(tail -1 "$work/err")" \
    "0|2|warning: going on with the package lists as they are"
report AptRetryTest
