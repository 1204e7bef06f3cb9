#!/usr/bin/env python3
"""Time from starting two `sonavert --headless` devices on one `sonavert-cloud` until each
lists the other as online, over many runs. Prints p50, p90, p99 and max.

Usage: bench/presence_convergence.py [--runs N] [--build DIR]
"""
import argparse
import os
import select
import shutil
import statistics
import subprocess
import sys
import tempfile
import time


def new_account(cloud, data, name):
    """A fresh account per run, so no device of an earlier run is listed."""
    return subprocess.run([cloud, "account", "add", name, "--data-dir", data],
                          check=True, capture_output=True, text=True).stdout.strip().splitlines()[-1]


def start_cloud(cloud, data):
    os.makedirs(data, exist_ok=True)
    new_account(cloud, data, "bench-warmup")
    server = subprocess.Popen([cloud, "--listen", "127.0.0.1:0", "--data-dir", data],
                              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    url = server.stdout.readline().strip()
    return server, url


def run_once(sonavert, url, token, work):
    names = ("Kitchen", "Study")
    want = {"Kitchen": "devices: Study (online", "Study": "devices: Kitchen (online"}
    env = dict(os.environ, SONAVERT_LOG_TARGET="stderr",
               SONAVERT_UPDATE_FEED_URL="http://127.0.0.1:9/appcast.xml",
               DBUS_SYSTEM_BUS_ADDRESS="unix:path=/nonexistent/bench-system-bus")
    started = time.monotonic()
    procs = {}
    for name in names:
        profile = tempfile.mkdtemp(dir=work)
        procs[name] = subprocess.Popen(
            [sonavert, "--headless", "--profile", profile, "--cloud", url, "--token", token,
             "--name", name], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, env=env)
    pending = set(names)
    buffers = {name: b"" for name in names}
    deadline = started + 60
    while pending and time.monotonic() < deadline:
        readable, _, _ = select.select([procs[n].stdout for n in pending], [], [], 1.0)
        for name in list(pending):
            stream = procs[name].stdout
            if stream in readable:
                chunk = os.read(stream.fileno(), 65536)
                buffers[name] += chunk
                if want[name].encode() in buffers[name]:
                    pending.discard(name)
    elapsed = time.monotonic() - started
    for proc in procs.values():
        proc.terminate()
    for proc in procs.values():
        proc.wait(timeout=30)
    return None if pending else elapsed


def percentile(values, fraction):
    ordered = sorted(values)
    index = min(len(ordered) - 1, max(0, round(fraction * (len(ordered) - 1))))
    return ordered[index]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--runs", type=int, default=20)
    parser.add_argument("--build", default="build/release")
    args = parser.parse_args()
    sonavert = os.path.join(args.build, "src/app/sonavert")
    cloud = os.path.join(args.build, "server/app/sonavert-cloud")
    work = tempfile.mkdtemp(prefix="sonavert-bench-")
    data = os.path.join(work, "cloud")
    server, url = start_cloud(cloud, data)
    times, failures = [], 0
    try:
        for run in range(args.runs):
            token = new_account(cloud, data, f"bench-{run}")
            elapsed = run_once(sonavert, url, token, work)
            if elapsed is None:
                failures += 1
            else:
                times.append(elapsed)
    finally:
        server.terminate()
        server.wait(timeout=30)
        shutil.rmtree(work, ignore_errors=True)
    if not times:
        print("no run converged", file=sys.stderr)
        return 1
    print(f"presence_convergence runs={len(times)} failed={failures} "
          f"p50={percentile(times, 0.5):.3f}s p90={percentile(times, 0.9):.3f}s "
          f"p99={percentile(times, 0.99):.3f}s max={max(times):.3f}s mean={statistics.mean(times):.3f}s")
    return 0 if failures == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
