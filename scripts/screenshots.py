"""Takes the README's screenshots of the main window under Xvfb.

Run through scripts/screenshots.sh, which provides the X server, the
session bus and the accessibility bus.
"""

import os
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests", "e2e"))
sys.argv = [sys.argv[0], sys.argv[1]] + sys.argv[2:]

import pyatspi  # noqa: E402

from atspi import click_at, find, find_all, is_enabled, is_showing, press, wait_for  # noqa: E402
import e2e_journeys as J  # noqa: E402

DOCS = os.path.abspath(sys.argv[2])


def shot(frame, name):
    x, y, w, h = frame.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
    time.sleep(0.7)
    xwd = subprocess.run(["xwd", "-root", "-silent"], check=True, capture_output=True).stdout
    pnm = subprocess.run(["xwdtopnm"], input=xwd, check=True, capture_output=True).stdout
    cut = subprocess.run(["pnmcut", str(x), str(y), str(w), str(h)], input=pnm, check=True,
                         capture_output=True).stdout
    png = subprocess.run(["pnmtopng"], input=cut, check=True, capture_output=True).stdout
    with open(os.path.join(DOCS, name), "wb") as f:
        f.write(png)
    print("wrote", name)


def main():
    prog = J.Program("lumkest-sim", "--no-tester-window")
    try:
        frame = prog.window("LUM Kest")
        J.dismiss(prog.dialog("Device Attached"))
        download = find(frame, "push button", "Download Data")
        wait_for("download enabled", lambda: is_enabled(download))
        shot(frame, "main-window.png")
        press(download)
        table = wait_for("table", lambda: find(frame, "table", "Record List"))
        wait_for("rows", lambda: table.queryTable().nRows == 123, timeout=20)
        for row in (1, 2, 4):
            click_at(table.queryTable().getAccessibleAt(row, 1))
            time.sleep(0.3)
        shot(frame, "list-view.png")
        click_at(table.queryTable().getAccessibleAt(6, 2), double=True)
        wait_for("single page", lambda: any(is_showing(l) for l in find_all(frame, "label", "Record #")))
        shot(frame, "single-record-view.png")
    finally:
        prog.end()


main()
