"""Library (the loaded libzorcomm.so) and Channel (one open channel)."""

from __future__ import annotations

import contextlib
import ctypes
import os
import threading
from ctypes import byref, c_uint16
from dataclasses import dataclass, field
from typing import Callable, Iterable, Iterator, Union

from . import _locate, _native
from .errors import LibraryNotFoundError, ZorcommError
from .types import (
    ChannelType,
    DownloadResult,
    DriveMessage,
    LogLevel,
    Memory,
    Protocol,
    ProgressKind,
    check_range,
    check_word,
)

PathLike = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]

#: ``progress(kind, text, percent)``; a false result other than None asks the transfer to stop.
ProgressFunction = Callable[[Union[ProgressKind, int], str, float], object]
#: ``handler(line)``: one debug log line, without its line end.
LogHandler = Callable[[str], object]
#: ``handler(message)``: a message from the drives that no call was waiting for.
UnsolicitedHandler = Callable[[DriveMessage], object]

DEFAULT_SPI_MEMORY_SIZE = 0x5000


def _decode(text: bytes | None) -> str:
    return (text or b"").decode("utf-8", "replace")


@dataclass
class _ProcessState:
    """What belongs to one loaded copy of the library in this process, whichever Library
    objects use it: the lock that keeps a channel selection and the call on it together, and
    the registered handlers (the library keeps only their addresses, so the ctypes objects
    must live as long as they are registered)."""

    lock: threading.RLock = field(default_factory=threading.RLock)
    log_callback: object = None
    unsolicited_callback: object = None


_STATES: dict[int, _ProcessState] = {}
_STATES_LOCK = threading.Lock()


def _state_of(library: ctypes.CDLL) -> _ProcessState:
    with _STATES_LOCK:
        return _STATES.setdefault(library._handle, _ProcessState())


class _Progress:
    """A Python progress function as a ProgressCallback. An exception in the function stops
    the transfer where the library lets it, and is raised again when the call returns."""

    def __init__(self, function: ProgressFunction) -> None:
        self.function = function
        self.error: BaseException | None = None
        self.callback = _native.ProgressCallback(self._call)

    def _call(self, kind: int, text: bytes | None, percent: float, _user: int) -> int:
        if self.error is not None:
            return 0
        try:
            result = self.function(_kind(kind), _decode(text), float(percent))
        except BaseException as error:  # noqa: B902 - handed back to the caller
            self.error = error
            return 0
        return 0 if result is not None and not result else 1


def _kind(kind: int) -> ProgressKind | int:
    try:
        return ProgressKind(kind)
    except ValueError:
        return kind


def _progress_callback(progress: _Progress | None) -> object:
    # ctypes takes no None for a function pointer argument; a null pointer is made this way.
    return progress.callback if progress else _native.ProgressCallback()


