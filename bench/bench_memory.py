#!/usr/bin/env python3
"""Resident memory of the updater in an X server, against a bare window as the floor.

  bench_memory.py --binary B --floor F --library-dir D [--hold S] [--runs N]
  (build/bench/bench_memory gives the first three and starts Xvfb when there is no display)

Each run starts the floor (a bare 801 x 601 QWidget of the same toolkit) and then the
updater the same way: same environment, the virtual speaker first in the library search.
The updater goes through a whole update at the speaker's default timing (welcome, connect,
progress, last percent, done), then shows the progress page with the crawl and then the
scroller (Ctrl+Alt+Shift+3, W, S), each for S seconds. Printed: the largest VmRSS seen on
each page, VmHWM at the end, and the updater's peak above the floor's.
"""

import argparse
import os
import sys
import threading
import time
from pathlib import Path

sys.dont_write_bytecode = True   # nothing written into the source tree
sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tools"))
from updater_driver import (Failure, Updater, classify, key, ready_visible,  # noqa: E402
                            wait_x_server)

FLOOR_TITLE = "^bench_memory floor$"
BUDGET_MIB = 20
# Both processes get the same: the child variable makes the benchmark the floor (the updater
# reads none of its own); the tune's fetch goes to a closed port here, not out of the machine.
ENV = {"KERNO_BENCH_CHILD": "1", "http_proxy": "http://127.0.0.1:9", "HTTP_PROXY": "http://127.0.0.1:9", "no_proxy": "",
       "LC_ALL": "C.UTF-8"}


def memory(pid):
    """VmRSS and VmHWM of a process, in MiB."""
    fields = {}
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            name, _, value = line.partition(":")
            if name in ("VmRSS", "VmHWM"):
                fields[name] = int(value.split()[0]) / 1024.0
    return fields["VmRSS"], fields["VmHWM"]


class Sampler:
    """Polls a process's VmRSS every 20 ms and keeps the largest per label."""

    def __init__(self, pid):
        self.pid, self.label, self.order, self.peaks = pid, None, [], {}
        self.running = True
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def mark(self, label):
        if label not in self.peaks:
            self.order.append(label)
            self.peaks[label] = 0.0
        self.label = label

    def _run(self):
        while self.running:
            try:
                rss, _ = memory(self.pid)
            except (OSError, KeyError):
                return
            if self.label:
                self.peaks[self.label] = max(self.peaks[self.label], rss)
            time.sleep(0.02)

    def stop(self):
        self.running = False
        self.thread.join()


def hold(u, seconds):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        u.check_alive()
        time.sleep(0.1)


def run_floor(opts):
    u = Updater(opts.floor, opts.library_dir, ENV)
    try:
        u.wait_window(FLOOR_TITLE)
        s = Sampler(u.proc.pid)
        s.mark("window")
        hold(u, opts.hold)
        s.stop()
        return s.peaks["window"], memory(u.proc.pid)[1]
    finally:
        u.kill()


def run_updater(opts):
    u = Updater(opts.binary, opts.library_dir, ENV)
    try:
        u.wait_window()
        s = Sampler(u.proc.pid)
        deadline, pressed, page = time.monotonic() + 120, False, None
        while page != "done":
            if time.monotonic() > deadline:
                raise Failure("no done page within 120 s (pages: %s)" % ", ".join(s.order))
            shot = u.shot()
            page = classify(shot)
            if page.startswith("failure"):
                raise Failure("the update failed: %s" % "\n".join(u.stdout[-5:]))
            if page != "other":
                s.mark(page)
            if page == "welcome" and not pressed and ready_visible(shot):
                u.click_ready()
                pressed = True
        hold(u, opts.hold)
        key(u.window, "ctrl+alt+shift+3")
        u.wait_page(["progress"], 10)
        for label, letter in (("crawl", "w"), ("scroller", "s")):
            key(u.window, "ctrl+alt+shift+" + letter)
            s.mark(label)
            hold(u, opts.hold)
        s.stop()
        return [(label, s.peaks[label]) for label in s.order], memory(u.proc.pid)[1]
    finally:
        u.kill()


def main():
    ap = argparse.ArgumentParser(description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--binary", required=True, help="the updater")
    ap.add_argument("--floor", required=True, help="the bare window")
    ap.add_argument("--library-dir", required=True, help="the virtual speaker's folder")
    ap.add_argument("--hold", type=float, default=3.0, help="seconds on each shown mode")
    ap.add_argument("--runs", type=int, default=1)
    opts = ap.parse_args()
    if not os.environ.get("DISPLAY"):
        print("needs an X server: run under xvfb-run", file=sys.stderr)
        return 2
    wait_x_server()
    worst = None
    for run in range(opts.runs):
        try:
            floor_rss, floor_hwm = run_floor(opts)
            pages, hwm = run_updater(opts)
        except Failure as e:
            print("run failed: %s" % e, file=sys.stderr)
            return 1
        print("run %d of %d, MiB" % (run + 1, opts.runs))
        print("  floor, bare 801 x 601 window   VmRSS %6.1f   VmHWM %6.1f" % (floor_rss, floor_hwm))
        for label, rss in pages:
            print("  updater, %-21s VmRSS %6.1f   (+%.1f)" % (label, rss, rss - floor_rss))
        above = hwm - floor_hwm
        print("  updater, peak over the run   VmHWM %6.1f   (+%.1f above the floor's VmHWM)"
              % (hwm, above))
        worst = above if worst is None else max(worst, above)
    print("peak above the floor: %.1f MiB (target <= %d MiB: %s)"
          % (worst, BUDGET_MIB, "met" if worst <= BUDGET_MIB else "MISSED"))
    return 0


if __name__ == "__main__":
    sys.exit(main())
