# SPDX-License-Identifier: MIT
"""Administering shop-floor data-collection terminals from Python, through
the XELBDE terminal API library (``libxelbde.so.1``, loaded with ctypes at
the first use; the environment variable ``XELBDE_LIBRARY`` may name another
file)::

    import xelbde

    with xelbde.connect("HALLE1") as t:
        print(t.type(), t.version(), t.clock().time)
        t.upload("book.dat", "BOOK", progress=print)

The terminal is looked up as the library does it: in ``terminal.ini`` (in
the directory ``TERMINI`` names, else the current one) when that file
exists, else as a host name or dotted address. The library writes its
operations log ``xelbde.log`` into the current directory.

Every command that fails raises a subclass of :class:`XelbdeError` chosen
by its return code (the table is in :mod:`xelbde.errors`):
:class:`ConnectionFailed`, :class:`ExchangeFailed`, :class:`TerminalStatus`,
:class:`LocalFileError` and :class:`InternalError`.

Calls on different terminals may run in several threads at once; ctypes
releases the interpreter lock while the library works.
"""

from ._api import library
from ._terminal import Clock, DirectoryEntry, Progress, Terminal
from ._version import __version__
from .errors import (
    ConnectionFailed,
    ExchangeFailed,
    InternalError,
    LocalFileError,
    TerminalStatus,
    XelbdeError,
    error_class,
)

__all__ = [
    "__version__",
    "version",
    "connect",
    "Terminal",
    "Clock",
    "Progress",
    "DirectoryEntry",
    "XelbdeError",
    "InternalError",
    "ConnectionFailed",
    "ExchangeFailed",
    "LocalFileError",
    "TerminalStatus",
    "error_class",
]


def version() -> str:
    """The version of the library loaded, "MAJOR.MINOR.PATCH" (``XelbdeVersion``)."""
    return str(library().XelbdeVersion().decode("ascii"))


def connect(name: str) -> Terminal:
    """The terminal ``name``, to be used in a ``with`` block, which connects
    on entering and disconnects on leaving it; or call ``open()`` and
    ``close()`` yourself."""
    return Terminal(name)
