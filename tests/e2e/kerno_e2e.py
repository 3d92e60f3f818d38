#!/usr/bin/env python3
"""End-to-end runs of the updater: the real binary in a real X server, real
key presses and clicks through xdotool, the virtual speaker library first in
the library search.

Every wait polls a condition and names its bound. Pages are told apart by
pixels (see classify()); the failure page's text is read through the
clipboard (click in its text area, Ctrl+A, Ctrl+C, xclip).
"""

import argparse
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

TITLE = "Tindal 2 - Mise à jour"   # the main window's title, as an xdotool regex
CONFIRM_TITLE = "^Fermeture de l'application$"
CHOOSER_TITLE = "^Choix du Firmware$"
DISK_TITLE = "^Problème d'espace disque$"
INIT_FAILED_TITLE = "^Erreur d'initialisation$"
WIDTH, HEIGHT = 801, 601
READY_BUTTON = (333, 528, 137, 40)     # x, y, w, h in the window
DONE_BUTTON = (345, 352, 111, 110)
TEMP_PREFIX = "Kerno_Tindal2-Mise_a_jour-V027.dfu-"

# A short virtual speaker: the suite stays quick.
QUICK = "appear-after-ms=300;chunk-ms=1;manifest-ms=150"


class Failure(Exception):
    pass


def log(*args):
    print("[e2e %7.2f]" % (time.monotonic() - START), *args, flush=True)


START = time.monotonic()


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


# --- Pixels -------------------------------------------------------------------

class Shot:
    """An RGB picture of one window."""

    def __init__(self, data, width, height):
        self.data, self.width, self.height = data, width, height

    def pixel(self, x, y):
        i = 3 * (y * self.width + x)
        return tuple(self.data[i:i + 3])

    def count(self, rgb, box=None):
        x0, y0, w, h = box or (0, 0, self.width, self.height)
        n = 0
        for y in range(y0, y0 + h):
            row = self.data[3 * (y * self.width + x0):3 * (y * self.width + x0 + w)]
            n += sum(1 for p in zip(row[0::3], row[1::3], row[2::3]) if p == rgb)
        return n

    def mean_brightness(self, step=7):
        d = self.data
        total = n = 0
        for i in range(0, len(d) - 2, 3 * step):
            total += d[i] + d[i + 1] + d[i + 2]
            n += 3
        return total / n

    def teal_share(self, box):
        x0, y0, w, h = box
        teal = 0
        for y in range(y0, y0 + h):
            for x in range(x0, x0 + w):
                r, g, b = self.pixel(x, y)
                if g > 110 and b > 100 and r < 0.6 * g and abs(g - b) < 90:
                    teal += 1
        return teal / float(w * h)


def parse_ppm(raw):
    m = re.match(rb"P6\s+(?:#[^\n]*\s+)*(\d+)\s+(\d+)\s+(\d+)\s", raw)
    if not m:
        raise Failure("not a PPM picture")
    w, h, maxval = int(m.group(1)), int(m.group(2)), int(m.group(3))
    if maxval != 255:
        raise Failure("unexpected PPM depth %d" % maxval)
    return Shot(raw[m.end():m.end() + 3 * w * h], w, h)


def screenshot(window, save_as=None):
    raw = run(["import", "-silent", "-window", str(window), "-depth", "8", "ppm:-"], timeout=20)
    if save_as:
        with open(save_as + ".ppm", "wb") as f:
            f.write(raw)
        run(["convert", save_as + ".ppm", save_as], timeout=20)
        os.unlink(save_as + ".ppm")
    return parse_ppm(raw)


STEP_DOTS = (366, 389, 411, 434)       # centres of the four step dots, at y 585
PAGES_BY_DOTS = {
    (True, False, False, False): "welcome",
    (False, True, False, False): "connect",
    (False, False, True, False): "progress",
    (False, False, False, True): "last-percent",
}


def lit_dots(shot):
    return tuple(shot.teal_share((x - 3, 582, 7, 7)) > 0.4 for x in STEP_DOTS)


