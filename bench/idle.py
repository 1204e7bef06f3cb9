#!/usr/bin/env python3
"""What an idle device costs: one `sonavert --headless` with a real player (mpv with
mpv-mpris on a private session bus, nothing playing) connected to a local `sonavert-cloud`,
left alone for N minutes. Prints the CPU time of the sonavert process over the wall time
(% of one core) and its resident memory (VmRSS sampled every few seconds, and the peak
VmHWM). The server's and mpv's CPU are printed alongside for context.

The measurement starts after a warm-up (library scan, first presence pass, the nearby
window), so it shows the steady state: the presence, playback and command loops.

Usage: bench/idle.py [--minutes N] [--interval S] [--warmup S] [--build DIR]
"""
import argparse
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

CLOCK_TICKS = os.sysconf("SC_CLK_TCK")
MPRIS_NAME = "org.mpris.MediaPlayer2.mpv"


def cpu_seconds(pid):
    """utime + stime of a process, in seconds."""
    with open(f"/proc/{pid}/stat") as stat:
        # The command name may hold blanks; the fields after its closing parenthesis do not.
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / CLOCK_TICKS


def memory_kb(pid):
    values = {}
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            key, _, rest = line.partition(":")
            if key in ("VmRSS", "VmHWM"):
                values[key] = int(rest.split()[0])
    return values["VmRSS"], values["VmHWM"]


def start_bus(work):
    config = os.path.join(work, "bus.conf")
    with open(config, "w") as out:
        out.write(f"<busconfig><type>session</type><listen>unix:dir={work}</listen>"
                  "<auth>EXTERNAL</auth><policy context=\"default\">"
                  "<allow send_destination=\"*\" eavesdrop=\"true\"/>"
                  "<allow eavesdrop=\"true\"/><allow own=\"*\"/></policy></busconfig>\n")
    bus = subprocess.Popen(["dbus-daemon", f"--config-file={config}", "--nofork",
                            "--print-address=1"], stdout=subprocess.PIPE,
                           stderr=subprocess.DEVNULL, text=True)
    return bus, bus.stdout.readline().strip()


def name_has_owner(address, name):
    reply = subprocess.run(["dbus-send", f"--bus={address}", "--print-reply",
                            "--dest=org.freedesktop.DBus", "/org/freedesktop/DBus",
                            "org.freedesktop.DBus.NameHasOwner", f"string:{name}"],
                           capture_output=True, text=True)
    return "boolean true" in reply.stdout


