#!/usr/bin/env bash
# cwbk calc --formatted prints every cell of formats.xlsx as a cell shows it through its number format:
# exactly the texts tests/fixtures/formats_xlsx.py worked out for each case.
set -euo pipefail
cwbk=$1
fixtures=$2
out=$("$cwbk" calc "$fixtures/formats.xlsx" --formatted)
if ! diff <(printf '%s\n' "$out") "$fixtures/formats_shown.txt"; then
  echo "FAIL: cwbk calc --formatted differs from formats_shown.txt (< printed, > expected)" >&2
  exit 1
fi
echo ok