class Library:
    """libzorcomm.so, loaded into this process.

    ``path`` names the file. Without it the binding looks, in this order, at the file the
    environment variable ZORCOMM_LIBRARY names (and only there, when it is set); at the installed
    prefix: libzorcomm.so.0 in the libdir that ``pkg-config --variable=libdir zorcomm`` gives,
    then libzorcomm.so.0 (then libzorcomm.so) wherever the dynamic loader finds libraries; and
    at libzorcomm.so.0 beside the package (in its folder, or the folder that holds it).
    ``path`` tells which one was loaded. Several Library objects for the same file share the one
    loaded copy, and with it the channels, the selection and the handlers, which the library
    keeps per process."""

    def __init__(self, path: PathLike | None = None) -> None:
        failures: list[str] = []
        tried = iter([os.fsdecode(path)]) if path is not None else _locate.candidates(failures)
        for candidate in tried:
            try:
                raw = ctypes.CDLL(candidate)
                break
            except OSError as error:
                failures.append(str(error))
        else:
            raise LibraryNotFoundError("cannot load libzorcomm: " + "; ".join(failures))
        try:
            _native.declare(raw)
        except AttributeError as error:
            raise LibraryNotFoundError(f"{candidate} is not libzorcomm: {error}") from None
        self.path = candidate
        #: The ctypes library with the exports declared, for calls the binding does not wrap.
        self.raw = raw
        self._state = _state_of(raw)

    def __repr__(self) -> str:
        return f"Library({self.path!r})"

    # -- calls ---------------------------------------------------------------------------

    def last_error(self) -> str:
        """``MSK_GetLastError``: the text of the last error of this process."""
        return _decode(self.raw.MSK_GetLastError())

    def _error(self, operation: str) -> ZorcommError:
        return ZorcommError.from_text(operation, self.last_error())

    def _check(self, ok: int, operation: str, progress: _Progress | None = None) -> None:
        error = None if ok else self._error(operation)
        if progress is not None and progress.error is not None:
            if error is None:
                raise progress.error
            try:
                raise error
            except ZorcommError:
                raise progress.error  # noqa: B904 - the transfer's failure stays as its context
        if error is not None:
            raise error

    @contextlib.contextmanager
    def _calling(self, channel: Channel | None = None) -> Iterator[None]:
        """Holds the process's call lock; with a channel, selects it first, so that the call
        goes to that channel whatever other threads select."""
        with self._state.lock:
            if channel is not None:
                if channel.closed:
                    raise ValueError("the channel is closed")
                if self.raw.MSK_SelectComm(channel.handle) in (0, -1):
                    raise self._error("select")
            yield

    # -- channels ------------------------------------------------------------------------

    def open(
        self,
        device: PathLike,
        channel_type: ChannelType | int = ChannelType.RS232,
        *,
        host_axis: int = 0,
        exclusive: bool = False,
        protocol: Protocol | int = Protocol.ORV,
    ) -> Channel:
        """``MSK_OpenComm``: opens (or joins) a channel and selects it.

        ``device`` is what the channel type needs: ``"COM3"`` (or ``"3"``) for serial ports and
        the ASCII CAN adapter, the adapter number for CAN adapters, the driver's file for a
        virtual serial driver, ``"HOST[:PORT]"`` for the device server. ``host_axis`` 0 means
        "detect it" where the channel type can (RS-232, virtual serial, Ethernet)."""
        check_range("channel_type", int(channel_type), 0, 0x7F)
        if int(protocol) not in (Protocol.ORV, Protocol.TORVANECAN):
            raise ValueError(f"protocol must be Protocol.ORV or Protocol.TORVANECAN, not {protocol!r}")
        check_word("host_axis", host_axis)
        name = os.fsencode(device)
        with self._calling():
            handle = self.raw.MSK_OpenComm(
                name, host_axis, 1 if exclusive else 0, int(channel_type) | int(protocol)
            )
            if handle in (0, -1):
                raise self._error(f"open {os.fsdecode(device)}")
        return Channel(self, handle)

    def select(self, handle: int) -> int:
        """``MSK_SelectComm``: selects the channel of this process with ``handle``; returns the
        handle selected before (``handle`` itself when none was)."""
        check_range("handle", handle, -(2**31), 2**31 - 1)
        with self._calling():
            before = self.raw.MSK_SelectComm(handle)
            if before in (0, -1):
                raise self._error("select")
        return int(before)

    # -- handlers ------------------------------------------------------------------------

    def set_log_handler(
        self, handler: LogHandler | None, level: LogLevel | int = LogLevel.ERRORS
    ) -> None:
        """``MSK_RegisterDebugLogHandler``: ``handler(line)`` receives every debug log line up to
        ``level``, without its line end, on the thread of the call that writes it, while that
        call holds its locks (so it should not call the library's functions itself). None (or a
        level of 0) switches the log off. An exception in the handler cannot stop the library's
        call; Python reports it through ``sys.unraisablehook``."""
        if handler is None or int(level) <= 0:
            with self._state.lock:
                self.raw.MSK_RegisterDebugLogHandler(0, _native.DebugLogHandler())
                self._state.log_callback = None
            return
        check_range("level", int(level), 1, 2**31 - 1)

        def deliver(line: bytes | None) -> None:
            handler(_decode(line).rstrip("\r\n"))

        callback = _native.DebugLogHandler(deliver)
        with self._state.lock:
            self.raw.MSK_RegisterDebugLogHandler(int(level), callback)
            self._state.log_callback = callback

    def set_unsolicited_handler(self, handler: UnsolicitedHandler | None) -> None:
        """``MSK_RegisterReceiveUnsolicitedMsgHandler``: ``handler(message)`` receives the
        messages from the drives that arrive while a call waits for something else. None
        clears it. Exceptions go to ``sys.unraisablehook``, as for the log handler."""
        if handler is None:
            with self._state.lock:
                self.raw.MSK_RegisterReceiveUnsolicitedMsgHandler(
                    _native.UnsolicitedMessageHandler()
                )
                self._state.unsolicited_callback = None
            return

        def deliver(message: ctypes._Pointer[_native.CDriveMessage]) -> None:  # type: ignore[name-defined]
            if message:
                handler(DriveMessage.from_c(message.contents))

        callback = _native.UnsolicitedMessageHandler(deliver)
        with self._state.lock:
            self.raw.MSK_RegisterReceiveUnsolicitedMsgHandler(callback)
            self._state.unsolicited_callback = callback


