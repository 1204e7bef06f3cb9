#!/usr/bin/python3
"""What the window costs. Real `sonavert` processes on a private session bus and an X server of
their own (Xvfb, Qt Quick's software renderer), on a local `sonavert-cloud`, with a peer
(`sonavert --headless --player simulated`) playing a song so that its row animates:

1. launch to the first frame: from starting `sonavert` (no tray host, so the window shows at
   start) to the first frame of its window, over N runs;
2. the window open with the peer playing: CPU of the process (% of one core) and VmRSS;
3. in the tray with the window never opened, beside a `--headless` device on the same cloud:
   CPU and VmRSS of both over the same minutes;
4. tray click to window shown: the item's Activate (as a tray host sends it) to the first
   frame after showing, the first time (the window loads) and then N times shown and hidden;
5. the window loaded but hidden again, beside the headless device: CPU of both.

Every figure is read from the processes' own lines ("[Tessary] window: presented") and from
/proc. Needs Xvfb and python3-dbus (the stand-in tray host).

Usage: bench/window.py [--build DIR] [--runs N] [--seconds S] [--clicks N]
"""
import argparse
import json
import os
import queue
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import idle  # noqa: E402  (its process and /proc helpers)

HERE = os.path.dirname(os.path.abspath(__file__))
WATCHER = os.path.join(HERE, "..", "tests", "support", "status_notifier_watcher.py")


class Lines:
    """A process's standard output as (arrival time, line) pairs, read on a thread."""

    def __init__(self, process):
        self.process = process
        self.queue = queue.Queue()
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.process.stdout:
            self.queue.put((time.monotonic(), line.rstrip("\n")))

    def wait_for(self, text, timeout=60):
        deadline = time.monotonic() + timeout
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                raise RuntimeError(f"no line with '{text}' within {timeout} s")
            try:
                at, line = self.queue.get(timeout=left)
            except queue.Empty:
                continue
            if text in line:
                self.last = line
                return at


def start_xvfb(work):
    read, write = os.pipe()
    server = subprocess.Popen(["Xvfb", "-displayfd", str(write), "-screen", "0", "1280x800x24",
                               "-nolisten", "tcp"], pass_fds=(write,),
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(write)
    with os.fdopen(read) as display:
        number = display.readline().strip()
    if not number:
        raise RuntimeError("Xvfb did not start")
    return server, f":{number}"


def returning_user(profile):
    """A profile past the welcome screen and the first-run sheets."""
    os.makedirs(profile, exist_ok=True)
    with open(os.path.join(profile, "defaults.json"), "w") as out:
        json.dump({key: True for key in ("Tessary.hideWelcome", "Tessary.macStoreBannerDismissed",
                                         "Sonavert.shortcut.donated", "Sonavert.music.allowed")},
                  out)


def cpu_window(pids, seconds):
    """CPU of each process over the same `seconds`, in % of one core."""
    start = {name: idle.cpu_seconds(pid) for name, pid in pids.items()}
    began = time.monotonic()
    time.sleep(seconds)
    wall = time.monotonic() - began
    return {name: 100 * (idle.cpu_seconds(pid) - start[name]) / wall for name, pid in pids.items()}


def mb(kb):
    return f"{kb / 1024:.1f} MB"


def percentile(values, fraction):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(fraction * len(ordered)))]