def classify(shot):
    """Names the page on screen from a few pixels:
    - "failure": the plain light Qt page whose text area starts with the green
      (#00FF00) build line; "failure+errors" once red (#FF0000) error lines
      follow it. Every artwork page is dark.
    - "done": all four step dots lit and the teal ring button at 345,352.
    - "welcome", "connect", "progress", "last-percent": the one lit step dot
      (teal) among the four at the bottom centre of the artwork.
    - "other": none of these (e.g. a picture half-way through a cross-fade)."""
    if shot.width != WIDTH or shot.height != HEIGHT:
        return "other"
    if shot.mean_brightness() > 150:
        if shot.count((0, 255, 0)) >= 10:
            return "failure+errors" if shot.count((255, 0, 0)) >= 10 else "failure"
        return "other"
    dots = lit_dots(shot)
    if all(dots) and shot.teal_share(DONE_BUTTON) > 0.08:
        return "done"
    return PAGES_BY_DOTS.get(dots, "other")


def ready_visible(shot):
    """The Ready button's teal outline and white "Suivant" over the dark welcome picture."""
    return shot.teal_share(READY_BUTTON) > 0.04 and shot.count((255, 255, 255), READY_BUTTON) > 20


# --- X --------------------------------------------------------------------------

def visible_windows():
    out = run(["xdotool", "search", "--onlyvisible", "--name", "."], check=False)
    names = []
    for w in out.split():
        name = run(["xdotool", "getwindowname", w.decode()], check=False).decode(
            "utf-8", errors="replace").strip()
        names.append("%s %r" % (w.decode(), name))
    return ", ".join(names) or "none"


def find_window(title_regex):
    out = run(["xdotool", "search", "--onlyvisible", "--name", title_regex], check=False)
    ids = out.split()
    return int(ids[0]) if ids else None


def focus(window):
    run(["xdotool", "windowfocus", str(window)])
    wait_for("focus on window %d" % window, 5,
             lambda: run(["xdotool", "getwindowfocus"]).strip() == str(window).encode())


def key(window, *keys):
    focus(window)
    run(["xdotool", "key", "--clearmodifiers"] + list(keys))


def click(window, x, y):
    run(["xdotool", "mousemove", "--window", str(window), str(x), str(y), "click", "1"])


def type_text(window, text):
    focus(window)
    run(["xdotool", "type", "--delay", "20", text], timeout=60)


def clipboard():
    return run(["xclip", "-o", "-selection", "clipboard"], timeout=10, check=False).decode(
        "utf-8", errors="replace")


# --- The updater --------------------------------------------------------------

