"""The binding against the virtual serial driver: channels, drive calls, messages, handlers and
errors."""

from __future__ import annotations

import sys
import unittest

import support
import zorcomm
from zorcomm import ChannelType, DriveMessage, ErrorCode, LogLevel, ZorcommError


class ChannelTest(support.DriverCase):
    OPTIONS = "--axes 3,4 --version 3=F777X --version 4=F444D --baud 19200 --read-timeout 200"

    def test_a_channel_identifies_its_drives_and_closes(self) -> None:
        with self.lib.open(support.SIMDRIVER, ChannelType.VIRTUAL_SERIAL) as channel:
            self.assertFalse(channel.closed)
            self.assertEqual(channel.host_axis(), 3)
            self.assertEqual(channel.active_axis(), 3)
            self.assertEqual(channel.drive_version(), "F777X")
            self.assertEqual(channel.baud_rate(), 19200)
            self.assertEqual(channel.bytes_in_queue(), 0)

            channel.set_active_axis(4)
            self.assertEqual(channel.active_axis(), 4)
            self.assertEqual(channel.drive_version(), "F444D")

            channel.set_baud_rate(57600)
            self.assertEqual(channel.baud_rate(), 57600)
            self.assertIn("baud=57600", self.sim.control("info 3"))

            channel.update_settings()
            channel.set_host_axis(4)
            self.assertEqual(channel.host_axis(), 4)

        self.assertTrue(channel.closed)
        channel.close()  # a second close does nothing
        with self.assertRaisesRegex(ValueError, "closed"):
            channel.host_axis()
        # Nothing is open any more: the library itself says so.
        self.assertEqual(self.lib.raw.MSK_UpdateSettings(), 0)
        self.assertEqual(self.lib.last_error(), zorcomm.error_text(ErrorCode.PORT_NOT_OPENED))

    def test_leaving_a_with_block_by_an_exception_closes_the_channel(self) -> None:
        with self.assertRaisesRegex(KeyError, "left early"):
            with self.lib.open(support.SIMDRIVER, ChannelType.VIRTUAL_SERIAL) as channel:
                raise KeyError("left early")
        self.assertTrue(channel.closed)
        self.assertEqual(self.lib.raw.MSK_UpdateSettings(), 0)
        self.assertEqual(self.lib.last_error(), zorcomm.error_text(ErrorCode.PORT_NOT_OPENED))

    def test_a_reset_drive_answers_again_afterwards(self) -> None:
        channel = self.open_driver()
        self.sim.control("history")
        channel.reset_drive()
        frames = self.sim.control("history").split()
        # The drive comes back at 9600 baud; the library brings it back to the channel's rate.
        self.assertEqual(frames[0], "19200:0030:0402")
        self.assertIn("9600:0030:0820:0001", frames)
        self.assertIn("baud=19200", self.sim.control("info 3"))
        self.assertEqual(channel.drive_version(), "F777X")
        self.assertEqual(channel.baud_rate(), 19200)


class MessageTest(support.DriverCase):
    def test_a_message_goes_out_and_its_answer_comes_back(self) -> None:
        channel = self.open_driver()
        self.sim.control("history")
        reply_to = 3 << 4 | 1
        channel.send_message(DriveMessage.for_axis(3, 0xD801, [reply_to]))
        self.assertEqual(self.sim.control("history"), "9600:0030:D801:0031")
        answer = channel.receive_message()
        self.assertEqual(answer, DriveMessage(reply_to, 0xD801, (0x3132, 0x3048)))

    def test_group_messages_carry_the_group_flag(self) -> None:
        channel = self.open_driver()
        self.sim.control("history")
        channel.send_message(DriveMessage.for_group(0, 0x1234, [1, 2, 3, 4]))
        self.assertEqual(self.sim.control("history"), "9600:1000:1234:0001,0002,0003,0004")

    def test_a_message_nobody_acknowledges_fails_with_send_timeout(self) -> None:
        channel = self.open_driver()
        self.assertFailsWith(
            ErrorCode.SEND_TIMEOUT, channel.send_message, DriveMessage.for_axis(9, 0x1234)
        )

    def test_nothing_to_receive_is_an_error(self) -> None:
        channel = self.open_driver()
        error = self.assertFailsWith(ErrorCode.RECEIVE_TIMEOUT, channel.receive_message)
        self.assertEqual(error.operation, "receive_message")


