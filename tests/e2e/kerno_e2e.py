#!/usr/bin/env python3
"""End-to-end runs of the real updater in an X server against the virtual speaker."""

import argparse
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

sys.dont_write_bytecode = True   # nothing written into the source tree
sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tools"))
from updater_driver import (CONFIRM_TITLE, HEIGHT, TITLE, WIDTH, Accessible, Failure,  # noqa: E402
                            Shot, Updater, check, find_window, key, looks_done, screenshot,
                            type_text, wait_for, wait_x_server)

QUICK = "appear-after-ms=300;chunk-ms=1;manifest-ms=150"
TEMP_NAME = re.compile(re.escape("Kerno_Tindal2-Mise_a_jour-V027.dfu-") + "[A-Za-z0-9]{6}$")
BAR = "Progression de la mise à jour"
ERRORS = "Contexte de l'erreur"
PAGES = {"progress": "Mise à jour en cours", "done": "Mise à jour terminée",
         "failure": "La mise à jour a échoué"}
# A system-like bus of our own, open to all: logind's stand-in owns its name there.
BUS_CONFIG = """<busconfig><type>system</type><listen>unix:path=%s</listen><auth>EXTERNAL</auth>
<policy context="default"><allow own="*"/><allow send_destination="*"/><allow receive_type="*"/>
</policy></busconfig>"""
LOCK = ("inhibit 1 sleep:shutdown:idle|Kerno# Tindal 2|Mise à jour de l'enceinte Kerno# Tindal 2 : "
        "l'interrompre pourrait l'empêcher de redémarrer|block")
NOT_AWAKE = "The system could not be kept awake during the update: "


def escape_exits(u):
    key(u.window, "Escape")
    check("exit status", u.wait_exit(10), 0)


def ax(u):
    """The updater's controls through AT-SPI, found once."""
    u.ax = getattr(u, "ax", None) or Accessible(u)
    return u.ax


def temp_files(u):
    return [Path(u.tmpdir, n) for n in os.listdir(u.tmpdir) if TEMP_NAME.match(n)]


class Case:
    """A work folder; the updaters started in it are killed when the case ends."""

    def __init__(self, opts):
        self.opts, self.updaters, self.image = opts, [], Path(opts.image).read_bytes()
        self.work = Path(tempfile.mkdtemp(prefix="kerno-e2e-%s-" % opts.case))
        self.bus = "unix:path=%s" % (self.work / "no-bus")   # no logind unless logind()
        self.dump = self.work / "received.bin"   # for a speaker's dump= option
        Accessible.start_bus()

    # window: returns once the main window shows; until: once Ready is pressed and that page
    # shows (by the support log).
    def start(self, speaker=QUICK, tmpdir=None, binary=None, library_dir=None, env=None,
              window=True, until=None, **kw):
        tmpdir = tmpdir or tempfile.mkdtemp(dir=self.work)
        u = Updater(binary or self.opts.binary, library_dir or self.opts.virtual_dir,
                    dict(Accessible.A11Y_ENV, KERNO_VIRTUAL_SPEAKER=speaker, TMPDIR=tmpdir,
                         LC_ALL="C.UTF-8", DBUS_SYSTEM_BUS_ADDRESS=self.bus, **(env or {})), **kw)
        u.tmpdir = tmpdir
        self.updaters.append(u)
        if window:
            u.wait_window()
        if until:
            u.press_ready()
            u.wait_page([until], 60)
        return u

    def logind(self):
        """A private system bus with logind's stand-in, for the updaters started after;
        its output lines tell each lock taken and released."""
        (self.work / "bus.conf").write_text(BUS_CONFIG % (self.work / "system-bus"))
        self.updaters.append(subprocess.Popen(
            ["dbus-daemon", "--nofork", "--print-address", "--config-file",
             str(self.work / "bus.conf")], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL))
        self.bus = self.updaters[-1].stdout.readline().decode().strip()
        logind = Updater(self.opts.logind, None, {"DBUS_SYSTEM_BUS_ADDRESS": self.bus})
        self.updaters.append(logind)
        wait_for("logind's stand-in", 10, lambda: logind.check_alive() or "ready" in logind.stdout)
        return logind


