#!/usr/bin/env bash
# cwbk sections end to end: a compiled stream saved into an executable image (through the section
# writer, combined with a key) comes back out whole with the key, calculates as the original does, and
# the workbook file is extracted; without the key, or with another, the sections fail with status 1.
set -euo pipefail
cwbk=$1
make_exe=$2
workbook=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

"$cwbk" compile "$workbook" -o "$work/loan.cwbk" >/dev/null
head -c 64 /dev/urandom >"$work/key"
"$make_exe" "$work/loan.cwbk" "$work/key" "$workbook" "$work/app.exe" 0x1234ABCD

out=$("$cwbk" sections "$work/app.exe" --key "$work/key" -o "$work/back.cwbk" --extract "$work/x")
echo "$out" | grep -q '^section 1200: stored [0-9]* bytes, raw [0-9]* bytes$' || fail "listing: $out"
echo "$out" | grep -qx "workbook: tag 0x1234ABCD, $(wc -c <"$workbook") bytes" || fail "workbook line: $out"
cmp -s "$work/loan.cwbk" "$work/back.cwbk" || fail "the stream differs"
cmp -s "$workbook" "$work/x/workbook.bin" || fail "the extracted workbook differs"
cmp -s "$work/loan.cwbk" "$work/x/section-1200.bin" || fail "the extracted section differs"
[ "$("$cwbk" calc "$work/back.cwbk")" = "$("$cwbk" calc "$work/loan.cwbk")" ] || fail "calc differs"

head -c 64 /dev/zero >"$work/other"
for key in "" "--key $work/other"; do
  set +e
  out=$("$cwbk" sections "$work/app.exe" $key -o "$work/none.cwbk" 2>"$work/err")
  status=$?
  set -e
  [ $status -eq 1 ] && [ -z "$out" ] || fail "key '$key': status $status, output '$out'"
  grep -q "section 1200 does not inflate" "$work/err" || fail "key '$key': $(cat "$work/err")"
  [ ! -e "$work/none.cwbk" ] || fail "key '$key': a stream was written"
done
echo ok
