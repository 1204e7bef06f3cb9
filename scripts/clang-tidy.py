#!/usr/bin/env python3
"""Runs clang-tidy with the committed .clang-tidy over every translation unit of src/, server/
and tools/ of a built tree; any finding fails.

Usage: scripts/clang-tidy.py BUILD_DIR

- A unity batch (a build with CMAKE_UNITY_BUILD) is checked as the compiler builds it: one
  parse for all the sources it includes, whose findings are reported as any source's.
- A unit that passed before is not checked again while its preprocessed text (comments kept,
  so NOLINT markers count), its flags, the checks and clang-tidy itself are unchanged.
"""
import concurrent.futures
import json
import os
import re
import shlex
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "lib"))
import compile_database  # noqa: E402

ROOT = os.path.realpath(os.path.join(os.path.dirname(__file__), ".."))
TREES = ("src", "server", "tools")
# Options of g++ that clang does not know: C++20 enables coroutines by itself, and the unity
# build's warning switch names a g++-only warning.
GCC_ONLY = ("-fcoroutines", "-Wno-subobject-linkage")
# A unity batch's own lines are only includes of sources: including a .cpp is the point there.
UNITY_ONLY_FINDING = "[bugprone-suspicious-include"
FINDING = re.compile(r"^(/[^:]+):\d+:\d+: (warning|error): ")


def ours(path):
    rel = os.path.relpath(os.path.realpath(path), ROOT)
    return rel.split("/")[0] in TREES and "_autogen" not in rel


def tidy(entry, database_dir):
    result = subprocess.run(
        ["clang-tidy", "-p", database_dir, "--quiet",
         f"--header-filter=^{ROOT}/({'|'.join(TREES)})/", entry["file"]],
        capture_output=True, text=True)
    findings = []
    lines = result.stdout.splitlines()
    for i, line in enumerate(lines):
        match = FINDING.match(line)
        if not match:
            continue
        if "/Unity/unity_" in match.group(1) and UNITY_ONLY_FINDING in line:
            continue
        findings.append("\n".join(lines[i:i + 4]))
    if not findings and result.returncode != 0 and \
            not re.search(r"\d+ (warnings?|errors?) generated", result.stderr):
        findings.append(f"{entry['file']}: clang-tidy failed:\n{result.stderr.strip()}")
    return findings


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: scripts/clang-tidy.py BUILD_DIR")
    build_dir = os.path.realpath(sys.argv[1])
    version = subprocess.run(["clang-tidy", "--version"], check=True, capture_output=True).stdout
    record = compile_database.PassRecord(
        "clang-tidy", version + open(os.path.join(ROOT, ".clang-tidy"), "rb").read() +
        open(__file__, "rb").read())
    work = [(entry, [s for s in sources if ours(s)])
            for entry, sources in compile_database.entries(build_dir)]
    work = [(entry, mine) for entry, mine in work if mine]
    with tempfile.TemporaryDirectory() as scratch:
        entries = []
        for entry, _ in work:
            args = compile_database.compiler_args(entry, drop=GCC_ONLY)
            entries.append(dict(entry, command=shlex.join(args + ["-c", entry["file"]])))
        json.dump(entries, open(os.path.join(scratch, "compile_commands.json"), "w"))

        def check(entry):
            args = compile_database.compiler_args(entry)
            key = record.key(args, entry["file"], entry["directory"], ROOT, ("-E", "-C"))
            if record.passed(key):
                return [], True
            findings = tidy(entry, scratch)
            if not findings:
                record.remember(key)
            return findings, False

        with concurrent.futures.ThreadPoolExecutor(os.cpu_count() or 1) as pool:
            results = list(pool.map(check, entries))

    sources = sum(len(mine) for _, mine in work)
    unchanged = sum(1 for _, hit in results if hit)
    print(f"clang-tidy: {sources} files in {len(work)} units, {unchanged} unchanged since "
          "they passed")
    findings = sorted({f for found, _ in results for f in found})
    if findings:
        print("\n\n".join(findings))
        print("clang-tidy: findings above")
        sys.exit(1)
    print("clang-tidy: no findings")


if __name__ == "__main__":
    main()
