"""The binding over a real serial line (zorcomm-sim on a pseudo terminal), and two channels used
side by side, from one thread and from two."""

from __future__ import annotations

import os
import threading
import unittest

import support
from zorcomm import ChannelType, DriveMessage, Memory


class SerialLineTest(support.LibraryCase):
    @classmethod
    def setUpClass(cls) -> None:
        cls.serial = support.SerialSim("--axes", "1,2", "--baud", "38400", "--version", "2=F222B")
        cls.addClassCleanup(cls.serial.stop)
        os.environ["ZORCOMM_COM7"] = cls.serial.path
        cls.addClassCleanup(os.environ.pop, "ZORCOMM_COM7")

    def setUp(self) -> None:
        super().setUp()
        self.serial.command("configure --axes 1,2 --baud 38400 --version 2=F222B")

    def test_drives_on_a_serial_line(self) -> None:
        channel = self.open("COM7", ChannelType.RS232)
        self.assertEqual(channel.host_axis(), 1)
        self.assertEqual(channel.baud_rate(), 38400)
        self.assertEqual(channel.drive_version(), "F120H")

        channel.set_active_axis(2)
        self.assertEqual(channel.drive_version(), "F222B")
        words = [0xA5A5, 0x0001, 0x7FFF]
        channel.write_memory(0x0300, words, Memory.DATA)
        self.assertEqual(self.serial.command("peek 2 data 0x300 3"), "A5A5 0001 7FFF")
        self.assertEqual(channel.read_memory(0x0300, 3, Memory.DATA), words)

        self.serial.command("history")
        channel.send_message(DriveMessage.for_axis(2, 0xD801, [0x0011]))
        self.assertEqual(self.serial.command("history"), "38400:0020:D801:0011")
        self.assertEqual(channel.receive_message(), DriveMessage(0x0011, 0xD801, (0x3232, 0x3242)))

    def test_two_channels_side_by_side(self) -> None:
        sim = support.SimDriver()
        sim.control("configure --axes 5 --version F555E --read-timeout 200")
        serial = self.open("COM7", ChannelType.RS232)
        virtual = self.open(support.SIMDRIVER, ChannelType.VIRTUAL_SERIAL)
        # Each call goes to its own channel, whichever was selected last.
        for _ in range(2):
            self.assertEqual(serial.baud_rate(), 38400)
            self.assertEqual(virtual.baud_rate(), 9600)
            self.assertEqual(serial.host_axis(), 1)
            self.assertEqual(virtual.drive_version(), "F555E")
        self.assertEqual(self.lib.select(serial.handle), virtual.handle)
        self.assertEqual(serial.select(), serial.handle)
        self.assertEqual(self.lib.raw.MSK_GetBaudRate(), 38400)
        self.assertEqual(virtual.select(), serial.handle)
        self.assertEqual(self.lib.raw.MSK_GetBaudRate(), 9600)

        # From two threads at once: the binding keeps each selection and its call together.
        failures: list[BaseException] = []

        def identify(channel, version: str) -> None:
            try:
                for _ in range(15):
                    if channel.drive_version() != version:
                        raise AssertionError(f"{channel} answered for the other channel")
            except BaseException as error:  # noqa: B902 - reported by the test
                failures.append(error)

        threads = [
            threading.Thread(target=identify, args=(serial, "F120H")),
            threading.Thread(target=identify, args=(virtual, "F555E")),
        ]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(timeout=30)
            self.assertFalse(thread.is_alive())
        self.assertEqual(failures, [])


if __name__ == "__main__":
    unittest.main()
