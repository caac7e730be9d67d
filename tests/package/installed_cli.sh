#!/bin/sh
# lumkest-cli as installed, run by an ordinary user without a display, from
# scripts/package-test.sh:      installed_cli.sh FOLDER   (the user's own)
# A download from the virtual tester into every output, the JSON on standard
# output; the raw block replayed; bad usage.  It must leave no log behind
# (the window journey that follows checks that none exists).
set -eu
cd "$1"
cli=/usr/bin/lumkest-cli

"$cli" --version | grep -q '^lumkest-cli [0-9]'
"$cli" --virtual download --csv records.csv --text list.txt --records records.txt \
    --pdf list.pdf --pdf-records records.pdf --raw block.bin --json - >records.json 2>notes
test ! -s notes                       # standard error is no terminal: no progress note
test "$(wc -l <records.csv)" -eq 125  # two header lines and 123 records
test "$(stat -c %s block.bin)" -eq 8194
for pdf in list.pdf records.pdf; do head -c 5 "$pdf" | grep -q '^%PDF-'; done
/usr/bin/python3 -c 'import json; assert len(json.load(open("records.json"))["records"]) == 123'

# The raw block replays as the same records.
"$cli" --virtual --block block.bin -q download --csv again.csv
test "$(tail -n +2 again.csv)" = "$(tail -n +2 records.csv)"

status=0
"$cli" --virtual download 2>usage || status=$?
test "$status" -eq 2
grep -q '^Usage: lumkest-cli' usage
echo "lumkest-cli: installed and working"
