"""The installed program, started as an ordinary user the way the desktop
menu starts it: /usr/bin/lumkest, from the user's home folder.

Checks through the accessibility bus that it starts without the
help-files message, with every topic of the installed help.ini in its help
window, and that its log is in the user's state folder, not beside the
program.  Run by scripts/package-test.sh inside Xvfb, D-Bus and the AT-SPI
bus, as the test user.
"""

import os
import re
import signal
import stat
import subprocess
import sys
import time

from atspi import (application_for_pid, children, descendants, find, safe_name,
                   safe_role, top_window, wait_for)

PROGRAM = "/usr/bin/lumkest"
APPDIR = "/opt/lumkest"
STAMP = re.compile(r"^\d\d/\d\d/\d\d \d\d:\d\d:\d\d - Logging Initialized$")
ERROR_CAPTION = "Initialization Error"


def installed_topics():
    """Titles of the topics that help.ini lists, in order."""
    folder = os.path.join(APPDIR, "help")
    with open(os.path.join(folder, "help.ini"), newline="") as f:
        names = [line.rstrip("\n").rstrip("\r") for line in f.readlines()[1:]]
    titles = []
    for name in names:
        with open(os.path.join(folder, name), newline="") as f:
            titles.append(f.readline().rstrip("\n").rstrip("\r"))
    return titles


def text_of(acc):
    try:
        t = acc.queryText()
        return t.getText(0, t.characterCount)
    except Exception:
        return ""


def error_boxes(app):
    return [w for w in children(app) if safe_name(w) == ERROR_CAPTION]


def describe(window):
    return [safe_name(n) for n in descendants(window) if safe_role(n) == "label"]


def main():
    home = os.environ["HOME"]
    state = os.environ.get("XDG_STATE_HOME") or os.path.join(home, ".local", "state")
    log = os.path.join(state, "lumkest", "dbug.dbg")
    assert not os.path.exists(log), "no log before the start"
    assert not os.access(APPDIR, os.W_OK), "the program folder is read-only for the user"

    env = dict(os.environ, QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1")
    env.pop("QT_QPA_PLATFORM", None)
    proc = subprocess.Popen([PROGRAM], cwd=home, env=env)
    try:
        app = application_for_pid(proc.pid)
        # A help-files message would come up before the main window.
        wait_for("the main window or an error box",
                 lambda: error_boxes(app) or find_main(app), timeout=20)
        time.sleep(1)
        boxes = error_boxes(app)
        assert not boxes, "help-files message at start: %s" % describe(boxes[0])
        frame = top_window(app, "LUM Kest")
        wait_for("status 'Not Connected'", lambda: find(frame, "label", "Not Connected"))

        with open(log) as f:
            first = f.readline().rstrip("\n")
        assert STAMP.match(first), "the log starts with its time stamp: %r" % first
        st, folder = os.stat(log), os.stat(os.path.dirname(log))
        assert st.st_uid == os.getuid() and not st.st_mode & stat.S_IWOTH, oct(st.st_mode)
        assert stat.S_IMODE(folder.st_mode) == 0o700, oct(folder.st_mode)
        assert not os.path.exists(os.path.join(APPDIR, "dbug.dbg")), "no log beside the program"

        expected = installed_topics()
        assert expected, "help.ini lists topics"
        item = wait_for("menu item Help", lambda: find(frame, "menu item", "Help"))
        item.queryAction().doAction(0)
        helpwin = top_window(app, "Help")
        combo = wait_for("topic list", lambda: find(helpwin, "combo box"))
        listed = [safe_name(n) for n in descendants(combo) if safe_role(n) == "list item"]
        assert listed == expected, "topics %r, expected %r" % (listed, expected)
        assert safe_name(combo) == expected[0], "first topic chosen: %r" % safe_name(combo)
        shown = wait_for("the first topic's text",
                         lambda: next((t for t in (text_of(n) for n in descendants(helpwin)
                                                   if safe_role(n) in ("text", "document text"))
                                       if t.startswith(expected[0])), None))
        assert len(shown.splitlines()) > 1, "the topic's text is shown whole"
        assert not error_boxes(app), "no error box when showing help"

        exit_item = wait_for("menu item Exit", lambda: find(frame, "menu item", "Exit"))
        exit_item.queryAction().doAction(0)
        assert proc.wait(10) == 0, "exit code 0"
    finally:
        if proc.poll() is None:
            proc.send_signal(signal.SIGTERM)
            try:
                proc.wait(5)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()
    print("installed program: started without help-files message, %d help topics, log in %s"
          % (len(expected), log))


def find_main(app):
    return next((w for w in children(app) if safe_name(w) == "LUM Kest"), None)


if __name__ == "__main__":
    try:
        main()
    except AssertionError as e:
        print("FAILED: %s" % e, file=sys.stderr)
        sys.exit(1)
