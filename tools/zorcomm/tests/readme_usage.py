#!/usr/bin/env python3
"""Keeps the usage text in README.md equal to what `zorcomm --help-all` prints.

    readme_usage.py check|write README PROGRAM

The text sits in the fenced block that follows the line MARKER in README.md. `check` exits
with 1 (and shows the difference) when the block differs from the program's output; `write`
replaces the block's contents and leaves the rest of the file as it is.
"""
import difflib
import subprocess
import sys

MARKER = "<!-- The block below is `zorcomm --help-all`; tools/zorcomm/tests/readme_usage.py " \
         "write README.md build/default/tools/zorcomm/zorcomm renews it. -->"
FENCE = "```"


def block_span(lines):
    """Indices of the first and last line inside the fenced block after the marker."""
    start = lines.index(MARKER + "\n")
    if not lines[start + 1].startswith(FENCE):
        raise ValueError("no fenced block right after the marker")
    for end in range(start + 2, len(lines)):
        if lines[end].rstrip("\n") == FENCE:
            return start + 2, end
    raise ValueError("the fenced block after the marker does not end")


def main():
    if len(sys.argv) != 4 or sys.argv[1] not in ("check", "write"):
        sys.exit("usage: readme_usage.py check|write README PROGRAM")
    mode, readme, program = sys.argv[1:]
    usage = subprocess.run([program, "--help-all"], stdout=subprocess.PIPE, check=True,
                           timeout=20).stdout.decode("utf-8")
    wanted = [line.rstrip() + "\n" for line in usage.rstrip("\n").split("\n")]
    with open(readme, encoding="utf-8") as file:
        lines = file.readlines()
    try:
        first, end = block_span(lines)
    except ValueError as error:
        print(f"readme_usage.py: {readme}: {error}")
        return 1
    if mode == "check":
        if lines[first:end] == wanted:
            return 0
        print(f"{readme} does not show what `zorcomm --help-all` prints; renew it with")
        print(f"  tools/zorcomm/tests/readme_usage.py write {readme} {program}")
        sys.stdout.writelines(difflib.unified_diff(lines[first:end], wanted, "README", "program"))
        return 1
    lines[first:end] = wanted
    with open(readme, "w", encoding="utf-8") as file:
        file.writelines(lines)
    return 0


if __name__ == "__main__":
    sys.exit(main())