def start_mpv(address, work):
    home = os.path.join(work, "mpv-home")
    os.makedirs(home, exist_ok=True)
    env = dict(os.environ, DBUS_SESSION_BUS_ADDRESS=address, HOME=home,
               XDG_CONFIG_HOME=os.path.join(home, "config"))
    mpv = subprocess.Popen(["mpv", "--no-config", "--script=/usr/lib/mpv-mpris/mpris.so",
                            "--idle=yes", "--no-video", "--ao=null", "--no-terminal"],
                           env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    deadline = time.monotonic() + 30
    while not name_has_owner(address, MPRIS_NAME):
        if time.monotonic() > deadline or mpv.poll() is not None:
            raise RuntimeError("mpv did not register on the private bus")
        time.sleep(0.2)
    return mpv


def make_library(folder, count):
    """A few short tagged FLAC files, so the device has a library to index and search."""
    os.makedirs(folder, exist_ok=True)
    if not shutil.which("sox") or not shutil.which("metaflac"):
        return 0
    for i in range(count):
        path = os.path.join(folder, f"Track {i}.flac")
        subprocess.run(["sox", "-n", "-r", "44100", "-c", "2", path, "synth", "3", "sine",
                        "440", "vol", "0.3"], check=True, capture_output=True)
        subprocess.run(["metaflac", f"--set-tag=TITLE=Song {i}", "--set-tag=ARTIST=Idle Artist",
                        "--set-tag=ALBUM=Idle Album", path], check=True)
    return count


def start_cloud(cloud, data, log):
    os.makedirs(data, exist_ok=True)
    token = subprocess.run([cloud, "account", "add", "idle", "--data-dir", data], check=True,
                           capture_output=True, text=True).stdout.strip().splitlines()[-1]
    server = subprocess.Popen([cloud, "--listen", "127.0.0.1:0", "--data-dir", data],
                              stdout=subprocess.PIPE, stderr=log, text=True)
    return server, server.stdout.readline().strip(), token


def stop(process):
    if process and process.poll() is None:
        process.terminate()
        try:
            process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--minutes", type=float, default=10)
    parser.add_argument("--interval", type=float, default=5, help="seconds between samples")
    parser.add_argument("--warmup", type=float, default=30, help="seconds before measuring")
    parser.add_argument("--build", default="build/release")
    parser.add_argument("--keep", action="store_true", help="keep the scratch folder and logs")
    args = parser.parse_args()
    # A plain kill still stops the children below.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))
    sonavert = os.path.join(args.build, "src/app/sonavert")
    cloud = os.path.join(args.build, "server/app/sonavert-cloud")
    work = tempfile.mkdtemp(prefix="sonavert-idle-")
    bus = mpv = server = device = None
    try:
        logs = open(os.path.join(work, "logs.txt"), "w")
        bus, address = start_bus(work)
        mpv = start_mpv(address, work)
        tracks = make_library(os.path.join(work, "Music"), 20)
        server, url, token = start_cloud(cloud, os.path.join(work, "cloud"), logs)
        env = dict(os.environ, DBUS_SESSION_BUS_ADDRESS=address, SONAVERT_LOG_TARGET="stderr",
                   SONAVERT_UPDATE_FEED_URL="http://127.0.0.1:9/appcast.xml",
                   DBUS_SYSTEM_BUS_ADDRESS="unix:path=/nonexistent/idle-bench-system-bus")
        device = subprocess.Popen(
            [sonavert, "--headless", "--profile", os.path.join(work, "profile"), "--cloud", url,
             "--token", token, "--name", "Idle", "--player", "mpv", "--library",
             os.path.join(work, "Music")],
            stdout=logs, stderr=logs, env=env)
        print(f"sonavert pid {device.pid}, mpv pid {mpv.pid}, {tracks} library tracks; "
              f"warm-up {args.warmup:.0f} s, then {args.minutes:g} min", flush=True)
        time.sleep(args.warmup)
        if device.poll() is not None:
            raise RuntimeError(f"sonavert exited with {device.returncode}; see {work}/logs.txt")
        pids = {"sonavert": device.pid, "sonavert-cloud": server.pid, "mpv": mpv.pid}
        start_wall = time.monotonic()
        start_cpu = {name: cpu_seconds(pid) for name, pid in pids.items()}
        samples = []  # (seconds since start, VmRSS kB, interval CPU %)
        last_wall, last_cpu = start_wall, start_cpu["sonavert"]
        end = start_wall + args.minutes * 60
        while time.monotonic() < end:
            time.sleep(min(args.interval, max(0.0, end - time.monotonic())))
            if device.poll() is not None:
                raise RuntimeError(f"sonavert exited with {device.returncode}")
            now, cpu = time.monotonic(), cpu_seconds(device.pid)
            rss, _ = memory_kb(device.pid)
            samples.append((now - start_wall, rss, 100 * (cpu - last_cpu) / (now - last_wall)))
            last_wall, last_cpu = now, cpu
        wall = time.monotonic() - start_wall
        used = {name: cpu_seconds(pid) - start_cpu[name] for name, pid in pids.items()}
        _, peak = memory_kb(device.pid)
        rss = [s[1] for s in samples]
        slices = [s[2] for s in samples]
        half = len(rss) // 2
        growth = (sum(rss[half:]) / len(rss[half:]) - sum(rss[:half]) / len(rss[:half])) \
            if half else 0.0
        print(f"idle over {wall / 60:.1f} min, {len(samples)} samples every {args.interval:g} s")
        print(f"  sonavert CPU     {100 * used['sonavert'] / wall:.3f} % of one core "
              f"({used['sonavert']:.2f} s); busiest {args.interval:g} s slice "
              f"{max(slices):.2f} %")
        print(f"  sonavert VmRSS   first {rss[0] / 1024:.1f} MB, last {rss[-1] / 1024:.1f} MB, "
              f"max {max(rss) / 1024:.1f} MB; second half minus first half "
              f"{growth:+.0f} kB; VmHWM {peak / 1024:.1f} MB")
        print(f"  sonavert-cloud   {100 * used['sonavert-cloud'] / wall:.3f} % of one core")
        print(f"  mpv              {100 * used['mpv'] / wall:.3f} % of one core")
        with open("/proc/loadavg") as load:
            print(f"  load average at the end: {' '.join(load.read().split()[:3])}")
        return 0
    finally:
        stop(device)
        stop(server)
        stop(mpv)
        stop(bus)
        if args.keep:
            print(f"scratch kept in {work}")
        else:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
