# Shared steps of the project's scripts: install what is missing, configure and build.
# Sourced, not run.

VEXL_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
VEXL_PACKAGES=(build-essential cmake pkg-config libcurl4-openssl-dev libboost-filesystem-dev
    libboost-system-dev nlohmann-json3-dev libgtest-dev libcpp-httplib-dev libssl-dev libsodium-dev
    nginx-light curl)

vexl_install_packages() {
    local missing=()
    for p in "${VEXL_PACKAGES[@]}" "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing: ${missing[*]}"
    if [ "$(id -u)" -ne 0 ]; then
        echo "error: packages are missing and installing them needs root" >&2
        return 1
    fi
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq -o DPkg::Lock::Timeout=900
    # The nginx packages would start a system-wide server; this project starts its own.
    local policy=""
    if [ ! -e /usr/sbin/policy-rc.d ]; then
        policy=/usr/sbin/policy-rc.d
        printf '#!/bin/sh\nexit 101\n' >"$policy" && chmod +x "$policy"
    fi
    apt-get install -y -qq -o DPkg::Lock::Timeout=900 --no-install-recommends "${missing[@]}"
    [ -z "$policy" ] || rm -f "$policy"
}

# Wine in both word sizes; the 32-bit half needs Debian's i386 architecture.
vexl_install_wine() {
    if ! dpkg --print-foreign-architectures | grep -qx i386; then
        [ "$(id -u)" -eq 0 ] || { echo "error: adding the i386 architecture needs root" >&2; return 1; }
        dpkg --add-architecture i386
        apt-get update -qq -o DPkg::Lock::Timeout=900
    fi
    vexl_install_packages wine wine32 wine64
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
