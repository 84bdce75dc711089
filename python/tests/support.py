"""What the binding's tests share: the paths ctest passes in, the library of this process, the
simulated drives of the virtual serial driver (reached through its SimControl in this process)
and zorcomm-sim on a pseudo terminal."""

from __future__ import annotations

import ctypes
import os
import selectors
import subprocess
import time
import unittest
from pathlib import Path

import zorcomm

SIMDRIVER = os.environ["ZORCOMM_TEST_SIMDRIVER"]
SIM_PROGRAM = os.environ["ZORCOMM_TEST_SIM"]
SAMPLE = os.environ["ZORCOMM_TEST_SAMPLE"]
SOURCE_DIR = Path(os.environ["ZORCOMM_TEST_SOURCE_DIR"])
LIBRARY_DIR = os.environ["ZORCOMM_TEST_LIBRARY_DIR"]
VERSION = os.environ["ZORCOMM_TEST_VERSION"]

# Tests of the installed package run with the interpreter of the virtual environment it was
# installed into: make sure that is the package they test.
_INSTALLED = os.environ.get("ZORCOMM_TEST_INSTALLED")
if _INSTALLED and not Path(zorcomm.__file__).resolve().is_relative_to(Path(_INSTALLED).resolve()):
    raise ImportError(f"zorcomm comes from {zorcomm.__file__}, not from {_INSTALLED}")

_library: zorcomm.Library | None = None


def library() -> zorcomm.Library:
    """The library, loaded once per process (it stays loaded anyway)."""
    global _library
    if _library is None:
        _library = zorcomm.Library()
    return _library


class SimDriver:
    """The drives behind libzorcomm-simdriver.so. The library loads the driver by the same
    path, so both use the one copy, and with it the one simulated network."""

    def __init__(self) -> None:
        self._driver = ctypes.CDLL(SIMDRIVER)
        self._driver.SimControl.restype = ctypes.c_uint8
        self._driver.SimControl.argtypes = [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_uint32]

    def control(self, command: str) -> str:
        """One control line; the reply after "OK". AssertionError on "ERR"."""
        reply = ctypes.create_string_buffer(8192)
        ok = self._driver.SimControl(command.encode(), reply, len(reply))
        text = reply.value.decode()
        if not ok:
            raise AssertionError(f"SimControl {command!r}: {text}")
        return text[2:].strip()

    def peek(self, memory: str, address: int, count: int) -> list[int]:
        return [int(word, 16) for word in self.control(f"peek {memory} {address} {count}").split()]


class SerialSim:
    """zorcomm-sim serial on a pseudo terminal; ``command`` sends control lines."""

    def __init__(self, *options: str) -> None:
        self._process = subprocess.Popen(
            [SIM_PROGRAM, "serial", *options],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
        )
        self._buffer = b""
        self._selector = selectors.DefaultSelector()
        assert self._process.stdout is not None
        self._selector.register(self._process.stdout, selectors.EVENT_READ)
        try:
            first = self._line()
            if not first.startswith("PTY "):
                raise AssertionError(f"zorcomm-sim said {first!r}")
            self.path = first[4:]
        except BaseException:
            self.stop()
            raise

    def _line(self, timeout: float = 10.0) -> str:
        deadline = time.monotonic() + timeout
        while b"\n" not in self._buffer:
            left = deadline - time.monotonic()
            if left <= 0 or not self._selector.select(left):
                raise AssertionError("zorcomm-sim did not answer in time")
            chunk = os.read(self._process.stdout.fileno(), 4096)  # type: ignore[union-attr]
            if not chunk:
                raise AssertionError("zorcomm-sim ended")
            self._buffer += chunk
        line, self._buffer = self._buffer.split(b"\n", 1)
        return line.decode()

    def command(self, line: str) -> str:
        assert self._process.stdin is not None
        self._process.stdin.write(line.encode() + b"\n")
        self._process.stdin.flush()
        reply = self._line()
        if not reply.startswith("OK"):
            raise AssertionError(f"zorcomm-sim {line!r}: {reply}")
        return reply[2:].strip()

    def stop(self) -> None:
        if self._process.poll() is None:
            try:
                self._process.stdin.close()  # type: ignore[union-attr]
                self._process.wait(timeout=5)
            except (OSError, subprocess.TimeoutExpired):
                self._process.kill()
                self._process.wait(timeout=5)
        self._selector.close()
        self._process.stdout.close()  # type: ignore[union-attr]


class LibraryCase(unittest.TestCase):
    """Every channel a test opens through ``open`` is closed after it, and the handlers are
    cleared, so that one test's state does not leak into the next in the same process."""

    def setUp(self) -> None:
        self.lib = library()
        self.addCleanup(self.lib.set_unsolicited_handler, None)
        self.addCleanup(self.lib.set_log_handler, None)

    def open(self, device: str, kind: zorcomm.ChannelType, **options: object) -> zorcomm.Channel:
        channel = self.lib.open(device, kind, **options)  # type: ignore[arg-type]
        self.addCleanup(channel.close)
        return channel

    def assertFailsWith(self, code: int, function, *arguments):  # noqa: N802 - unittest style
        with self.assertRaises(zorcomm.ZorcommError) as caught:
            function(*arguments)
        self.assertEqual(caught.exception.code, code, caught.exception.text)
        self.assertEqual(caught.exception.text, zorcomm.error_text(code))
        return caught.exception


class DriverCase(LibraryCase):
    """A test against the virtual serial driver, with the network rebuilt from ``OPTIONS``."""

    OPTIONS = "--axes 3 --read-timeout 200"

    def setUp(self) -> None:
        super().setUp()
        self.sim = SimDriver()
        self.sim.control("configure " + self.OPTIONS)

    def open_driver(self) -> zorcomm.Channel:
        return self.open(SIMDRIVER, zorcomm.ChannelType.VIRTUAL_SERIAL)
