#!/usr/bin/env python3
"""Checks that the device's errors say what they mean by their codes, not by numbers or words.

Usage: scripts/check-errors.py [FILE...]   (default: every source of src/)

- An error is built from its domain's enumerator: `makeError(Code::Meaning, text)`, or a
  domain's helper given the enumerator. A bare number as the code (`makeError(kDomain, 3,
  ...)`, `linkError(2, ...)`, `int(2)`) gives no meaning to whoever reads it or tests for it.
- An error is recognised by its code (`error.is(Code::Meaning)`), never by its description:
  those are words for people, a server may change them, and a test of `contains("...")` on
  them breaks silently when it does.
"""
import os
import re
import subprocess
import sys

ROOT = os.path.realpath(os.path.join(os.path.dirname(__file__), ".."))

CALL = re.compile(r"\b(makeError|\w*[Ee]rror\w*|\w*[Ff]ailure\w*)\s*\(")
INTEGER = re.compile(r"^(?:(?:static_cast\s*<\s*\w+\s*>|int|qint64)\s*\(\s*)?"
                     r"[-+]?\s*(?:0[xX][0-9a-fA-F]+|\d+)[uUlL]*\s*\)?$")
DESCRIPTION_TEST = re.compile(
    r"\bdescription\s*(?:\.\s*(?:contains|startsWith|endsWith|compare|indexOf)\s*\(|[!=]=)"
    r"|[!=]=\s*[\w.>()-]*\bdescription\b")


def without_comments(text):
    """The text with comments blanked and string literals emptied, lines kept in place."""
    out, i, n = [], 0, len(text)
    while i < n:
        if text.startswith("//", i):
            end = text.find("\n", i)
            i = n if end < 0 else end
        elif text.startswith("/*", i):
            end = text.find("*/", i + 2)
            end = n if end < 0 else end + 2
            out.append("\n" * text.count("\n", i, end))
            i = end
        elif text.startswith('R"', i):
            delimiter = text[i + 2:text.find("(", i)]
            end = text.find(")" + delimiter + '"', i)
            end = n if end < 0 else end + len(delimiter) + 2
            out.append('""' + "\n" * text.count("\n", i, end))
            i = end
        elif text[i] in "\"'":
            quote, j = text[i], i + 1
            while j < n and text[j] != quote:
                j += 2 if text[j] == "\\" else 1
            out.append(quote * 2)
            i = j + 1
        else:
            out.append(text[i])
            i += 1
    return "".join(out)


def arguments(text, start):
    """The top-level arguments of the call whose "(" is at `start`."""
    args, depth, current = [], 0, []
    for char in text[start + 1:]:
        if char in "([{":
            depth += 1
        elif char in ")]}":
            if depth == 0:
                args.append("".join(current).strip())
                return args
            depth -= 1
        elif char == "," and depth == 0:
            args.append("".join(current).strip())
            current = []
            continue
        current.append(char)
    return args


def problems_in(path):
    text = without_comments(open(path, encoding="utf-8").read())
    line_of = lambda offset: text.count("\n", 0, offset) + 1  # noqa: E731
    found = []
    for match in CALL.finditer(text):
        args = arguments(text, match.end() - 1)
        # makeError(domain, code, text) holds its code second; a helper holds it first.
        code = args[1] if match.group(1) == "makeError" and len(args) == 3 else args[0] if args else ""
        if INTEGER.match(code):
            found.append(f"{path}:{line_of(match.start())}: {match.group(1)} is given the bare "
                         f"code {code}: name it in its domain's enum class")
    for match in DESCRIPTION_TEST.finditer(text):
        found.append(f"{path}:{line_of(match.start())}: an error is recognised by its words: "
                     "test its code")
    return found


def main():
    paths = sys.argv[1:] or [
        os.path.join(ROOT, f) for f in subprocess.run(
            ["git", "ls-files", "--", "src"], cwd=ROOT, check=True, capture_output=True,
            text=True).stdout.split() if f.endswith((".cpp", ".h"))]
    problems = [problem for path in paths for problem in problems_in(path)]
    for problem in problems:
        print(os.path.relpath(problem, ROOT) if problem.startswith(ROOT) else problem)
    print(f"check-errors: {len(problems)} problem(s)")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
