#!/usr/bin/python3
"""Writes the sample workshop (sample/): the asset list, the tester list and
a year of monthly exports of the tester in the CSV format the window program
exports, from December 2025 to November 2026.

Twelve pumps of three models: IV-0103 drifts towards the top of its flow
window, SY-0202 fails in October and is not repaired, IV-0105 fails in March
and passes after its repair, IV-0106 is overdue, PC-0302 was never tested.
The tester keeps its results, so each export holds every test up to its
month.  Every export is then read back by lumkest-cli import, which takes
only a file that its writers write byte for byte the same.

    scripts/sample-workshop.py [BUILD]    (default build/)
"""
import os
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
SAMPLE = os.path.join(HERE, "..", "sample")
CLI = os.path.join(sys.argv[1] if len(sys.argv) > 1 else os.path.join(HERE, "..", "build"),
                   "lumkest-cli")
MONTHS = "Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec".split()
TESTER_ID, SERIAL = "Dosimark Kest Bay 2", "KS0401123"

ASSETS = """\
device_id,model,location,set_rate_ml_h,flow_low_pct,flow_high_pct,occlusion_min_mmhg,occlusion_max_mmhg,peak_time_max_s,interval_days,valid_from,asset_tag
,Model P3,,100,-5,5,300,900,120,180,,
,Model S1,,25,-5,5,200,700,90,365,,
,Model E8,,10,-10,10,400,1000,150,365,,
IV-0101,Model P3,ICU 1,,,,,,,,,MM-10451
IV-0102,Model P3,ICU 1,,,,,,,,,MM-10452
IV-0103,Model P3,ICU 2,,,,,,,,,MM-10453
IV-0104,Model P3,ICU 2,,,,,,,,,MM-10454
IV-0105,Model P3,Ward B,,,,,,,,,MM-10455
IV-0106,Model P3,Ward B,,,,,,,,,MM-10456
SY-0201,Model S1,NICU,,,,,,,,,MM-20311
SY-0202,Model S1,NICU,,,,,,,,,MM-20312
SY-0203,Model S1,Theatre 2,,,,,,,,,MM-20313
SY-0204,Model S1,Theatre 2,,,,,,,,,MM-20314
PC-0301,Model E8,Oncology,,,,,,,,,MM-30127
PC-0302,Model E8,Oncology,,,,,,,,,MM-30128
"""

TESTERS = """\
tester_serial,calibrated_on,calibration_due,certificate
KS0401123,2025-01-13,2026-01-12,CAL-2025-0042
KS0401123,2026-01-12,2027-01-11,CAL-2026-0113
"""

# Each test: device, date, time, flow (ml/h), peak pressure (mmHg), the
# user's unit, peak time (mm:ss).  Flow tests run 30 minutes.
DRIFT = ["100.8", "101.3", "101.7", "102.1", "102.6", "102.9",
         "103.3", "103.6", "104.0", "104.2", "104.5", "104.8"]
DRIFT_DAYS = [(2025, 12, 10), (2026, 1, 12), (2026, 2, 9), (2026, 3, 10), (2026, 4, 13),
              (2026, 5, 11), (2026, 6, 10), (2026, 7, 13), (2026, 8, 10), (2026, 9, 14),
              (2026, 10, 12), (2026, 11, 9)]
TESTS = [
    ("IV-0102", (2025, 12, 18), "10:05", "99.6", "604", "PSI", "01:08"),
    ("SY-0202", (2025, 12, 4), "14:20", "25.06", "455", "kPa", "00:51"),
    ("IV-0101", (2026, 1, 8), "09:40", "100.3", "588", "PSI", "01:05"),
    ("SY-0201", (2026, 1, 20), "11:15", "24.92", "470", "kPa", "00:48"),
    ("IV-0106", (2026, 2, 10), "15:30", "99.1", "612", "PSI", "01:11"),
    ("PC-0301", (2026, 2, 24), "10:50", "10.08", "702", "mmHg", "01:40"),
    ("IV-0105", (2026, 3, 3), "08:55", "92.8", "597", "PSI", "01:07"),
    ("IV-0105", (2026, 3, 5), "13:10", "100.4", "601", "PSI", "01:06"),
    ("IV-0104", (2026, 3, 16), "09:25", "100.9", "579", "PSI", "01:02"),
    ("SY-0203", (2026, 4, 22), "16:00", "25.11", "462", "kPa", "00:50"),
    ("SY-0204", (2026, 5, 27), "10:35", "24.87", "481", "kPa", "00:53"),
    ("IV-0102", (2026, 6, 18), "11:45", "100.2", "608", "PSI", "01:09"),
    ("IV-0101", (2026, 7, 6), "09:05", "99.8", "593", "PSI", "01:04"),
    ("IV-0105", (2026, 8, 31), "14:40", "100.6", "599", "PSI", "01:06"),
    ("IV-0104", (2026, 9, 14), "10:15", "101.2", "585", "PSI", "01:03"),
    ("SY-0202", (2026, 10, 20), "15:05", "24.95", "745", "kPa", "00:57"),
]
TESTS += [("IV-0103", day, "08:30", flow, "590", "PSI", "01:06")
          for day, flow in zip(DRIFT_DAYS, DRIFT)]
TESTS.sort(key=lambda t: (t[1], t[2]))


def user_pressure(mmhg, unit):
    value = {"PSI": int(mmhg) / 51.715, "kPa": int(mmhg) * 0.133322, "mmHg": int(mmhg)}[unit]
    return f"{value:.1f}" if unit != "mmHg" else mmhg


def row(n, test):
    device, (y, m, d), time, flow, mmhg, unit, peak = test
    volume = f"{float(flow) / 2:.2f}"[:5].rstrip(".")
    return ",".join([str(n), device, f"{d} {MONTHS[m - 1]} {y}", time, flow, volume, "00:30:00",
                     mmhg, "mmHg", user_pressure(mmhg, unit), unit, "00:" + peak])


def export(month_end, stamp):
    held = [t for t in TESTS if t[1] <= month_end]
    lines = [f"Dosimark Kest ID: {TESTER_ID}  SN: {SERIAL}  -  Data Exported On {stamp}",
             "Record Num,Device ID,Test Date,Test Time,Flow Rate,Volume Infused,Test Duration,"
             "Pressure,mmHg,Pressure,(user),OP Peak Time"]
    lines += [row(n, t) for n, t in enumerate(held, 1)]
    return "".join(line + "\r\n" for line in lines)


def main():
    os.makedirs(os.path.join(SAMPLE, "exports"), exist_ok=True)
    with open(os.path.join(SAMPLE, "assets.csv"), "w", newline="") as f:
        f.write(ASSETS)
    with open(os.path.join(SAMPLE, "testers.csv"), "w", newline="") as f:
        f.write(TESTERS)
    # Each month's export on its last working afternoon.
    ends = [(2025, 12, 30)] + [(2026, m, d) for m, d in
                               [(1, 30), (2, 27), (3, 31), (4, 30), (5, 29), (6, 30), (7, 31),
                                (8, 31), (9, 30), (10, 30), (11, 30)]]
    files = []
    for y, m, d in ends:
        name = os.path.join(SAMPLE, "exports", f"{y}-{m:02d}.csv")
        with open(name, "w", newline="") as f:
            f.write(export((y, m, d), f"{m:02d}/{d:02d}/{y % 100:02d} 16:45:00"))
        files.append(name)
    with tempfile.TemporaryDirectory() as work:
        subprocess.run([CLI, "-q", "--archive", os.path.join(work, "a.db"), "import"] + files,
                       check=True, stdout=subprocess.DEVNULL)


if __name__ == "__main__":
    main()
