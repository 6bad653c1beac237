#!/usr/bin/env bash
# cwbk data end to end: an export with a change imports into a fresh copy of the workbook with the
# change in place and its dependents recalculated; the dump lists the records; unreadable files fail
# with their reason and status 1, leaving no output on stdout.
set -euo pipefail
cwbk=$1
workbook=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

"$cwbk" data export "$workbook" -o "$work/loan.dat" --set Loan!B1=30000 >/dev/null
out=$("$cwbk" data import "$workbook" "$work/loan.dat" --cells Loan!B1,Loan!B7)
[ "$out" = $'Loan!B1 = 30000\nLoan!B7 = 579.9840458828482' ] || fail "import printed: $out"
"$cwbk" data dump "$work/loan.dat" | grep -qx 'sheet 0 B1 Integer 30000' || fail "dump lacks B1"
"$cwbk" data dump "$work/loan.dat" --json | grep -q '"formatMark": 7213' || fail "json dump"

head -c 40 "$work/loan.dat" >"$work/cut.dat"
for file in cut.dat missing.dat; do
  set +e
  out=$("$cwbk" data import "$workbook" "$work/$file" 2>"$work/err")
  status=$?
  set -e
  [ $status -eq 1 ] && [ -z "$out" ] || fail "$file: status $status, output '$out'"
done
grep -q "cannot open file" "$work/err" || fail "missing file: $(cat "$work/err")"
echo ok