class Bench:
    def __init__(self, args, work):
        self.args = args
        self.work = work
        self.sonavert = os.path.join(args.build, "src/app/sonavert")
        self.processes = []
        self.logs = open(os.path.join(work, "logs.txt"), "w")

    def spawn(self, arguments, env, lines=True):
        process = subprocess.Popen(arguments, env=env, text=True, stderr=self.logs,
                                   stdout=subprocess.PIPE if lines else self.logs)
        self.processes.append(process)
        return process, (Lines(process) if lines else None)

    def device(self, name, extra, env):
        profile = os.path.join(self.work, "profiles", name)
        returning_user(profile)
        return self.spawn([self.sonavert, "--profile", profile, "--cloud", self.url, "--token",
                           self.token, "--name", name, "--library", self.music, "--verbose"]
                          + extra, env)

    def setup(self):
        self.bus, address = idle.start_bus(self.work)
        self.processes.append(self.bus)
        self.xvfb, display = start_xvfb(self.work)
        self.processes.append(self.xvfb)
        self.music = os.path.join(self.work, "Music")
        idle.make_library(self.music, 3)
        server, self.url, self.token = idle.start_cloud(
            os.path.join(self.args.build, "server/app/sonavert-cloud"),
            os.path.join(self.work, "cloud"), self.logs)
        self.processes.append(server)
        self.env = dict(os.environ, DBUS_SESSION_BUS_ADDRESS=address, DISPLAY=display,
                        QT_QPA_PLATFORM="xcb", QT_QUICK_BACKEND="software",
                        SONAVERT_LOG_TARGET="stderr", HOME=self.work,
                        DBUS_SYSTEM_BUS_ADDRESS="unix:path=/nonexistent/window-bench-system-bus")
        self.env.pop("WAYLAND_DISPLAY", None)
        self.device("Peer", ["--headless", "--player", "simulated", "--simulate-playing",
                             "Song 0"], self.env)

    def stop(self, process):
        idle.stop(process)
        if process in self.processes:
            self.processes.remove(process)

    def launch_to_first_frame(self):
        times = []
        for run in range(self.args.runs):
            began = time.monotonic()
            process, lines = self.device("Desk", ["--player", "simulated"], self.env)
            times.append(lines.wait_for("window: presented") - began)
            if run + 1 < self.args.runs:
                self.stop(process)
        print(f"launch to first frame over {len(times)} runs: "
              f"median {1000 * statistics.median(times):.0f} ms, "
              f"min {1000 * min(times):.0f} ms, max {1000 * max(times):.0f} ms", flush=True)
        return process, lines

    def window_open(self, process, lines):
        lines.wait_for("devices: Peer (online")
        time.sleep(5)  # the row's entrance and the first waveform frames settle
        cpu = cpu_window({"window": process.pid}, self.args.seconds)["window"]
        rss, peak = idle.memory_kb(process.pid)
        print(f"window open, peer playing, {self.args.seconds:g} s: CPU {cpu:.2f} % of one core, "
              f"VmRSS {mb(rss)}, VmHWM {mb(peak)}", flush=True)

    def in_tray(self):
        watcher, watcher_lines = self.spawn([WATCHER], self.env)
        watcher_lines.wait_for("ready")
        tray, tray_lines = self.device("Tray", ["--player", "simulated"], self.env)
        watcher_lines.wait_for("registered")
        item = watcher_lines.last.split()[1]
        headless, headless_lines = self.device("Headless", ["--headless", "--player",
                                                            "simulated"], self.env)
        for lines in (tray_lines, headless_lines):
            lines.wait_for("first presence pass done")
        time.sleep(self.args.warmup)
        pids = {"tray": tray.pid, "headless": headless.pid}
        self.compare("in the tray, window never opened", pids)
        return tray, tray_lines, pids, item

    def compare(self, title, pids):
        cpu = cpu_window(pids, self.args.seconds)
        memory = {name: idle.memory_kb(pid)[0] for name, pid in pids.items()}
        print(f"{title}, {self.args.seconds:g} s: CPU tray {cpu['tray']:.3f} %, headless "
              f"{cpu['headless']:.3f} % of one core; VmRSS tray {mb(memory['tray'])}, "
              f"headless {mb(memory['headless'])}", flush=True)

    def tray_clicks(self, tray_lines, item):
        import dbus
        bus = dbus.bus.BusConnection(self.env["DBUS_SESSION_BUS_ADDRESS"])
        activate = bus.get_object(item, "/StatusNotifierItem", introspect=False).get_dbus_method(
            "Activate", "org.kde.StatusNotifierItem")

        def show():
            began = time.monotonic()
            activate(0, 0)
            return tray_lines.wait_for("window: presented") - began

        first = show()
        shown = []
        for _ in range(self.args.clicks):
            activate(0, 0)
            tray_lines.wait_for("window: hidden")
            shown.append(show())
        activate(0, 0)
        tray_lines.wait_for("window: hidden")
        print(f"tray click to window shown: first (loads the window) {1000 * first:.0f} ms; "
              f"then over {len(shown)} clicks p50 {1000 * percentile(shown, 0.5):.1f} ms, "
              f"p90 {1000 * percentile(shown, 0.9):.1f} ms, max {1000 * max(shown):.1f} ms",
              flush=True)

    def run(self):
        self.setup()
        process, lines = self.launch_to_first_frame()
        self.window_open(process, lines)
        self.stop(process)
        tray, tray_lines, pids, item = self.in_tray()
        self.tray_clicks(tray_lines, item)
        rss = idle.memory_kb(tray.pid)[0]
        print(f"window loaded: VmRSS {mb(rss)}", flush=True)
        time.sleep(2)
        self.compare("in the tray, window loaded and hidden again", pids)
        with open("/proc/loadavg") as load:
            print(f"load average at the end: {' '.join(load.read().split()[:3])}")

    def close(self):
        for process in reversed(self.processes):
            idle.stop(process)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default="build/release")
    parser.add_argument("--runs", type=int, default=5, help="launches to time")
    parser.add_argument("--seconds", type=float, default=60, help="length of each CPU window")
    parser.add_argument("--warmup", type=float, default=20, help="seconds before measuring")
    parser.add_argument("--clicks", type=int, default=20, help="tray clicks to time")
    parser.add_argument("--keep", action="store_true", help="keep the scratch folder and logs")
    args = parser.parse_args()
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))
    work = tempfile.mkdtemp(prefix="sonavert-window-")
    bench = Bench(args, work)
    try:
        bench.run()
        return 0
    finally:
        bench.close()
        if args.keep:
            print(f"scratch kept in {work}")
        else:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
