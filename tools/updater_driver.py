#!/usr/bin/env python3
"""Drives the updater's window in a running X server: xdotool for keys and clicks,
ImageMagick's import for pictures, xclip for the failure page's text.

  updater_driver.py --binary B [--library-dir D] [--shots DIR] [--timeout S] drive

drive presses Ready once it is shown, saves a screenshot of each page it passes
through and ends 0 on the done page; on any other outcome it prints the failure
page's text and ends 1. Every wait polls a condition within a stated bound.
"""

import argparse
import glob
import os
import re
import signal
import subprocess
import sys
import threading
import time

TITLE = "^Kerno# Tindal 2 - Mise à jour( - |$)"   # xdotool regexes; a demonstration says so
CONFIRM_TITLE = "^Fermeture de l'application$"
WIDTH, HEIGHT = 801, 601
READY_BUTTON = (333, 528, 137, 40)     # x, y, w, h in the window
DONE_BUTTON = (345, 352, 111, 110)
STEP_DOTS = (366, 389, 411, 434)       # centres of the four step dots, at y 585
STEP_OF_PAGE = {"welcome": 0, "welcome-ready": 0, "connect": 1, "progress": 2, "last-percent": 3}
# The pages, as the updater's support log names them when it shows one.
PAGES_BY_CLASS = {"PageWelcomeForm": "welcome", "PageConnectAndDfuForm": "connect",
                  "PageDfuProgressForm": "progress", "PageDfuLastPercentForm": "last-percent",
                  "PageDfuDoneForm": "done", "PageDfuFailedForm": "failure",
                  "PageNetworkErrorForm": "network-error"}
START = time.monotonic()


class Failure(Exception):
    pass


def log(*args):
    print("[%7.2f]" % (time.monotonic() - START), *args, flush=True)


def check(what, got, want=True):
    """Raises Failure unless got == want (want True: unless got is true), naming both; unlike
    assert, python -O keeps it."""
    if not (bool(got) if want is True else got == want):
        raise Failure("%s: expected %.300r, got %.300r" % (what, want, got))


def wait_for(what, bound_s, probe, interval=0.1):
    """Polls probe() until it returns something true, at most bound_s seconds."""
    deadline = time.monotonic() + bound_s
    while True:
        value = probe()
        if value:
            return value
        if time.monotonic() > deadline:
            raise Failure("%s: not within %s s" % (what, bound_s))
        time.sleep(interval)


def run(args, timeout=10, check=True):
    p = subprocess.run(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=timeout)
    if check and p.returncode != 0:
        raise Failure("%s failed (%d): %s" % (" ".join(args), p.returncode,
                                              p.stderr.decode(errors="replace")))
    return p.stdout


class Shot:
    """An RGB picture of one window."""

    def __init__(self, raw):
        m = re.match(rb"P6\s+(?:#[^\n]*\s+)*(\d+)\s+(\d+)\s+255\s", raw)
        if not m:
            raise Failure("not an 8-bit PPM picture")
        self.width, self.height = int(m.group(1)), int(m.group(2))
        self.data = raw[m.end():m.end() + 3 * self.width * self.height]

    def count(self, rgb, box=None):
        x0, y0, w, h = box or (0, 0, self.width, self.height)
        n = 0
        for y in range(y0, y0 + h):
            row = self.data[3 * (y * self.width + x0):3 * (y * self.width + x0 + w)]
            n += sum(1 for p in zip(row[0::3], row[1::3], row[2::3]) if p == rgb)
        return n

    def teal_share(self, box):
        x0, y0, w, h = box
        teal = 0
        for y in range(y0, y0 + h):
            for x in range(x0, x0 + w):
                i = 3 * (y * self.width + x)
                r, g, b = self.data[i:i + 3]
                teal += g > 110 and b > 100 and r < 0.6 * g and abs(g - b) < 90
        return teal / float(w * h)


def screenshot(window, save_as=None):
    """window: an X window id or "root"; save_as: a file name whose suffix gives the format."""
    raw = run(["import", "-silent", "-window", str(window), "-depth", "8", "ppm:-"], timeout=20)
    if save_as:
        subprocess.run(["convert", "ppm:-", save_as], input=raw, check=True, timeout=20)
    return Shot(raw)


