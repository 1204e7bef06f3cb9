#!/usr/bin/env python3
"""Checks that every quoted include of the tree names exactly one file and crosses only the
layering the build allows.

Usage: scripts/check-includes.py BUILD_DIR   (a configured build tree)

- A quoted include is a path from the repository root ("src/runtime/clock.h",
  "server/wire/record_json.h", "tests/support/private_bus.h"). It must name a file of the
  repository, and no file beside the including one may carry the same relative name (which the
  compiler would take first). Includes of generated files (moc output, D-Bus proxies) must
  exist in the build tree instead.
- A file may include a header of its own target or of a target it links, directly or through
  others (read from CMake's dependency graph). A header belongs to the target of its unit,
  else to its folder's library; header-only helpers beside test programs belong to none.
"""
import collections
import os
import re
import shlex
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "lib"))
import compile_database  # noqa: E402

ROOT = os.path.realpath(os.path.join(os.path.dirname(__file__), ".."))
TREES = ("src", "server", "tools", "tests", "bench")
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)


def repo_files():
    out = subprocess.run(["git", "ls-files", "--", *TREES], cwd=ROOT, check=True,
                         capture_output=True, text=True).stdout.split()
    return [f for f in out if f.endswith((".cpp", ".h"))]


def generated_names(build_dir):
    names = set()
    for dirpath, _, files in os.walk(build_dir):
        names.update(files)
    return names


def owners_by_file(build_dir):
    """Target(s) of each translation unit, and of each header through its folder's units."""
    by_file, by_dir = {}, collections.defaultdict(set)
    for entry, sources in compile_database.entries(build_dir):
        match = re.search(r"CMakeFiles/([^/]+)\.dir/", entry.get("output", "") or entry["command"])
        if not match:
            continue
        for source in sources:
            path = os.path.relpath(os.path.realpath(source), ROOT)
            if path.startswith(".."):
                continue
            by_file.setdefault(path, set()).add(match.group(1))
            by_dir[os.path.dirname(path)].add(match.group(1))
    return by_file, by_dir


def link_closure(build_dir):
    with tempfile.TemporaryDirectory() as scratch:
        dot = os.path.join(scratch, "deps.dot")
        subprocess.run(["cmake", f"--graphviz={dot}", "."], cwd=build_dir, check=True,
                       capture_output=True)
        text = open(dot).read()
    labels = dict(re.findall(r'"(node\d+)"\s*\[\s*label\s*=\s*"([^"]+)"', text))
    direct = collections.defaultdict(set)
    for source, target in re.findall(r'"(node\d+)"\s*->\s*"(node\d+)"', text):
        direct[labels[source]].add(labels[target])
    closure = {}

    def reach(name, seen):
        for dep in direct.get(name, ()):
            if dep not in seen:
                seen.add(dep)
                reach(dep, seen)
        return seen

    for name in labels.values():
        closure[name] = reach(name, set())
    libraries = set(re.findall(r'label\s*=\s*"([^"]+)",\s*shape\s*=\s*octagon', text))
    return closure, libraries


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    build_dir = os.path.realpath(sys.argv[1])
    generated = generated_names(build_dir)
    by_file, by_dir = owners_by_file(build_dir)
    closure, libraries = link_closure(build_dir)

    def owners(path):
        """A unit's target; a header's: that of its unit, else of its folder's library (a
        header-only part of it). Header-only helpers among test programs belong to none."""
        if path in by_file:
            return by_file[path]
        unit = os.path.splitext(path)[0] + ".cpp"
        if unit in by_file:
            return by_file[unit]
        return by_dir.get(os.path.dirname(path), set()) & libraries

    problems = []
    for path in repo_files():
        text = open(os.path.join(ROOT, path), encoding="utf-8").read()
        for include in INCLUDE.findall(text):
            where = f"{path}: \"{include}\""
            beside = os.path.join(ROOT, os.path.dirname(path), include)
            at_root = os.path.join(ROOT, include)
            if not os.path.isfile(at_root):
                if os.path.basename(include) not in generated or "/" in include:
                    problems.append(f"{where} names no file of the repository")
                continue
            if os.path.isfile(beside) and os.path.realpath(beside) != os.path.realpath(at_root):
                problems.append(f"{where} is ambiguous: a file beside it has the same name")
            sources, targets = owners(path), owners(include)
            if not sources or not targets or sources & targets:
                continue
            if not any(targets & closure.get(s, set()) for s in sources):
                problems.append(f"{where} reaches {sorted(targets)}, which "
                                f"{sorted(sources)} does not link")
    for problem in problems:
        print(problem)
    print(f"check-includes: {len(problems)} problem(s)")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
