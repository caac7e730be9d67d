"""End-to-end journeys through the accessibility interface.

Each journey starts a real executable and uses it as a technician with a
screen reader would: it finds windows, labels, buttons and the record table
by their accessible names and roles, presses buttons, and reads what is
shown.
"""

import os
import re
import shutil
import signal
import subprocess
import sys
import time
import traceback

import pyatspi

from atspi import (children, click_at, column_headers, find, find_all, is_enabled, is_showing,
                   application_for_pid, press, safe_name, table_cells, texts_of,
                   top_window, wait_for, x_window_titles)

BUILD = os.path.abspath(sys.argv[1])
STAMP = re.compile(r"^\d\d/\d\d/\d\d \d\d:\d\d:\d\d - Logging Initialized$")


class Program:
    def __init__(self, name, *args):
        env = dict(os.environ)
        env["QT_LINUX_ACCESSIBILITY_ALWAYS_ON"] = "1"
        env.pop("QT_QPA_PLATFORM", None)
        self.path = os.path.join(BUILD, name)
        # Started from another folder: the log must still land beside the executable.
        self.proc = subprocess.Popen([self.path] + list(args), cwd="/tmp", env=env)
        self.app = application_for_pid(self.proc.pid)

    def window(self, name, timeout=15.0):
        return top_window(self.app, name, timeout)

    def dialog(self, caption, timeout=15.0):
        return self.window(caption, timeout)

    def end(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()


def labelled_by(acc):
    names = []
    for rel in acc.getRelationSet():
        if rel.getRelationType() == pyatspi.RELATION_LABELLED_BY:
            names += [safe_name(rel.getTarget(i)) for i in range(rel.getNTargets())]
    return names


def dismiss(dialog, button="OK"):
    press(wait_for("button " + button, lambda: find(dialog, "push button", button)))


def status_label(frame, text):
    return find(frame, "label", text)


def journey_start_and_exit():
    """The program starts with its window, status and log, shows its help and
    About box, and exits cleanly."""
    log = os.path.join(BUILD, "dbug.dbg")
    if os.path.exists(log):
        os.remove(log)
    prog = Program("lumkest")
    try:
        frame = prog.window("LUM Kest")
        wait_for("status 'Not Connected'", lambda: status_label(frame, "Not Connected"))
        download = find(frame, "push button", "Download Data")
        assert download is not None and not is_enabled(download), "Download Data disabled at start"
        with open(log) as f:
            first = f.readline().rstrip("\n")
        assert STAMP.match(first), "log begins with a time stamp: %r" % first
        help_and_about(prog, frame)
        exit_item = wait_for("menu item Exit", lambda: find(frame, "menu item", "Exit"))
        exit_item.queryAction().doAction(0)
        assert prog.proc.wait(10) == 0, "exit code 0"
    finally:
        prog.end()


def help_and_about(prog, frame):
    """F1 opens the help on its first topic; the next topic is read from the
    text box; the About box opens from the menu and OK closes it."""
    click_at(status_label(frame, "Not Connected"))
    key("F1")
    help_window = prog.window("Help")
    wait_for("help window shown", lambda: is_showing(help_window))
    text_box = wait_for("help text", lambda: find(help_window, "text", "Help Text"))
    read = lambda: text_box.queryText().getText(0, -1)
    wait_for("first topic shown", lambda: read().startswith("Getting Started\n"))
    key("Down")  # the topic list has the focus: the next topic
    wait_for("second topic shown", lambda: read().startswith("Connecting The Tester On Linux\n"))
    assert "70-lumkest.rules" in read() and "plugdev" in read(), read()[:200]
    press(find(help_window, "push button", "Exit Help"))
    wait_for("help window hidden", lambda: not is_showing(help_window))

    # The menu bar's "About" opens a menu that holds the command "About".
    command = wait_for("menu command About", lambda: next(
        (i for i in find_all(frame, "menu item", "About")
         if i.parent.getRoleName() == "popup menu"), None))
    command.queryAction().doAction(0)
    about = prog.window("About")
    wait_for("About shown", lambda: is_showing(about))
    for text in ("LUM Kest", "Version 1.0.2.0", "Korvane Systems Inc.", "www.korvane.example.com"):
        assert text in texts_of(about), (text, texts_of(about))
    press(find(about, "push button", "OK"))
    wait_for("About hidden", lambda: not is_showing(about))


def key(name):
    subprocess.run(["xdotool", "key", name], check=True, env=dict(os.environ))


def journey_attach_download_sort_open():
    prog = Program("lumkest-sim")
    try:
        frame = prog.window("LUM Kest")
        attached = prog.dialog("Device Attached")
        assert "A new device has been detected." in texts_of(attached), texts_of(attached)
        # The title bars carry the captions exactly, with nothing appended.
        titles = x_window_titles(prog.proc.pid)
        assert "Device Attached" in titles and "LUM Kest" in titles, titles
        # OK gives the focus back to the main window, not to the Virtual
        # Tester window: Ctrl+D downloads at once.
        prog.window("Virtual Tester")
        dismiss(attached)
        wait_for("status 'Connected to Dosimark Kest'",
                 lambda: status_label(frame, "Connected to Dosimark Kest"))
        download = find(frame, "push button", "Download Data")
        wait_for("Download Data enabled", lambda: is_enabled(download))

        # Download: the list fills with one row per record.
        key("ctrl+d")
        table = wait_for("record table", lambda: find(frame, "table", "Record List"))
        wait_for("123 data rows", lambda: table.queryTable().nRows == 123, timeout=20)
        headers = column_headers(table)
        assert headers == [" # ", " Device ID ", " Date ", " Time ", " Flow Rate ", " Volume ",
                           " Test Duration ", " Pressure ", " Pressure ", " OP Peak Time "], headers
        rows = table_cells(table)
        assert [r[0] for r in rows] == [" %d " % (i + 1) for i in range(123)]
        for r in rows:
            assert all(c.startswith(" ") and c.endswith(" ") for c in r), r
            assert r[7].endswith(" mmHg "), r
            assert r[8].split()[-1] in ("PSI", "kPa", "Bar", "mmHg"), r
        units = {r[8].split()[-1] for r in rows}
        assert units == {"PSI", "kPa", "Bar", "mmHg"}, units
        for name in ("Sort Records By Device ID", "Sort Records By Time/Date", "Select All",
                     "Clear All Selected", "Save Selected", "Print Selected"):
            assert is_enabled(find(frame, "push button", name)), name

        # Sort by device ID: case-insensitive order, numbers still 1..n.
        press(find(frame, "push button", "Sort Records By Device ID"))
        def sorted_ids():
            ids = [r[1].strip().upper() for r in table_cells(table)]
            return ids == sorted(ids)
        wait_for("rows sorted by device ID", sorted_ids)
        rows = table_cells(table)
        assert [r[0] for r in rows] == [" %d " % (i + 1) for i in range(123)]

        # A screen reader hears the records' selection, not the current row.
        press(find(frame, "push button", "Select All"))
        wait_for("all 123 rows read as selected",
                 lambda: len(table.queryTable().getSelectedRows()) == 123)
        press(find(frame, "push button", "Clear All Selected"))
        wait_for("no row read as selected",
                 lambda: list(table.queryTable().getSelectedRows()) == [])

        # Open record 5 by double click: the single record page shows it.
        t = table.queryTable()
        cell = t.getAccessibleAt(4, 2)
        click_at(cell, double=True)
        wait_for("single record page shown", lambda: any(
            is_showing(l) for l in find_all(frame, "label", "Record #")))
        page = frame
        row5 = rows[4]
        labels = wait_for("record 5 shown", lambda: (lambda l: l if "5" in l else None)(texts_of(page)))
        expect = [row5[1].strip(), row5[3].strip() + " (hh:mm)", row5[2].strip(),
                  row5[4].strip() + " ml/hr", row5[5].strip() + " ml",
                  row5[9].strip() + " (mm:ss)", row5[6].strip() + " (hh:mm:ss)"]
        for text in expect:
            assert text in labels, (text, labels)
        mmhg, user = row5[7].split()[0], row5[8].split()
        assert "%s mmHg (%s %s)" % (mmhg, user[0], user[1]) in labels, labels
        # The record chooser shows entry " 5"; its hint stays readable.
        chooser = find(page, "combo box")
        assert safe_name(chooser) == " 5", safe_name(chooser)
        assert chooser.description == "Select The Record Of Interest", chooser.description
        # The values sit in a pane; the chooser is labelled by "Record #".
        pane = find(page, "panel", "Record Values")
        assert pane is not None, "values pane"
        assert labelled_by(chooser) == ["Record #"], labelled_by(chooser)
        # The double click toggled row 5 once: its record is now selected.
        check = find(page, "check box", "Select Record")
        assert check.getState().contains(pyatspi.STATE_CHECKED)
        selected = list(table.queryTable().getSelectedRows())
        assert selected == [4], selected

        # The keyboard on the list: Tab from "Download Data" reaches row 5,
        # the current row; Space deselects it, Down moves to row 6 and
        # selects it, Enter opens record 6.
        press(find(frame, "page tab", "List View"))
        wait_for("list page shown", lambda: is_showing(table))
        download.queryComponent().grabFocus()
        key("Tab")
        key("space")
        wait_for("Space deselected row 5", lambda: list(table.queryTable().getSelectedRows()) == [])
        key("Down")
        wait_for("Down selected row 6", lambda: list(table.queryTable().getSelectedRows()) == [5])
        key("Return")
        wait_for("record 6 shown", lambda: rows[5][1].strip() in texts_of(page))
        assert check.getState().contains(pyatspi.STATE_CHECKED)

        # Escape and the close box never answer "New Data": the current
        # records stay until Yes or No is chosen.
        key("ctrl+d")
        new_data = prog.dialog("New Data")
        wait_for("question shown", lambda: is_showing(new_data))
        key("Escape")
        time.sleep(0.5)
        assert is_showing(new_data), "Escape left New Data up"
        assert list(table.queryTable().getSelectedRows()) == [5], "records kept"
        dismiss(new_data, "No")
        wait_for("new records in place", lambda: list(table.queryTable().getSelectedRows()) == [])

        # Enter at "Unsaved Data" keeps the window and its records.
        key("ctrl+x")
        unsaved = prog.dialog("Unsaved Data")
        wait_for("question shown", lambda: is_showing(unsaved))
        key("Return")
        wait_for("question answered", lambda: not is_showing(unsaved))
        time.sleep(0.5)
        assert prog.proc.poll() is None and is_showing(frame), "Enter kept the program open"
    finally:
        prog.end()


def slot(device_id, date, time_, flow, volume, duration, mmhg, user, unit, peak):
    """One 64-byte record slot as the tester sends it."""
    def field(text, width):
        raw = text.encode("latin-1")[:width]
        return raw + b"\0" * (width - len(raw))
    out = (field(device_id, 16) + field(date, 11) + field(time_, 5) + field(flow, 5) +
           field(volume, 5) + field(duration, 8) + field(mmhg, 4) + field(user, 4) +
           unit.encode("latin-1") + field(peak, 5))
    assert len(out) == 64
    return out


def journey_own_block_exact_cells():
    """A block of our own making: exact cell texts, an empty slot skipped,
    full-width fields kept whole, the identity taken from the reply."""
    records = {
        1: ("ABCDEFGHIJKLMNOP", "29 Dec 2003", "18:34", "5.183", "5.183", "88:48:39", "376", "7.27", "p", "16:32"),
        2: ("12,34", "5 Jun 2004", "07:05", "12.5", "100.2", "01:02:03", "1200", "23.2", "k", "00:59"),
        4: ("icu-7", "30 Jan 2004", "23:59", "0.1", "0.0", "00:00:10", "12", "0.01", "b", "01:00"),
        5: ("Z", "1 Feb 2010", "00:00", "999.9", "99999", "99:59:59", "9999", "9999", "?", "59:59"),
    }
    block = bytearray(b"B\0" + b"\0" * (64 * 128))
    for s, rec in records.items():
        block[2 + 64 * (s - 1): 2 + 64 * s] = slot(*rec)
    block[8131] = 4  # the record count
    assert len(block) == 8194
    identity = b"I" + b"SN-0042".ljust(12, b"\0") + b"KEST-UNIT-9".ljust(20, b"\0")
    folder = "/tmp/lumkest-e2e-%d" % os.getpid()
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "block.bin"), "wb") as f:
        f.write(block)
    with open(os.path.join(folder, "identity.bin"), "wb") as f:
        f.write(identity)
    prog = Program("lumkest-sim", "--block", os.path.join(folder, "block.bin"),
                   "--identity", os.path.join(folder, "identity.bin"), "--no-tester-window")
    try:
        frame = prog.window("LUM Kest")
        dismiss(prog.dialog("Device Attached"))
        download = find(frame, "push button", "Download Data")
        wait_for("Download Data enabled", lambda: is_enabled(download))
        press(download)
        table = wait_for("record table", lambda: find(frame, "table", "Record List"))
        wait_for("4 data rows", lambda: table.queryTable().nRows == 4, timeout=20)
        expected = []
        for n, s in enumerate(sorted(records)):
            r = records[s]
            unit = {"p": "PSI", "k": "kPa", "b": "Bar"}.get(r[8], "mmHg")
            expected.append([" %d " % (n + 1), " %s " % r[0], " %s " % r[1], " %s " % r[2],
                             " %s " % r[3], " %s " % r[4], " %s " % r[5], " %s mmHg " % r[6],
                             " %s %s " % (r[7], unit), " %s " % r[9]])
        assert table_cells(table) == expected, table_cells(table)

        # By time/date: 30 Jan 2004 < 5 Jun 2004; 29 Dec 2003 first, 2010 last.
        press(find(frame, "push button", "Sort Records By Time/Date"))
        wait_for("date order", lambda: [r[1] for r in table_cells(table)] ==
                 [" ABCDEFGHIJKLMNOP ", " icu-7 ", " 12,34 ", " Z "])

        # Export the sorted records through the save dialog and the file
        # dialog, as a technician would: the file holds them in that order.
        exported = os.path.join(folder, "export.csv")
        item = wait_for("menu item Export To CSV", lambda: find(frame, "menu item", "Export To CSV"))
        item.queryAction().doAction(0)
        dialog = prog.dialog("Export To CSV")
        press(wait_for("Export button", lambda: find(dialog, "push button", "Export")))
        files = prog.dialog("uLUM - Save File")
        name = wait_for("file name field", lambda: find(files, "text", "File name:"))
        # No Save folder where the program runs: the dialog proposes no name.
        assert name.queryText().getText(0, -1) == "", name.queryText().getText(0, -1)
        # A file that cannot be written: "File Error", after which the save
        # dialog has the focus again and Enter tries again.
        name.queryEditableText().setTextContents("/dev/null/export.csv")
        save = find(files, "push button", "Save")
        wait_for("Save enabled", lambda: is_enabled(save))
        press(save)
        error = prog.dialog("File Error")
        wait_for("File Error shown", lambda: is_showing(error))
        key("Return")
        wait_for("File Error answered", lambda: not is_showing(error))
        wait_for("save dialog active", lambda: dialog.getState().contains(pyatspi.STATE_ACTIVE))
        key("Return")
        files = wait_for("file dialog again", lambda: next(
            (w for w in children(prog.app)
             if safe_name(w) == "uLUM - Save File" and is_showing(w)), None))
        name = wait_for("file name field", lambda: find(files, "text", "File name:"))
        name.queryEditableText().setTextContents(exported)
        save = find(files, "push button", "Save")
        wait_for("Save enabled", lambda: is_enabled(save))
        press(save)
        wait_for("file written", lambda: os.path.exists(exported))
        with open(exported, "rb") as f:
            lines = f.read().split(b"\r\n")
        head = b"Dosimark Kest ID: KEST-UNIT-9  SN: SN-0042  -  Data Exported On "
        assert lines[0].startswith(head) and re.match(rb"^\d\d/\d\d/\d\d \d\d:\d\d:\d\d$",
                                                      lines[0][len(head):]), lines[0]
        assert lines[2:] == [
            b"1,ABCDEFGHIJKLMNOP,29 Dec 2003,18:34,5.183,5.183,88:48:39,376,mmHg,7.27,PSI,00:16:32",
            b"2,icu-7,30 Jan 2004,23:59,0.1,0.0,00:00:10,12,mmHg,0.01,Bar,00:01:00",
            b"3,12 34,5 Jun 2004,07:05,12.5,100.2,01:02:03,1200,mmHg,23.2,kPa,00:00:59",
            b"4,Z,1 Feb 2010,00:00,999.9,99999,99:59:59,9999,mmHg,9999,mmHg,00:59:59",
            b""], lines
        wait_for("save dialog closed", lambda: not is_showing(dialog))
    finally:
        prog.end()
        shutil.rmtree(folder, ignore_errors=True)


JOURNEYS = [journey_start_and_exit, journey_attach_download_sort_open, journey_own_block_exact_cells]


def main():
    failed = 0
    for journey in JOURNEYS:
        started = time.time()
        try:
            journey()
            print("PASS %s (%.1f s)" % (journey.__name__, time.time() - started))
        except Exception:
            failed += 1
            print("FAIL %s" % journey.__name__)
            traceback.print_exc()
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
