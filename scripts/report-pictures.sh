#!/bin/sh
# The README's pictures of the workshop report: a sample archive of four
# pumps over a year (one drifting, one with a gap, one far out once), its
# report as PDF and as a web page, a device page of the PDF and the web page
# in headless Chromium.
#   scripts/report-pictures.sh [BUILD]    (default build/)
set -eu
here=$(cd "$(dirname "$0")/.." && pwd)
cli=$(cd "${1:-$here/build}" && pwd)/lumkest-cli
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

python3 - "$work/tests.csv" <<'PY'
import datetime, random, sys
random.seed(7)
months = "Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec".split()
pumps = [("ICU-3", 25.0), ("ICU-4", 100.0), ("OR-1", 50.0), ("WARD 7, BED 2", 10.0)]
rows = []
for i, (pump, rate) in enumerate(pumps):
    t = datetime.datetime(2026, 1, 5, 9, 0) + datetime.timedelta(days=3 * i)
    for k in range(14):
        if pump == "ICU-4" and 5 <= k < 9:  # out of service for a while
            t += datetime.timedelta(days=20)
            continue
        error = random.gauss(0.25 * k if pump == "ICU-3" else 0, 1.5)
        if pump == "OR-1" and k == 6:
            error = 40
        mmhg = 700 if pump == "OR-1" else random.choice([520, 610, 700, 760, 800, 980])
        rows.append([pump.replace(",", " "), f"{t.day} {months[t.month - 1]} {t.year}",
                     t.strftime("%H:%M"), f"{rate * (1 + error / 100):.1f}", "100", "01:00:00",
                     str(mmhg), "mmHg", f"{mmhg * 0.1333:.1f}", "kPa",
                     "00:%02d:%02d" % (random.randint(0, 4), random.randint(0, 59))])
        t += datetime.timedelta(days=random.randint(18, 30))
with open(sys.argv[1], "w", newline="") as f:
    f.write("Dosimark Kest ID: Bay 2  SN: KS0401123  -  Data Exported On 12/07/26 09:00:00\r\n")
    f.write("Record Num,Device ID,Test Date,Test Time,Flow Rate,Volume Infused,Test Duration,"
            "Pressure,mmHg,Pressure,(user),OP Peak Time\r\n")
    for n, row in enumerate(rows, 1):
        f.write(",".join([str(n)] + row) + "\r\n")
PY
cat > "$work/assets.csv" <<'CSV'
device_id,model,location,set_rate_ml_h,flow_low_pct,flow_high_pct,occlusion_min_mmhg,occlusion_max_mmhg,peak_time_max_s,interval_days,valid_from
,Model P3,,,-5,5,500,900,,180,
,Model P3,,,-3,3,500,900,,180,2026-06-01
ICU-3,Model P3,ICU bay 3,25,,,,,,,
ICU-4,Model P3,ICU bay 4,100,,,,,,,
OR-1,Model S2,Theatre 1,50,-2,2,,750,,365,
WARD 7  BED 2,Model P3,Ward 7,,,,,,,,
CSV
"$cli" -q --archive "$work/a.db" import "$work/tests.csv" >/dev/null 2>&1
"$cli" -q --archive "$work/a.db" assets "$work/assets.csv" >/dev/null
LC_ALL=en_GB.UTF-8 LANG=en_GB.UTF-8 "$cli" -q --archive "$work/a.db" report --as-of 2026-12-07 \
    --paper a4 --pdf "$work/report.pdf" --html "$work/report.html"
pdftoppm -png -singlefile -f 2 -l 2 -scale-to 900 "$work/report.pdf" "$here/docs/report-device"
# The web page of one pump, so that its plots are in the picture.
LC_ALL=en_GB.UTF-8 LANG=en_GB.UTF-8 "$cli" -q --archive "$work/a.db" report --as-of 2026-12-07 \
    --device ICU-4 --html "$work/icu-4.html"
chromium --headless --no-sandbox --disable-gpu --user-data-dir="$work/profile" \
    --proxy-server=127.0.0.1:9 --window-size=1280,2000 --hide-scrollbars \
    --screenshot="$here/docs/report-web.png" "file://$work/icu-4.html" >/dev/null 2>&1
echo "docs/report-device.png docs/report-web.png"
