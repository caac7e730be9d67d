"""The real program on the emulated USB chip, driven through AT-SPI.

lumkest runs unchanged with libftdi1 and libusb under libumockdev-preload;
the chip and the virtual tester behind it are served by ftdichip_server.
Attach, identity, download, decode, unplug and re-plug, as a technician
with a screen reader would see them; lumkest-cli on the same chip first.

    usb_journey.py BUILD_DIR PRELOAD
"""

import contextlib
import json
import os
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))

from atspi import find, is_enabled, press, table_cells, texts_of, wait_for  # noqa: E402
from e2e_journeys import BUILD, Program, dismiss, status_label  # noqa: E402

PRELOAD = sys.argv[2]
UNITS = {"p": "PSI", "k": "kPa", "b": "Bar"}


class Chip:
    """The chip server: a line command, then its answer up to "ok"."""

    def __init__(self):
        self.proc = subprocess.Popen([os.path.join(BUILD, "tests", "usb", "ftdichip_server")],
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        first = self.proc.stdout.readline().split()
        assert first[:1] == ["root"], first
        self.root = first[1]

    def command(self, line):
        self.proc.stdin.write(line + "\n")
        self.proc.stdin.flush()
        answer = []
        for reply in self.proc.stdout:
            if reply.strip() == "ok":
                return answer
            answer.append(reply.strip())
        raise AssertionError("chip server ended during " + line)

    def end(self):
        try:
            self.proc.stdin.write("quit\n")
            self.proc.stdin.close()
            self.proc.wait(10)
        except (OSError, subprocess.TimeoutExpired):
            self.proc.kill()
            self.proc.wait()


@contextlib.contextmanager
def on_emulated_bus(chip):
    """Programs started inside see the chip's testbed (Program copies the
    environment when it starts)."""
    saved = {k: os.environ.get(k) for k in ("LD_PRELOAD", "UMOCKDEV_DIR")}
    os.environ.update(LD_PRELOAD=PRELOAD, UMOCKDEV_DIR=chip.root)
    try:
        yield
    finally:
        for k, v in saved.items():
            if v is None:
                os.environ.pop(k, None)
            else:
                os.environ[k] = v


def expected_rows(block_hex):
    """The table rows of an all-records block, read from its slots."""
    block = bytes.fromhex(block_hex)
    count = block[8131]
    rows = []
    for s in range(123):
        raw = block[2 + 64 * s: 66 + 64 * s]
        if raw[0] == 0:
            continue
        fields, at = [], 0
        for width in (16, 11, 5, 5, 5, 8, 4, 4, 1, 5):
            fields.append(raw[at:at + width].split(b"\0")[0].decode("latin-1"))
            at += width
        dev, date, time_, flow, volume, duration, mmhg, user, unit, peak = fields
        rows.append([" %d " % (len(rows) + 1)] + [" %s " % v for v in (
            dev, date, time_, flow, volume, duration, mmhg + " mmHg",
            user + " " + UNITS.get(unit, "mmHg"), peak)])
        if len(rows) == count:
            break
    return rows


def attach(prog, frame, text):
    attached = prog.dialog("Device Attached", timeout=30)
    assert any(text in t for t in texts_of(attached)), texts_of(attached)
    dismiss(attached)
    wait_for("status 'Connected to Dosimark Kest'",
             lambda: status_label(frame, "Connected to Dosimark Kest"))
    download = find(frame, "push button", "Download Data")
    wait_for("Download Data enabled", lambda: is_enabled(download))
    return download


def wait_rows(frame, rows):
    table = wait_for("record table", lambda: find(frame, "table", "Record List"))
    wait_for("%d data rows" % len(rows), lambda: table.queryTable().nRows == len(rows), timeout=30)
    assert table_cells(table) == rows, table_cells(table)
    return table


def journey_attach_download_unplug_replug():
    chip = Chip()
    prog = None
    try:
        # The command-line program first: it must let go of the tester when
        # it is done, so that the window can open it.
        cli_download(chip)
        with on_emulated_bus(chip):
            prog = Program("lumkest")
        frame = prog.window("LUM Kest")
        press(attach(prog, frame, "A new device has been detected."))
        table = wait_rows(frame, expected_rows(chip.command("block")[0]))

        # Unplugged: the warning comes first, the status changes once it is closed.
        chip.command("unplug")
        gone = prog.dialog("Device Disconnected", timeout=30)
        assert any("It is advised that you save your data." in t for t in texts_of(gone)), \
            texts_of(gone)
        assert not is_enabled(find(frame, "push button", "Download Data"))
        assert status_label(frame, "Connected to Dosimark Kest")
        dismiss(gone)
        wait_for("status 'Not Connected'", lambda: status_label(frame, "Not Connected"))
        assert table.queryTable().nRows == 123, "the records stay shown"

        # Plugged in again, now holding five records: a fresh connection, and
        # the download replaces the unsaved records once the user says No.
        chip.command("plug 5")
        press(attach(prog, frame, "It is recommended that the current data be saved"))
        dismiss(prog.dialog("New Data", timeout=30), "No")
        wait_rows(frame, expected_rows(chip.command("block")[0]))
    finally:
        if prog:
            prog.end()
        chip.end()


def cli_download(chip):
    """lumkest-cli download over USB: the block exactly as the chip sent it,
    and the records it holds, as JSON on standard output."""
    block = chip.command("block")[0]
    with tempfile.TemporaryDirectory() as folder, on_emulated_bus(chip):
        raw = os.path.join(folder, "block.bin")
        run = subprocess.run([os.path.join(BUILD, "lumkest-cli"), "download", "--raw", raw,
                              "--json", "-"], capture_output=True, timeout=60, check=False)
        assert run.returncode == 0, (run.returncode, run.stderr)
        with open(raw, "rb") as f:
            assert f.read() == bytes.fromhex(block)
    rows = [[" %d " % r["record"]] + [" %s " % v for v in (
        r["deviceID"], r["testDate"], r["testTime"], r["flow"], r["volume"],
        r["testDuration"], r["pressureMMHG"] + " mmHg",
        r["pressureUser"] + " " + r["pressureUnits"], r["peakPressureTime"])]
        for r in json.loads(run.stdout)["records"]]
    assert rows == expected_rows(block), rows
    print("lumkest-cli: %d records over USB" % len(rows))


def main():
    journey_attach_download_unplug_replug()
    print("PASS journey_attach_download_unplug_replug")
    return 0


if __name__ == "__main__":
    sys.exit(main())