def wait_locks(logind, what, lines):
    wait_for(what, 10, lambda: logind.stdout[1:] == lines)


def press(u, name, focused=False):
    """Found by name and role among the controls shown, pressed through AT-SPI."""
    button = ax(u).find(name, "push button", 20)
    if u.window:   # an X window: the keyboard focus and with it the focus state
        key(u.window)
    check("no focus on %s" % name, not focused or u.ax.has(button, u.ax.at.STATE_FOCUSED))
    u.ax.press(button)


def focused(u, name, role):
    """Found among the controls shown, with the page's focus on it."""
    o = ax(u).find(name, role)
    wait_for("the focus on %s %s" % (role, name), 5, lambda: u.ax.has(o, u.ax.at.STATE_FOCUSED))
    return o


def climb(u, bound_s):
    """The progress bar's values read until the done page: they only climb, to 100."""
    bar, values = u.ax.find(BAR, "progress bar", bound_s), []

    def probe():
        if u.ax.page() == PAGES["progress"] and u.ax.value(bar) not in values[-1:]:
            values.append(u.ax.value(bar))
        return u.ax.page() == PAGES["done"]
    wait_for("the done page", bound_s, probe, interval=0.02)
    check(values, values == sorted(values) and len(values) >= 3 and values[-1] >= 95)


def error_text(u, want, bound_s):
    """The failure page's error text, once it matches `want`; the page's focus is on it."""
    ax(u).wait_page([PAGES["failure"]], bound_s)
    errors = focused(u, ERRORS, "text")
    return wait_for("error text %s" % want, 5, lambda: re.search(want, u.ax.text(errors)) and
                    u.ax.text(errors))


def case_done(c):
    """Cancel keeps the window and its temporary file; page shortcuts touch no device; the
    speaker gets the image without its 16-byte suffix; after the done page Escape quits unasked.
    A screen reader finds a name on every control, presses Suivant, hears the progress climb and
    the phrases change, and lands on each page's first control."""
    logind = c.logind()
    u = c.start("appear-after-ms=300;chunk-ms=4;manifest-ms=150;dump=%s" % c.dump)
    check("controls without a name", ax(u).unnamed_controls(), [])
    files = temp_files(u)
    check("temporary files: %s" % files, len(files) == 1 and files[0].read_bytes() == c.image)
    key(u.window, "Escape")
    key(u.wait_window(CONFIRM_TITLE, 10), "Return")   # Cancel is the default button
    wait_for("the confirmation to close", 10, lambda: find_window(CONFIRM_TITLE) is None)
    key(u.window, "ctrl+alt+shift+3")
    bar = focused(u, BAR, "progress bar")
    check("the step indicator", u.ax.find("Étape 3 sur 4", "label"))
    told = ["object:property-change:accessible-" + what for what in ("value", "description")]
    u.ax.listen(*told)
    key(u.window, *["ctrl+alt+shift+plus"] * 50)
    wait_for("the bar at 50 %, each step told", 5, lambda: u.ax.value(bar) == 50 and
             u.ax.heard(told[0], BAR) == 50)
    # Each new phrase becomes the focused bar's description, told as it changes.
    said = [bar.description]
    for _ in range(2):
        wait_for("a new phrase", 5, lambda: bar.description != said[-1] and not said.append(
            bar.description))
        check(said, said[-1] in [o.name for o in u.ax.showing() if o.getRoleName() == "label"])
    check("phrase changes not told", u.ax.heard(told[1], BAR) >= 2)
    key(u.window, "ctrl+alt+shift+6")
    check("the failure page's text", re.fullmatch(r"Build : [A-Z][a-z]{2} {1,2}\d{1,2} \d{4} - "
                                                  r"\d\d:\d\d:\d\d\s*", error_text(u, "Build", 10)))
    check("device calls before Ready: %s" % u.hid_errors(), not u.hid_errors())
    key(u.window, "ctrl+alt+shift+1")
    press(u, "Suivant", focused=True)
    climb(u, 60)
    focused(u, "Quitter", "push button")
    wait_locks(logind, "the lock released at the done page", [LOCK, "released 1"])
    check("the image received", c.dump.read_bytes() == c.image[:-16])
    check(u.hid_errors(), all("(ConnectDevice)" in l for l in u.hid_errors()))
    escape_exits(u)
    check("the temporary file outlived the window", not temp_files(u))


