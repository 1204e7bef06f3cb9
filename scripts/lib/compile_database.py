"""The compile database of a build tree, read the same way by the scripts that check sources,
and the record of the units they passed."""
import hashlib
import json
import os
import re
import shlex
import subprocess
import time

UNITY_INCLUDE = re.compile(r'^#include "([^"]+)"', re.M)


def entries(build_dir):
    """Each entry of BUILD_DIR's compile_commands.json with the sources it compiles: the file
    itself, or for a unity batch (a CMAKE_UNITY_BUILD tree) the sources the batch includes."""
    for entry in json.load(open(os.path.join(build_dir, "compile_commands.json"))):
        path = entry["file"]
        if "/Unity/unity_" in path:
            yield entry, UNITY_INCLUDE.findall(open(path).read())
        else:
            yield entry, [path]


def compiler_args(entry, drop=()):
    """The entry's compiler and flags without its source, output and dependency file, and
    without the options in `drop`."""
    kept, skip = [], False
    for arg in shlex.split(entry["command"]):
        if skip:
            skip = False
        elif arg in ("-o", "-MT", "-MF"):
            skip = True
        elif arg not in ("-MD", "-c", entry["file"]) and arg not in drop:
            kept.append(arg)
    return kept


class PassRecord:
    """Units a check passed, by a digest of everything its verdict depends on: the check's own
    identity (tool version, configuration, script), the unit's flags and its preprocessed text.
    Kept in ~/.cache/sonavert/NAME (XDG_CACHE_HOME is honoured); a month unused forgets one."""

    def __init__(self, name, identity):
        base = os.environ.get("XDG_CACHE_HOME") or os.path.expanduser("~/.cache")
        self.folder = os.path.join(base, "sonavert", name)
        os.makedirs(self.folder, exist_ok=True)
        for marker in os.listdir(self.folder):
            path = os.path.join(self.folder, marker)
            if time.time() - os.path.getmtime(path) > 30 * 24 * 3600:
                os.remove(path)
        self.identity = identity

    def key(self, args, source, cwd, root, preprocess_args=("-E",)):
        """The unit's digest; paths under `root` count relative to it, so that a checkout at
        another path finds the passes of this one."""
        text = subprocess.run(args + list(preprocess_args) + [source], cwd=cwd, check=True,
                              capture_output=True).stdout
        digest = hashlib.sha256(self.identity)
        digest.update("\0".join(args + [source]).replace(root, "@ROOT@").encode())
        digest.update(text.replace(root.encode(), b"@ROOT@"))
        return digest.hexdigest()

    def passed(self, key):
        marker = os.path.join(self.folder, key)
        if not os.path.exists(marker):
            return False
        os.utime(marker)
        return True

    def remember(self, key):
        open(os.path.join(self.folder, key), "w").close()
