"""The exceptions: every call the library answers with 0 raises one of them."""

from __future__ import annotations

from typing import Optional


class Error(Exception):
    """Base class of everything this package raises for the library or the
    instrument (not for a caller's mistake, which is a ValueError or a
    TypeError)."""


class LibraryNotFound(Error):
    """The VelmarDll library could not be loaded; the message names every
    place tried and how to fix it."""


class InstrumentError(Error):
    """A call to one instrument failed.

    Attributes:
        index: the device index (position in the list of the last search).
        function: the library function that returned 0, e.g. "DDSGetMeasure".
        path: the device path as of the last search, or None where it is not
            known (always on Windows).
    """

    def __init__(self, message: str, index: int, function: str, path: Optional[str]) -> None:
        super().__init__(message)
        self.index = index
        self.function = function
        self.path = path


class NoInstrument(InstrumentError):
    """The index is not in the last search's list, or the instrument there
    does not open (unplugged, or nothing serving its socket): nothing was sent."""


class NoAnswer(InstrumentError):
    """The instrument opens but did not answer every message of the call
    within the library's time limit of 1000 ms per message."""