def case_fault(c, fault, bound_s, image_kept, with_logind):
    """A speaker fault: failure page with line 517 and the reset's device error on
    standard output; OK in the close confirmation then ends it with status 0. The lock
    is released at the failure page; without logind, one line says so and the update runs."""
    logind = with_logind and c.logind()
    u = c.start("%s;%s;dump=%s" % (QUICK, fault, c.dump))
    press(u, "Suivant")
    error_text(u, r"n°1 : KernoTindalUpdateDlg\(517\) : ", bound_s)
    check(u.stdout, any("(resetDevice)" in l for l in u.hid_errors()))
    check("image kept by the speaker", c.dump.exists(), image_kept)
    if logind:
        wait_locks(logind, "the lock released at the failure page", [LOCK, "released 1"])
    else:
        check(u.stderr, len([l for l in u.stderr if l.startswith(NOT_AWAKE)]), 1)
    check("exit status", u.close_with_confirmation(), 0)


def case_signal(c, sig, where):
    """SIGTERM, SIGINT or SIGHUP on page `where` (None: with the close box open). During a
    transfer: stopped, status 128 + N and one French line on standard error. Elsewhere the window
    closes unasked, with status 0. The temporary file goes either way. sig None: OK in the close
    confirmation mid-transfer ends the process with status 0, the lock held until then."""
    logind = sig is None and c.logind()
    u = c.start("appear-after-ms=%d;chunk-ms=10;manifest-ms=150;dump=%s" % (
        600000 if where == "connect" else 300, c.dump), until=where)
    if not where:
        key(u.window, "Escape")
        u.wait_window(CONFIRM_TITLE, 10)
    if logind:
        wait_locks(logind, "the lock taken", [LOCK])
        check("exit status", u.close_with_confirmation(), 0)
        wait_locks(logind, "the lock released at the close", [LOCK, "released 1"])
    else:
        u.proc.send_signal(sig)
    during = sig and where == "progress"
    check("exit status", u.wait_exit(20), 128 + sig if during else 0)
    check("left: %s" % os.listdir(u.tmpdir), not temp_files(u) and not c.dump.exists())
    told = ["Mise à jour interrompue par %s : l'enceinte n'est peut-être pas à jour, relancez la "
            "mise à jour." % signal.Signals(sig).name] if during else []
    check(u.stderr, [l for l in u.stderr if "interrompue" in l], told)


# A plain green desktop, so that what the updater shows stands out whole.
WESTON_INI = "[shell]\nbackground-color=0xff00ff00\npanel-position=none\n"


def weston(c, shell):
    """A headless compositor of the case's own (--debug lets the screenshooter in); returns
    what puts an updater on it. No decorations: the window's box is its content's."""
    run = c.work / "xdg-runtime"
    run.mkdir(mode=0o700, exist_ok=True)
    (c.work / "weston.ini").write_text(WESTON_INI)
    c.updaters.append(subprocess.Popen(
        ["weston", "--backend=headless-backend.so", "--use-pixman", "--shell=%s.so" % shell,
         "--socket=" + shell, "--width=1024", "--height=768", "--idle-time=0", "--debug",
         "--config=%s" % (c.work / "weston.ini")], env=dict(os.environ, XDG_RUNTIME_DIR=str(run)),
        stdout=subprocess.DEVNULL, stderr=(c.work / ("%s.log" % shell)).open("w")))
    wait_for("weston's socket", 10, lambda: (run / shell).exists())
    return {"XDG_RUNTIME_DIR": str(run), "WAYLAND_DISPLAY": shell, "QT_QPA_PLATFORM": "wayland",
            "QT_WAYLAND_DISABLE_WINDOWDECORATION": "1"}