def lit_dots(shot):
    """Which of the four step dots are lit (teal)."""
    return [shot.teal_share((x - 3, 582, 7, 7)) > 0.4 for x in STEP_DOTS]


def looks_done(shot):
    """The done page's picture: all four step dots lit and the teal ring button."""
    return (shot.width, shot.height) == (WIDTH, HEIGHT) and shot.teal_share(DONE_BUTTON) > 0.08 \
        and all(lit_dots(shot))


def drawn(shot, page):
    """Whether the picture on screen is `page`'s, by its lit step dot (other pages: at once)."""
    if page == "done":
        return looks_done(shot)
    return page not in STEP_OF_PAGE or lit_dots(shot) == [i == STEP_OF_PAGE[page] for i in range(4)]


def ready_visible(shot):
    """The Ready button's teal outline and white "Suivant" over the welcome picture."""
    return shot.teal_share(READY_BUTTON) > 0.04 and shot.count((255, 255, 255), READY_BUTTON) > 20


def find_window(title_regex):
    ids = run(["xdotool", "search", "--onlyvisible", "--name", title_regex], check=False).split()
    return int(ids[0]) if ids else None


def key(window, *keys):
    # No window manager under Xvfb: windowactivate does not work there.
    run(["xdotool", "windowfocus", str(window)])
    wait_for("focus on window %d" % window, 5,
             lambda: run(["xdotool", "getwindowfocus"]).strip() == str(window).encode())
    if keys:
        run(["xdotool", "key", "--clearmodifiers"] + list(keys))


def click(window, x, y):
    run(["xdotool", "mousemove", "--window", str(window), str(x), str(y), "click", "1"])


def type_text(window, text):
    key(window)
    run(["xdotool", "type", "--delay", "20", text], timeout=60)


def wait_x_server(bound_s=15):
    wait_for("the X server on %s" % os.environ.get("DISPLAY"), bound_s, lambda: subprocess.run(
        ["xdotool", "getdisplaygeometry"], stdout=subprocess.DEVNULL,
        stderr=subprocess.DEVNULL, timeout=5).returncode == 0, interval=0.2)


