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
    apt-get update -qq
    # The nginx packages would start a system-wide server; this project starts its own.
    local policy=""
    if [ ! -e /usr/sbin/policy-rc.d ]; then
        policy=/usr/sbin/policy-rc.d
        printf '#!/bin/sh\nexit 101\n' >"$policy" && chmod +x "$policy"
    fi
    apt-get install -y -qq --no-install-recommends "${missing[@]}"
    [ -z "$policy" ] || rm -f "$policy"
}

# vexl_build BUILD_DIR BUILD_TYPE [extra cmake arguments...]
vexl_build() {
    local dir="$1" type="$2"
    shift 2
    cmake -S "$VEXL_ROOT" -B "$dir" -DCMAKE_BUILD_TYPE="$type" "$@" >/dev/null
    cmake --build "$dir" -j"$(nproc)"
}