class HandlerTest(support.DriverCase):
    def test_unsolicited_messages_reach_the_handler_until_it_is_cleared(self) -> None:
        channel = self.open_driver()
        received: list[DriveMessage] = []
        self.lib.set_unsolicited_handler(received.append)
        self.sim.control("unsolicited 3 0x4321 7 8")
        channel.send_message(DriveMessage.for_axis(3, 0x1111))
        self.assertEqual([(m.op_code, m.data) for m in received], [(0x4321, (7, 8))])

        self.lib.set_unsolicited_handler(None)
        self.sim.control("unsolicited 3 0x4322")
        channel.send_message(DriveMessage.for_axis(3, 0x1111))
        self.assertEqual(len(received), 1)

    def test_the_log_shows_what_its_level_lets_through(self) -> None:
        channel = self.open_driver()
        lines: list[str] = []
        self.lib.set_log_handler(lines.append, LogLevel.TRAFFIC)
        channel.drive_version()
        traffic = [line for line in lines if " Bytes Write : " in line]
        self.assertTrue(traffic, lines)
        for line in traffic:
            self.assertRegex(line, r"^\d\d:\d\d:\d\d Bytes Write : ( [0-9A-F]{2})+$")

        lines.clear()
        self.lib.set_log_handler(lines.append, LogLevel.ERRORS)
        channel.drive_version()
        self.assertEqual(lines, [])
        with self.assertRaises(ZorcommError):
            channel.set_active_axis(0)
        self.assertEqual(len(lines), 1)
        self.assertRegex(lines[0], r"^\d\d:\d\d:\d\d MSK Error : Invalid drive address\.")

        lines.clear()
        self.lib.set_log_handler(None)
        with self.assertRaises(ZorcommError):
            channel.set_active_axis(0)
        self.assertEqual(lines, [])

    def test_a_failing_log_handler_does_not_break_the_call(self) -> None:
        channel = self.open_driver()
        reported: list[BaseException | None] = []
        previous = sys.unraisablehook
        sys.unraisablehook = lambda report: reported.append(report.exc_value)
        self.addCleanup(setattr, sys, "unraisablehook", previous)

        def broken(line: str) -> None:
            raise RuntimeError("handler broke")

        self.lib.set_log_handler(broken, LogLevel.TRAFFIC)
        self.assertEqual(channel.drive_version(), "F120H")
        self.lib.set_log_handler(None)
        self.assertTrue(reported)
        self.assertTrue(all(isinstance(error, RuntimeError) for error in reported))


class ErrorTest(support.DriverCase):
    def test_library_errors_carry_text_and_code(self) -> None:
        channel = self.open_driver()
        error = self.assertFailsWith(ErrorCode.INVALID_AXIS_ID, channel.set_active_axis, 0)
        self.assertEqual(error.operation, "set_active_axis")
        self.assertEqual(
            str(error),
            "set_active_axis: Invalid drive address. Valid axis IDs are between 1 and 255.",
        )
        self.assertFailsWith(ErrorCode.INVALID_PARAMETER, channel.checksum, 0x100, 0x200)
        self.assertFailsWith(ErrorCode.INVALID_PARAMETER, channel.checksum, 0x9000, 0x8000)

    def test_opening_fails_with_the_reason(self) -> None:
        self.assertFailsWith(ErrorCode.INVALID_PARAMETER, self.lib.open, "COM1", 11)
        self.assertFailsWith(
            ErrorCode.INVALID_AXIS_ID, self.lib.open, "COM1", ChannelType.RS485
        )
        # A system error: its text, and no library code.
        with self.assertRaises(ZorcommError) as caught:
            self.lib.open("/nonexistent/driver.so", ChannelType.VIRTUAL_SERIAL)
        self.assertEqual(caught.exception.text, "No such file or directory")
        self.assertIsNone(caught.exception.code)
        self.assertEqual(caught.exception.operation, "open /nonexistent/driver.so")

    def test_numbers_that_do_not_fit_are_refused_before_the_call(self) -> None:
        channel = self.open_driver()
        self.sim.control("history")
        with self.assertRaises(ValueError):
            channel.set_active_axis(0x10003)  # would be axis 3 once cut to 16 bits
        with self.assertRaises(ValueError):
            channel.write_memory(0x100, [1, 0x10000], zorcomm.Memory.DATA)
        with self.assertRaises(ValueError):
            channel.read_memory(0x10000, 1)
        with self.assertRaises(TypeError):
            channel.set_baud_rate("9600")  # type: ignore[arg-type]
        with self.assertRaises(ValueError):
            self.lib.open("COM1", 0x100)
        self.assertEqual(self.sim.control("history"), "")
        self.assertEqual(channel.active_axis(), 3)


if __name__ == "__main__":
    unittest.main()