def output_shot(c, env, name):
    """The compositor's whole output, kept as name.png in the work folder; and the box around
    all that is not the desktop's green, as (x, y, w, h)."""
    d = Path(tempfile.mkdtemp(dir=c.work))
    subprocess.run(["weston-screenshooter"], cwd=d, env=dict(os.environ, **env), timeout=20,
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    png = next(d.glob("*.png")).rename(c.work / (name + ".png"))
    shot = Shot(subprocess.run(["convert", str(png), "-depth", "8", "ppm:-"], timeout=20,
                               check=True, stdout=subprocess.PIPE).stdout)
    green = Shot(b"P6 %d %d 255\n" % (shot.width, shot.height) +
                 b"\0\xff\0" * (shot.width * shot.height))
    return shot, changed_box(green, shot)


def rows(shot):
    return [shot.data[i:i + 3 * shot.width] for i in range(0, len(shot.data), 3 * shot.width)]


def changed_box(a, b):
    """The box around the pixels that differ between two pictures of a size, as (x, y, w, h);
    [] if none do."""
    ys = [(y, r, s) for y, (r, s) in enumerate(zip(rows(a), rows(b))) if r != s]
    lead = [len(os.path.commonprefix([r, s])) // 3 for _, r, s in ys]
    trail = [len(os.path.commonprefix([r[::-1], s[::-1]])) // 3 for _, r, s in ys]
    return ys and (min(lead), ys[0][0], a.width - min(trail) - min(lead), ys[-1][0] + 1 - ys[0][0])


def crop(shot, box):
    x, y, w, h = box
    return Shot(b"P6 %d %d 255\n" % (w, h) + b"".join(r[3 * x:3 * (x + w)]
                                                      for r in rows(shot)[y:y + h]))


def case_wayland(c, shell):
    """Native on Wayland: the window keeps its size, also when a kiosk compositor asks it to fill
    the screen; the close box shows whole, a child of the window (desktops place it over its
    parent; weston places it anywhere); the update reaches the done page, whose screenshot reads
    as on X11; driven only through AT-SPI. The compositor has no keyboard or pointer: the box is
    asked for with the done page's Quitter, which AT-SPI presses while it is hidden. One shell
    per run: each on an accessibility bus of its own, with no updater gone from it before."""
    env = weston(c, shell)
    u = c.start(env=dict(env, WAYLAND_DEBUG="client"), window=False)   # requests on stderr
    ax(u).find("Suivant", "push button", 20)
    if shell == "kiosk-shell":   # which shows nothing smaller than the screen
        size = u.ax.app[0].queryComponent().getSize()
        return check("the window's size in the kiosk: %s" % (size,), tuple(size), (WIDTH, HEIGHT))
    shot, window = output_shot(c, env, "welcome")
    check("the window's box: %s" % (window,), window[2:], (WIDTH, HEIGHT))
    u.ax.press(u.ax.find("Quitter", "push button", showing=False))
    box = u.ax.find(r"Fermeture de l'application", "alert")
    log, seen = lambda: "\n".join(u.stderr), []
    top = lambda: re.findall(r"new id xdg_toplevel@(\d+)", log())  # noqa: E731

    def whole():   # the changed pixels are the box's size
        seen[:] = [changed_box(shot, output_shot(c, env, "close-box")[0]), re.findall(
            r"xdg_toplevel@%s\.set_min_size\((\d+), (\d+)\)" % top()[-1], log())]
        return seen[0] and seen[1] and seen[0][2:] == tuple(map(int, seen[1][-1]))
    try:
        wait_for("the box shown whole", 10, whole, interval=0.3)
    except Failure as e:
        raise Failure("%s (changed, its sizes: %s)" % (e, seen))
    check("the box is no child of the window", len(top()) == 2 and
          "xdg_toplevel@%s.set_parent(xdg_toplevel@%s)" % (top()[1], top()[0]) in log())
    press(u, "Cancel|Annuler")
    wait_for("the box gone", 10, lambda: not u.ax.has(box, u.ax.at.STATE_SHOWING))
    press(u, "Suivant")
    u.ax.wait_page([PAGES["done"]], 30)
    wait_for("the done page's picture", 10, lambda: looks_done(crop(*output_shot(c, env, "done"))))
    press(u, "Quitter")
    check("exit status", u.wait_exit(10), 0)


def case_closed_stream(c, closed):
    """Standard output whose reader has gone: the refused connections' lines fail quietly and the
    update goes on to the done page; SIGHUP, ignored at start (nohup), is ignored. Standard output
    and error closed at start (>&- 2>&-): the window comes all the same, and the log has the
    printed lines and nothing else."""
    r, w = os.pipe()
    os.close(r)
    u = c.start("appear-after-ms=1000;chunk-ms=1;manifest-ms=150", stdout=w, preexec_fn=(
        lambda: (os.close(1), os.close(2))) if closed else (
        lambda: signal.signal(signal.SIGHUP, signal.SIG_IGN)))
    os.close(w)
    if not closed:
        u.proc.send_signal(signal.SIGHUP)
    u.press_ready()
    u.wait_page(["done"], 60)
    escape_exits(u)
    lines = u.support_log().splitlines()
    check(lines, any("stdout: [[HID error]]" in l and "(ConnectDevice)" in l for l in lines))
    check(lines[-2:], lines[-2:][0].endswith("outcome: done") and lines[-1].endswith("closed"))
    check("lines of another kind", [l for l in lines[3:] if not re.match(
        r"\d\d:\d\d:\d\d\.\d{3}[+-]\d\d:\d\d (stdout|stderr|state|page|library|firmware file|"
        r"outcome|closed)", l)], [])


def case_silent_bus(c, sig):
    """A system bus that never answers (one silent after authentication: tst_flow): the window
    goes on, the update runs without the lock after 3 s, and one line says so on standard error
    and in the support log. A signal during those 3 s ends it with nothing written."""
    c.bus = "unix:path=%s" % (c.work / "silent-bus")
    server = socket.create_server(str(c.work / "silent-bus"), family=socket.AF_UNIX)
    # The connections accepted are held in the list, never answered.
    threading.Thread(target=lambda: list(iter(server.accept, None)), daemon=True).start()
    u = c.start("%s;dump=%s" % (QUICK, c.dump), until="progress")
    if sig:
        u.proc.send_signal(sig)
        check("exit status", u.wait_exit(10), 128 + sig)
        check("left: %s" % os.listdir(u.tmpdir), not c.dump.exists() and not temp_files(u))
        check("not stopped while waiting", not [l for l in u.stderr if l.startswith(NOT_AWAKE)])
        log = u.support_log()
        check(log, "interrupted by SIGTERM" in log and "state ID_UPGRADING" not in log)
        return
    key(u.window, "ctrl+alt+shift+6")   # the window answers while it waits
    ax(u).wait_page([PAGES["failure"]], 10)
    u.wait_page(["done"], 60)
    check("the image received", c.dump.read_bytes() == c.image[:-16])
    told = [l for l in u.stderr if l.startswith(NOT_AWAKE)]
    check(u.stderr, told, [NOT_AWAKE + "no answer from the system bus within 3 s"])
    escape_exits(u)
    check(u.support_log(), told[0] in u.support_log())


def case_replay(c):
    """KERNO_DFU_RECORD names a file: the session is recorded there, and said so on standard
    error. Replayed by the virtual speaker, that recording takes the window to the done page
    again, the same reports sent."""
    first, again = c.work / "first.rec", c.work / "again.rec"
    # The model's own fault would show if it answered instead of the recording.
    for speaker, record in ((QUICK, first), ("%s;fail=chunk:7;replay=%s" % (QUICK, first), again)):
        u = c.start(speaker, env={"KERNO_DFU_RECORD": str(record)}, until="done")
        escape_exits(u)
        check(u.stderr, any(str(record) in l and "KERNO_DFU_RECORD" in l for l in u.stderr))
    sent = [[l.split(" ", 2)[2] for l in r.read_text().splitlines() if l.startswith("S ")]
            for r in (first, again)]
    check("reports differ: %d recorded, %d replayed" % tuple(map(len, sent)),
          sent[0] == sent[1] and len(sent[0]) >= 795)


def case_startup_box(c, title, want_status, tmpdir=None, alone=False):
    """A start-up failure: its box and no window, then the status once the box is closed.
    alone: the binary copied into a folder where no HID DFU library is to be found; its box's
    link is one to a screen reader."""
    u = c.start(tmpdir=tmpdir, binary=alone and shutil.copy2(c.opts.binary, c.work),
                library_dir=alone and str(c.work), window=False)
    box = u.wait_window(title)
    check("the main window is shown as well", find_window(TITLE) is None)
    check("no link", not alone or Accessible(u).find("Site de téléchargement Quillon", "link"))
    key(box, "Escape")
    check("exit status", u.wait_exit(10), want_status)
    check(u.stderr, not alone or any("No HID DFU library" in l for l in u.stderr))
    log = u.support_log()
    check(log, log and (not alone or ("library: none loaded: " in log and
                                      "outcome: no HID DFU library" in log)))


def case_demo(c, fault, want_status, want_texts):
    """The README's demo command without a display: it starts its own Xvfb."""
    shots = c.work / "shots"
    env = dict(os.environ, KERNO_BUILD_DIR=c.opts.build_dir, KERNO_SHOTS_DIR=str(shots),
               KERNO_VIRTUAL_SPEAKER=QUICK + fault)
    env.pop("DISPLAY", None)
    p = subprocess.run([Path(c.opts.source_dir, "tools", "run-updater.sh")], env=env,
                       stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=240)
    out = p.stdout.decode("utf-8", errors="replace")
    check("status %d, output:\n%s" % (p.returncode, out), p.returncode, want_status)
    check(out, all(t in out for t in want_texts + ["Screenshots: %s" % shots]))
    check(os.listdir(shots), len(os.listdir(shots)) >= 2)


def kerno_dfu(c, *args, as_nobody=False, **env):
    """kerno-dfu on the hardware library, started: read its lines with lines()."""
    drop = ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"]
    return subprocess.Popen((drop if as_nobody and os.geteuid() == 0 else []) +
                            [c.opts.kerno_dfu, *map(str, args)], text=True,
                            env={**os.environ, "LD_LIBRARY_PATH": c.opts.hardware_dir, **env},
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT)


def lines(p, until=None):
    """Its output up to a line with `until` or to its end: (time it came, line) each."""
    got = []
    for line in p.stdout:
        got.append((time.monotonic(), line))
        if until and until in line:
            break
    return got


def finished(p):
    """Its status and whole output."""
    out = "".join(l for _, l in lines(p))
    return p.wait(), out


def emulated_kernel(c, size=30000):
    """umock_speaker's, imported here: it needs umockdev's preload and python3-gi."""
    from umock_speaker import emulated_kernel
    return emulated_kernel(c.work, size)


def case_hw_flash(c):
    """Through Debian's hidapi and udev: listed with its serial made printable; a second
    program refused while a first one writes; the file's payload received. The session
    recorded there replays on the virtual speaker. A rejection at manifestation names its DFU
    status."""
    plug, image, payload = emulated_kernel(c, 60 * 1017)
    speaker, rec = plug(busy_ms=20, reset_acked=False), c.work / "rec"
    check("list", finished(kerno_dfu(c, "list")), (0, "/dev/hidraw0\tKT2-0001?\tupgrade\n"))
    first = kerno_dfu(c, "flash", "--record", rec, "--blank-serial", image)
    lines(first, "writing")
    status, out = finished(kerno_dfu(c, "flash", image))
    check(out, status == 3 and "/dev/hidraw0 is in use by another program" in out)
    status, out = finished(first)
    check(out, status == 0 and "/dev/hidraw0: updated" in out and speaker.written == payload)
    told = rec.read_text()
    check(told[:300], "(hidapi)\ndevice 0a12:fffe\nserial -\n" in told and " 03ff failed" in told
          and "\nL " in told)
    status, out = finished(kerno_dfu(c, "flash", image, LD_LIBRARY_PATH=c.opts.virtual_dir,
                                     KERNO_VIRTUAL_SPEAKER="appear-after-ms=0;replay=%s" % rec))
    check(out, status == 0 and "virtual:1: updated" in out)
    plug(reject=10)
    status, out = finished(kerno_dfu(c, "flash", image))
    check(out, status == 1 and re.search(r"/dev/hidraw1: failed \(-16\).*errFIRMWARE", out))


def case_hw_no_access(c):
    """A node the user may not open: -2, the udev rule named; nothing sent."""
    plug, image, _ = emulated_kernel(c)
    speaker = plug()   # a node no user may open (root included: run as nobody)
    os.chmod(os.path.realpath(os.environ["UMOCKDEV_DIR"] + speaker.node), 0)
    os.chmod(c.work, 0o755)   # the file stays readable to nobody
    check("list", finished(kerno_dfu(c, "list", as_nobody=True)),
          (0, "/dev/hidraw0\tKT2-0001?\tno-access\n"))
    status, out = finished(kerno_dfu(c, "flash", image, as_nobody=True))
    check(out, status == 3 and re.search(r"\(-2\): .*Permission denied; is the udev rule "
                                         r"70-kerno-tindal2.rules installed", out))
    check("bytes reached the speaker", not speaker.received)


def case_hw_two_speakers(c):
    """Two speakers: refused with their number unless --all; one unplugged mid-transfer fails
    as gone within a second, the other is updated, leaving before it acknowledges the reset
    (a success)."""
    plug, image, payload = emulated_kernel(c)
    one, two = plug(busy_ms=5, reset_acked=False), plug(busy_ms=5, unplug_at=5)
    status, out = finished(kerno_dfu(c, "flash", image))
    check(out, status == 3 and "2 speakers in upgrade mode found" in out)
    p = kerno_dfu(c, "flash", "--all", image)
    got = lines(p)
    check(got, p.wait() == 1 and one.written == payload and two.written is None)
    check(got, any(l == "/dev/hidraw0: updated\n" for _, l in got))
    told = [t for t, l in got if re.match(r"/dev/hidraw1: failed \(-8\).*device gone", l)]
    check(got, told and told[0] - two.gone_at < 1)


def case_hw_window(c, unplug_at):
    """The window on the hardware library, a real image chosen: the done page and the image
    received; or, unplugged mid-transfer, the failure page within moments and the library's
    line."""
    plug, image, payload = emulated_kernel(c)
    speaker = plug(busy_ms=2, unplug_at=unplug_at)
    u = c.start(library_dir=c.opts.hardware_dir)
    key(u.window, "ctrl+alt+shift+f")   # the file chooser
    chooser = u.wait_window("^Choix du Firmware$", 10)
    type_text(chooser, str(image))
    key(chooser, "Return")
    wait_for("the file chooser to close", 10, lambda: find_window("^Choix du Firmware$") is None)
    u.press_ready()
    if unplug_at is None:
        u.wait_page(["done"], 60)
        check("the image received", speaker.written == payload)
        return
    u.wait_page(["failure+errors"], 20)
    check("failure page late", time.monotonic() - speaker.gone_at < 3)
    check(u.stderr, any("chunk 10 of 30 refused: device gone" in l for l in u.stderr))


CASES = {  # name: (case, its arguments, bound of the whole case in s)
    "done": (case_done, (), 90),
    "fail_chunk": (case_fault, ("fail=chunk:7", 30, False, True), 60),
    "fail_reset": (case_fault, ("fail=reset", 30, True, False), 60),
    "fail_busy": (case_fault, ("fail=busy", 40, False, False), 70),
    "quit_during_transfer": (case_signal, (None, "progress"), 60),
    "signal_transfer": (case_signal, (signal.SIGTERM, "progress"), 60),
    "signal_box": (case_signal, (signal.SIGINT, None), 60),
    "signal_connect": (case_signal, (signal.SIGHUP, "connect"), 60),
    "closed_stdout": (case_closed_stream, (False,), 60),
    "closed_streams": (case_closed_stream, (True,), 60),
    "silent_bus": (case_silent_bus, (None,), 90),
    "silent_bus_signal": (case_silent_bus, (signal.SIGTERM,), 60),
    "replay": (case_replay, (), 120),
    "wayland_kiosk": (case_wayland, ("kiosk-shell",), 60),
    "wayland": (case_wayland, ("desktop-shell",), 90),
    "tmpdir_unwritable": (case_startup_box, ("^Problème d'espace disque$", 255, "/nonexistent"),
                          40),
    "no_library": (case_startup_box, ("^Erreur d'initialisation$", 2, None, True), 40),
    "hw_flash": (case_hw_flash, (), 30),
    "hw_no_access": (case_hw_no_access, (), 30),
    "hw_two_speakers": (case_hw_two_speakers, (), 30),
    "hw_window_done": (case_hw_window, (None,), 60),
    "hw_window_unplug": (case_hw_window, (10,), 60),
    "demo_done": (case_demo, ("", 0, ["page last-percent", "done page reached"]), 240),
    # The manifest fault goes through the demo, whose output carries the updater's.
    "demo_failure": (case_demo, (";fail=manifest", 1, ["n°1 : KernoTindalUpdateDlg(517)",
                                                      "(resetDevice)", "(errVERIFY) (-16)"]),
                     240),
}


def main():
    ap = argparse.ArgumentParser(description=__doc__)
    for arg in ("--binary", "--logind", "--virtual-dir", "--image", "--build-dir", "--source-dir",
                "--kerno-dfu", "--hardware-dir"):   # the last two for the hw_ cases only
        ap.add_argument(arg, required=arg not in ("--kerno-dfu", "--hardware-dir"))
    ap.add_argument("case", choices=sorted(CASES))
    opts = ap.parse_args()
    fn, args, bound = CASES[opts.case]
    c = Case(opts)

    def overtime(*_):  # told like any failure: screenshot, output and files kept
        raise Failure("the case took over %d s" % bound)
    signal.signal(signal.SIGALRM, overtime)
    signal.alarm(bound)
    try:
        if os.environ.get("DISPLAY"):
            wait_x_server()
        fn(c, *args)
    except Failure as e:
        if os.environ.get("DISPLAY"):
            screenshot("root", str(c.work / "screen-at-failure.png"))
        print("FAILED: %s\nupdater stderr: %s\nfiles kept in %s" %
              (e, [u.stderr for u in c.updaters], c.work))
        return 1
    finally:
        signal.alarm(0)
        for u in c.updaters:
            u.kill()
    shutil.rmtree(c.work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
