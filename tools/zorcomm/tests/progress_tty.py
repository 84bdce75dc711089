#!/usr/bin/env python3
"""Checks that a command draws its progress bar when, and only when, stderr is a terminal.

    progress_tty.py REGEX -- COMMAND...

Runs the command twice: with stderr on a pseudo terminal, where what it draws must match the
Python REGEX; and with stderr on a pipe, where stderr must hold no carriage return and not match
REGEX. Both runs must end with status 0 and print the same stdout. Exit status 0 when all holds,
1 otherwise (the reason on stdout).
"""
import os
import pty
import re
import subprocess
import sys
import threading

TIMEOUT = 20.0


def run_on_terminal(command):
    controller, terminal = pty.openpty()
    chunks = []

    def drain():
        while True:
            try:
                data = os.read(controller, 4096)
            except OSError:  # the terminal side closed
                return
            if not data:
                return
            chunks.append(data)

    reader = threading.Thread(target=drain, daemon=True)
    reader.start()
    try:
        result = subprocess.run(command, stdout=subprocess.PIPE, stderr=terminal, timeout=TIMEOUT)
    finally:
        os.close(terminal)
    reader.join(TIMEOUT)
    os.close(controller)
    return result, b"".join(chunks).decode("utf-8", "replace")


def main():
    if len(sys.argv) < 4 or sys.argv[2] != "--":
        sys.exit("usage: progress_tty.py REGEX -- COMMAND...")
    pattern, command = re.compile(sys.argv[1]), sys.argv[3:]
    problems = []
    on_terminal, drawn = run_on_terminal(command)
    on_pipe = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             timeout=TIMEOUT)
    piped = on_pipe.stderr.decode("utf-8", "replace")
    if on_terminal.returncode != 0 or on_pipe.returncode != 0:
        problems.append(f"exit status {on_terminal.returncode} / {on_pipe.returncode}")
    if not pattern.search(drawn):
        problems.append(f"nothing on the terminal matches {sys.argv[1]!r}: {drawn!r}")
    if "\r" in piped or pattern.search(piped):
        problems.append(f"a bar went to the pipe: {piped!r}")
    if on_terminal.stdout != on_pipe.stdout:
        problems.append(f"stdout differs: {on_terminal.stdout!r} / {on_pipe.stdout!r}")
    for problem in problems:
        print(problem)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
