"""The exception the binding raises when the library reports a failure, and the library's table
of error codes and texts.

The library reports only a text (``MSK_GetLastError``). The code is recovered from the table the
build generates from the library's sources: a text that is the text of exactly one code gives
that code; a system error's text, or a text two codes share, gives no code. The codes of a
refused shared region give their table's text followed by a line that names the object; such a
text gives its code too."""

from __future__ import annotations

import enum
from typing import Mapping

try:
    from ._error_texts import ERROR_TEXTS as _TEXTS
    from ._error_texts import ErrorCode
except ImportError:  # the package straight from the source tree, without the build's table
    _TEXTS = {}
    ErrorCode = enum.IntEnum("ErrorCode", {})  # type: ignore[misc]

ERROR_TEXTS: Mapping[int, str] = _TEXTS


def _codes_by_text() -> dict[str, int | None]:
    codes: dict[str, int | None] = {}
    for code, text in ERROR_TEXTS.items():
        codes[text] = None if text in codes else code
    return codes


_CODES_BY_TEXT = _codes_by_text()
# The codes whose texts carry a line of their own after the table's text.
_NAMING_CODES = frozenset(code.value for code in ErrorCode if code.name.startswith("REGION_"))


def _code_of_naming_text(text: str) -> int | None:
    if not text.endswith("\r\n"):
        return None
    head, separator, _ = text[:-2].rpartition("\r\n")
    code = _CODES_BY_TEXT.get(head + separator) if separator else None
    return code if code in _NAMING_CODES else None


def error_text(code: int) -> str | None:
    """The library's text of one of its own codes (with its final CR LF), or None."""
    return ERROR_TEXTS.get(code)


def code_for_text(text: str) -> int | None:
    """The library code whose text ``text`` is, when exactly one code has it."""
    code = _CODES_BY_TEXT.get(text)
    if code is None:
        code = _code_of_naming_text(text)
    if code is None:
        return None
    try:
        return ErrorCode(code)
    except ValueError:
        return code


class ZorcommError(Exception):
    """A call of the library failed.

    ``text`` is what ``MSK_GetLastError`` returned right after the failure, decoded as UTF-8
    (library texts end in CR LF; a system error's text does not; it may be empty when the library
    set no error). ``code`` is the library's code for that text, or None when the text is not one
    of the library's own (a system error) or is shared by several codes. ``operation`` names the
    binding's call that failed."""

    def __init__(self, operation: str, text: str, code: int | None = None) -> None:
        self.operation = operation
        self.text = text
        self.code = code
        reason = " ".join(text.split()) or "failed (the library gave no reason)"
        super().__init__(f"{operation}: {reason}")

    @classmethod
    def from_text(cls, operation: str, text: str) -> ZorcommError:
        return cls(operation, text, code_for_text(text))


class LibraryNotFoundError(OSError):
    """libzorcomm.so could not be loaded."""
