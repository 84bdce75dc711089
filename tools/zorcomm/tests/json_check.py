#!/usr/bin/env python3
"""Runs a command and checks what it printed on stdout as JSON Lines.

    json_check.py EXPRESSION -- COMMAND...

Every line of stdout must be one JSON object, and no text in it may hold a line break. Then the
Python EXPRESSION must be true, with `objs` the parsed objects in order and `status` the
command's exit status. stdout and stderr pass through. The exit status is the command's, or 97
when a check fails (the reason on stderr).
"""
import json
import subprocess
import sys

CHECK_FAILED = 97


def texts(value):
    if isinstance(value, str):
        yield value
    elif isinstance(value, dict):
        for item in value.values():
            yield from texts(item)
    elif isinstance(value, list):
        for item in value:
            yield from texts(item)


def check(stdout, expression, status):
    objs = []
    for number, line in enumerate(stdout.decode("utf-8").splitlines(), 1):
        try:
            value = json.loads(line)
        except ValueError as error:
            return f"line {number} is not JSON ({error}): {line!r}"
        if not isinstance(value, dict):
            return f"line {number} is not a JSON object: {line!r}"
        if any("\r" in text or "\n" in text for text in texts(value)):
            return f"line {number} holds a text with a line break: {line!r}"
        objs.append(value)
    try:
        holds = eval(expression, {}, {"objs": objs, "status": status})  # noqa: S307 (test input)
    except Exception as error:  # the expression met objects of another shape
        return f"{expression!r} raised {type(error).__name__}: {error}"
    return None if holds else f"{expression!r} is false for {objs!r}"


def main():
    if len(sys.argv) < 4 or sys.argv[2] != "--":
        sys.exit("usage: json_check.py EXPRESSION -- COMMAND...")
    expression, command = sys.argv[1], sys.argv[3:]
    result = subprocess.run(command, stdout=subprocess.PIPE, timeout=60)
    sys.stdout.buffer.write(result.stdout)
    sys.stdout.flush()
    problem = check(result.stdout, expression, result.returncode)
    if problem:
        print(f"json_check.py: {problem}", file=sys.stderr)
        return CHECK_FAILED
    return result.returncode


if __name__ == "__main__":
    sys.exit(main())
