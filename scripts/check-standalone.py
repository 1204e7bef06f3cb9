#!/usr/bin/env python3
"""Checks that every source the build compiles inside a unity batch also compiles on its own,
as the dev and release presets (and a packager) build it: a batch shares one preprocessor
state, so a source there can lean on an include or a declaration of the source before it.

Usage: scripts/check-standalone.py BUILD_DIR   (a built CMAKE_UNITY_BUILD tree)

Each source is parsed alone with its batch's flags (g++ -fsyntax-only). A source that passed
before is not parsed again while its preprocessed text, its flags and the compiler are
unchanged.
"""
import concurrent.futures
import os
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "lib"))
import compile_database  # noqa: E402

ROOT = os.path.realpath(os.path.join(os.path.dirname(__file__), ".."))


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    build_dir = os.path.realpath(sys.argv[1])
    work = []
    for entry, sources in compile_database.entries(build_dir):
        if len(sources) < 2:
            continue  # the build compiled it alone already
        args = compile_database.compiler_args(entry)
        for source in sources:
            if os.path.realpath(source).startswith(ROOT + "/") and \
                    not os.path.realpath(source).startswith(build_dir + "/"):
                work.append((args, source, entry["directory"]))
    if not work:
        print("check-standalone: no unity batches in this tree")
        return 0
    compiler = work[0][0][0]
    version = subprocess.run([compiler, "--version"], check=True, capture_output=True).stdout
    record = compile_database.PassRecord("standalone", version + open(__file__, "rb").read())

    def check(item):
        args, source, cwd = item
        key = record.key(args, source, cwd, ROOT)
        if record.passed(key):
            return None, True
        result = subprocess.run(args + ["-fsyntax-only", source], cwd=cwd, capture_output=True,
                                text=True)
        if result.returncode != 0:
            return f"{os.path.relpath(source, ROOT)}:\n{result.stderr.strip()}", False
        record.remember(key)
        return None, False

    with concurrent.futures.ThreadPoolExecutor(os.cpu_count() or 1) as pool:
        results = list(pool.map(check, work))
    failures = [failure for failure, _ in results if failure]
    unchanged = sum(1 for _, hit in results if hit)
    print(f"check-standalone: {len(work)} sources of unity batches, {unchanged} unchanged since "
          "they passed")
    for failure in failures:
        print(failure)
    print(f"check-standalone: {len(failures)} source(s) do not compile on their own")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
