#!/usr/bin/env bash
# The Windows executable is one self-contained file: it imports only DLLs that every Windows
# installation has, and holds no plain service address.
#   windows_exe_test.sh EXE OBJDUMP
set -euo pipefail
exe="$1" objdump="$2"
allowed="ADVAPI32.dll bcrypt.dll CRYPT32.dll KERNEL32.dll msvcrt.dll WS2_32.dll USER32.dll
SECUR32.dll IPHLPAPI.DLL ole32.dll SHELL32.dll"
passes=0 failures=0
for dll in $("$objdump" -p "$exe" | sed -n 's/.*DLL Name: //p'); do
    if grep -qiw -- "$dll" <<<"$allowed"; then
        passes=$((passes + 1))
    else
        echo "FAILED: imports $dll" && failures=$((failures + 1))
    fi
done
if grep -qa 'http://127.0.0.1:8642/' "$exe"; then
    echo "FAILED: holds the plain service address" && failures=$((failures + 1))
else
    passes=$((passes + 1))
fi
echo "windows executable: $passes passed, $failures failed"
[ "$failures" -eq 0 ]