class Updater:
    def __init__(self, opts, speaker=QUICK, tmpdir=None, library_dir=None, inherit=False):
        """inherit: keep the caller's KERNO_VIRTUAL_SPEAKER, TMPDIR and locale."""
        self.opts = opts
        env = dict(os.environ)
        libdir = opts.virtual_dir if library_dir is None else library_dir
        env["LD_LIBRARY_PATH"] = libdir + (":" + env["LD_LIBRARY_PATH"]
                                           if env.get("LD_LIBRARY_PATH") else "")
        if inherit:
            self.tmpdir = env.get("TMPDIR") or tempfile.gettempdir()
        else:
            self.tmpdir = tmpdir or tempfile.mkdtemp(prefix="kerno-e2e-tmp-")
            env["KERNO_VIRTUAL_SPEAKER"] = speaker
            env["TMPDIR"] = self.tmpdir
            env["LC_ALL"] = env["LANG"] = "C.UTF-8"
        env.pop("QT_QPA_PLATFORM", None)
        log("start", opts.binary, "LD_LIBRARY_PATH=%s" % env["LD_LIBRARY_PATH"],
            "KERNO_VIRTUAL_SPEAKER=%s" % env.get("KERNO_VIRTUAL_SPEAKER", ""))
        self.proc = subprocess.Popen([opts.binary], env=env, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE)
        self.stdout, self.stderr = [], []
        for stream, lines in ((self.proc.stdout, self.stdout), (self.proc.stderr, self.stderr)):
            threading.Thread(target=self._collect, args=(stream, lines), daemon=True).start()
        self.window = None

    @staticmethod
    def _collect(stream, lines):
        for raw in stream:
            lines.append(raw.decode("utf-8", errors="replace").rstrip("\n"))

    def alive(self):
        return self.proc.poll() is None

    def check_alive(self):
        if not self.alive():
            raise Failure("the updater ended early with status %s; stderr: %s" %
                          (self.proc.returncode, "\n".join(self.stderr[-10:])))

    def wait_window(self, bound_s=30):
        def probe():
            self.check_alive()
            return find_window(TITLE)
        self.window = wait_for("the updater's window", bound_s, probe)
        return self.window

    def shot(self, save_as=None):
        self.check_alive()
        return screenshot(self.window, save_as)

    def press_ready(self, bound_s=20):
        """Clicks the welcome page's Ready button once it is there: it shows
        up at the end of the welcome pictures (about 1.3 s)."""
        def probe():
            return ready_visible(self.shot()) or None
        wait_for("the Ready button", bound_s, probe, interval=0.1)
        x, y, w, h = READY_BUTTON
        click(self.window, x + w // 2, y + h // 2)
        log("pressed Ready")

    def wait_page(self, wanted, bound_s):
        """Waits until classify() gives one of `wanted`; returns the shot."""
        seen = {}

        def probe():
            s = self.shot()
            page = classify(s)
            seen[page] = True
            return (page, s) if page in wanted else None
        try:
            page, s = wait_for("page %s" % "/".join(wanted), bound_s, probe, interval=0.2)
        except Failure as e:
            raise Failure("%s (pages seen: %s)" % (e, ", ".join(seen)))
        log("page", page)
        return s

    def failure_text(self):
        """The failure page's error context, through the clipboard."""
        click(self.window, WIDTH // 2, HEIGHT - 30)
        key(self.window, "ctrl+a", "ctrl+c")
        return wait_for("the failure text in the clipboard", 5,
                        lambda: (lambda t: t if "Build : " in t else None)(clipboard()))

    def hid_errors(self):
        return [l for l in self.stdout if l.startswith("[[HID error]] ")]

    def close_with_confirmation(self, bound_s=10):
        """Escape, then OK in the close confirmation. Return alone would
        answer Cancel, the box's default button."""
        key(self.window, "Escape")
        box = wait_for("the close confirmation", bound_s, lambda: find_window(CONFIRM_TITLE))
        key(box, "Tab")
        key(box, "Return")
        return self.wait_exit(bound_s)

    def wait_exit(self, bound_s):
        try:
            return self.proc.wait(timeout=bound_s)
        except subprocess.TimeoutExpired:
            raise Failure("the updater did not end within %s s" % bound_s)

    def kill(self):
        if self.alive():
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(timeout=5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()


def expect(condition, message):
    if not condition:
        raise Failure(message)


# --- Cases --------------------------------------------------------------------

def temp_files(directory):
    pattern = re.compile(re.escape(TEMP_PREFIX) + r"[A-Za-z0-9]{6}$")
    try:
        return sorted(os.path.join(directory, n) for n in os.listdir(directory) if pattern.match(n))
    except FileNotFoundError:
        return []


def read(path):
    with open(path, "rb") as f:
        return f.read()


def case_normal(opts, work):
    """A whole update reaches the done page; the speaker received the embedded
    image without its 16-byte suffix, byte for byte; Escape then quits at once."""
    dump = os.path.join(work, "received.bin")
    u = Updater(opts, QUICK + ";dump=" + dump)
    try:
        u.wait_window()
        u.shot(os.path.join(work, "1-welcome.png"))
        u.press_ready()
        u.wait_page(["done"], 60)
        u.shot(os.path.join(work, "2-done.png"))
        image = read(opts.image)
        expect(os.path.exists(dump), "the virtual speaker wrote no image")
        expect(read(dump) == image[:-16],
               "the received image differs from the embedded one without its suffix")
        others = [l for l in u.hid_errors() if "(ConnectDevice)" not in l]
        expect(not others, "unexpected device failures: %s" % others)
        key(u.window, "Escape")   # after a successful reset: no confirmation
        status = u.wait_exit(10)
        expect(status == 0, "exit status %s after the done page" % status)
        expect(not temp_files(u.tmpdir), "the temporary firmware file outlived the window")
    finally:
        u.kill()


def failure_case(speaker, bound_s, line, stdout_mark, dump_expected=False):
    def case(opts, work):
        dump = os.path.join(work, "received.bin")
        u = Updater(opts, QUICK + ";" + speaker + ";dump=" + dump)
        try:
            u.wait_window()
            u.press_ready()
            t0 = time.monotonic()
            u.wait_page(["failure+errors"], bound_s)
            log("failure page %.1f s after Ready (bound %s s)" % (time.monotonic() - t0, bound_s))
            u.shot(os.path.join(work, "failure.png"))
            text = u.failure_text()
            log("failure text:", text.replace("\n", " | "))
            expect(re.search(r"n°1 : KernoTindalUpdateDlg\(%d\) : " % line, text),
                   "no error line %d in: %s" % (line, text))
            expect(any(stdout_mark in l for l in u.hid_errors()),
                   "no '%s' failure on standard output: %s" % (stdout_mark, u.hid_errors()))
            expect(os.path.exists(dump) == dump_expected,
                   "the speaker %s an image" % ("kept no" if dump_expected else "kept"))
            if dump_expected:
                expect(read(dump) == read(opts.image)[:-16], "the received image differs")
            time.sleep(1.0)  # the page must stay up, not crash a moment later
            u.check_alive()
            status = u.close_with_confirmation()
            expect(status == 0, "exit status %s after confirming the close" % status)
        finally:
            u.kill()
    return case


def case_quit_during_transfer(opts, work):
    """Closing the window half-way through the transfer ends the process
    cleanly and quickly, the library's transfer thread still running."""
    u = Updater(opts, "appear-after-ms=300;chunk-ms=10;manifest-ms=150")
    try:
        u.wait_window()
        u.press_ready()
        u.wait_page(["progress"], 20)
        time.sleep(1.0)
        status = u.close_with_confirmation(bound_s=10)
        expect(status == 0, "exit status %s when closed during the transfer" % status)
        expect(not temp_files(u.tmpdir), "the temporary firmware file outlived the window")
    finally:
        u.kill()


def case_corrupt_dfu(opts, work):
    """A .dfu file with a wrong CRC, chosen with Ctrl+Alt+Shift+F, never starts."""
    image = bytearray(read(opts.image))
    image[len(image) // 2] ^= 0x5A
    corrupt = os.path.join(work, "corrupt.dfu")
    with open(corrupt, "wb") as f:
        f.write(image)
    u = Updater(opts)
    try:
        u.wait_window()
        key(u.window, "ctrl+alt+shift+f")
        chooser = wait_for("the file chooser", 10, lambda: find_window(CHOOSER_TITLE))
        type_text(chooser, corrupt)
        key(chooser, "Return")
        wait_for("the file chooser to close", 10, lambda: find_window(CHOOSER_TITLE) is None)
        u.press_ready()
        u.wait_page(["failure+errors"], 20)
        u.shot(os.path.join(work, "failure.png"))
        text = u.failure_text()
        log("failure text:", text.replace("\n", " | "))
        expect("KernoTindalUpdateDlg(419) : " in text and
               "Failed to start upgrade : -6 (File CRC is incorrect (-6))" in text,
               "no line 419 with -6 in: %s" % text)
        expect(any("(Upgrade):Upgrade failed (-8)" in l for l in u.hid_errors()),
               "no Upgrade failure on standard output")
        status = u.close_with_confirmation()
        expect(status == 0, "exit status %s" % status)
    finally:
        u.kill()


def case_tmpdir_unwritable(opts, work):
    """No temporary file: the critical box, then status 255 (-1) once it is closed."""
    u = Updater(opts, tmpdir="/nonexistent")
    try:
        try:
            box = wait_for("the disk space box", 30,
                           lambda: (u.check_alive(), find_window(DISK_TITLE))[1])
        except Failure as e:
            raise Failure("%s; windows: %s; stderr: %s" % (e, visible_windows(), u.stderr))
        screenshot("root", os.path.join(work, "disk-box.png"))
        expect(find_window(TITLE) is None, "the main window is shown despite the failure")
        key(box, "Return")
        status = u.wait_exit(10)
        expect(status == 255, "exit status %s, not 255" % status)
    finally:
        u.kill()


def case_temp_file(opts, work):
    """The embedded image sits in the temporary file while the window is open;
    Cancel keeps both; confirming the close removes the file."""
    u = Updater(opts)
    try:
        u.wait_window()
        files = temp_files(u.tmpdir)
        expect(len(files) == 1, "temporary files: %s" % os.listdir(u.tmpdir))
        content, image = read(files[0]), read(opts.image)
        expect(len(content) == len(image), "temporary file of %d bytes, not %d" %
               (len(content), len(image)))   # 807,582 for the placeholder
        expect(content == image, "the temporary file is not the embedded image")
        key(u.window, "Escape")
        box = wait_for("the close confirmation", 10, lambda: find_window(CONFIRM_TITLE))
        screenshot("root", os.path.join(work, "confirm.png"))
        key(box, "Return")   # Cancel is the default button
        wait_for("the confirmation to close", 10, lambda: find_window(CONFIRM_TITLE) is None)
        time.sleep(0.5)
        u.check_alive()
        expect(temp_files(u.tmpdir) == files, "the temporary file went away on Cancel")
        status = u.close_with_confirmation()
        expect(status == 0, "exit status %s" % status)
        expect(not temp_files(u.tmpdir), "the temporary file is still there after the close")
    finally:
        u.kill()


def case_failed_page_shortcut(opts, work):
    """Ctrl+Alt+Shift+6 shows the failure page with its green build line only."""
    u = Updater(opts)
    try:
        u.wait_window()
        key(u.window, "ctrl+alt+shift+6")
        u.wait_page(["failure"], 10)
        u.shot(os.path.join(work, "failure-shortcut.png"))
        text = u.failure_text()
        expect(re.match(r"Build : [A-Z][a-z]{2} {1,2}\d{1,2} \d{4} - \d\d:\d\d:\d\d\s*$", text),
               "unexpected failure text: %r" % text)
        expect(not u.hid_errors(), "device calls before Ready: %s" % u.hid_errors())
        status = u.close_with_confirmation()
        expect(status == 0, "exit status %s" % status)
    finally:
        u.kill()


def case_progress_shortcuts(opts, work):
    """The percentage moves with Ctrl+Alt+Shift+Plus and Minus as xdotool types
    them on the main keyboard, where plus is a shifted key."""
    u = Updater(opts)
    try:
        u.wait_window()
        key(u.window, "ctrl+alt+shift+3")
        u.wait_page(["progress"], 10)
        circle = (339, 199, 125, 125)
        before = u.shot().teal_share(circle)
        key(u.window, *["ctrl+alt+shift+plus"] * 50)
        # Half the arc is drawn; its lighter end counts as teal.
        wait_for("the arc at 50 %", 5,
                 lambda: u.shot().teal_share(circle) > before + 0.006 or None)
        u.shot(os.path.join(work, "progress-50.png"))
        key(u.window, *["ctrl+alt+shift+minus"] * 50)
        wait_for("the arc back at 0 %", 5,
                 lambda: u.shot().teal_share(circle) < before + 0.002 or None)
        expect(not u.hid_errors(), "device calls before Ready: %s" % u.hid_errors())
    finally:
        u.kill()


def case_no_library(opts, work):
    """Without any HID DFU library: the initialisation failure dialog, status 2."""
    alone = os.path.join(work, "alone")
    os.makedirs(alone, exist_ok=True)
    binary = os.path.join(alone, os.path.basename(opts.binary))
    shutil.copy2(opts.binary, binary)
    lone = argparse.Namespace(**vars(opts))
    lone.binary = binary
    u = Updater(lone, library_dir=alone)
    try:
        dlg = wait_for("the initialisation failure dialog", 30,
                       lambda: (u.check_alive(), find_window(INIT_FAILED_TITLE))[1])
        screenshot("root", os.path.join(work, "init-failed.png"))
        expect(find_window(TITLE) is None, "the main window is shown without a library")
        key(dlg, "Escape")
        status = u.wait_exit(10)
        expect(status == 2, "exit status %s, not 2" % status)
        expect(any("No HID DFU library" in l for l in u.stderr),
               "no explanation on standard error: %s" % u.stderr)
    finally:
        u.kill()


def demo_case(speaker, want_status, want_text):
    def case(opts, work):
        env = dict(os.environ)
        env.pop("DISPLAY", None)
        env.update(KERNO_BUILD_DIR=opts.build_dir, KERNO_VIRTUAL_SPEAKER=speaker,
                   KERNO_SHOTS_DIR=os.path.join(work, "shots"))
        script = os.path.join(opts.source_dir, "tools", "run-updater.sh")
        log("run", script, "without DISPLAY, KERNO_VIRTUAL_SPEAKER=%s" % speaker)
        p = subprocess.run([script], env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                           timeout=240)
        out = p.stdout.decode("utf-8", errors="replace")
        log("output:\n" + out)
        expect(p.returncode == want_status, "status %d, not %d" % (p.returncode, want_status))
        expect(want_text in out, "'%s' missing from the output" % want_text)
        shots = os.path.join(work, "shots")
        expect(("Screenshots: " + shots) in out, "the screenshot folder is not named")
        pngs = sorted(os.listdir(shots))
        expect(len(pngs) >= 2, "screenshots: %s" % pngs)
    return case


CASES = {
    "normal": (case_normal, 90),
    "fail_chunk": (failure_case("fail=chunk:7", 30, 517, "(resetDevice)"), 60),
    "fail_unplug": (failure_case("fail=unplug:7", 30, 517, "(resetDevice)"), 60),
    "fail_manifest": (failure_case("fail=manifest", 30, 517, "(resetDevice)"), 60),
    "fail_reset": (failure_case("fail=reset", 30, 517, "(resetDevice)", dump_expected=True), 60),
    "fail_busy": (failure_case("fail=busy", 40, 517, "(resetDevice)"), 70),
    "corrupt_dfu": (case_corrupt_dfu, 60),
    "quit_during_transfer": (case_quit_during_transfer, 60),
    "tmpdir_unwritable": (case_tmpdir_unwritable, 40),
    "temp_file": (case_temp_file, 40),
    "failed_page_shortcut": (case_failed_page_shortcut, 40),
    "progress_shortcuts": (case_progress_shortcuts, 40),
    "no_library": (case_no_library, 40),
    "demo_done": (demo_case(QUICK, 0, "done page reached"), 240),
    "demo_failure": (demo_case(QUICK + ";fail=manifest", 1, "KernoTindalUpdateDlg(517)"), 240),
}


def drive(opts):
    """The headless demo of tools/run-updater.sh: presses Ready, saves one
    screenshot per page into opts.shots, and ends 0 on the done page only."""
    os.makedirs(opts.shots, exist_ok=True)
    u = Updater(opts, inherit=True)
    shots = 0

    def save(name):
        nonlocal shots
        shots += 1
        path = os.path.join(opts.shots, "%02d-%s.png" % (shots, name))
        u.shot(path)
        log("page %-14s -> %s" % (name, path))

    try:
        u.wait_window()
        deadline = time.monotonic() + opts.timeout
        last, pressed = None, False
        while time.monotonic() < deadline:
            s = u.shot()
            page = classify(s)
            if page != last and page != "other":
                save(page)
                last = page
            if page == "welcome" and not pressed and ready_visible(s):
                save("welcome-ready")
                x, y, w, h = READY_BUTTON
                click(u.window, x + w // 2, y + h // 2)
                log("pressed Ready")
                pressed = True
            elif page == "done":
                print("done page reached", flush=True)
                key(u.window, "Escape")   # no confirmation once the speaker is reset
                u.wait_exit(10)
                return 0
            elif page.startswith("failure"):
                time.sleep(0.5)           # let every error line arrive
                print("failure page reached; its text:\n" + u.failure_text(), flush=True)
                u.close_with_confirmation()
                return 1
            time.sleep(0.2)
        save("timeout")
        print("no end page within %d s" % opts.timeout, flush=True)
        return 1
    except Failure as e:
        print("demo run failed: %s" % e, flush=True)
        return 1
    finally:
        for l in u.stderr:
            print("updater: " + l)
        u.kill()


def main():
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--binary", required=True)
    ap.add_argument("--virtual-dir", required=True)
    ap.add_argument("--image", help="the embedded DFU file (test cases)")
    ap.add_argument("--build-dir")
    ap.add_argument("--source-dir")
    ap.add_argument("--shots", help="screenshot folder (drive)")
    ap.add_argument("--timeout", type=int, default=180, help="bound of a drive run, in s")
    ap.add_argument("--keep", action="store_true", help="keep the work folder")
    ap.add_argument("case", choices=sorted(CASES) + ["drive"])
    opts = ap.parse_args()
    if not opts.case.startswith("demo") and not os.environ.get("DISPLAY"):
        print("needs an X server: run under xvfb-run", file=sys.stderr)
        return 2
    if os.environ.get("DISPLAY"):
        try:
            wait_for("the X server on %s" % os.environ["DISPLAY"], 15, lambda: subprocess.run(
                ["xdotool", "getdisplaygeometry"], stdout=subprocess.DEVNULL,
                stderr=subprocess.DEVNULL, timeout=5).returncode == 0, interval=0.2)
        except Failure as e:
            print(e, file=sys.stderr)
            return 1
    if opts.case == "drive":
        return drive(opts)
    fn, bound = CASES[opts.case]
    work = tempfile.mkdtemp(prefix="kerno-e2e-%s-" % opts.case)
    tempfile.tempdir = work   # the updater's TMPDIR goes in here too
    log("case", opts.case, "(whole case bounded by %d s), files in %s" % (bound, work))

    def too_long(signum, frame):
        raise Failure("the whole case took more than %d s" % bound)
    signal.signal(signal.SIGALRM, too_long)
    signal.alarm(bound)
    try:
        fn(opts, work)
    except Failure as e:
        log("FAILED:", e)
        print("screenshots and files kept in", work)
        return 1
    finally:
        signal.alarm(0)
    log("passed")
    if not opts.keep:
        shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
