"""Python binding of libzorcomm.so, the communication library for digital motion-control drives.

    import zorcomm

    library = zorcomm.Library()          # or Library("/path/to/libzorcomm.so.0")
    with library.open("COM1") as channel:
        print(channel.host_axis(), channel.drive_version(), channel.baud_rate())
        channel.send_message(zorcomm.DriveMessage.for_axis(1, 0x0402))

Failures raise ZorcommError (``.text``: the library's text, ``.code``: its code when known).
``zorcomm.__version__`` is the version of the library the package was built with."""

try:
    from ._version import __version__
except ImportError:  # the package straight from the source tree, without the build's modules
    __version__ = "unknown"

from .errors import ERROR_TEXTS, ErrorCode, LibraryNotFoundError, ZorcommError, code_for_text, error_text
from .library import DEFAULT_SPI_MEMORY_SIZE, Channel, Library
from .types import (
    GROUP_FLAG,
    ChannelType,
    DownloadResult,
    DriveMessage,
    LogLevel,
    Memory,
    ProgressKind,
    Protocol,
)

__all__ = [
    "Channel",
    "ChannelType",
    "DEFAULT_SPI_MEMORY_SIZE",
    "DownloadResult",
    "DriveMessage",
    "ERROR_TEXTS",
    "ErrorCode",
    "GROUP_FLAG",
    "Library",
    "LibraryNotFoundError",
    "LogLevel",
    "Memory",
    "ProgressKind",
    "Protocol",
    "ZorcommError",
    "code_for_text",
    "error_text",
]
