#!/usr/bin/env bash
# The Windows executable is one self-contained file: it imports only DLLs that every Windows
# installation has, and holds no plain service address.
#   windows_exe_test.sh EXE OBJDUMP SERVICE_ROOT_URL
set -euo pipefail
exe="$1" objdump="$2" url="$3"
allowed="ADVAPI32.dll bcrypt.dll CRYPT32.dll KERNEL32.dll msvcrt.dll WS2_32.dll USER32.dll
SECUR32.dll IPHLPAPI.DLL ole32.dll SHELL32.dll WINHTTP.dll"
source "$(dirname "$0")/checks.sh"
for dll in $("$objdump" -p "$exe" | sed -n 's/.*DLL Name: //p'); do
    check "imports $dll, which every Windows has" grep -qiw -- "$dll" <<<"$allowed"
done
check "holds no plain service address" bash -c "! grep -qaF '$url' '$exe'"
report "windows executable"
