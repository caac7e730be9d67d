"""Printing through a real printer service, as a user does it.

lumkest-sim downloads its records; the Print command opens the program's
Print window, whose Print button opens Qt's print dialog with the private
CUPS queue chosen; its Print button sends the job.  The cups-pdf queue turns
every job into a PDF file, whose pages are counted.

    e2e_print.py BUILD_DIR WORK_DIR   (CUPS_SERVER names the private server)
"""

import glob
import os
import subprocess
import sys
import time
import traceback

import pyatspi

from atspi import (application_for_pid, children, find, is_enabled, is_showing, press, safe_name,
                   wait_for)

BUILD, WORK = (os.path.abspath(a) for a in sys.argv[1:3])
QUEUE = "LumKestPDF"


def pages_of(pdf):
    info = subprocess.run(["pdfinfo", pdf], capture_output=True, text=True)
    for line in info.stdout.splitlines():
        if line.startswith("Pages:"):
            return int(line.split()[1])
    return None


def job_outputs():
    return sorted(glob.glob(os.path.join(WORK, "out", "*.pdf")))


def print_windows(app):
    """The program's Print window and Qt's print dialog, told apart by their
    controls (both are called "Print")."""
    ours = theirs = None
    for w in children(app):
        if safe_name(w) != "Print" or not is_showing(w):
            continue
        if find(w, "radio button", "Print All Records"):
            ours = w
        elif find(w, "panel", "Printer"):
            theirs = w
    return ours, theirs


def print_job(app, frame, record_format, count_before):
    """Print command, then the program's Print window, then Qt's dialog."""
    item = wait_for("menu item Print", lambda: find(frame, "menu item", "Print"))
    item.queryAction().doAction(0)
    ours = wait_for("the program's Print window", lambda: print_windows(app)[0])
    wait_for("Print All Records checked", lambda: find(ours, "radio button", "Print All Records")
             .getState().contains(pyatspi.STATE_CHECKED))
    if record_format:
        press(find(ours, "radio button", "Individual Record Format"))
    press(find(ours, "push button", "Print"))
    theirs = wait_for("Qt's print dialog", lambda: print_windows(app)[1])
    printer = wait_for("printer list", lambda: find(find(theirs, "panel", "Printer"), "combo box"))
    assert safe_name(printer) == QUEUE, "queue chosen: %r" % safe_name(printer)
    button = find(theirs, "push button", "Print")
    assert button is not None and is_enabled(button)
    press(button)
    # The job is laid out inside the button's handler; the window closes after it.
    wait_for("Print window closed", lambda: print_windows(app) == (None, None), timeout=60)
    wait_for("job %d in the cups-pdf folder" % (count_before + 1),
             lambda: len(job_outputs()) == count_before + 1, timeout=90)
    wait_for("no job left in the queue", lambda: subprocess.run(
        ["lpstat", "-o", QUEUE], capture_output=True, text=True).stdout.strip() == "", timeout=90)
    return job_outputs()[-1]


def journey_print_both_layouts():
    env = dict(os.environ)
    env["QT_LINUX_ACCESSIBILITY_ALWAYS_ON"] = "1"
    env.pop("QT_QPA_PLATFORM", None)
    proc = subprocess.Popen([os.path.join(BUILD, "lumkest-sim"), "--no-tester-window"],
                            cwd="/tmp", env=env)
    try:
        app = application_for_pid(proc.pid)
        frame = wait_for("main window", lambda: next(
            (w for w in children(app) if safe_name(w) == "LUM Kest"), None))
        attached = wait_for("Device Attached", lambda: next(
            (w for w in children(app) if safe_name(w) == "Device Attached"), None))
        press(wait_for("OK", lambda: find(attached, "push button", "OK")))
        download = find(frame, "push button", "Download Data")
        wait_for("Download Data enabled", lambda: is_enabled(download))
        press(download)
        table = wait_for("record table", lambda: find(frame, "table", "Record List"))
        wait_for("123 rows", lambda: table.queryTable().nRows == 123, timeout=30)

        # A4 (the queue's default) at 1200 dpi, Liberation Sans for Arial:
        # the list of 123 records fills 3 landscape pages, the record
        # blocks 21 portrait pages of six.
        for record_format, expected in ((False, 3), (True, 21)):
            pdf = print_job(app, frame, record_format, len(job_outputs()))
            pages = wait_for("pages of " + pdf, lambda: pages_of(pdf), timeout=30)
            assert pages == expected, "%s: %d pages, expected %d" % (pdf, pages, expected)
            # Readable text: the page header on the first page, the closing
            # block on the last only.
            def text(first, last):
                return subprocess.run(["pdftotext", "-f", str(first), "-l", str(last), pdf, "-"],
                                      capture_output=True, text=True).stdout
            assert "Data Printed On" in text(1, 1) and "Technician:" not in text(1, pages - 1)
            assert "Technician:" in text(pages, pages)
            assert ("Record #:123" in text(pages, pages)) == record_format
            print("job %s: %d pages" % (os.path.basename(pdf), pages))
    finally:
        if proc.poll() is None:
            proc.terminate()
            try:
                proc.wait(5)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()


def main():
    started = time.time()
    try:
        journey_print_both_layouts()
        print("PASS journey_print_both_layouts (%.1f s)" % (time.time() - started))
        return 0
    except Exception:
        print("FAIL journey_print_both_layouts")
        traceback.print_exc()
        return 1


if __name__ == "__main__":
    sys.exit(main())
