#!/usr/bin/env bash
# Checks the property-page server as cross-built for Windows:
#   - kaldprop.dll exists, is a 64-bit PE DLL and exports exactly
#     DllCanUnloadNow, DllGetClassObject, DllRegisterServer and
#     DllUnregisterServer, by name;
#   - it imports only from the system's DLLs (no C++ runtime DLL beside it);
#   - it carries its resources: the three registry scripts, the type library
#     with its help string, the version 1.0.0.37 and the English titles;
#   - the language libraries Kld8ENU.LRC and Kld8DEU.LRC exist and carry
#     their dialogs.
#
# Usage: check-windows-propui.sh [BUILD_DIR]   (default build/windows)
# Exits 0 when everything passes, 1 otherwise.
set -euo pipefail

build="${1:-build/windows}"
objdump=x86_64-w64-mingw32-objdump
dll="$build/propui/kaldprop.dll"
failures=0

fail() {
    echo "check-windows-propui: $*" >&2
    failures=$((failures + 1))
}

if [ ! -f "$dll" ]; then
    echo "check-windows-propui: $dll is missing (did the windows build run?)" >&2
    exit 1
fi

headers="$($objdump -p "$dll")"
grep -q "^Magic.*020b" <<<"$headers" || fail "$dll is not a 64-bit PE image"
characteristics="$(awk '/^Characteristics/ {print $2; exit}' <<<"$headers")"
(( (16#${characteristics#0x} & 0x2000) != 0 )) || fail "$dll is not a DLL (characteristics $characteristics)"

exports="$(awk '/\[Ordinal\/Name Pointer\] Table/ {table = 1; next}
               table && /^\t\[/ {print $NF; next}
               table {table = 0}' <<<"$headers" | sort | tr '\n' ' ')"
expected="DllCanUnloadNow DllGetClassObject DllRegisterServer DllUnregisterServer "
[ "$exports" = "$expected" ] || fail "exports are '$exports', expected '$expected'"

allowed=" ADVAPI32.dll COMCTL32.dll KERNEL32.dll msvcrt.dll ole32.dll OLEAUT32.dll USER32.dll "
while read -r name; do
    [[ "$allowed" == *" $name "* ]] || fail "imports from $name"
done < <(awk '/DLL Name:/ {print $3}' <<<"$headers")

texts="$(strings -el "$dll"; strings "$dll")"
for needed in "SourcePage.SourcePage.1" "AdvancedPage Class" "TestPage.TestPage" \
              "ThreadingModel" "Kaldprop 1.0 Type Library" "1, 0, 0, 37" "Advanced Settings" \
              "Picture Controls"; do
    grep -qF "$needed" <<<"$texts" || fail "$dll lacks \"$needed\""
done

for language in ENU:Brightness DEU:Helligkeit; do
    library="$build/propui/Kld8${language%%:*}.LRC"
    if [ ! -f "$library" ]; then
        fail "$library is missing"
    elif ! strings -el "$library" | grep -qF "${language#*:}"; then
        fail "$library lacks its dialogs"
    fi
done

if [ "$failures" -ne 0 ]; then
    exit 1
fi
echo "check-windows-propui: kaldprop.dll and the language libraries passed"
