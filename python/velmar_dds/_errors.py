"""The exceptions: every call that fails raises one of them, chosen by the
library's error code and worded by the library's own message."""

from __future__ import annotations

import enum
from typing import Dict, Optional, Type


class ErrorCode(enum.IntEnum):
    """The session library's error codes (enum velmar_dds_error)."""

    INVALID_ARGUMENT = -1
    NO_INSTRUMENT = -2
    OPEN_FAILED = -3
    TIMEOUT = -4
    BAD_ANSWER = -5
    WRITE_REFUSED = -6
    DISCONNECTED = -7
    NO_MEMORY = -8
    SEARCH_FAILED = -9
    NOT_A_READING = -10


class Error(Exception):
    """Base class of everything this package raises for the library or the
    instrument. A caller's mistake that Python sees first is a plain
    ValueError or TypeError; one that the library refuses is InvalidArgument,
    which is both."""


class LibraryNotFound(Error):
    """The session library could not be loaded; the message names every
    place tried and the variable that names the library."""


class InstrumentError(Error):
    """A library call failed.

    Attributes:
        code: the library's error code (an ErrorCode, or the bare number of
            a code this package does not know).
        function: the library function that failed, e.g. "velmar_dds_measure".
        path: the instrument's device path, or None for a call without one.
        words: the library's own account of the failure
            (velmar_dds_last_message), which the message ends with.
    """

    def __init__(self, code: int, function: str, path: Optional[str], words: str) -> None:
        where = f" on {path}" if path and path not in words else ""
        super().__init__(f"{function}{where}: {words}")
        try:
            self.code: int = ErrorCode(code)
        except ValueError:
            self.code = code
        self.function = function
        self.path = path
        self.words = words


class InvalidArgument(InstrumentError, ValueError):
    """The library refused an argument before anything was sent (a
    frequency it cannot plan, a time limit out of range)."""


class NoInstrument(InstrumentError):
    """No instrument at that path or position: nothing was sent."""


class OpenFailed(NoInstrument):
    """An instrument is there but would not open (its server refuses the
    connection, or the device is held elsewhere): nothing was sent. A kind
    of NoInstrument, so that one except clause catches every instrument out
    of reach."""


class SearchFailed(InstrumentError):
    """The host could not list its instruments (the device directory cannot
    be read)."""


class NoAnswer(InstrumentError):
    """A message got no answer, or was not taken, within the time limit
    (Generator.timeout_ms, 1000 ms unless set)."""


class BadAnswer(InstrumentError):
    """An answer came but was short, over-long or a failed read."""


class WriteRefused(InstrumentError):
    """A message could not be sent for a reason other than a hang-up."""


class Disconnected(InstrumentError):
    """The instrument went away during the call; the next call opens it again."""


class NotAReading(InstrumentError):
    """The meter's report holds no frequency (a count with no period)."""


class OutOfMemory(InstrumentError, MemoryError):
    """The library ran out of memory."""


_CLASSES: Dict[int, Type[InstrumentError]] = {
    ErrorCode.INVALID_ARGUMENT: InvalidArgument,
    ErrorCode.NO_INSTRUMENT: NoInstrument,
    ErrorCode.OPEN_FAILED: OpenFailed,
    ErrorCode.TIMEOUT: NoAnswer,
    ErrorCode.BAD_ANSWER: BadAnswer,
    ErrorCode.WRITE_REFUSED: WriteRefused,
    ErrorCode.DISCONNECTED: Disconnected,
    ErrorCode.NO_MEMORY: OutOfMemory,
    ErrorCode.SEARCH_FAILED: SearchFailed,
    ErrorCode.NOT_A_READING: NotAReading,
}


def error_for(code: int, function: str, path: Optional[str], words: str) -> InstrumentError:
    """The exception for a failed call. A code newer than this package is
    still an InstrumentError with the library's words."""
    return _CLASSES.get(code, InstrumentError)(code, function, path, words)
