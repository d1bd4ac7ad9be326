# Shared steps of the project's scripts: install what is missing, configure and build.
# Sourced, not run.

VEXL_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
VEXL_PACKAGES=(build-essential cmake pkg-config libcurl4-openssl-dev libboost-filesystem-dev
    libboost-system-dev nlohmann-json3-dev libgtest-dev libcpp-httplib-dev libssl-dev libsodium-dev
    libzstd-dev nginx-light curl rclone)
# A Debian mirror in the middle of a sync serves index files and packages out of step with each
# other for a few minutes: every apt step is tried this many times, with a pause between tries
# that starts at this many seconds and doubles (15 + 30 + 60 + 120 s by default).
VEXL_APT_ATTEMPTS="${VEXL_APT_ATTEMPTS:-5}"
VEXL_APT_PAUSE="${VEXL_APT_PAUSE:-15}"
# An update that keeps failing on one index is given fewer tries: the install after it decides.
VEXL_APT_UPDATE_ATTEMPTS="${VEXL_APT_UPDATE_ATTEMPTS:-3}"

# vexl_apt [--quiet] STEP COMMAND [ARGUMENTS...]: an apt-get or apt-cache command, tried until it
# succeeds; STEP names it in messages. A try fails on a non-zero status and also on an error or
# an index that could not be fetched, which apt-get update reports with status 0, keeping the old
# lists. Before trying anything but the update again the lists are updated, since stale lists are
# what leave packages unmet or missing. The output of the try that succeeds is passed on (dropped
# with --quiet); that of a failed one goes to standard error, so that it stays out of captured data.
# vexl_apt_words ARGUMENTS...: the subcommand and packages of an apt command line, less options
# and the values they take.
vexl_apt_words() {
    local skip=0 word words=()
    for word in "$@"; do
        if [ "$skip" -eq 1 ]; then
            skip=0
        elif [[ "$word" =~ ^-[octa]$ ]]; then
            skip=1
        elif [[ "$word" != -* ]]; then
            words+=("$word")
        fi
    done
    echo "${words[*]}"
}

vexl_apt() {
    local quiet=0
    [ "$1" != --quiet ] || { quiet=1 && shift; }
    local step="$1" attempts="$VEXL_APT_ATTEMPTS" pause="$VEXL_APT_PAUSE"
    shift
    [[ "$attempts" =~ ^[0-9]+$ && "$attempts" -ge 1 ]] || attempts=1
    [[ "$pause" =~ ^[0-9]+$ ]] || pause=0
    local words command packages
    read -ra words <<<"$(vexl_apt_words "${@:2}")"
    command="${words[0]:-}" packages=("${words[@]:1}")
    local out err status try
    out="$(mktemp)" err="$(mktemp)"
    for ((try = 1; ; try++)); do
        status=0
        "$@" >"$out" 2>"$err" || status=$?
        if [ "$status" -eq 0 ] && ! grep -qE '^(E:|Err:|W: Failed to fetch)' "$out" "$err"; then
            [ "$quiet" -eq 1 ] || { cat "$out" && cat "$err" >&2; }
            rm -f "$out" "$err"
            return 0
        fi
        cat "$out" "$err" >&2
        [ "$try" -lt "$attempts" ] || break
        echo "$step failed (try $try of $attempts), trying again in $pause s" >&2
        sleep "$pause"
        pause=$((pause * 2))
        [ "$command" = update ] ||
            apt-get update -qq -o DPkg::Lock::Timeout=900 >/dev/null 2>&1 || true
    done
    rm -f "$out" "$err"
    local tries="$attempts tries" what=""
    [ "$attempts" -ne 1 ] || tries="1 try"
    [ ${#packages[@]} -eq 0 ] || what=" (packages: ${packages[*]})"
    echo "error: $step failed after $tries$what; the Debian mirror may be in the middle of a" \
        "sync, try again in a few minutes" >&2
    [ "$status" -ne 0 ] || status=1
    return "$status"
}

# Updates the package lists once for this script and the scripts it starts (again after
# `vexl_update_lists force`, when the sources changed). An index that cannot be fetched after the
# tries is no reason to stop: the lists as they are may well hold every package asked for, and an
# install that still fails says so itself.
vexl_update_lists() {
    [ "${1:-}" = force ] || [ -z "${VEXL_APT_LISTS_UPDATED:-}" ] || return 0
    export VEXL_APT_LISTS_UPDATED=1
    VEXL_APT_ATTEMPTS="$VEXL_APT_UPDATE_ATTEMPTS" vexl_apt "updating the package lists" \
        apt-get update -qq -o DPkg::Lock::Timeout=900 ||
        echo "warning: going on with the package lists as they are" >&2
}

# Whether every package named is installed.
vexl_installed() {
    local p
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || return 1
    done
}

vexl_install_packages() {
    local missing=() p
    for p in "${VEXL_PACKAGES[@]}" "$@"; do
        vexl_installed "$p" || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing: ${missing[*]}"
    if [ "$(id -u)" -ne 0 ]; then
        echo "error: packages are missing and installing them needs root" >&2
        return 1
    fi
    export DEBIAN_FRONTEND=noninteractive
    vexl_update_lists
    # The nginx packages would start a system-wide server; this project starts its own.
    local policy=""
    if [ ! -e /usr/sbin/policy-rc.d ]; then
        policy=/usr/sbin/policy-rc.d
        printf '#!/bin/sh\nexit 101\n' >"$policy" && chmod +x "$policy"
    fi
    local status=0
    vexl_apt "installing packages" apt-get install -y -qq -o DPkg::Lock::Timeout=900 \
        --no-install-recommends "${missing[@]}" || status=$?
    [ -z "$policy" ] || rm -f "$policy"
    return "$status"
}

# Wine in both word sizes; the 32-bit half needs Debian's i386 architecture. When that half
# cannot be installed (the mirror's i386 lists out of step), Wine's 64-bit half is installed alone
# and the i386 architecture, with nothing installed from it, taken back, so that later updates do
# not trip over its lists; the Windows suite then runs the x86_64 build and says why. With that
# way out, the 32-bit half gets two tries rather than the usual five.
vexl_install_wine() {
    vexl_installed wine wine64 wine32 && return 0
    [ "$(id -u)" -eq 0 ] || { echo "error: installing Wine needs root" >&2; return 1; }
    if ! dpkg --print-foreign-architectures | grep -qx i386; then
        dpkg --add-architecture i386
        vexl_update_lists force
    fi
    if VEXL_APT_ATTEMPTS=2 vexl_install_packages wine wine32 wine64; then
        return 0
    fi
    echo "warning: Wine's 32-bit half could not be installed; installing its 64-bit half alone" >&2
    if ! dpkg-query -W -f='${Architecture} ${db:Status-Status}\n' 2>/dev/null | grep -qx 'i386 installed'
    then
        dpkg --remove-architecture i386 && vexl_update_lists force
    fi
    vexl_install_packages wine wine64
}

# vexl_build BUILD_DIR BUILD_TYPE [extra cmake arguments...]
# VEXL_SERVICE_URL, when set, is the service root compiled in.
vexl_build() {
    local dir="$1" type="$2"
    shift 2
    cmake -S "$VEXL_ROOT" -B "$dir" -DCMAKE_BUILD_TYPE="$type" \
        ${VEXL_SERVICE_URL:+-DVEXL_SERVICE_URL="$VEXL_SERVICE_URL"} "$@" >/dev/null
    cmake --build "$dir" -j"$(nproc)"
}