class Updater:
    """The updater's process, its output lines collected as they come; library_dir goes
    first in the library search, env is added to the caller's environment, popen to Popen's."""

    def __init__(self, binary, library_dir=None, env=None, **popen):
        e = dict(os.environ)
        e.pop("QT_QPA_PLATFORM", None)
        if library_dir:
            e["LD_LIBRARY_PATH"] = library_dir + (":" + e["LD_LIBRARY_PATH"]
                                                  if e.get("LD_LIBRARY_PATH") else "")
        e.update(env or {})
        self.env, self.proc = e, subprocess.Popen(
            [binary], env=e, **{"stdout": subprocess.PIPE, "stderr": subprocess.PIPE, **popen})
        self.stdout, self.stderr, self.window = [], [], None
        for stream, lines in ((self.proc.stdout, self.stdout), (self.proc.stderr, self.stderr)):
            if stream:
                threading.Thread(target=self._collect, args=(stream, lines), daemon=True).start()

    @staticmethod
    def _collect(stream, lines):
        for raw in stream:
            lines.append(raw.decode("utf-8", errors="replace").rstrip("\n"))

    def check_alive(self):
        if self.proc.poll() is not None:
            raise Failure("the updater ended early with status %s; stderr: %s" %
                          (self.proc.returncode, "\n".join(self.stderr[-10:])))

    def wait_window(self, title=TITLE, bound_s=30):
        """The first visible window with that title, the process alive meanwhile."""
        window = wait_for("window %s" % title, bound_s,
                          lambda: self.check_alive() or find_window(title))
        if title == TITLE:
            self.window = window
        return window

    def shot(self, save_as=None):
        self.check_alive()
        return screenshot(self.window, save_as)

    def click_ready(self):
        x, y, w, h = READY_BUTTON
        click(self.window, x + w // 2, y + h // 2)

    def press_ready(self, bound_s=20):
        """The Ready button shows up at the end of the welcome pictures (about 1.3 s)."""
        wait_for("the Ready button", bound_s, lambda: ready_visible(self.shot()))
        self.click_ready()

    def support_log(self):
        """The text of the support log that the process writes, "" until there is one."""
        home = self.env.get("XDG_STATE_HOME") or os.path.expanduser("~/.local/state")
        logs = glob.glob(os.path.join(home, "kerno-tindal2-update", "run-*-%d.log" % self.proc.pid))
        with open(logs[0], errors="replace") if logs else open(os.devnull) as f:
            return f.read()

    def page(self):
        """The page the support log says was shown last; "failure+errors" once the failure's
        outcome and its entries are written; None before the first page."""
        log = self.support_log()
        pages = re.findall(r"^\S+ page (\w+)$", log, re.M)
        page = PAGES_BY_CLASS.get(pages[-1], pages[-1]) if pages else None
        errors = re.search(r"outcome: failure\n(?:.*\n)*?    n°1 : ", log)
        return page + "+errors" if page == "failure" and errors else page

    def wait_page(self, wanted, bound_s):
        """Waits until page() gives one of `wanted`; returns the page's name."""
        seen = []

        def probe():
            self.check_alive()
            seen.append(self.page())
            return seen[-1] if seen[-1] in wanted else None
        try:
            return wait_for("page %s" % "/".join(wanted), bound_s, probe, interval=0.05)
        except Failure as e:
            raise Failure("%s (pages seen: %s)" % (e, ", ".join(sorted(set(map(str, seen))))))

    def failure_text(self):
        """The failure page's text, through the clipboard."""
        click(self.window, WIDTH // 2, HEIGHT - 30)
        key(self.window, "ctrl+a", "ctrl+c")

        def probe():
            t = run(["xclip", "-o", "-selection", "clipboard"], check=False).decode(
                "utf-8", errors="replace")
            return t if "Build : " in t else None
        return wait_for("the failure text in the clipboard", 5, probe)

    def hid_errors(self):
        return [l for l in self.stdout if l.startswith("[[HID error]] ")]

    def close_with_confirmation(self, bound_s=10):
        """Escape, then OK: Return alone answers Cancel, the box's default button."""
        key(self.window, "Escape")
        box = self.wait_window(CONFIRM_TITLE, bound_s)
        key(box, "Tab", "Return")
        return self.wait_exit(bound_s)

    def wait_exit(self, bound_s):
        try:
            return self.proc.wait(timeout=bound_s)
        except subprocess.TimeoutExpired:
            raise Failure("the updater did not end within %s s" % bound_s)

    def kill(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(timeout=5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()


class Accessible:
    """The updater's window as a screen reader sees it, through AT-SPI (python3-pyatspi): needs a
    session bus (dbus-run-session) and an updater started with A11Y_ENV. Roles are AT-SPI's names
    ("push button", "progress bar", "panel"); only showing objects are looked for."""

    A11Y_ENV = {"QT_LINUX_ACCESSIBILITY_ALWAYS_ON": "1"}

    @staticmethod
    def start_bus():
        """Starts the accessibility bus (D-Bus activation), so that an updater started after
        joins it: Qt only watches for it and never starts it."""
        import pyatspi
        pyatspi.Registry.getDesktop(0).childCount

    def __init__(self, updater, bound_s=40):
        import pyatspi
        from gi.repository import GLib
        self.at, self.u = pyatspi, updater
        pid = updater.proc.pid

        def registered():   # the desktop's children are cached: its change events first
            while GLib.MainContext.default().iteration(False):
                pass
            return updater.check_alive() or next((a for a in pyatspi.Registry.getDesktop(0)
                                                  if a and a.get_process_id() == pid), None)
        self.app = wait_for("the updater on the accessibility bus", bound_s, registered)

    def listen(self, *kinds):
        """Counts the events of these kinds ("object:property-change:accessible-value") that
        the updater sends from now on, by kind and source name; see heard()."""
        self.told = {}

        def count(e):
            self.told[e.type, e.source.name] = self.told.get((e.type, e.source.name), 0) + 1
        self.at.Registry.registerEventListener(count, *kinds)

    def heard(self, kind, name):
        from gi.repository import GLib
        while GLib.MainContext.default().iteration(False):
            pass
        return self.told.get((kind, name), 0)

    def walk(self):
        stack = [self.app]
        while stack:
            o = stack.pop()
            yield o
            stack.extend(o[i] for i in reversed(range(o.childCount)))

    def has(self, o, state):
        return o.getState().contains(state)

    def showing(self):
        return (o for o in self.walk() if self.has(o, self.at.STATE_SHOWING))

    def find(self, name, role, bound_s=10, showing=True):
        """name: a regular expression matching the whole name."""
        def probe():
            self.u.check_alive()
            return next((o for o in (self.showing() if showing else self.walk())
                         if o.getRoleName() == role and re.fullmatch(name, o.name or "")), None)
        return wait_for("%s %r" % (role, name), bound_s, probe)

    def page(self):
        """The name of the page shown, the showing panel."""
        return next((o.name for o in self.showing() if o.getRoleName() == "panel"), None)

    def wait_page(self, names, bound_s):
        seen = set()

        def probe():
            self.u.check_alive()
            page = self.page()
            seen.add(page)
            return page if page in names else None
        try:
            return wait_for("page %s" % " / ".join(names), bound_s, probe, interval=0.05)
        except Failure as e:
            raise Failure("%s (pages seen: %s)" % (e, seen))

    def unnamed_controls(self):
        """Every focusable object without a name, as "role at depth path"."""
        return ["%s %s" % (o.getRoleName(), o.path) for o in self.walk()
                if self.has(o, self.at.STATE_FOCUSABLE) and not (o.name or "").strip()]

    def press(self, o):
        """Through the action interface, as a screen reader's "activate" does."""
        action = o.queryAction()
        names = [action.getName(i) for i in range(action.nActions)]
        if "Press" not in names:
            raise Failure("%s %r offers no Press action: %s" % (o.getRoleName(), o.name, names))
        action.doAction(names.index("Press"))

    def value(self, o):
        return o.queryValue().currentValue

    def text(self, o):
        t = o.queryText()
        return t.getText(0, t.characterCount)


def drive(u, shots_dir=None, timeout_s=180):
    """Presses Ready, saves a screenshot as each page comes; 0 on the done page, else 1."""
    saved = []

    def save(name):
        saved.append(name)
        path = shots_dir and os.path.join(shots_dir, "%02d-%s.png" % (len(saved), name))
        if path:
            try:   # the log names a page before it is painted; a page gone by is shot as it is
                wait_for("page %s drawn" % name, 2, lambda: drawn(u.shot(), name), interval=0.05)
            except Failure:
                pass
            u.shot(path)
        log("page %-14s -> %s" % (name, path or "(no screenshot folder)"))

    try:
        u.wait_window()
        deadline = time.monotonic() + timeout_s
        page = u.wait_page(["welcome"], timeout_s)
        save(page)
        wait_for("the Ready button", 20, lambda: ready_visible(u.shot()))
        save("welcome-ready")
        u.click_ready()
        while page not in ("done", "failure+errors"):
            page = u.wait_page([p for p in set(PAGES_BY_CLASS.values()) | {"failure+errors"}
                                if p != page], deadline - time.monotonic())
            save(page)
        if page == "done":
            print("done page reached", flush=True)
            key(u.window, "Escape")   # no confirmation once the speaker is reset
            u.wait_exit(10)
            return 0
        print("failure page reached; its text:\n" + u.failure_text(), flush=True)
        u.close_with_confirmation()
    except Failure as e:
        print("run failed: %s" % e, flush=True)
    finally:
        u.kill()
        for line in u.stdout + u.stderr:
            print("updater: " + line)
    return 1


def main():
    ap = argparse.ArgumentParser(description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--binary", required=True)
    ap.add_argument("--library-dir", help="first in the library search (the virtual speaker)")
    ap.add_argument("--shots", help="screenshot folder")
    ap.add_argument("--timeout", type=int, default=180, help="bound of the run, in s")
    ap.add_argument("command", choices=["drive"])
    opts = ap.parse_args()
    if not os.environ.get("DISPLAY"):
        print("needs an X server: run under xvfb-run", file=sys.stderr)
        return 2
    try:
        wait_x_server()
    except Failure as e:
        print(e, file=sys.stderr)
        return 1
    if opts.shots:
        os.makedirs(opts.shots, exist_ok=True)
    return drive(Updater(opts.binary, opts.library_dir), opts.shots, opts.timeout)


if __name__ == "__main__":
    sys.exit(main())
