"""Drive memory, checksums and downloads through the binding, with progress functions that watch
and stop them."""

from __future__ import annotations

import time
import unittest

import support
from zorcomm import ErrorCode, Memory, ProgressKind, ZorcommError

Event = tuple[ProgressKind, str, float]


class Recorder:
    """A progress function that records what it is given and answers ``stop_when`` with
    False (stop), or raises ``error`` there."""

    def __init__(self, stop_when=None, error: BaseException | None = None) -> None:
        self.events: list[Event] = []
        self.stop_when = stop_when
        self.error = error

    def __call__(self, kind: ProgressKind, text: str, percent: float) -> bool | None:
        self.events.append((kind, text, percent))
        if self.stop_when and self.stop_when(kind, text, percent):
            if self.error:
                raise self.error
            return False
        return None


def during_a_section(kind: ProgressKind, text: str, percent: float) -> bool:
    return kind == ProgressKind.STEP and 0 < percent < 100


class MemoryTest(support.DriverCase):
    def test_words_written_are_in_the_drive_and_read_back(self) -> None:
        channel = self.open_driver()
        words = [0x0000, 0x1234, 0xFFFF, 0x8001, 0x00FF]
        for memory, name in ((Memory.DATA, "data"), (Memory.PROGRAM, "program")):
            channel.write_memory(0x0100, words, memory)
            self.assertEqual(self.sim.peek(name, 0x0100, len(words)), words)
        self.sim.control("poke spi 0x2000 0xBEEF 0x0001 0x0002")
        self.assertEqual(channel.read_memory(0x2000, 3, Memory.SPI), [0xBEEF, 1, 2])

    def test_a_short_transfer_reports_its_start_and_its_end(self) -> None:
        channel = self.open_driver()
        written = Recorder()
        channel.write_memory(0x0200, list(range(11)), Memory.DATA, progress=written)
        self.assertEqual(
            written.events,
            [(ProgressKind.START, "Sending data... 0%", 0.0), (ProgressKind.STEP, "Done", 100.0)],
        )
        read = Recorder()
        self.assertEqual(
            channel.read_memory(0x0200, 11, Memory.DATA, progress=read), list(range(11))
        )
        self.assertEqual(
            read.events,
            [(ProgressKind.START, "Receiving data... 0%", 0.0), (ProgressKind.STEP, "Done", 100.0)],
        )

    def test_the_drive_computes_checksums(self) -> None:
        channel = self.open_driver()
        self.sim.control("poke program 0x9000 0xFFFF 0x0002 0x1000")
        self.assertEqual(channel.checksum(0x9000, 0x9002), 0x1001)  # wraps at 16 bits
        self.sim.control("poke spi 0x7FFF 0x0005")
        self.sim.control("poke program 0x8000 0x0007")
        # A range across 0x8000 is summed from both memories.
        self.assertEqual(channel.checksum(0x7FFF, 0x8000), 12)


class DownloadTest(support.DriverCase):
    def test_the_sample_executable_is_downloaded_and_verified(self) -> None:
        channel = self.open_driver()
        progress = Recorder()
        result = channel.download(support.SAMPLE, progress)
        self.assertEqual(
            (result.entry_point, result.start_address, result.end_address),
            (0x8000, 0x0800, 0x8424),
        )
        sections = [".text", ".cinit", ".vectors", ".spitab"]
        sizes = [700, 37, 32, 300]
        expected: list[Event] = []
        for number, (name, size) in enumerate(zip(sections, sizes), start=1):
            label = f"Section[{number}/6] {name}"
            expected += [
                (ProgressKind.STEP, f"{label}, {size} words", 0.0),
                (ProgressKind.START, f"{label}, 0%", 0.0),
                (ProgressKind.STEP, f"{label}, 100%", 100.0),
                (ProgressKind.STEP, f"{label} OK.", 100.0),
            ]
        self.assertEqual(progress.events[: len(expected)], expected)
        closing = progress.events[len(expected) :]
        self.assertEqual(len(closing), 3, closing)
        self.assertEqual(closing[0][0], ProgressKind.START)
        self.assertRegex(closing[0][1], r"^Total 1069 words downloaded in \d+ \[ms\]\.$")
        self.assertEqual(closing[1:], [(ProgressKind.START, "Download OK", 0.0),
                                       (ProgressKind.START, "Entry Point: 0x8000", 0.0)])
        # What the drive holds is what the binding reads back, and what its checksum says.
        text = channel.read_memory(0x8000, 700)
        self.assertEqual(text, self.sim.peek("program", 0x8000, 700))
        self.assertNotEqual(set(text), {0})
        self.assertEqual(channel.checksum(0x8000, 0x82BB), sum(text) & 0xFFFF)

    def test_a_progress_function_can_stop_a_download(self) -> None:
        channel = self.open_driver()
        # Paced at 9600 baud the first section takes seconds, so a report comes during it.
        self.sim.control("pace on")
        progress = Recorder(stop_when=during_a_section)
        started = time.monotonic()
        error = self.assertFailsWith(
            ErrorCode.INTERRUPTED, channel.download, support.SAMPLE, progress
        )
        self.assertLess(time.monotonic() - started, 3.0)
        self.assertEqual(error.operation, "download")
        # The report that stopped it, then the download's own error report.
        kind, text, percent = progress.events[-2]
        self.assertEqual(kind, ProgressKind.STEP)
        self.assertRegex(text, r"^Section\[1/6\] \.text, \d+%$")
        self.assertEqual(progress.events[-1], (ProgressKind.ERROR, error.text, 0.0))
        # The section's end never reached the drive; the link still works.
        self.assertEqual(self.sim.peek("program", 0x82BB, 1), [0])
        self.sim.control("pace off")
        self.assertEqual(channel.drive_version(), "F120H")

    def test_an_exception_in_the_progress_function_stops_the_transfer_and_is_raised(self) -> None:
        channel = self.open_driver()
        self.sim.control("pace on")
        progress = Recorder(stop_when=during_a_section, error=KeyError("stop here"))
        with self.assertRaises(KeyError) as caught:
            channel.write_memory(0x0100, list(range(1000)), Memory.DATA, progress)
        # The transfer failed because of it, and says so underneath.
        context = caught.exception.__context__
        self.assertIsInstance(context, ZorcommError)
        self.assertEqual(context.code, ErrorCode.INTERRUPTED)  # type: ignore[union-attr]
        self.assertEqual(progress.events[-1][0], ProgressKind.STEP)
        self.assertEqual(self.sim.peek("data", 0x0100 + 999, 1), [0])

    def test_download_failures_are_reported_to_the_progress_function_and_raised(self) -> None:
        channel = self.open_driver()
        progress = Recorder()
        self.assertFailsWith(
            ErrorCode.CANNOT_OPEN_COFF, channel.download, "/nonexistent/app.out", progress
        )
        self.assertEqual(
            progress.events, [(ProgressKind.ERROR, "Unable to open file /nonexistent/app.out", 0.0)]
        )

        progress = Recorder()
        with self.assertRaises(ZorcommError):
            channel.download(support.SAMPLE, progress, spi_memory_size=0x100)
        self.assertIn(
            (ProgressKind.ERROR, "Section '.spitab' is located in SPI memory and exceeds its range!", 0.0),
            progress.events,
        )
        with self.assertRaises(ValueError):
            channel.download(support.SAMPLE, spi_memory_size=0x10000)


if __name__ == "__main__":
    unittest.main()
