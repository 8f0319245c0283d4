# SPDX-License-Identifier: MIT
"""The exceptions of the package: every API call that ends with a return
code other than 0 raises a :class:`XelbdeError`, of the subclass that the
code belongs to.

=================  ==========================================  ==============================================
Class              Codes                                       What went wrong
=================  ==========================================  ==============================================
InternalError      1, 21, 23 (and numbers outside 0-99)        the library could not start (its locks) or
                                                               reported an internal error
ConnectionFailed   3, 5, 6, 7, 24-33, 35, 36, 62-69            no connection: the name not resolved or not in
                                                               terminal.ini, connect refused or timed out,
                                                               terminal.ini unreadable, the connection
                                                               registry, the terminal not connected (33),
                                                               ISDN dial-up
ExchangeFailed     13, 16, 19, 34, 37                          the exchange ran but gave no usable result:
                                                               send, receive or time-out (16), a malformed
                                                               reply, data the library rejects, too little
                                                               free memory for a download
LocalFileError     10, 11, 14, 15, 17, 18                      a host file: the file to send is missing or
                                                               unreadable, the file to write cannot be
                                                               created or written
TerminalStatus     every other code from 2 to 99               a status that the terminal reported, passed
                                                               on as it is (the library names it
                                                               "terminal-status"), e.g. 96 for a file the
                                                               terminal does not have
=================  ==========================================  ==============================================

Code 0 is success and is never raised; :func:`error_class` gives
:class:`XelbdeError` itself for it. Each exception carries the code, the
library's short name and meaning of it, and the API function that set it.
"""

from ._api import library

__all__ = [
    "XelbdeError",
    "InternalError",
    "ConnectionFailed",
    "ExchangeFailed",
    "LocalFileError",
    "TerminalStatus",
    "error_class",
    "error_for",
]


class XelbdeError(Exception):
    """An API call ended with a return code other than 0.

    Attributes: ``code`` (0-99, the two-digit return code as a number;
    -1 when the library wrote no two digits), ``name`` (the library's short
    name of the code, e.g. ``"exchange-failed"``), ``meaning`` (its
    explanation) and ``function`` (the API function, e.g. ``"APUPL00B"``).
    """

    code: int
    name: str
    meaning: str
    function: str

    def __init__(self, code: int, function: str) -> None:
        super().__init__(code, function)
        lib = library()
        self.code = code
        self.function = function
        self.name = lib.XelbdeReturnCodeName(code).decode("ascii")
        self.meaning = lib.XelbdeReturnCodeText(code).decode("latin-1")

    def __str__(self) -> str:
        return f"{self.function} ended with {self.code:02d} ({self.name}): {self.meaning}"


class InternalError(XelbdeError):
    """The library could not start its locks or reported an internal error."""


class ConnectionFailed(XelbdeError):
    """No connection to the terminal could be made, kept or used."""


class ExchangeFailed(XelbdeError):
    """The exchange with the terminal failed or gave a result the library rejects."""


class LocalFileError(XelbdeError):
    """A file of the host could not be read, created or written."""


class TerminalStatus(XelbdeError):
    """The terminal answered with an error status of its own."""


_CLASS_OF_CODE: dict[int, type[XelbdeError]] = {
    **dict.fromkeys((1, 21, 23), InternalError),
    **dict.fromkeys((3, 5, 6, 7, *range(24, 34), 35, 36, *range(62, 70)), ConnectionFailed),
    **dict.fromkeys((13, 16, 19, 34, 37), ExchangeFailed),
    **dict.fromkeys((10, 11, 14, 15, 17, 18), LocalFileError),
}


def error_class(code: int) -> type[XelbdeError]:
    """The exception class of a return code, by the table in this module's docstring."""
    if code in _CLASS_OF_CODE:
        return _CLASS_OF_CODE[code]
    if not 0 <= code <= 99:
        return InternalError
    if library().XelbdeReturnCodeName(code) == b"terminal-status":
        return TerminalStatus
    return XelbdeError  # 0, or a code of a newer library that this table does not know yet


def error_for(code: int, function: str) -> XelbdeError:
    """The exception to raise for a return code of an API function."""
    return error_class(code)(code, function)
