#!/usr/bin/env bash
# Checks the 32-bit Windows plug-in: exactly the host's 18 entry points, undecorated; the
# three buffer names bound to one function; no mingw runtime DLL imported.
# Usage: tests/win32/check_exports.sh BUILD_DIR
set -euo pipefail
build=${1:?usage: $0 BUILD_DIR}
dll="$build/VYRA(8u).vmcdll"
objdump=${OBJDUMP:-i686-w64-mingw32-objdump}
[ -f "$dll" ] || { echo "FAIL: $dll not found"; exit 1; }

dump=$("$objdump" -p "$dll")
expected="CanUseBaudRate CloseAll DeviceCommand FindDevice FlushReadBuffer GetBaudRate GetDeviceClassInfo
GetLastErrorMsg GetUniqueID InitOnMainThread Initialise IsFailed ReadBuffSize ReadBuffer ReadLine SetBaudRate
SetControllingProxy WriteBuffer"
fail=0

# "[index] name" rows of the name table; the index points into the export address table.
names=$(awk '/\[Ordinal\/Name Pointer\] Table/{t=1;next} t&&NF==0{t=0} t{gsub(/[][]/,"");print $1, $2}' <<<"$dump")
actual=$(awk '{print $2}' <<<"$names" | sort)
want=$(tr -s ' \n' '\n' <<<"$expected" | sort)
if [ "$actual" != "$want" ]; then
  echo "FAIL: exported names differ from the expected 18:"
  diff <(echo "$want") <(echo "$actual") || true
  fail=1
fi
if grep -q '[@?]' <<<"$actual"; then
  echo "FAIL: decorated export names"
  fail=1
fi

rvas=$(awk '/^Export Address Table --/{t=1;next} t&&NF==0{t=0} t{gsub(/[][]/,"");print $1, $4}' <<<"$dump")
rva_of() { local i; i=$(awk -v n="$1" '$2==n{print $1}' <<<"$names"); awk -v i="$i" '$1==i{print $2}' <<<"$rvas"; }
a=$(rva_of WriteBuffer); b=$(rva_of ReadBuffer); c=$(rva_of ReadBuffSize)
if [ -z "$a" ] || [ "$a" != "$b" ] || [ "$a" != "$c" ]; then
  echo "FAIL: WriteBuffer/ReadBuffer/ReadBuffSize are not one function ($a $b $c)"
  fail=1
fi

if grep -iE 'DLL Name: *(libstdc\+\+|libgcc|libwinpthread)' <<<"$dump"; then
  echo "FAIL: imports a mingw runtime DLL"
  fail=1
fi

[ $fail -eq 0 ] && echo "OK: 18 undecorated exports, no mingw runtime DLL imported"
exit $fail
