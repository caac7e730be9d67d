"""Small helpers for driving the program through the accessibility bus."""

import os
import subprocess
import time

import pyatspi


class Timeout(AssertionError):
    pass


def wait_for(what, predicate, timeout=15.0, interval=0.2):
    deadline = time.time() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.time() > deadline:
            raise Timeout("timed out waiting for " + what)
        time.sleep(interval)


def safe_name(acc):
    try:
        return acc.name or ""
    except Exception:
        return ""


def safe_role(acc):
    try:
        return acc.getRoleName()
    except Exception:
        return ""


def children(acc):
    try:
        return [acc.getChildAtIndex(i) for i in range(acc.childCount)]
    except Exception:
        return []


def descendants(acc, limit=20000):
    out, stack = [], [acc]
    while stack and len(out) < limit:
        node = stack.pop()
        if node is None:
            continue
        out.append(node)
        # Tables expose one child per cell; their cells are read through
        # the table interface instead.
        if safe_role(node) in ("table", "tree table"):
            continue
        stack.extend(reversed(children(node)))
    return out


def find(acc, role=None, name=None, contains=None):
    for node in descendants(acc):
        if role and safe_role(node) != role:
            continue
        n = safe_name(node)
        if name is not None and n != name:
            continue
        if contains is not None and contains not in n:
            continue
        return node
    return None


def find_all(acc, role=None, name=None):
    return [n for n in descendants(acc)
            if (role is None or safe_role(n) == role) and (name is None or safe_name(n) == name)]


def application_for_pid(pid, timeout=20.0):
    def look():
        desktop = pyatspi.Registry.getDesktop(0)
        for app in children(desktop):
            try:
                if app is not None and app.get_process_id() == pid:
                    return app
            except Exception:
                pass
        return None
    return wait_for("application with pid %d on the accessibility bus" % pid, look, timeout)


def top_window(app, name, timeout=15.0):
    return wait_for("window '%s'" % name,
                    lambda: next((w for w in children(app) if safe_name(w) == name), None),
                    timeout)


def press(button):
    action = button.queryAction()
    for i in range(action.nActions):
        if action.getName(i) in ("Press", "press", "click", "Click"):
            action.doAction(i)
            return
    action.doAction(0)


def is_enabled(acc):
    return acc.getState().contains(pyatspi.STATE_ENABLED)


def is_showing(acc):
    return acc.getState().contains(pyatspi.STATE_SHOWING)


def texts_of(acc):
    """Names of every label below acc (what a screen reader reads)."""
    return [safe_name(n) for n in descendants(acc) if safe_role(n) == "label"]


def table_cells(table):
    t = table.queryTable()
    rows = []
    for r in range(t.nRows):
        row = []
        for c in range(t.nColumns):
            cell = t.getAccessibleAt(r, c)
            row.append(safe_name(cell) if cell is not None else "")
        rows.append(row)
    return rows


def column_headers(table):
    t = table.queryTable()
    out = []
    for c in range(t.nColumns):
        h = t.getColumnHeader(c)
        out.append(safe_name(h) if h is not None else (t.getColumnDescription(c) or ""))
    return out


def click_at(acc, double=False):
    """Clicks in the middle of acc with the X pointer (xdotool)."""
    comp = acc.queryComponent()
    x, y, w, h = comp.getExtents(pyatspi.DESKTOP_COORDS)
    cx, cy = x + w // 2, y + h // 2
    args = ["xdotool", "mousemove", str(cx), str(cy), "click"]
    if double:
        args += ["--repeat", "2", "--delay", "80"]
    args.append("1")
    subprocess.run(args, check=True, env=dict(os.environ))


def x_window_titles(pid):
    """Title bars of the visible X windows of process pid (what the window
    manager shows), read with xdotool."""
    found = subprocess.run(["xdotool", "search", "--onlyvisible", "--pid", str(pid)],
                           capture_output=True, text=True, env=dict(os.environ))
    titles = []
    for wid in found.stdout.split():
        name = subprocess.run(["xdotool", "getwindowname", wid],
                              capture_output=True, text=True, env=dict(os.environ))
        if name.returncode == 0:
            titles.append(name.stdout.rstrip("\n"))
    return titles