class Channel:
    """One open channel of this process. Each call selects the channel first, so several
    channels can be used side by side. Closing it (``close``, or leaving a ``with`` block)
    closes this process's use of the link."""

    def __init__(self, library: Library, handle: int) -> None:
        self.library = library
        self.handle = handle
        self.closed = False

    def __repr__(self) -> str:
        state = "closed" if self.closed else "open"
        return f"<zorcomm.Channel {self.handle:#x} {state}>"

    def __enter__(self) -> Channel:
        return self

    def __exit__(self, exc_type: object, exc: object, traceback: object) -> None:
        if exc_type is None:
            self.close()
            return
        # The exception that ends the block matters more than a failing close.
        with contextlib.suppress(ZorcommError):
            self.close()

    def close(self) -> None:
        """``MSK_CloseComm``. Closing a closed channel does nothing."""
        if self.closed:
            return
        lib = self.library
        with lib._calling():
            lib._check(lib.raw.MSK_CloseComm(self.handle), "close")
            self.closed = True

    def select(self) -> int:
        """``MSK_SelectComm``: makes this the selected channel of the process (for code that
        calls ``Library.raw`` itself); returns the handle selected before."""
        if self.closed:
            raise ValueError("the channel is closed")
        return self.library.select(self.handle)

    # -- the link and the drives ------------------------------------------------------------

    def _word_out(self, export: str, operation: str) -> int:
        lib = self.library
        value = c_uint16()
        with lib._calling(self):
            lib._check(getattr(lib.raw, export)(byref(value)), operation)
        return value.value

    def _simple(self, operation: str, export: str, *arguments: object) -> None:
        lib = self.library
        with lib._calling(self):
            lib._check(getattr(lib.raw, export)(*arguments), operation)

    def host_axis(self) -> int:
        """``MSK_GetHostDrive``: the axis ID of the drive wired to the PC."""
        return self._word_out("MSK_GetHostDrive", "host_axis")

    def set_host_axis(self, axis: int) -> None:
        """``MSK_SetHostDrive``: the host drive's axis ID; 0 detects it (RS-232, Ethernet)."""
        self._simple("set_host_axis", "MSK_SetHostDrive", check_word("axis", axis))

    def active_axis(self) -> int:
        """``MSK_GetActiveDrive``: the axis the drive calls go to."""
        return self._word_out("MSK_GetActiveDrive", "active_axis")

    def set_active_axis(self, axis: int) -> None:
        """``MSK_SetActiveDrive``: 1 to 255."""
        self._simple("set_active_axis", "MSK_SetActiveDrive", check_word("axis", axis))

    def drive_version(self) -> str:
        """``MSK_GetDriveVersion``: the active drive's firmware version text."""
        lib = self.library
        text = ctypes.create_string_buffer(16)
        with lib._calling(self):
            lib._check(lib.raw.MSK_GetDriveVersion(text), "drive_version")
        return _decode(text.value)

    def baud_rate(self) -> int:
        """``MSK_GetBaudRate``: the line's baud rate (the bit rate on CAN)."""
        lib = self.library
        with lib._calling(self):
            rate = lib.raw.MSK_GetBaudRate()
            if rate == 0:
                raise lib._error("baud_rate")
        return int(rate)

    def set_baud_rate(self, rate: int) -> None:
        """``MSK_SetBaudRate``: moves the drives and the PC to ``rate``."""
        self._simple("set_baud_rate", "MSK_SetBaudRate", check_range("rate", rate, 0, 2**32 - 1))

    def bytes_in_queue(self) -> int:
        """``MSK_GetBytesCountInQueue``: bytes received and not yet read."""
        lib = self.library
        with lib._calling(self):
            count = lib.raw.MSK_GetBytesCountInQueue()
            if count < 0:
                raise lib._error("bytes_in_queue")
        return int(count)

    def reset_drive(self) -> None:
        """``MSK_ResetDrive``: resets the active drive."""
        self._simple("reset_drive", "MSK_ResetDrive")

    def update_settings(self) -> None:
        """``MSK_UpdateSettings``: reads the settings file again."""
        self._simple("update_settings", "MSK_UpdateSettings")

    def send_message(self, message: DriveMessage) -> None:
        """``MSK_SendMessage``: sends one message and waits for its acknowledge (where the
        link has one)."""
        record = message.to_c()
        self._simple("send_message", "MSK_SendMessage", byref(record))

    def receive_message(self) -> DriveMessage:
        """``MSK_ReceiveMessage``: one message from the drives."""
        lib = self.library
        record = _native.CDriveMessage()
        with lib._calling(self):
            lib._check(lib.raw.MSK_ReceiveMessage(byref(record)), "receive_message")
        return DriveMessage.from_c(record)

    # -- drive memory ------------------------------------------------------------------------

    def read_memory(
        self,
        address: int,
        count: int,
        memory: Memory | int = Memory.PROGRAM,
        progress: ProgressFunction | None = None,
    ) -> list[int]:
        """``MSK_ReceiveData`` (``MSK_ReceiveBigData`` with ``progress``): ``count`` words of
        the active drive's memory from ``address``."""
        check_word("address", address)
        check_word("count", count)
        check_range("memory", int(memory), 0, 0xFF)
        words = (c_uint16 * max(count, 1))()
        lib = self.library
        adapter = _Progress(progress) if progress else None
        with lib._calling(self):
            if adapter:
                ok = lib.raw.MSK_ReceiveBigData(
                    words, address, int(memory), count, adapter.callback, 0
                )
            else:
                ok = lib.raw.MSK_ReceiveData(words, address, int(memory), count)
            lib._check(ok, "read_memory", adapter)
        return list(words[:count])

    def write_memory(
        self,
        address: int,
        words: Iterable[int],
        memory: Memory | int = Memory.PROGRAM,
        progress: ProgressFunction | None = None,
    ) -> None:
        """``MSK_SendData`` (``MSK_SendBigData`` with ``progress``): writes ``words`` into the
        active drive's memory from ``address``."""
        words = list(words)
        check_word("address", address)
        check_word("word count", len(words))
        check_range("memory", int(memory), 0, 0xFF)
        buffer = (c_uint16 * max(len(words), 1))(*(check_word("word", w) for w in words))
        lib = self.library
        adapter = _Progress(progress) if progress else None
        with lib._calling(self):
            if adapter:
                ok = lib.raw.MSK_SendBigData(
                    buffer, address, int(memory), len(words), adapter.callback, 0
                )
            else:
                ok = lib.raw.MSK_SendData(buffer, address, int(memory), len(words))
            lib._check(ok, "write_memory", adapter)

    def download(
        self,
        path: PathLike,
        progress: ProgressFunction | None = None,
        spi_memory_size: int = DEFAULT_SPI_MEMORY_SIZE,
    ) -> DownloadResult:
        """``MSK_COFFDownload``: loads an executable into the active drive and checks every
        section's checksum. ``progress`` receives the section texts (kind STEP), the start of
        each block and the closing texts (START) and error texts (ERROR); during a section's
        transfer a false result stops the download."""
        check_word("spi_memory_size", spi_memory_size)
        entry, start, end = c_uint16(), c_uint16(), c_uint16()
        lib = self.library
        adapter = _Progress(progress) if progress else None
        with lib._calling(self):
            ok = lib.raw.MSK_COFFDownload(
                os.fsencode(path),
                byref(entry),
                byref(start),
                byref(end),
                _progress_callback(adapter),
                0,
                spi_memory_size,
            )
            lib._check(ok, "download", adapter)
        return DownloadResult(entry.value, start.value, end.value)

    def checksum(self, start: int, end: int) -> int:
        """``MSK_CheckSum``: the 16-bit sum of the active drive's words from ``start`` to
        ``end``, computed by the drive (SPI memory below 0x8000, program memory above)."""
        check_word("start", start)
        check_word("end", end)
        value = c_uint16()
        lib = self.library
        with lib._calling(self):
            lib._check(lib.raw.MSK_CheckSum(start, end, byref(value)), "checksum")
        return value.value
