#!/usr/bin/env python3
"""Runs a command beside a simulator whose control lines the test feeds while the command runs.

    sim_session.py SIMULATOR KIND [SIMULATOR OPTIONS...] -- [STEP...] -- COMMAND...

STEPs run in order while the command runs:
    --when-err REGEX   wait until a line of the command's stderr matches REGEX
    --when-out REGEX   wait until a line of the command's stdout matches REGEX
    --control LINE     send LINE to the simulator's control input; its reply must start with OK
    --signal NAME      send the signal NAME (TERM, INT, ...) to the command

The simulator's first line names where it serves; it goes to the command as ZORCOMM_CANBUS
(can-bus) or ZORCOMM_COM7 (serial, ascii-can). The command's output passes through. The exit
status is the command's, or 97 when a step failed or timed out (the reason on stderr). Every
wait is bounded; the simulator and the command are stopped at the end whatever happens.
"""
import os
import queue
import re
import signal
import subprocess
import sys
import threading
import time

STEP_TIMEOUT = 10.0  # seconds for one step
COMMAND_TIMEOUT = 25.0  # seconds for the command after the last step
STEP_FAILED = 97


def split_arguments(argv):
    try:
        first = argv.index("--")
        second = argv.index("--", first + 1)
    except ValueError:
        sys.exit("usage: sim_session.py SIMULATOR KIND [OPTIONS...] -- [STEP...] -- COMMAND...")
    simulator, steps, command = argv[:first], argv[first + 1:second], argv[second + 1:]
    if len(simulator) < 2 or not command or len(steps) % 2:
        sys.exit("sim_session.py: a simulator, its kind, steps in pairs and a command are needed")
    return simulator, list(zip(steps[0::2], steps[1::2])), command


class Lines:
    """The lines one stream of the command printed so far, passed through to `sink`."""

    def __init__(self, stream, sink):
        self.lines = []
        self.cond = threading.Condition()
        self.thread = threading.Thread(target=self._pump, args=(stream, sink), daemon=True)
        self.thread.start()

    def _pump(self, stream, sink):
        for raw in iter(stream.readline, b""):
            sink.buffer.write(raw)
            sink.flush()
            with self.cond:
                self.lines.append(raw.decode("utf-8", "replace").rstrip("\r\n"))
                self.cond.notify_all()

    def wait_for(self, pattern, deadline):
        regex = re.compile(pattern)
        with self.cond:
            while True:
                if any(regex.search(line) for line in self.lines):
                    return True
                remaining = deadline - time.monotonic()
                if remaining <= 0 or not self.thread.is_alive():
                    return any(regex.search(line) for line in self.lines)
                self.cond.wait(min(remaining, 0.1))


def start_simulator(simulator):
    process = subprocess.Popen(simulator, stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    replies = queue.Queue()

    def pump():
        for raw in iter(process.stdout.readline, b""):
            replies.put(raw.decode("utf-8", "replace").rstrip("\n"))

    threading.Thread(target=pump, daemon=True).start()
    try:
        first = replies.get(timeout=STEP_TIMEOUT)
    except queue.Empty:
        process.kill()
        sys.exit("sim_session.py: the simulator printed no first line")
    return process, replies, first.split(" ", 1)[1] if " " in first else ""


def control(simulator, replies, line):
    simulator.stdin.write((line + "\n").encode())
    simulator.stdin.flush()
    try:
        reply = replies.get(timeout=STEP_TIMEOUT)
    except queue.Empty:
        return "no reply"
    return None if reply.startswith("OK") else reply


def run_steps(steps, process, out, err, simulator, replies):
    """None when every step worked, else what went wrong."""
    for step, value in steps:
        deadline = time.monotonic() + STEP_TIMEOUT
        if step == "--when-err" and not err.wait_for(value, deadline):
            return f"no line of stderr matched {value!r} in time"
        if step == "--when-out" and not out.wait_for(value, deadline):
            return f"no line of stdout matched {value!r} in time"
        if step == "--control":
            problem = control(simulator, replies, value)
            if problem:
                return f"control line {value!r} got {problem!r}"
        if step == "--signal":
            process.send_signal(getattr(signal, "SIG" + value))
        if step not in ("--when-err", "--when-out", "--control", "--signal"):
            return f"unknown step {step}"
    return None


def stop(process, grace):
    if process.poll() is None:
        try:
            process.wait(timeout=grace)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()


def main():
    simulator_argv, steps, command = split_arguments(sys.argv[1:])
    kind = simulator_argv[1]
    simulator, replies, where = start_simulator(simulator_argv)
    env = dict(os.environ)
    if kind == "can-bus":
        env["ZORCOMM_CANBUS"] = where
    elif kind in ("serial", "ascii-can"):
        env["ZORCOMM_COM7"] = where
    process = None
    try:
        process = subprocess.Popen(command, env=env, stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE)
        out = Lines(process.stdout, sys.stdout)
        err = Lines(process.stderr, sys.stderr)
        problem = run_steps(steps, process, out, err, simulator, replies)
        if problem:
            process.kill()
        try:
            status = process.wait(timeout=COMMAND_TIMEOUT)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
            problem = problem or "the command did not end in time"
        out.thread.join(STEP_TIMEOUT)
        err.thread.join(STEP_TIMEOUT)
        if problem:
            print(f"sim_session.py: {problem}", file=sys.stderr)
            return STEP_FAILED
        return status
    finally:
        if process is not None and process.poll() is None:
            process.kill()
            process.wait()
        try:
            simulator.stdin.close()
        except OSError:
            pass
        simulator.terminate()
        stop(simulator, 5)


if __name__ == "__main__":
    sys.exit(main())
