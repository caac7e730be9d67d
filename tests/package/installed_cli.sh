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

# What a save does on disk: the temporary file is made private (0600), and
# the folder is synced after the rename, so the new name survives a power cut.
if strace -o /dev/null true 2>/dev/null; then
    strace -f -y -e trace=openat,rename,renameat,renameat2,fsync -o trace \
        "$cli" --virtual -q download --csv synced.csv
    grep -q 'openat(.*\.lumkest-.*O_CREAT.*0600)' trace
    ! grep -q 'openat(.*\.lumkest-.*O_CREAT.*06[0-7][1-7])' trace
    sed -n '/rename.*synced\.csv/,$p' trace | grep -q "fsync([0-9]*<$(pwd)>)"
else
    echo "strace cannot trace here: the save's system calls are not checked"
fi

# Standard output into a pipeline, and the same file named twice.
test "$("$cli" --virtual -q download --csv - | wc -l)" -eq 125
status=0
"$cli" --virtual download --csv x.csv --text ./x.csv 2>same || status=$?
test "$status" -eq 2 && grep -q -- '--csv .* and --text .* name the same file' same && test ! -e x.csv

# A rehearsed empty tester, and the archive through the installed SQLite driver.
status=0
"$cli" --virtual --fault empty download --csv empty.csv 2>/dev/null || status=$?
test "$status" -eq 6 && test ! -e empty.csv
"$cli" --virtual -q download --archive kest.db
test "$("$cli" --archive kest.db import records.csv)" = "records.csv: 123 records, 0 new"
"$cli" --archive kest.db history --json - | /usr/bin/python3 -c \
    'import json, sys; assert len(json.load(sys.stdin)["records"]) == 123'
# The workshop report: PDF, and the web page with its plots as inline SVG.
"$cli" -q --archive kest.db report --since 2000-01-01 --pdf report.pdf --html report.html
head -c 5 report.pdf | grep -q '^%PDF-'
test "$(grep -c '<svg' report.html)" -ge 2

status=0
"$cli" --virtual download 2>usage || status=$?
test "$status" -eq 2
grep -q '^Usage: lumkest-cli' usage
echo "lumkest-cli: installed and working"
